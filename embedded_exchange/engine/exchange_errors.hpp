#pragma once

#include <cstddef>
#include <stdexcept>
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

// What the exchange refuses, as its REST service answers it: the HTTP status and the error
// body's name and message (what()).
class Refusal : public std::runtime_error {
 public:
  Refusal(int status, std::string_view name, std::string_view message)
      : std::runtime_error(std::string(message)), status(status), name(name) {}
  int status;
  std::string name;
};

// Throws the Refusal of `message`: 400 unless `status` says otherwise.
[[noreturn]] void refuse(std::string_view message, int status = 400,
                         std::string_view name = "HTTPError");
// A field the exchange's schema refuses: 400 with the name ValidationError.
[[noreturn]] void refuse_field(std::string_view message);

}  // namespace sim
