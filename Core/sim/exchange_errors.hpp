#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

inline constexpr std::string_view kOverloaded =
    "The system is currently overloaded. Please try again later.";

// The most of what a client sent that an error repeats: a request, or a failure's text that
// quotes one, is cut there.
inline constexpr std::size_t kMostEchoed = 200;

// `text` when it holds at most kMostEchoed bytes; else its first kMostEchoed bytes, cut between
// two UTF-8 characters, followed by "...".
std::string echo_excerpt(std::string_view text);

// The exchange's error body: {"error":{"message":...,"name":...}}.
std::string error_body(std::string_view message, std::string_view name = "HTTPError");

// Throws the HTTPError the transport raises for a refusal on `path` (under /api/v1): its text
// carries `message`, as the REST client's does the exchange's words.
[[noreturn]] void refuse(std::string_view path, std::string_view message, int status = 400,
                         std::string_view reason = "Bad Request",
                         std::string_view name = "HTTPError");
// A field the exchange's schema refuses: 400 with the name ValidationError.
[[noreturn]] void refuse_field(std::string_view path, std::string_view message);

}  // namespace sim
