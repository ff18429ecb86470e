#include "Core/sim/sim_clock.hpp"

#include <fmt/format.h>

namespace sim {

std::string SimClock::timestamp() const {
  const auto millis = static_cast<long long>(now_ * 1000);
  const long long seconds = millis / 1000;
  return fmt::format("2026-01-01T{:02}:{:02}:{:02}.{:03}Z", (seconds / 3600) % 24,
                     (seconds / 60) % 60, seconds % 60, millis % 1000);
}

}  // namespace sim
