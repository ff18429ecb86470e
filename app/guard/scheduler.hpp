#pragma once

#include <chrono>
#include <optional>
#include <vector>

#include "trail/trail_session.hpp"
#include "trail/venue.hpp"

namespace app::guard {

using Clock = std::chrono::steady_clock;

// Shares one request budget among pairs, one request at a time. The most exposed pair goes
// first (an exposed one before a covered one, then the widest gap, then the longest waiting),
// except that a pair kept waiting for `longest_wait` goes before every other: no pair waits behind
// the others for ever. While less than a quarter of the exchange's budget is left, requests are
// spaced at the pace the budget refills, for what the last one cost; so none is sent past it. With
// one order or none left of the order routes' budget for a second, none goes within the second.
class Scheduler {
 public:
  explicit Scheduler(std::chrono::milliseconds longest_wait = std::chrono::seconds(5));

  // Which of `wants` to send now: an index, or nothing while the budget asks to wait.
  std::optional<std::size_t> next(const std::vector<trail::Due>& wants, trail::Budget budget,
                                  Clock::time_point now) const;
  // Room for what can wait (a clean-up): half the budget or more left (or not known yet), and a
  // second since the last request, so that it never eats into a burst.
  bool spare(trail::Budget budget, Clock::time_point now) const;
  // A request was sent at `now` and cost `http_requests`.
  void sent(Clock::time_point now, int http_requests);

 private:
  std::chrono::milliseconds longest_wait_;
  std::optional<Clock::time_point> last_sent_{};
  int last_cost_ = 1;
};

}  // namespace app::guard
