#pragma once

#include <memory>
#include <string>

#include "embedded_exchange/engine/price_feed.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "exchange/auth/credentials.hpp"

namespace sim {

// The embedded exchange served on a loopback port for one run, as a host starts it when it has no
// exchange to reach: the exchange's perpetuals (perpetuals.hpp), XBTUSD at 9000 and ETHUSD at
// 2000 among them, with credentials made up for the run.
class LoopbackExchange {
 public:
  LoopbackExchange();
  LoopbackExchange(const LoopbackExchange&) = delete;
  LoopbackExchange& operator=(const LoopbackExchange&) = delete;

  const std::string& url() const { return url_; }
  const auth::Credentials& credentials() const { return credentials_; }
  SimServer& server() { return *server_; }

 private:
  SimExchange exchange_;
  auth::Credentials credentials_;
  std::unique_ptr<SimServer> server_;
  std::string url_;
};

// Every price `server`'s exchange lists moved along a seeded walk of its own every `pace`
// (`volatility` a fraction of the price a step), from now until the feed returned goes.
std::unique_ptr<PriceFeed> walk_every_price(SimServer& server, double volatility,
                                            std::uint64_t seed, std::chrono::milliseconds pace);

// A market order of `contracts` (negative sells), as any client would send it.
void open_position(SimServer& server, const std::string& pair, long long contracts);

}  // namespace sim
