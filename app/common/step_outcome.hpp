#pragma once

// How one step of a run reads, for the report's parts: what the request came to and how the book
// fell short of one stop at the wanted price.
#include <string_view>

#include "common/demo_step.hpp"

namespace app {

enum class Shortfall { none, no_stop, several_stops, other_price };
// A step that asked for nothing has no shortfall.
Shortfall shortfall(const DemoStep& step);
std::string_view shortfall_marker(Shortfall shortfall);

enum class Outcome { returned_true, returned_false, returned_nothing, failed, flat };
// A request that threw is a failure whatever its result holds; a step while flat made none.
Outcome outcome(const DemoStep& step);
std::string_view outcome_name(Outcome outcome);

// A request that returned false or failed: what the summary counts under those two.
bool refused(const DemoStep& step);
// Stops other than the one at the wanted price stood after the request.
bool with_other_stops(const DemoStep& step);
double microseconds(const DemoStep& step);

}  // namespace app
