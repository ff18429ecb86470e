#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "price_feed.hpp"
#include "sim_exchange.hpp"

namespace sim {

// Every price `exchange` lists, each on a seeded random walk of its own from where it stands, moved
// together; or all at once by the same fraction, as in a market shock.
class MarketWalk {
 public:
  MarketWalk(const SimExchange& exchange, double volatility, std::uint64_t seed);

  // Every price one step on.
  void step(SimExchange& exchange);
  // Every price moved by `fraction` of itself (-0.05: 5% down), on its tick.
  void shock(SimExchange& exchange, double fraction);

 private:
  std::map<std::string, RandomWalk, std::less<>> walks_;
};

}  // namespace sim
