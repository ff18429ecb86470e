#include "embedded_exchange/engine/faults.hpp"

namespace sim {

FaultInjector::FaultInjector(std::uint64_t seed, FaultSettings settings)
    : settings_(settings), state_(seed) {}

// splitmix64: small, fast and the same on every platform.
double FaultInjector::uniform() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return static_cast<double>(z >> 11) * 0x1.0p-53;
}

Fault FaultInjector::draw() {
  if (settings_.rate <= 0 || uniform() >= settings_.rate) return Fault::kNone;
  const double kind = uniform();
  if (kind < 0.5) return Fault::kOverloaded;
  return kind < 0.75 ? Fault::kMaxRetries : Fault::kTimedOut;
}

bool FaultInjector::feed_down() {
  return settings_.feed_down_rate > 0 && uniform() < settings_.feed_down_rate;
}

}  // namespace sim
