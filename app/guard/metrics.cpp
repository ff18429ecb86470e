#include "metrics.hpp"

#include <fmt/format.h>

#include <array>

namespace app::guard {
namespace {

constexpr std::array kBuckets = {0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0};

// A label value as the format quotes it: a symbol comes from the exchange's feed.
std::string quoted(std::string_view value) {
  std::string text = "\"";
  for (const char c : value) {
    if (c == '\\' || c == '"') text += '\\';
    text += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return text + '"';
}

class Page {
 public:
  void family(const char* name, const char* type, const char* help) {
    text_ += fmt::format("# HELP stoploss_guard_{0} {2}\n# TYPE stoploss_guard_{0} {1}\n", name,
                         type, help);
  }
  void sample(const char* name, const std::string& labels, double value) {
    text_ += fmt::format("stoploss_guard_{}{}{} {}\n", name, labels.empty() ? "" : "{",
                         labels.empty() ? labels : labels + "}", value);
  }
  // One sample a pair, for the pairs that have a value.
  template <typename Read>
  void per_pair(const GuardMetrics& metrics, const char* name, const char* type, const char* help,
                Read read) {
    family(name, type, help);
    for (const auto& [pair, shown] : metrics.pairs) {
      if (const std::optional<double> value = read(shown)) {
        sample(name, "pair=" + quoted(pair), *value);
      }
    }
  }
  std::string text() && { return std::move(text_); }

 private:
  std::string text_;
};

}  // namespace

std::string prometheus_text(const GuardMetrics& metrics) {
  Page page;
  using Pair = PairMetrics;
  page.per_pair(metrics, "position_contracts", "gauge", "Contracts held, negative short.",
                [](const Pair& p) { return std::optional<double>(p.position); });
  page.per_pair(metrics, "last_price", "gauge", "The last traded price.",
                [](const Pair& p) { return p.last_price; });
  page.per_pair(metrics, "wanted_stop_price", "gauge", "The stop price the guard wants.",
                [](const Pair& p) { return p.wanted; });
  page.per_pair(metrics, "standing_stop_price", "gauge",
                "The tightest stop guarding the position on the book.",
                [](const Pair& p) { return p.standing; });
  page.per_pair(metrics, "exposed_seconds_total", "counter",
                "Seconds with a position open and no stop at or inside the wanted price.",
                [](const Pair& p) { return std::optional<double>(p.exposed_seconds); });
  page.per_pair(metrics, "http_requests_total", "counter", "HTTP requests of the stop requests.",
                [](const Pair& p) { return std::optional<double>(p.http_requests); });
  page.family("requests_total", "counter", "Stop requests by result.");
  for (const auto& [pair, shown] : metrics.pairs) {
    for (const auto& [result, count] : shown.requests) {
      page.sample("requests_total", "pair=" + quoted(pair) + ",result=" + quoted(result), count);
    }
  }
  page.family("budget_limit", "gauge", "Requests a minute the exchange allows; -1 unknown.");
  page.sample("budget_limit", "", static_cast<double>(metrics.budget_limit));
  page.family("budget_remaining", "gauge", "Requests left of the budget; -1 unknown.");
  page.sample("budget_remaining", "", static_cast<double>(metrics.budget_remaining));
  page.family("rate_limited_total", "counter", "Answers 429: over the exchange's rate limit.");
  page.sample("rate_limited_total", "", metrics.rate_limited);
  page.family("feed_up", "gauge", "1 while the realtime feed is up.");
  page.sample("feed_up", "", metrics.feed_up ? 1 : 0);
  page.family("feed_reconnects_total", "counter", "Times the realtime feed connected again.");
  page.sample("feed_reconnects_total", "", static_cast<double>(metrics.feed_reconnects));
  page.family("time_to_protection_seconds", "histogram",
              "From a stop request to its confirmed stop.");
  double sum = 0;
  for (const double bound : kBuckets) {
    int count = 0;
    for (const double seconds : metrics.protection_seconds) count += seconds <= bound ? 1 : 0;
    page.sample("time_to_protection_seconds_bucket", fmt::format("le=\"{}\"", bound), count);
  }
  for (const double seconds : metrics.protection_seconds) sum += seconds;
  const auto total = static_cast<double>(metrics.protection_seconds.size());
  page.sample("time_to_protection_seconds_bucket", "le=\"+Inf\"", total);
  page.sample("time_to_protection_seconds_sum", "", sum);
  page.sample("time_to_protection_seconds_count", "", total);
  return std::move(page).text();
}

}  // namespace app::guard
