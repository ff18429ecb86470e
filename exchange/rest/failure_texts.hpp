#pragma once

// The texts of the REST client's failures, in one place; the markers in them that the module
// sorts failures by are the collaborators' (Core/collaborators/failures.hpp).
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "Core/collaborators/failures.hpp"

namespace rest {

// The most of the exchange's own message a failure's text carries.
inline constexpr std::size_t kMaxReasonChars = 300;

// The exchange's message in an error body {"error":{"message":...}} (its "name" when it has no
// message) as a failure's text carries it, after `exchange: `: in double quotes, printable ASCII
// only (anything else shows as '?'), cut to kMaxReasonChars, with the markers above written in
// lower case so that the exchange's words never decide how the module sorts a failure. For a
// refused key, signature or expiry, what it means comes first:
// `the API key is unknown; exchange: "Invalid API Key."`. Empty for a body that is not JSON or
// holds neither.
std::string exchange_words(std::string_view body);

// "400 Client Error: Bad Request for url: URL", then " (Max Stop orders)" when the body refuses a
// further stop order, then the exchange's words in parentheses, when it has any.
std::string http_error_text(int status, std::string_view url, std::string_view body);

// Why a 429 or 503 is tried again: "503 Service Unavailable", then the exchange's words after "; ".
std::string retry_reason(int status, std::string_view body);

// "Max retries hit: GET https://... (WHY)".
std::string max_retries_text(std::string_view request, std::string_view why);
// Why no further try fits in the call's total deadline, to follow the last try's reason.
std::string rate_limit_after_deadline(long long reset_in_seconds);
std::string wait_after_deadline(std::chrono::milliseconds wait);
std::string no_time_left(std::chrono::milliseconds total_deadline);

// "Timed out: GET https://... (no whole answer within N ms)".
std::string timed_out_text(std::string_view request, std::chrono::milliseconds within);
// "Broken answer: GET https://... (DETAIL)".
std::string broken_answer_text(std::string_view request, std::string_view detail);

}  // namespace rest
