#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Core/collaborators/HouseLog.hpp"
#include "Core/sim/faults.hpp"
#include "demo_step.hpp"

namespace demo {

struct DemoSettings {
  std::string pair = "XBTUSD";
  std::vector<double> prices;  // one request per price
  double trail = 100;          // the stop trails the highest price by this much
  std::uint64_t seed = 1;
  sim::FaultSettings faults;
  bool verification = false;  // ask in verification mode
  bool real_pauses = false;
  std::shared_ptr<stoploss::HouseLog> log;  // the module's log (required)
};

// Protects a long position with a trailing stop on the embedded exchange: at every price
// the stop is asked for at `trail` below the highest price since the position was opened (a
// filled stop closes it; the next step opens a new one). Calls `on_step` after each request.
std::vector<DemoStep> run_demo(const DemoSettings& settings,
                               const std::function<void(const DemoStep&)>& on_step);

}  // namespace demo
