#include "common/demo_step.hpp"

#include <algorithm>

namespace app {

// Exact comparison: the book must hold the price on the tick, not something close to it.
// Stops beyond the wanted one may stand too: the module keeps up to three candidates to move.
bool DemoStep::holds() const { return std::count(stops.begin(), stops.end(), rounded) == 1; }

}  // namespace app
