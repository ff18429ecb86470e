#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace auth {

// Credentials that cannot be used; what() never holds the secret.
class CredentialsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An API key and its secret. Nothing prints them: pass them only to the signer.
struct Credentials {
  std::string key;
  std::string secret;
};

// From `file` when given: the key on its first line, the secret on its second, the file
// readable and writable by its owner only. Otherwise from the environment (BITMEX_API_KEY and
// BITMEX_API_SECRET, both or neither). None when neither is there. Throws CredentialsError
// for an unreadable, malformed or group/world-accessible file, a half-set environment or an
// empty value.
std::optional<Credentials> load_credentials(const std::optional<std::filesystem::path>& file);

}  // namespace auth
