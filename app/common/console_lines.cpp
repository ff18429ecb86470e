#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <string_view>

#include "common/report.hpp"
#include "common/step_outcome.hpp"

namespace app {
namespace {

// The count and the first few prices; the rest only counted, so the column keeps its width.
std::string stops_text(const std::vector<double>& stops) {
  constexpr std::size_t kShown = 2;
  std::string text = std::to_string(stops.size());
  for (std::size_t i = 0; i < std::min(stops.size(), kShown); ++i) {
    text += (i == 0 ? " @ " : ", ") + price_text(stops[i]);
  }
  if (stops.size() > kShown) text += fmt::format(" +{}", stops.size() - kShown);
  return text;
}

struct Columns {
  std::string_view step, price, stop, result, calls, stops, module_us, marker;
};

std::string columns(const Columns& c) {
  return fmt::format("{:>6} {:>12} {:>12}  {:<8}{:>5}  {:<24}{:>10}{}", c.step, c.price, c.stop,
                     c.result, c.calls, c.stops, c.module_us, c.marker);
}

}  // namespace

void print_summary(const Summary& s, std::ostream& out) {
  const auto line = [&out](const std::string_view label, const std::string& value) {
    out << fmt::format("{:<30}{}\n", label, value);
  };
  const auto share = [&s](const int count) {
    const double percent = s.requests > 0 ? 100.0 * count / s.requests : 0.0;
    return fmt::format("{:>7}  {:5.1f}%", count, percent);
  };
  line("requests", fmt::format("{:>7}", s.requests));
  line("  returned true", share(s.returned_true));
  line("  returned false", share(s.returned_false));
  line("  returned nothing", share(s.returned_nothing));
  std::string causes;
  for (const auto& [cause, count] : s.failure_causes) {
    causes += fmt::format("{}{} {}", causes.empty() ? "  (" : ", ", count, cause);
  }
  line("  failed", share(s.failed) + causes + (causes.empty() ? "" : ")"));
  line("steps while flat, no request", fmt::format("{:>7}", s.flat_steps));
  line("not one stop at wanted price",
       share(s.not_holding) + (s.not_holding ? fmt::format("  ({} after a fault in the request)",
                                                           s.not_holding_after_fault)
                                             : ""));
  line("  no stop at all", share(s.no_stop));
  line("  none at the wanted price", share(s.other_price));
  line("  several at the wanted price", share(s.several_stops));
  line("further stops beyond it", share(s.with_other_stops));
  line("stops triggered", fmt::format("{:>7}", s.stops_triggered));
  line("positions closed by a stop",
       fmt::format("{:>7}", s.positions_closed) +
           (s.positions_closed ? "  (last at " + price_text(s.last_close_price) + ")" : ""));
  line("realised PnL",
       fmt::format("{:>+7.4f}  XBT ({:+.0f} XBt)", s.realised / 1e8, std::round(s.realised)));
  line("exchange calls per request",
       fmt::format("{:>7.2f}  mean, {} max", s.calls_mean, s.calls_max));
  line("faults injected", fmt::format("{:>7}", s.faults));
  line("module time per request",
       fmt::format("{:>7.1f}  us median, {:.1f} us p99", s.module_us_median, s.module_us_p99));
}

std::string step_header() {
  return columns(
      {"step", "price", "wanted", "result", "calls", "stops on the book", "module us", ""});
}

std::string step_line(const DemoStep& step) {
  const auto asked = [&step](std::string text) { return step.requested ? text : "-"; };
  return columns(
      {std::to_string(step.step), price_text(step.price), asked(price_text(step.rounded)),
       outcome_name(outcome(step)), std::to_string(step.exchange_calls), stops_text(step.stops),
       asked(fmt::format("{:.1f}", microseconds(step))), shortfall_marker(shortfall(step))});
}

}  // namespace app
