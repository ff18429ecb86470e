#include "Core/auth/credentials.hpp"

#include <cstdlib>
#include <fstream>

namespace auth {
namespace {

std::string trimmed(std::string text) {
  const auto end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(" \t")));
}

}  // namespace

std::optional<Credentials> load_credentials(const std::optional<std::filesystem::path>& file) {
  const char* key = std::getenv("BITMEX_API_KEY");
  const char* secret = std::getenv("BITMEX_API_SECRET");
  if ((key == nullptr) != (secret == nullptr)) {
    throw CredentialsError("set both BITMEX_API_KEY and BITMEX_API_SECRET, or neither");
  }
  if (key != nullptr) return Credentials{key, secret};
  if (!file) return std::nullopt;

  namespace fs = std::filesystem;
  std::error_code error;
  const auto status = fs::status(*file, error);
  if (error || !fs::is_regular_file(status)) {
    throw CredentialsError(file->string() + ": no such credentials file");
  }
  const auto others = fs::perms::group_all | fs::perms::others_all;
  if ((status.permissions() & others) != fs::perms::none) {
    throw CredentialsError(file->string() +
                           ": readable by others; make it readable by its owner only (chmod 600)");
  }
  std::ifstream input(*file);
  Credentials credentials;
  std::getline(input, credentials.key);
  std::getline(input, credentials.secret);
  credentials.key = trimmed(credentials.key);
  credentials.secret = trimmed(credentials.secret);
  if (!input && !input.eof()) throw CredentialsError(file->string() + ": cannot be read");
  if (credentials.key.empty() || credentials.secret.empty()) {
    throw CredentialsError(file->string() + ": expected the API key and the secret on two lines");
  }
  return credentials;
}

}  // namespace auth
