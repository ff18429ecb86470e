#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// Faults of the exchange connection, drawn from a seeded generator so that a run reproduces.
struct FaultSettings {
  double rate = 0;            // chance that one try of a request meets a fault
  double feed_down_rate = 0;  // chance that a read of the live feed's state finds it down
  std::chrono::microseconds latency{0};  // per try of a request
  bool real_latency = false;             // wait for the latency instead of simulating it
};

// What an injected fault does to a call.
enum class Fault {
  kNone,
  kOverloaded,  // HTTP 503 before the exchange acts
  kMaxRetries,  // the transport gave up before the exchange acted
  kTimedOut,    // the exchange acted, the answer was lost
};

class FaultInjector {
 public:
  FaultInjector(std::uint64_t seed, FaultSettings settings);

  Fault draw();
  bool feed_down();
  const FaultSettings& settings() const { return settings_; }

 private:
  double uniform();  // in [0, 1)

  FaultSettings settings_;
  std::uint64_t state_;
};

}  // namespace sim
