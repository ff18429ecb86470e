#include "market_walk.hpp"

namespace sim {

MarketWalk::MarketWalk(const SimExchange& exchange, double volatility, std::uint64_t seed) {
  for (const auto& [symbol, instrument] : exchange.instruments()) {
    RandomWalk walk(instrument.lastPrice, instrument.tickSize, volatility, seed++);
    walk.next();  // the first price is where it stands
    walks_.emplace(symbol, std::move(walk));
  }
}

void MarketWalk::step(SimExchange& exchange) {
  for (auto& [symbol, walk] : walks_) exchange.set_price(symbol, walk.next());
}

void MarketWalk::shock(SimExchange& exchange, double fraction) {
  for (auto& [symbol, walk] : walks_) {
    walk.jump_to(exchange.instruments().at(symbol).lastPrice * (1 + fraction));
    exchange.set_price(symbol, walk.next());
  }
}

}  // namespace sim
