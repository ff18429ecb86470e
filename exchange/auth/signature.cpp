#include "exchange/auth/signature.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <array>
#include <stdexcept>

namespace auth {

std::string signature(std::string_view secret, std::string_view verb, std::string_view path,
                      long long expires, std::string_view body) {
  std::string message;
  message.reserve(verb.size() + path.size() + 20 + body.size());
  message.append(verb).append(path).append(std::to_string(expires)).append(body);

  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data(),
           &length) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xf]);
  }
  return hex;
}

bool same_signature(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace auth
