#pragma once

#include <string>

#include "Core/collaborators/component_table.hpp"
#include "script.hpp"

namespace app::replay {

// A component table whose collaborators record every call in `script` and answer from it.
// Unscripted, WS_Status is true, toNearest rounds to the nearest multiple of the step
// (halves away from zero), the log, CLEAN_Stops and the bulk operations return nothing,
// and any other operation raises an "Error" naming it. The registry keeps what it is given;
// GetDir.Dir answers `install_dir`; pauses are recorded, never slept.
stoploss::ComponentTable scripted_components(Script& script, const std::string& install_dir);

}  // namespace app::replay
