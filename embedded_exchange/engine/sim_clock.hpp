#pragma once

#include <chrono>
#include <string>

namespace sim {

// The embedded exchange's time. Simulated by default: seconds since the start of a run, from
// 2026-01-01T00:00:00Z, moved on by pauses and call latency instead of waiting, so that runs are
// fast and reproduce exactly. On the wall clock (a served exchange, whose clients filter by real
// times): the system's time, which advance() leaves alone.
class SimClock {
 public:
  SimClock() = default;
  static SimClock wall() { return SimClock(true); }

  // Seconds since the run started (simulated), or since the UNIX epoch (wall).
  double now() const;
  void advance(double seconds);
  // ISO 8601 time as the exchange writes it: "2026-01-01T00:00:01.500Z"; of now, or of a time
  // now() gave.
  std::string timestamp() const { return timestamp(now()); }
  std::string timestamp(double at) const;

 private:
  explicit SimClock(bool wall) : wall_(wall) {}
  bool wall_ = false;
  double now_ = 0;
};

}  // namespace sim
