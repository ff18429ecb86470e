#include "embedded_exchange/http/key_check.hpp"

#include <fmt/format.h>

#include <charconv>

#include "exchange/auth/refusals.hpp"
#include "exchange/auth/signature.hpp"

namespace sim {

// The exchange answers an expired request with 400, every other refusal with 401.
std::optional<KeyRefusal> signature_refusal(const SignedRequest& sent, std::string_view key,
                                            std::string_view secret, long long now) {
  const KeyRefusal bad_signature{401, std::string(auth::kBadSignature)};
  if (sent.key.empty()) return KeyRefusal{401, "Authorization Required"};
  if (sent.key != key) return KeyRefusal{401, std::string(auth::kUnknownKey)};
  const char* const end = sent.expires.data() + sent.expires.size();
  long long expires = 0;
  const auto [read_to, error] = std::from_chars(sent.expires.data(), end, expires);
  if (error != std::errc{} || read_to != end) return bad_signature;
  if (expires < now) return KeyRefusal{400, auth::expired_message(now)};
  if (expires - now > kMaxExpiresAhead.count()) {
    return KeyRefusal{
        401, fmt::format("This request's expiry is too far ahead - `expires` must be within {} "
                         "seconds of now.",
                         kMaxExpiresAhead.count())};
  }
  const std::string expected = auth::signature(secret, sent.verb, sent.path, expires, sent.body);
  if (!auth::same_signature(sent.signature, expected)) return bad_signature;
  return std::nullopt;
}

}  // namespace sim
