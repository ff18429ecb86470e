#include <fmt/format.h>
#include <fmt/ranges.h>

#include <string_view>

#include "common/report.hpp"
#include "common/step_outcome.hpp"

namespace app {
namespace {

std::string csv_field(const std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + '"';
}

}  // namespace

void write_trace_csv(const std::vector<DemoStep>& steps, std::ostream& out) {
  out << "step,price,wanted,rounded,result,failure,exchange_calls,faults,stops,module_us,holds\n";
  for (const DemoStep& step : steps) {
    // A step while flat asked for nothing: no stop price, module time or book to judge.
    const auto asked = [&step](const auto& value) {
      return step.requested ? fmt::format("{}", value) : std::string();
    };
    out << fmt::format("{},{},{},{},{},{},{},{},{},{},{}\n", step.step, step.price,
                       asked(step.wanted), asked(step.rounded), outcome_name(outcome(step)),
                       csv_field(step.failure), step.exchange_calls, step.faults,
                       fmt::join(step.stops, ";"), asked(fmt::format("{:.3f}", microseconds(step))),
                       asked(step.holds()));
  }
}

}  // namespace app
