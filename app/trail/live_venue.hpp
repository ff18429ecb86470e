#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_client.hpp"
#include "venue.hpp"

namespace app::trail {

// The pair on an exchange reached over REST with its realtime feed: the market as the feed shows
// it (or as REST does, when asked), and stop requests through the module over the REST
// collaborators with that feed. Loads and arms the module for the pair; `client` and `feed` must
// outlive every request. The module's pauses go to `sleep` (real waits when none is given).
class LiveVenue final : public Venue {
 public:
  LiveVenue(std::string pair, rest::RestClient& client, feed::FeedClient& feed,
            std::shared_ptr<stoploss::HouseLog> log, std::shared_ptr<stoploss::Sleep> sleep = {});

  Market market() override;
  Market market_over_rest() override;
  long long position_over_rest() override;
  void distrust_feed(const std::string& why) override;
  Sent send(double stop_price) override;
  Tidy tidy(const std::optional<Keep>& keep) override;
  Budget budget() const override;

 private:
  stoploss::Value open_orders();

  std::string pair_;
  rest::RestClient& client_;
  feed::FeedClient& feed_;
  std::shared_ptr<stoploss::HouseLog> log_;
  // The module's collaborators this venue also reads the book and cancels through.
  std::shared_ptr<stoploss::QuorCalls> quor_calls_;
  std::shared_ptr<stoploss::Cancel_bulk> cancel_bulk_;
};

}  // namespace app::trail
