#include "embedded_exchange/engine/sim_clock.hpp"

#include <fmt/format.h>

namespace sim {
namespace {

using Milliseconds = std::chrono::sys_time<std::chrono::milliseconds>;

// 2026-01-01T00:00:00Z, where simulated time starts.
constexpr std::chrono::sys_seconds kSimulatedEpoch{std::chrono::seconds(1767225600)};

}  // namespace

double SimClock::now() const {
  if (!wall_) return now_;
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

void SimClock::advance(double seconds) {
  if (!wall_) now_ += seconds;
}

std::string SimClock::timestamp(double at_seconds) const {
  const auto since = std::chrono::milliseconds(static_cast<long long>(at_seconds * 1000));
  const Milliseconds at = wall_ ? Milliseconds(since) : kSimulatedEpoch + since;
  const auto day = std::chrono::floor<std::chrono::days>(at);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss time(at - day);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", static_cast<int>(date.year()),
                     static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                     time.hours().count(), time.minutes().count(), time.seconds().count(),
                     time.subseconds().count());
}

}  // namespace sim
