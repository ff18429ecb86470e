#include "scheduler.hpp"

#include <algorithm>
#include <tuple>

namespace app::guard {

Scheduler::Scheduler(std::chrono::milliseconds longest_wait) : longest_wait_(longest_wait) {}

std::optional<std::size_t> Scheduler::next(const std::vector<trail::Due>& wants,
                                           trail::Budget budget, Clock::time_point now) const {
  if (wants.empty()) return std::nullopt;
  // The order routes' burst: with one order or none left for this second, the next second.
  if (budget.second_remaining >= 0 && budget.second_remaining <= 1 && last_sent_ &&
      now - *last_sent_ < std::chrono::seconds(1)) {
    return std::nullopt;
  }
  const bool low = budget.limit > 0 && budget.remaining >= 0 && budget.remaining < budget.limit / 4;
  if (low && last_sent_) {
    const std::chrono::milliseconds refill(60000 * std::max(1, last_cost_) / budget.limit);
    if (now - *last_sent_ < refill) return std::nullopt;
  }
  // Higher goes first: kept waiting too long, exposed, the widest gap, then waiting longest.
  const auto rank = [&](const trail::Due& want) {
    const Clock::duration waited = now - want.since;
    const bool overdue = waited >= longest_wait_;
    return std::make_tuple(overdue, overdue ? waited : Clock::duration::zero(), want.exposed,
                           want.gap, waited);
  };
  const auto first =
      std::max_element(wants.begin(), wants.end(),
                       [&](const trail::Due& a, const trail::Due& b) { return rank(a) < rank(b); });
  return static_cast<std::size_t>(first - wants.begin());
}

bool Scheduler::spare(trail::Budget budget, Clock::time_point now) const {
  const bool half =
      budget.limit <= 0 || budget.remaining < 0 || budget.remaining >= budget.limit / 2;
  return half && (!last_sent_ || now - *last_sent_ >= std::chrono::seconds(1));
}

void Scheduler::sent(Clock::time_point now, int http_requests) {
  last_sent_ = now;
  last_cost_ = http_requests;
}

}  // namespace app::guard
