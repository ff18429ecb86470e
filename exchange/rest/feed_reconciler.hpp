#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/record.hpp"
#include "exchange/rest/live_feed.hpp"

namespace rest {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

// Keeps the live feed's open orders honest: a pair's listing from the feed is compared with the
// exchange's REST listing once every `every`, the first one `every` after construction, and at
// once after a write whose answered order the feed does not show as answered. On a
// difference both sides are logged as a warning and the feed is subscribed afresh, so that it is
// down (listings over REST) until fresh partials arrive. Not thread-safe.
class FeedReconciler {
 public:
  FeedReconciler(std::shared_ptr<LiveFeed> feed, std::shared_ptr<stoploss::HouseLog> log,
                 std::chrono::milliseconds every, SteadyClock clock);

  // Whether the pair's next listing must come over REST to be compared.
  bool due(std::string_view pair) const;
  // A REST listing of the pair's open orders made while the feed was up, and the feed's listing
  // (`before`) read just before it: logs and resubscribes when they differ, unless the feed
  // changed meanwhile to agree. Restarts the pair's schedule.
  void compare(const std::string& pair, const stoploss::Value& listing,
               const std::shared_ptr<const stoploss::RecordList>& before);
  // An order a REST write answered, once applied to the feed: when the feed does not show it
  // as answered (missing, still open after a cancel, another price or size), its pair is due.
  void check_written(const stoploss::Value& order);

 private:
  std::shared_ptr<LiveFeed> feed_;
  std::shared_ptr<stoploss::HouseLog> log_;
  std::chrono::milliseconds every_;
  SteadyClock clock_;
  std::chrono::steady_clock::time_point started_;
  std::map<std::string, std::chrono::steady_clock::time_point, std::less<>> next_;
};

}  // namespace rest
