#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "event_log.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_client.hpp"
#include "guard_config.hpp"
#include "guard_loop.hpp"
#include "metrics.hpp"
#include "trail/live_module.hpp"

namespace app::guard {

struct GuardSettings {
  // The feed down this long: positions are looked for over REST, every rest_every.
  std::chrono::milliseconds feed_wait{10000};
  std::chrono::milliseconds rest_every{5000};
};

// Every position of an account that the config guards, through one module, one feed, one REST
// client and one scheduler. The pairs the config names are guarded from the start; with a default
// rule, any other pair the account may trade is guarded from the moment the feed (or, while it is
// down, a REST listing) shows a position open in it, and let go once the position is closed and
// the stops its run placed are cleaned up. `client`, `feed`, `module` and `events` must outlive
// it. Single-threaded; the caller's clock drives it.
class GuardService {
 public:
  GuardService(GuardConfig config, std::set<std::string> tradable, rest::RestClient& client,
               feed::FeedClient& feed, trail::LiveModule& module, Events& events,
               GuardSettings settings = {});

  // One turn: positions looked for, every guarded pair stepped, at most one request sent.
  std::vector<PairStep> tick(Clock::time_point now);
  // Takes `config` from the next tick: rules changed, pairs added or let go (their stops stand).
  // Throws ConfigError, keeping the config it has, for one that names another exchange.
  void reload(GuardConfig config);
  // Ends the run leaving every stop standing: a wanted stop not confirmed yet is asked for once
  // more, and the surplus of the guard's own stops cancelled.
  void finish(Clock::time_point now);

  // Positions have been looked for, and every open one has a stop at or inside its wanted price.
  bool all_protected() const;
  GuardMetrics metrics() const;
  std::vector<std::string> guarded() const { return loop_.pairs(); }

 private:
  void look_for_positions(Clock::time_point now);
  void guard(const std::string& pair, const Rule& rule);
  void report(const PairStep& step);
  trail::TrailSettings settings_for(const Rule& rule) const;

  GuardConfig config_;
  std::set<std::string> tradable_;
  rest::RestClient& client_;
  feed::FeedClient& feed_;
  trail::LiveModule& module_;
  Events& events_;
  GuardSettings settings_;
  GuardLoop loop_;
  std::map<std::string, Rule> rules_;  // of the pairs guarded
  bool looked_ = false;                // positions have been looked for once
  std::optional<Clock::time_point> feed_down_since_{};
  std::optional<Clock::time_point> last_rest_look_{};
};

}  // namespace app::guard
