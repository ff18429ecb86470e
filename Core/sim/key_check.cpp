#include "Core/sim/key_check.hpp"

#include <fmt/format.h>

#include <charconv>

#include "Core/auth/signature.hpp"

namespace sim {

std::optional<std::string> signature_refusal(const SignedRequest& sent, std::string_view key,
                                             std::string_view secret, long long now) {
  constexpr std::string_view kBadSignature = "Signature not valid.";
  if (sent.key.empty()) return "Authorization Required";
  if (sent.key != key) return "Invalid API Key.";
  const char* const end = sent.expires.data() + sent.expires.size();
  long long expires = 0;
  const auto [read_to, error] = std::from_chars(sent.expires.data(), end, expires);
  if (error != std::errc{} || read_to != end) return std::string(kBadSignature);
  if (expires < now) return "This request has expired - `expires` is in the past.";
  if (expires - now > kMaxExpiresAhead.count()) {
    return fmt::format(
        "This request's expiry is too far ahead - `expires` must be within {} seconds of now.",
        kMaxExpiresAhead.count());
  }
  const std::string expected = auth::signature(secret, sent.verb, sent.path, expires, sent.body);
  if (!auth::same_signature(sent.signature, expected)) return std::string(kBadSignature);
  return std::nullopt;
}

}  // namespace sim
