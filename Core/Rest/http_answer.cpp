#include "Core/Rest/http_answer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <boost/beast/http/error.hpp>
#include <cctype>
#include <charconv>
#include <optional>
#include <stdexcept>

#include "Core/collaborators/failures.hpp"

namespace rest {
namespace {

namespace http = boost::beast::http;
using std::chrono::milliseconds;

std::string_view reason_of(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "HTTP error";
  }
}

// The exchange refuses a further stop order in words of its own; the module looks for this.
bool refuses_stop_limit(const std::string& body) {
  std::string lower(body);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("stop orders") != std::string::npos &&
         (lower.find("too many") != std::string::npos || lower.find("max") != std::string::npos);
}

// A header that reads wholly as an integer of type T; nothing for one missing or unreadable.
template <class T>
std::optional<T> header_number(const Answer& answer, std::string_view name) {
  const auto found = answer.find(boost::beast::string_view(name.data(), name.size()));
  if (found == answer.end()) return std::nullopt;
  const auto text = found->value();
  T number{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

// The longest wait between tries; a negative setting means none.
milliseconds longest(const TryContext& context) {
  return std::max(context.max_wait, milliseconds(0));
}

// Seconds a header asks to wait, at most the longest wait. Compared as seconds before they
// become milliseconds, so that no value a peer sends can overflow.
milliseconds seconds_wait(long long seconds, const TryContext& context) {
  if (seconds <= 0) return milliseconds(0);
  if (seconds > std::chrono::duration_cast<std::chrono::seconds>(longest(context)).count()) {
    return longest(context);
  }
  return std::chrono::seconds(seconds);
}

}  // namespace

void bound(AnswerParser& parser, std::uint64_t max_answer_bytes) {
  parser.header_limit(kMaxHeaderBytes);
  parser.body_limit(max_answer_bytes);
}

boost::beast::flat_buffer answer_buffer() { return boost::beast::flat_buffer(2 * kMaxHeaderBytes); }

void refuse_unreadable(const boost::beast::error_code& error, std::string_view request) {
  if (error == http::error::body_limit || error == http::error::header_limit ||
      error == http::error::buffer_overflow) {
    throw stoploss::ValueError(fmt::format("Answer too large: {} ({})", request, error.message()));
  }
  throw std::runtime_error(fmt::format("Broken answer: {} ({})", request, error.message()));
}

RateLimit rate_limit_of(const Answer& answer, const RateLimit& previous) {
  return {header_number<long>(answer, "x-ratelimit-limit").value_or(previous.limit),
          header_number<long>(answer, "x-ratelimit-remaining").value_or(previous.remaining),
          header_number<long long>(answer, "x-ratelimit-reset").value_or(previous.reset)};
}

milliseconds backoff_wait(const TryContext& context) {
  milliseconds wait = std::clamp(context.backoff, milliseconds(0), longest(context));
  for (int i = 0; i < context.attempt && wait.count() > 0 && wait < longest(context); ++i) {
    wait = wait.count() > longest(context).count() / 2 ? longest(context) : wait * 2;
  }
  return wait;
}

std::variant<stoploss::Value, Retry> interpret(const Answer& answer, const TryContext& context) {
  const int status = static_cast<int>(answer.result_int());
  if (status >= 200 && status < 300) {
    try {
      return stoploss::parse_json(answer.body());
    } catch (const stoploss::ValueError& error) {
      throw stoploss::ValueError(
          fmt::format("the answer to {} {} is {}", context.verb, context.url, error.what()));
    }
  }
  if (status == 503 || status == 429) {
    milliseconds wait = backoff_wait(context);
    if (status == 429) {
      if (const auto after = header_number<long long>(answer, "retry-after")) {
        wait = std::max(wait, seconds_wait(*after, context));
      }
      if (const auto reset = header_number<long long>(answer, "x-ratelimit-reset")) {
        const long long now = std::max(context.now, 0LL);
        wait = std::max(wait, seconds_wait(*reset > now ? *reset - now : 0, context));
      }
    }
    return Retry{wait, fmt::format("{} {}", status, reason_of(status))};
  }
  std::string text =
      fmt::format("{} {} Error: {} for url: {}", status, status < 500 ? "Client" : "Server",
                  reason_of(status), context.url);
  if (refuses_stop_limit(answer.body())) text += " (Max Stop orders)";
  throw stoploss::HTTPError(text, {status, answer.body()});
}

}  // namespace rest
