#pragma once

// The stop-loss module: load it once, register one stop manager with ARM, then send stop
// requests with Call.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "Core/Modules/constants.hpp"
#include "Core/Modules/stop_manager.hpp"
#include "Core/collaborators/component_table.hpp"
#include "Core/collaborators/record.hpp"

namespace Modules::StopLoss {

// Diagnostic console lines are written while this is true; read at every use.
extern std::atomic<bool> DEBUG;

// Binds the collaborators from the host's table and appends the bot's seven component
// directories to its search list. Throws ImportError naming a missing collaborator; the
// module is then unusable. Call once, before any other thread uses the module.
void load(stoploss::ComponentTable& host);

// Registers the host's stop manager in the host registry (slot 11).
void ARM(std::shared_ptr<Aux> INITsend);

// Sends one stop request to the manager registered in slot 11, fetched anew each time.
// Throws TypeError, before anything reaches the exchange, when the slot holds no manager.
std::optional<bool> Call(const std::string& PAIR, const stoploss::Value& Price,
                         const CallOptions& options = {});

}  // namespace Modules::StopLoss
