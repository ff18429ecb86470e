#pragma once

#include <memory>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/GetDir.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/ModuleHandler.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"

namespace Modules::StopLoss {

// The collaborators the module bound at load.
struct Bindings {
  std::shared_ptr<stoploss::Sleep> sleep;
  std::shared_ptr<stoploss::GetDir> get_dir;
  std::shared_ptr<stoploss::Bitmex_Wrapper> bitmex;
  std::shared_ptr<stoploss::HouseLog> house_log;
  std::shared_ptr<stoploss::QuorCalls> quor_calls;
  std::shared_ptr<stoploss::ModuleHandler> module_handler;
  std::shared_ptr<stoploss::RiskManager> risk_manager;
  std::shared_ptr<stoploss::Amend_bulk> amend_bulk;
  std::shared_ptr<stoploss::Cancel_bulk> cancel_bulk;
};

// The bindings of the last successful load. Throws ImportError before any.
const Bindings& bound();

}  // namespace Modules::StopLoss
