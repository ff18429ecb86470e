#include "trail_report.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "demo/report.hpp"

namespace trail {
namespace {

std::string price_or_dash(const std::optional<double>& price) {
  return price ? demo::price_text(*price) : "-";
}

std::string prices_text(const std::optional<std::vector<BookStop>>& stops) {
  if (!stops) return "?";  // the feed was down
  if (stops->empty()) return "none";
  std::vector<std::string> texts;
  for (const BookStop& stop : *stops) texts.push_back(demo::price_text(stop.price));
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
                     clock_text(), demo::price_text(request.last_price),
                     demo::price_text(request.wanted), result_text(request.sent),
                     request.sent.http_requests, request.sent.seconds * 1000,
                     prices_text(request.stops_after));
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

void print_summary(const Totals& totals, double guarded_seconds, std::ostream& out) {
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
                     demo::percentile(times, 50) * 1000, demo::percentile(times, 99) * 1000);
  out << fmt::format("time exposed: {:.2f} s of {:.2f} s guarded; feed reconnects: {}\n",
                     totals.exposed_seconds, guarded_seconds, totals.reconnects);
}

void write_trace_csv(const std::vector<Sample>& samples, std::ostream& out) {
  out << "seconds,last_price,wanted_stop,stops,position,entry,closed\n";
  for (const Sample& sample : samples) {
    std::vector<std::string> stops;
    for (const double stop : sample.stops) stops.push_back(demo::price_text(stop));
    out << fmt::format("{:.3f},{},{},{},{},{},{}\n", sample.seconds,
                       sample.last_price ? demo::price_text(*sample.last_price) : "",
                       sample.wanted ? demo::price_text(*sample.wanted) : "", fmt::join(stops, " "),
                       sample.position, sample.entry ? demo::price_text(*sample.entry) : "",
                       sample.closed ? 1 : 0);
  }
}

// Drawn as the demo draws its steps, one step per sample, along a time axis.
void write_chart_svg(const std::vector<Sample>& samples, const std::string& title,
                     std::ostream& out) {
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  std::vector<demo::DemoStep> steps;
  for (const Sample& sample : samples) {
    demo::DemoStep step;
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
  demo::write_chart_svg(steps, title, out,
                        {.label = "time (s)",
                         .at =
                             [&samples](const demo::DemoStep& step) {
                               return samples[static_cast<std::size_t>(step.step)].seconds;
                             },
                         .finest_tick = 0});
}

}  // namespace trail
