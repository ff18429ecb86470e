// The exchange's request budgets: per key and unsigned, refilled continuously, and the
// one-second budget of the order routes.
#include "Core/sim/rate_limits.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Request {
  std::string key;  // empty: unsigned
  bool order_route;
  double at;  // seconds
};

// Which of `requests` the budgets allow, in order.
std::vector<bool> allowed(const std::vector<Request>& requests) {
  sim::RateLimits limits({.per_minute = 3, .unsigned_per_minute = 2, .orders_per_second = 2});
  std::vector<bool> taken;
  for (const Request& r : requests)
    taken.push_back(limits.take(r.key, r.order_route, r.at).allowed);
  return taken;
}

TEST(RateLimits, AllowWhatEachBudgetHoldsAndRefillItContinuously) {
  struct Case {
    const char* what;
    std::vector<Request> requests;
    std::vector<bool> allowed;
  };
  const Case cases[] = {
      {"a key's minute budget",
       {{"k", false, 0}, {"k", false, 0}, {"k", false, 0}, {"k", false, 0}},
       {true, true, true, false}},
      {"refilled at 3 a minute: one more after 20 s",
       {{"k", false, 0}, {"k", false, 0}, {"k", false, 0}, {"k", false, 19}, {"k", false, 20.5}},
       {true, true, true, false, true}},
      {"unsigned requests have their own smaller budget",
       {{"", false, 0}, {"", false, 0}, {"", false, 0}, {"k", false, 0}},
       {true, true, false, true}},
      {"keys do not share",
       {{"a", false, 0}, {"a", false, 0}, {"a", false, 0}, {"b", false, 0}},
       {true, true, true, true}},
      {"order routes: two a second",
       {{"k", true, 0}, {"k", true, 0.1}, {"k", true, 0.2}, {"k", true, 1.2}},
       {true, true, false, true}},
      {"a refused order takes nothing from the minute budget",
       {{"k", true, 0}, {"k", true, 0}, {"k", true, 0}, {"k", false, 0}},
       {true, true, false, true}},
  };
  for (const Case& c : cases) EXPECT_EQ(allowed(c.requests), c.allowed) << c.what;
}

TEST(RateLimits, ReportWhatIsLeftAndWhenItIsFull) {
  sim::RateLimits limits({.per_minute = 120});
  const auto first = limits.take("k", true, 1000);
  EXPECT_EQ(first.limit, 120);
  EXPECT_EQ(first.remaining, 119);
  EXPECT_EQ(first.reset, 1001);  // one token back at 2 a second
  EXPECT_EQ(first.remaining_1s, 9);
  EXPECT_FALSE(limits.take("k", false, 1000).remaining_1s);
}

}  // namespace
