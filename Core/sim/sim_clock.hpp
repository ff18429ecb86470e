#pragma once

#include <chrono>
#include <string>

namespace sim {

// Simulated time, in seconds since the start of a run. Advanced by pauses and call latency
// instead of waiting, so that runs are fast and reproduce exactly.
class SimClock {
 public:
  double now() const { return now_; }
  void advance(double seconds) { now_ += seconds; }
  // ISO 8601 time as the exchange writes it, from a fixed epoch.
  std::string timestamp() const;

 private:
  double now_ = 0;
};

}  // namespace sim
