#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Core/collaborators/HouseLog.hpp"
#include "common/demo_step.hpp"
#include "embedded_exchange/engine/faults.hpp"

namespace app::demo {

struct DemoSettings {
  std::string pair = "XBTUSD";
  std::vector<double> prices;  // one request per price
  double trail = 100;          // the stop trails the highest price by this much
  long long position = 1000;   // contracts bought at market to open the position protected
  std::uint64_t seed = 1;
  sim::FaultSettings faults;
  bool verification = false;  // ask in verification mode
  bool real_pauses = false;
  std::shared_ptr<stoploss::HouseLog> log;  // the module's log (required)
};

// Protects a long position, bought at market on the embedded exchange, with a trailing stop: at
// every price the stop is asked for at `trail` below the highest price since the position was
// opened. A stop that triggers sells at market and closes the position: the stops left over are
// cancelled, nothing is asked for while flat, and the next step buys a new position. Calls
// `on_step` after each step.
std::vector<DemoStep> run_demo(const DemoSettings& settings,
                               const std::function<void(const DemoStep&)>& on_step);

}  // namespace app::demo
