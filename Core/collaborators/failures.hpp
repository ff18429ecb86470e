#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace stoploss {

// The failure kinds the module tells apart. Anything else derived from std::exception is
// "any other failure".

// A field looked up by name is missing.
class KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value of the wrong type: null where a number is needed, a text ordered against a number.
class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that does not read as a number.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A collaborator the module needs is missing from the host's component table.
class ImportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The HTTP answer carried by an HTTPError.
struct HttpResponse {
  int status_code = 0;
  std::string body;  // the raw body text; the exchange's error body is JSON
};

// Raised by the exchange transport. Its own text (what()) is distinct from the body.
class HTTPError : public std::runtime_error {
 public:
  HTTPError(const std::string& text, HttpResponse response)
      : std::runtime_error(text), response_(std::move(response)) {}

  const HttpResponse& response() const noexcept { return response_; }

 private:
  HttpResponse response_;
};

// Found anywhere in a failure's text, each tells the module what happened: no try got an answer
// it could use; the request went out and no whole answer came back (the exchange may have
// acted); the exchange refuses a further stop order; the answer was not HTTP.
inline constexpr std::string_view kMaxRetriesHit = "Max retries hit";
inline constexpr std::string_view kTimedOut = "Timed out";
inline constexpr std::string_view kMaxStopOrders = "Max Stop orders";
inline constexpr std::string_view kBrokenAnswer = "Broken answer";

// The name of a failure's kind: "KeyError", "TypeError", "ValueError", "HTTPError",
// "ImportError", or "Error" for any other failure.
std::string_view failure_kind(const std::exception& failure) noexcept;

}  // namespace stoploss
