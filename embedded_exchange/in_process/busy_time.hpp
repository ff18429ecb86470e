#pragma once

#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

// Adds the time of its own life to the exchange's busy time, once however deeply nested: what
// the collaborators over it spend, apart from the module's own.
class BusyTime {
 public:
  explicit BusyTime(SimExchange& exchange) : exchange_(exchange) { exchange_.open_busy(); }
  ~BusyTime() { exchange_.close_busy(); }
  BusyTime(const BusyTime&) = delete;
  BusyTime& operator=(const BusyTime&) = delete;

 private:
  SimExchange& exchange_;
};

}  // namespace sim
