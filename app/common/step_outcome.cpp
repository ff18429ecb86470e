#include "common/step_outcome.hpp"

#include <algorithm>

namespace app {

Shortfall shortfall(const DemoStep& step) {
  if (!step.requested || step.holds()) return Shortfall::none;
  if (step.stops.empty()) return Shortfall::no_stop;
  if (std::count(step.stops.begin(), step.stops.end(), step.rounded) > 1) {
    return Shortfall::several_stops;
  }
  return Shortfall::other_price;
}

std::string_view shortfall_marker(const Shortfall shortfall) {
  switch (shortfall) {
    case Shortfall::no_stop:
      return "  << no stop";
    case Shortfall::several_stops:
      return "  << several at price";
    case Shortfall::other_price:
      return "  << none at price";
    case Shortfall::none:
      break;
  }
  return "";
}

Outcome outcome(const DemoStep& step) {
  if (!step.requested) return Outcome::flat;
  if (!step.failure.empty()) return Outcome::failed;
  if (!step.result) return Outcome::returned_nothing;
  return *step.result ? Outcome::returned_true : Outcome::returned_false;
}

std::string_view outcome_name(const Outcome outcome) {
  switch (outcome) {
    case Outcome::returned_true:
      return "true";
    case Outcome::returned_false:
      return "false";
    case Outcome::returned_nothing:
      return "nothing";
    case Outcome::flat:
      return "flat";
    case Outcome::failed:
      break;
  }
  return "failed";
}

bool refused(const DemoStep& step) {
  const Outcome result = outcome(step);
  return result == Outcome::failed || result == Outcome::returned_false;
}

bool with_other_stops(const DemoStep& step) {
  return step.requested && std::any_of(step.stops.begin(), step.stops.end(),
                                       [&step](double stop) { return stop != step.rounded; });
}

double microseconds(const DemoStep& step) { return step.module_seconds * 1e6; }

}  // namespace app
