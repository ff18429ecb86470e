#include "exchange/rest/http_answer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <boost/beast/http/error.hpp>
#include <charconv>
#include <optional>
#include <stdexcept>

#include "Core/collaborators/failures.hpp"
#include "exchange/rest/failure_texts.hpp"

namespace rest {
namespace {

namespace http = boost::beast::http;
using std::chrono::milliseconds;

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

// The longest a 429 asks to wait, in seconds: Retry-After, or until the rate limit resets.
long long seconds_asked(const Answer& answer, long long now) {
  long long asked = std::max(header_number<long long>(answer, "retry-after").value_or(0), 0LL);
  const auto reset = header_number<long long>(answer, "x-ratelimit-reset");
  now = std::max(now, 0LL);
  if (reset && *reset > now) asked = std::max(asked, *reset - now);
  return asked;
}

}  // namespace

void bound(AnswerParser& parser, std::uint64_t max_answer_bytes, std::uint32_t header_bytes) {
  parser.header_limit(header_bytes);
  parser.body_limit(max_answer_bytes);
}

boost::beast::flat_buffer answer_buffer() { return boost::beast::flat_buffer(2 * kMaxHeaderBytes); }

void refuse_unreadable(const boost::beast::error_code& error, std::string_view request) {
  if (error == http::error::body_limit || error == http::error::header_limit ||
      error == http::error::buffer_overflow) {
    throw stoploss::ValueError(fmt::format("Answer too large: {} ({})", request, error.message()));
  }
  throw std::runtime_error(broken_answer_text(request, error.message()));
}

RateLimit rate_limit_of(const Answer& answer, const RateLimit& previous) {
  return {header_number<long>(answer, "x-ratelimit-limit").value_or(previous.limit),
          header_number<long>(answer, "x-ratelimit-remaining").value_or(previous.remaining),
          header_number<long long>(answer, "x-ratelimit-reset").value_or(previous.reset),
          header_number<long>(answer, "x-ratelimit-remaining-1s").value_or(previous.remaining_1s)};
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
    Retry retry{backoff_wait(context), retry_reason(status, answer.body())};
    if (status == 429) {
      retry.rate_limit_reset = seconds_asked(answer, context.now);
      retry.wait = std::max(retry.wait, seconds_wait(retry.rate_limit_reset, context));
    }
    return retry;
  }
  throw stoploss::HTTPError(http_error_text(status, context.url, answer.body()),
                            {status, answer.body()});
}

}  // namespace rest
