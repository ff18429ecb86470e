#pragma once

#include <memory>
#include <string>

#include "Core/Rest/rest_client.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "Core/ws/feed_client.hpp"
#include "venue.hpp"

namespace trail {

// The pair on an exchange reached over REST with its realtime feed: the market as the feed shows
// it, and stop requests through the module over the REST collaborators with that feed. Loads and
// arms the module for the pair; `client` and `feed` must outlive every request. The module's
// pauses go to `sleep` (real waits when none is given).
class LiveVenue final : public Venue {
 public:
  LiveVenue(std::string pair, rest::RestClient& client, ws::FeedClient& feed,
            std::shared_ptr<stoploss::HouseLog> log, std::shared_ptr<stoploss::Sleep> sleep = {});

  Market market() override;
  Sent send(double stop_price) override;
  std::vector<double> cancel_stops(const std::vector<double>& prices, int side) override;
  Budget budget() const override;

 private:
  std::string pair_;
  rest::RestClient& client_;
  ws::FeedClient& feed_;
};

}  // namespace trail
