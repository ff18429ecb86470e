#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// The exchange's request budgets, as its x-ratelimit-* headers report them: one per API key,
// one shared by unsigned requests, each refilled continuously over a minute, and for the
// order routes a second budget per key refilled every second.
class RateLimits {
 public:
  struct Settings {
    int per_minute = 120;          // a key's budget
    int unsigned_per_minute = 30;  // shared by every request not signed with a key
    int orders_per_second = 10;    // a key's order placements, amendments and cancels
  };

  struct Use {
    bool allowed = true;
    int limit = 0;                    // x-ratelimit-limit
    int remaining = 0;                // x-ratelimit-remaining
    long long reset = 0;              // x-ratelimit-reset: UNIX seconds when full again
    std::optional<int> remaining_1s;  // x-ratelimit-remaining-1s, on order routes
    long long retry_after = 0;        // seconds, when not allowed
  };

  explicit RateLimits(Settings settings) : settings_(settings) {}

  // Takes one request from `key`'s budgets (an empty key: the unsigned budget) at `now`
  // (UNIX seconds, fractions allowed). A refused request takes nothing.
  Use take(const std::string& key, bool order_route, double now);

 private:
  struct Bucket {
    double tokens = -1;  // -1: full, not yet used
    double at = 0;
    // Refills up to `capacity` at `capacity / period` per second; false when below one.
    bool refill(double capacity, double period, double now);
  };

  Settings settings_;
  std::map<std::string, Bucket, std::less<>> per_minute_;
  std::map<std::string, Bucket, std::less<>> per_second_;
};

}  // namespace sim
