#pragma once

#include "Core/collaborators/component_table.hpp"

namespace Modules::StopLoss {

// The collaborators the module bound at load.
using Bindings = stoploss::Collaborators;

// The bindings of the last successful load. Throws ImportError before any.
const Bindings& bound();

}  // namespace Modules::StopLoss
