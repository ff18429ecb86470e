#include "exchange/auth/credentials.hpp"

#include <cstdlib>
#include <fstream>

namespace auth {
namespace {

std::string trimmed(std::string text) {
  const auto end = text.find_last_not_of(" \t\r\n");
  text.erase(end == std::string::npos ? 0 : end + 1);
  return text.substr(std::min(text.size(), text.find_first_not_of(" \t")));
}

std::optional<Credentials> from_environment() {
  const char* key = std::getenv("BITMEX_API_KEY");
  const char* secret = std::getenv("BITMEX_API_SECRET");
  if ((key == nullptr) != (secret == nullptr)) {
    throw CredentialsError("set both BITMEX_API_KEY and BITMEX_API_SECRET, or neither");
  }
  if (key == nullptr) return std::nullopt;
  if (*key == '\0' || *secret == '\0') {
    throw CredentialsError("BITMEX_API_KEY and BITMEX_API_SECRET must not be empty");
  }
  return Credentials{key, secret};
}

}  // namespace

std::optional<Credentials> load_credentials(const std::optional<std::filesystem::path>& file) {
  if (!file) return from_environment();

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
  // A key and a secret are a few dozen characters: anything larger is not a credentials file.
  constexpr std::uintmax_t kLargest = 4096;
  if (fs::file_size(*file, error) > kLargest || error) {
    throw CredentialsError(file->string() + ": not a credentials file (larger than 4 KiB)");
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
