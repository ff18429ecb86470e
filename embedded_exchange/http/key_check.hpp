#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// How far ahead a signed request's api-expires may lie: a signed request can be sent again until
// it expires, so a far expiry would make a captured request good for years. Clients send now+5
// to now+60; the margin covers their clocks running behind.
inline constexpr std::chrono::seconds kMaxExpiresAhead{300};

// What a client sent to prove it holds the key, and what it signed.
struct SignedRequest {
  std::string_view key{};
  std::string_view expires{};  // UNIX seconds, as sent
  std::string_view signature{};
  std::string_view verb{};
  std::string_view path{};  // with its query, as sent
  std::string_view body{};
};

// A refusal of a request's credentials: the HTTP status and the exchange's message.
struct KeyRefusal {
  int status = 401;
  std::string message;
};

// Why the exchange refuses `sent` for the account of `key` and `secret` at `now` (UNIX
// seconds), with the exchange's status and words; nullopt when it is good.
std::optional<KeyRefusal> signature_refusal(const SignedRequest& sent, std::string_view key,
                                            std::string_view secret, long long now);

}  // namespace sim
