#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "Core/collaborators/failures.hpp"
#include "common/report.hpp"
#include "common/step_outcome.hpp"

namespace app {
namespace {

int& tally(Summary& summary, const Outcome outcome) {
  switch (outcome) {
    case Outcome::returned_true:
      return summary.returned_true;
    case Outcome::returned_false:
      return summary.returned_false;
    case Outcome::returned_nothing:
      return summary.returned_nothing;
    case Outcome::flat:
      return summary.flat_steps;
    case Outcome::failed:
      break;
  }
  return summary.failed;
}

// Where a request that left the book holding the stop counts: nowhere.
int* tally(Summary& summary, const Shortfall shortfall) {
  switch (shortfall) {
    case Shortfall::no_stop:
      return &summary.no_stop;
    case Shortfall::several_stops:
      return &summary.several_stops;
    case Shortfall::other_price:
      return &summary.other_price;
    case Shortfall::none:
      break;
  }
  return nullptr;
}

}  // namespace

// The cause of a failure that reached the host, from its text.
std::string_view failure_cause(const std::string& failure) {
  if (failure.find("503") != std::string::npos) return "overloaded";
  if (failure.find(stoploss::kTimedOut) != std::string::npos) return "timed out";
  if (failure.find(stoploss::kMaxRetriesHit) != std::string::npos) return "retries exhausted";
  return "other";
}

Summary summarize(const std::vector<DemoStep>& steps) {
  Summary summary;
  long long calls = 0;
  std::vector<double> times;
  times.reserve(steps.size());
  for (const DemoStep& step : steps) {
    ++tally(summary, outcome(step));
    if (int* const reason = tally(summary, shortfall(step))) {
      ++*reason;
      if (step.faults > 0) ++summary.not_holding_after_fault;
    }
    if (!step.failure.empty()) ++summary.failure_causes[std::string(failure_cause(step.failure))];
    if (with_other_stops(step)) ++summary.with_other_stops;
    summary.stops_triggered += step.triggered;
    if (step.closed_at) {
      ++summary.positions_closed;
      summary.last_close_price = *step.closed_at;
      summary.realised += step.realised;
    }
    calls += step.exchange_calls;
    summary.calls_max = std::max(summary.calls_max, step.exchange_calls);
    summary.faults += step.faults;
    if (step.requested) times.push_back(microseconds(step));
  }
  summary.requests = static_cast<int>(steps.size()) - summary.flat_steps;
  summary.not_holding = summary.no_stop + summary.several_stops + summary.other_price;
  if (summary.requests > 0) summary.calls_mean = static_cast<double>(calls) / summary.requests;
  std::sort(times.begin(), times.end());
  summary.module_us_median = percentile(times, 50);
  summary.module_us_p99 = percentile(times, 99);
  return summary;
}

double percentile(const std::vector<double>& sorted, const std::size_t percent) {
  if (sorted.empty()) return 0;
  const std::size_t rank = (sorted.size() * percent + 99) / 100;
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

std::string price_text(const double price) { return fmt::format("{:.10g}", price); }

}  // namespace app
