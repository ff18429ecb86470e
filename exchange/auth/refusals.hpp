#pragma once

// The exchange's words when it refuses the credentials of a signed request: the client reads them
// to say which refusal it met, and the embedded exchange answers with them.
#include <optional>
#include <string>
#include <string_view>

namespace auth {

// 401: no key of that id.
inline constexpr std::string_view kUnknownKey = "Invalid API Key.";
// 401: the signature does not match the request, its api-expires and the key's secret.
inline constexpr std::string_view kBadSignature = "Signature not valid.";
// 400 (not 401): api-expires is in the past by the exchange's clock; followed by the current time.
inline constexpr std::string_view kExpired = "This request has expired - `expires` is in the past.";

enum class Refusal { kUnknownKey, kBadSignature, kExpired };

// Which refusal the exchange's `message` is, if it is one.
std::optional<Refusal> refusal_of(std::string_view message);

// What the refusal means, for a failure's text: "the API key is unknown", ...
std::string_view meaning(Refusal refusal);

// The exchange's message for a request that expired, at `now` (UNIX seconds).
std::string expired_message(long long now);

}  // namespace auth
