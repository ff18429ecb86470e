#pragma once

#include <memory>
#include <string>

#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/component_table.hpp"
#include "Core/sim/sim_exchange.hpp"

namespace sim {

struct SimHostOptions {
  std::string install_dir = "/opt/bot";
  std::shared_ptr<stoploss::HouseLog> log{};  // where the module's log goes (required)
  bool real_pauses = false;                   // wait for pauses instead of simulating them
};

// Every collaborator of the module, implemented over `exchange`, which must outlive them.
// The time they take is added to exchange.busy().
stoploss::ComponentTable sim_components(SimExchange& exchange, const SimHostOptions& options);

}  // namespace sim
