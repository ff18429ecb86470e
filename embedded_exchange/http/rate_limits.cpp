#include "embedded_exchange/http/rate_limits.hpp"

#include <algorithm>
#include <cmath>

namespace sim {

bool RateLimits::Bucket::refill(double capacity, double period, double now) {
  tokens = tokens < 0 ? capacity : std::min(capacity, tokens + (now - at) * capacity / period);
  at = now;
  return tokens >= 1;
}

RateLimits::Use RateLimits::take(const std::string& key, bool order_route, double now) {
  const bool signed_request = !key.empty();
  const double capacity = signed_request ? settings_.per_minute : settings_.unsigned_per_minute;
  const double rate = capacity / 60;  // tokens per second
  Bucket& minute = per_minute_[key];
  Use use;
  use.allowed = minute.refill(capacity, 60, now);
  Bucket* second = nullptr;
  if (signed_request && order_route) {
    second = &per_second_[key];
    if (!second->refill(settings_.orders_per_second, 1, now) && use.allowed) {
      use.allowed = false;
      use.retry_after = 1;
    }
  }
  if (!use.allowed && use.retry_after == 0) {
    use.retry_after = static_cast<long long>(std::ceil((1 - minute.tokens) / rate));
  }
  if (use.allowed) {
    minute.tokens -= 1;
    if (second) second->tokens -= 1;
  }
  use.limit = static_cast<int>(capacity);
  use.remaining = static_cast<int>(minute.tokens);
  use.reset = static_cast<long long>(std::ceil(now + (capacity - minute.tokens) / rate));
  if (second) use.remaining_1s = static_cast<int>(second->tokens);
  return use;
}

}  // namespace sim
