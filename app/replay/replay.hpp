#pragma once

#include <string>

#include "scenario.hpp"
#include "script.hpp"

namespace app::replay {

// Loads the module against the scenario's scripted collaborators, registers one stop
// manager with ARM and sends every request through the module-level Call. Returns the
// transcript: the search list, the set-up calls and, per request, its events, result,
// failure and the manager's state afterwards. Sets the module's DEBUG flag.
Json run(const Scenario& scenario);

// The transcript as text: one line per event, so that a diff shows what changed.
std::string format_transcript(const Json& transcript);

}  // namespace app::replay
