#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_client.hpp"
#include "venue.hpp"

namespace app::trail {

// The module, loaded and armed once per process for every pair that may be guarded, over the
// REST collaborators with the realtime feed; `client` and `feed` must outlive every request. The
// module's pauses go to `sleep` (real waits when none is given).
class LiveModule {
 public:
  LiveModule(const std::vector<std::string>& pairs, rest::RestClient& client,
             feed::FeedClient& feed, std::shared_ptr<stoploss::HouseLog> log,
             std::shared_ptr<stoploss::Sleep> sleep = {});

  // A stop request for `pair` at `stop_price`, its stop tagged as the trail's.
  Sent send(const std::string& pair, double stop_price);
  // The module's own collaborators, for reading the book and cancelling as a request does.
  stoploss::QuorCalls& quor_calls() { return *quor_calls_; }
  stoploss::Cancel_bulk& cancel_bulk() { return *cancel_bulk_; }
  stoploss::HouseLog& log() { return *log_; }

 private:
  rest::RestClient& client_;
  std::shared_ptr<stoploss::HouseLog> log_;
  std::shared_ptr<stoploss::QuorCalls> quor_calls_;
  std::shared_ptr<stoploss::Cancel_bulk> cancel_bulk_;
};

}  // namespace app::trail
