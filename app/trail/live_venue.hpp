#pragma once

#include <memory>
#include <optional>
#include <string>

#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_client.hpp"
#include "live_module.hpp"
#include "venue.hpp"

namespace app::trail {

// The pair on an exchange reached over REST with its realtime feed: the market as the feed shows
// it (or as REST does, when asked), and stop requests through the module, armed for the pair
// among others. `module`, `client` and `feed` must outlive it.
class LiveVenue final : public Venue {
 public:
  LiveVenue(std::string pair, LiveModule& module, rest::RestClient& client, feed::FeedClient& feed);

  Market market() override;
  Market market_over_rest() override;
  long long position_over_rest() override;
  void distrust_feed(const std::string& why) override;
  Sent send(double stop_price) override;
  Tidy tidy(const std::optional<Keep>& keep) override;
  std::vector<BookStop> cancel(const std::vector<BookStop>& stops) override;
  Budget budget() const override;

 private:
  stoploss::Value open_orders();

  std::string pair_;
  LiveModule& module_;
  rest::RestClient& client_;
  feed::FeedClient& feed_;
};

}  // namespace app::trail
