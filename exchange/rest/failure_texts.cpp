#include "exchange/rest/failure_texts.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"
#include "exchange/auth/refusals.hpp"

namespace rest {

using stoploss::kBrokenAnswer;
using stoploss::kMaxRetriesHit;
using stoploss::kMaxStopOrders;
using stoploss::kTimedOut;
namespace {

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

// The exchange refuses a further stop order in words of its own.
bool refuses_stop_limit(std::string_view body) {
  std::string lower(body);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.find("stop orders") != std::string::npos &&
         (lower.find("too many") != std::string::npos || lower.find("max") != std::string::npos);
}

// error.message of an error body, or error.name when there is no message.
std::optional<std::string> exchange_message(std::string_view body) {
  stoploss::Value parsed;
  try {
    parsed = stoploss::parse_json(body);
  } catch (const stoploss::ValueError&) {
    return std::nullopt;
  }
  const auto error = parsed.is_object() ? parsed.find("error") : parsed.end();
  if (error == parsed.end() || !error->is_object()) return std::nullopt;
  for (const char* field : {"message", "name"}) {
    const auto words = error->find(field);
    if (words != error->end() && words->is_string() &&
        !words->get_ref<const std::string&>().empty()) {
      return words->get<std::string>();
    }
  }
  return std::nullopt;
}

// `message` as a log line may show it: printable ASCII, one '?' for any other character (the
// message is UTF-8, as JSON texts are), the markers defused, at most kMaxReasonChars.
std::string shown(std::string_view message) {
  // Enough characters to know whether it must be cut, however many bytes each takes.
  message = message.substr(0, 4 * (kMaxReasonChars + 1));
  std::string text;
  for (const unsigned char c : message) {
    if (c >= 0x20 && c < 0x7f) {
      text.push_back(static_cast<char>(c));
    } else if ((c & 0xc0) != 0x80) {  // not the continuation of a character already shown
      text.push_back('?');
    }
  }
  for (const std::string_view marker : {kMaxRetriesHit, kTimedOut, kMaxStopOrders, kBrokenAnswer}) {
    for (std::size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
      text[at] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
    }
  }
  return stoploss::excerpt(text, kMaxReasonChars);
}

}  // namespace

std::string exchange_words(std::string_view body) {
  const std::optional<std::string> message = exchange_message(body);
  if (!message) return {};
  const std::optional<auth::Refusal> refusal = auth::refusal_of(*message);
  return fmt::format("{}{}exchange: \"{}\"", refusal ? auth::meaning(*refusal) : "",
                     refusal ? "; " : "", shown(*message));
}

std::string http_error_text(int status, std::string_view url, std::string_view body) {
  std::string text = fmt::format("{} {} Error: {} for url: {}", status,
                                 status < 500 ? "Client" : "Server", reason_of(status), url);
  if (refuses_stop_limit(body)) text += fmt::format(" ({})", kMaxStopOrders);
  if (const std::string words = exchange_words(body); !words.empty()) {
    text += fmt::format(" ({})", words);
  }
  return text;
}

std::string retry_reason(int status, std::string_view body) {
  const std::string words = exchange_words(body);
  return fmt::format("{} {}{}{}", status, reason_of(status), words.empty() ? "" : "; ", words);
}

std::string max_retries_text(std::string_view request, std::string_view why) {
  return fmt::format("{}: {} ({})", kMaxRetriesHit, request, why);
}

std::string rate_limit_after_deadline(long long reset_in_seconds) {
  return fmt::format("the rate limit resets in {} s, after the call's deadline", reset_in_seconds);
}

std::string wait_after_deadline(std::chrono::milliseconds wait) {
  return fmt::format("the next try in {} ms would pass the call's deadline", wait.count());
}

std::string no_time_left(std::chrono::milliseconds total_deadline) {
  return fmt::format("nothing left of the call's {} ms deadline", total_deadline.count());
}

std::string timed_out_text(std::string_view request, std::chrono::milliseconds within) {
  return fmt::format("{}: {} (no whole answer within {} ms)", kTimedOut, request, within.count());
}

std::string broken_answer_text(std::string_view request, std::string_view detail) {
  return fmt::format("{}: {} ({})", kBrokenAnswer, request, detail);
}

}  // namespace rest
