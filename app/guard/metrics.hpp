#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace app::guard {

// What one guarded pair shows.
struct PairMetrics {
  long long position = 0;  // contracts, negative short
  std::optional<double> last_price{};
  std::optional<double> wanted{};    // the stop the guard wants
  std::optional<double> standing{};  // the tightest stop guarding the position on the book
  double exposed_seconds = 0;
  std::map<std::string, int> requests{};  // by result: "true", "false", "nothing", "failed"
  int http_requests = 0;
};

// What the guard shows as a whole.
struct GuardMetrics {
  std::map<std::string, PairMetrics> pairs{};
  long budget_limit = -1;  // requests a minute, as the exchange's last answer said; -1 unknown
  long budget_remaining = -1;
  int rate_limited = 0;  // answers 429
  bool feed_up = false;
  std::uint64_t feed_reconnects = 0;
  std::vector<double> protection_seconds{};  // of every request that ended true
};

// The metrics in Prometheus' text exposition format (version 0.0.4), every name starting
// "stoploss_guard_".
std::string prometheus_text(const GuardMetrics& metrics);

}  // namespace app::guard
