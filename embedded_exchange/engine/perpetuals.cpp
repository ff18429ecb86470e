#include "perpetuals.hpp"

#include <string>

namespace sim {
namespace {

// A contract settled in USDT: quoted in USDT, its position counted in the underlying.
SimInstrument linear(const std::string& root, double tick, long long lot, long long multiplier,
                     long long max_order, double max_price, double price) {
  return {.symbol = root + "USDT",
          .tickSize = tick,
          .maxOrderQty = max_order,
          .lastPrice = price,
          .impactMidPrice = price,
          .lotSize = lot,
          .rootSymbol = root,
          .underlying = root,
          .quoteCurrency = "USDT",
          .settlCurrency = "USDt",
          .positionCurrency = root,
          .index = ".B" + root + "T",
          .maxPrice = max_price,
          .multiplier = multiplier};
}

}  // namespace

std::vector<SimInstrument> perpetuals() {
  SimInstrument bchusd = ethusd(128.45);
  bchusd.symbol = "BCHUSD";
  bchusd.rootSymbol = bchusd.underlying = "BCH";
  bchusd.index = ".BBCH";
  bchusd.maxOrderQty = 100000000;
  bchusd.riskLimit = bchusd.riskStep = 5000000000;
  std::vector<SimInstrument> listed{
      xbtusd(9000),
      ethusd(2000),
      bchusd,
      linear("XBT", 0.1, 100, 1, 1000000000, 1000000, 9000),
      linear("ETH", 0.01, 1000, 10, 1000000000, 1000000, 2000),
      linear("SOL", 0.01, 1000, 100, 1000000000, 1000000, 25),
      linear("XRP", 0.0001, 100, 10000, 1000000000, 10000, 1.36),
      linear("LTC", 0.01, 1000, 100, 1000000000, 1000000, 53.87),
      linear("DOGE", 0.00001, 1000, 10000, 10000000000, 1000, 0.10446),
      linear("ADA", 0.0001, 1000, 10000, 1000000000, 10000, 0.2479)};
  // Margins above the default 1% and 0.5%.
  for (SimInstrument& contract : listed) {
    const std::string& symbol = contract.symbol;
    if (symbol == "SOLUSDT" || symbol == "ADAUSDT") {
      contract.initMargin = 0.03;
      contract.maintMargin = 0.015;
    } else if (symbol == "LTCUSDT" || symbol == "BCHUSD") {
      contract.initMargin = 0.02;
      contract.maintMargin = 0.01;
    }
  }
  return listed;
}

}  // namespace sim
