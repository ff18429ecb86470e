#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace app::guard {

// Tells the service manager how the service stands (sd_notify), when it started the process with
// a notify socket; does nothing otherwise.
class ServiceNotify {
 public:
  ServiceNotify();
  // Once: every open position is protected.
  void ready(const std::string& status);
  // While the loop runs and the feed is up; no more often than half the watchdog's period.
  void alive(std::chrono::steady_clock::time_point now);
  void status(const std::string& status);
  void stopping();
  // The watchdog's period the manager set (WatchdogSec=), if any.
  std::optional<std::chrono::microseconds> watchdog() const { return watchdog_; }

 private:
  bool ready_ = false;
  std::optional<std::chrono::microseconds> watchdog_{};
  std::optional<std::chrono::steady_clock::time_point> last_ping_{};
};

}  // namespace app::guard
