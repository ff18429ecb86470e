#include "trail_report.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "common/report.hpp"

namespace app::trail {
namespace {

std::string price_or_dash(const std::optional<double>& price) {
  return price ? price_text(*price) : "-";
}

std::string prices_text(const std::optional<std::vector<BookStop>>& stops) {
  if (!stops) return "?";  // the feed was down
  if (stops->empty()) return "none";
  std::vector<std::string> texts;
  for (const BookStop& stop : *stops) texts.push_back(price_text(stop.price));
  return fmt::format("{}", fmt::join(texts, ","));
}

std::string result_text(const Sent& sent) {
  if (!sent.failure.empty()) return "failed (" + sent.failure + ")";
  if (!sent.result) return "nothing";
  return *sent.result ? "true" : "false";
}

}  // namespace

std::string clock_text() {
  const auto now = std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
  return fmt::format("{:%H:%M:%S}", now);
}

std::string request_line(const Request& request) {
  return fmt::format("{}  last {:>9}  wanted {:>9}  {:<7}  http {:>2}  {:>5.1f} ms  stops {}",
                     clock_text(), price_text(request.last_price), price_text(request.wanted),
                     result_text(request.sent), request.sent.http_requests,
                     request.sent.seconds * 1000, prices_text(request.stops_after));
}

std::string rest_look_line(const std::string& pair, const Market& market,
                           const std::string& failure, double feed_wait) {
  const std::string opening = fmt::format("{}  feed not up for {} s", clock_text(), feed_wait);
  if (!failure.empty() || !market.position) {
    return fmt::format("{} and the market could not be read over REST ({}): a position is exposed",
                       opening, failure);
  }
  if (*market.position == 0)
    return fmt::format("{}: read over REST, no position in {}", opening, pair);
  return fmt::format(
      "{}: read over REST, a position of {} {} contracts, exposed while the feed is down; its "
      "stop is kept from what REST shows",
      opening, *market.position, pair);
}

std::optional<std::string> doubt_line(const Tidy& tidy) {
  if (!tidy.failure.empty()) {
    return fmt::format(
        "{}  could not read the book over REST after a request that did not end true ({}): no "
        "request until it is read",
        clock_text(), tidy.failure);
  }
  if (tidy.cancelled.empty()) return std::nullopt;
  return fmt::format(
      "{}  book read over REST after a request that did not end true: cancelled the trail's "
      "other stops at {}",
      clock_text(), fmt::join(tidy.cancelled, ", "));
}

std::optional<std::string> cleanup_line(const Tidy& tidy) {
  if (!tidy.failure.empty()) {
    return fmt::format("{}  could not cancel the trail's other stops: {}", clock_text(),
                       tidy.failure);
  }
  if (tidy.cancelled.empty()) return std::nullopt;
  return fmt::format("{}  the position is protected: cancelled the trail's other stops at {}",
                     clock_text(), fmt::join(tidy.cancelled, ", "));
}

std::optional<std::string> left_over_line(const Tidy& tidy) {
  if (!tidy.failure.empty()) {
    return fmt::format("{}  could not cancel the stops left over: {}", clock_text(), tidy.failure);
  }
  if (tidy.cancelled.empty()) return std::nullopt;
  return fmt::format(
      "{}  cancelled the stops left over at {}: with no position to guard they would close the "
      "next one",
      clock_text(), fmt::join(tidy.cancelled, ", "));
}

std::string ending_line(const Tidy& tidy, bool removed) {
  if (!tidy.failure.empty()) {
    return "could not read the book over REST to cancel the trail's stops: " + tidy.failure;
  }
  const std::string cancelled = fmt::format("{}", fmt::join(tidy.cancelled, ", "));
  if (removed) {
    return tidy.cancelled.empty() ? "removed the trail's stops: none stood"
                                  : "removed the trail's stops at " + cancelled;
  }
  std::vector<double> own;
  for (const BookStop& stop : tidy.standing) {
    if (stop.tagged) own.push_back(stop.price);
  }
  return fmt::format(
      "left standing: {}{}",
      own.empty() ? "none of the trail's stops"
                  : fmt::format("the stop at {}", fmt::join(own, ", ")),
      tidy.cancelled.empty() ? "" : " (cancelled the trail's others at " + cancelled + ")");
}

std::string status_line(const std::string& pair, const TrailSession& session,
                        const Budget& budget) {
  const Market& market = session.market();
  std::string position = "position ?";
  if (market.position) {
    position = *market.position == 0 ? "flat"
                                     : fmt::format("position {} {} @ {}", *market.position, pair,
                                                   price_or_dash(market.entry));
  }
  return fmt::format("{} | last {} | stop {} (book {}) | feed {} | budget {}", position,
                     price_or_dash(market.last_price), price_or_dash(session.wanted()),
                     prices_text(market.stops), market.feed_up ? "up" : "down",
                     budget.limit < 0 ? "?" : fmt::format("{}/{}", budget.remaining, budget.limit));
}

void print_summary(const Totals& totals, std::ostream& out) {
  std::vector<std::string> results;
  for (const auto& [result, count] : totals.results)
    results.push_back(fmt::format("{} {}", result, count));
  out << fmt::format("requests: {} ({})\n", totals.requests,
                     results.empty() ? "none" : fmt::format("{}", fmt::join(results, ", ")));
  const int protected_ = totals.results.contains("true") ? totals.results.at("true") : 0;
  out << fmt::format("http requests: {} ({:.2f} per stop confirmed)\n", totals.http_requests,
                     protected_ > 0 ? static_cast<double>(totals.http_requests) / protected_ : 0.0);
  std::vector<double> times = totals.protection_seconds;
  std::sort(times.begin(), times.end());
  out << fmt::format("time to protection: median {:.1f} ms, p99 {:.1f} ms\n",
                     percentile(times, 50) * 1000, percentile(times, 99) * 1000);
  out << fmt::format("time exposed: {:.2f} s of {:.2f} s guarded; feed reconnects: {}\n",
                     totals.exposed_seconds, totals.guarded_seconds, totals.reconnects);
}

void write_trace_csv(const std::vector<Sample>& samples, std::ostream& out) {
  out << "seconds,last_price,wanted_stop,stops,position,entry,closed\n";
  for (const Sample& sample : samples) {
    std::vector<std::string> stops;
    for (const double stop : sample.stops) stops.push_back(price_text(stop));
    out << fmt::format("{:.3f},{},{},{},{},{},{}\n", sample.seconds,
                       sample.last_price ? price_text(*sample.last_price) : "",
                       sample.wanted ? price_text(*sample.wanted) : "", fmt::join(stops, " "),
                       sample.position, sample.entry ? price_text(*sample.entry) : "",
                       sample.closed ? 1 : 0);
  }
}

// Drawn as the demo draws its steps, one step per sample, along a time axis.
void write_chart_svg(const std::vector<Sample>& samples, const std::string& title,
                     std::ostream& out) {
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<DemoStep> steps;
  for (const Sample& sample : samples) {
    DemoStep step;
    step.step = static_cast<int>(steps.size());
    step.price = sample.last_price.value_or(kNone);
    step.wanted = step.rounded = sample.wanted.value_or(kNone);
    step.result = true;
    step.stops = sample.stops;
    step.position = sample.position;
    step.entry = sample.entry;
    if (sample.closed) step.closed_at = sample.last_price;
    steps.push_back(std::move(step));
  }
  write_chart_svg(steps, title, out,
                  {.label = "time (s)",
                   .at =
                       [&samples](const DemoStep& step) {
                         return samples[static_cast<std::size_t>(step.step)].seconds;
                       },
                   .finest_tick = 0});
}

}  // namespace app::trail
