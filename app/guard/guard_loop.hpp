#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scheduler.hpp"
#include "trail/trail_session.hpp"
#include "trail/venue.hpp"

namespace app::guard {

// A pair's step of a tick: what its look found, the request sent for it, or its surplus stops
// cancelled.
struct PairStep {
  std::string pair;
  trail::Step step;
};

// The positions of several pairs guarded at once, one request at a time: on each tick every
// pair's session looks at its market and, of the requests due, the one the scheduler picks is
// sent; with none due and half the budget spare, one pair's surplus stops are cancelled.
// Single-threaded; the caller's clock drives it.
class GuardLoop {
 public:
  explicit GuardLoop(Scheduler scheduler = Scheduler());

  // Guards `pair` through `venue` from the next tick on.
  void add(const std::string& pair, std::unique_ptr<trail::Venue> venue,
           const trail::TrailSettings& settings);
  void remove(const std::string& pair);
  bool guards(const std::string& pair) const { return pairs_.contains(pair); }

  std::vector<PairStep> tick(Clock::time_point now, trail::Budget budget);

  trail::TrailSession& session(const std::string& pair) { return *pairs_.at(pair).session; }
  const trail::TrailSession& session(const std::string& pair) const {
    return *pairs_.at(pair).session;
  }
  trail::Venue& venue(const std::string& pair) { return *pairs_.at(pair).venue; }
  std::vector<std::string> pairs() const;

 private:
  struct Guarded {
    std::unique_ptr<trail::Venue> venue;
    std::unique_ptr<trail::TrailSession> session;
  };
  Scheduler scheduler_;
  std::map<std::string, Guarded> pairs_;
};

}  // namespace app::guard
