#include "service_notify.hpp"

#include <systemd/sd-daemon.h>

namespace app::guard {

ServiceNotify::ServiceNotify() {
  std::uint64_t period = 0;
  if (sd_watchdog_enabled(0, &period) > 0) watchdog_ = std::chrono::microseconds(period);
}

void ServiceNotify::ready(const std::string& status) {
  if (ready_) return;
  ready_ = true;
  sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void ServiceNotify::alive(std::chrono::steady_clock::time_point now) {
  if (!watchdog_ || (last_ping_ && now - *last_ping_ < *watchdog_ / 2)) return;
  last_ping_ = now;
  sd_notify(0, "WATCHDOG=1");
}

void ServiceNotify::status(const std::string& status) {
  sd_notify(0, ("STATUS=" + status).c_str());
}

void ServiceNotify::stopping() { sd_notify(0, "STOPPING=1"); }

}  // namespace app::guard
