#include "embedded_exchange/http/loopback_exchange.hpp"

#include <fmt/format.h>

#include <cstdlib>
#include <random>

#include "embedded_exchange/engine/market_walk.hpp"
#include "embedded_exchange/engine/perpetuals.hpp"

namespace sim {
namespace {

auth::Credentials made_up_credentials() {
  std::random_device seed;
  return {fmt::format("sim-{:08x}", seed()), fmt::format("{:016x}{:016x}", seed(), seed())};
}

}  // namespace

LoopbackExchange::LoopbackExchange()
    : exchange_(1, {}, SimClock::wall()), credentials_(made_up_credentials()) {
  for (SimInstrument& perpetual : perpetuals()) exchange_.list(std::move(perpetual));
  server_ = std::make_unique<SimServer>(
      exchange_, ServerSettings{.key = credentials_.key, .secret = credentials_.secret});
  url_ = fmt::format("http://127.0.0.1:{}", server_->start());
}

std::unique_ptr<PriceFeed> walk_every_price(SimServer& server, double volatility,
                                            std::uint64_t seed, std::chrono::milliseconds pace) {
  std::shared_ptr<MarketWalk> walk;
  server.with_exchange([&](SimExchange& exchange) {
    walk = std::make_shared<MarketWalk>(exchange, volatility, seed);
  });
  auto feed = std::make_unique<PriceFeed>(
      [walk, &server] {
        server.with_exchange([&](SimExchange& exchange) { walk->step(exchange); });
        return true;
      },
      pace);
  feed->start();
  return feed;
}

void open_position(SimServer& server, const std::string& pair, long long contracts) {
  server.with_exchange([&](SimExchange& exchange) {
    exchange.place({{"symbol", pair},
                    {"side", contracts > 0 ? "Buy" : "Sell"},
                    {"orderQty", std::llabs(contracts)},
                    {"ordType", "Market"}});
  });
}

}  // namespace sim
