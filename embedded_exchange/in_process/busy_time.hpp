#pragma once

#include <chrono>

#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

// Adds the time of its own life to the exchange's busy time: what the collaborators over it
// spend, apart from the module's own.
class BusyTime {
 public:
  explicit BusyTime(SimExchange& exchange)
      : exchange_(exchange), started_(std::chrono::steady_clock::now()) {}
  ~BusyTime() { exchange_.add_busy(std::chrono::steady_clock::now() - started_); }
  BusyTime(const BusyTime&) = delete;
  BusyTime& operator=(const BusyTime&) = delete;

 private:
  SimExchange& exchange_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace sim
