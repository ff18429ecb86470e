#include "embedded_exchange/engine/sim_instruments.hpp"

#include <cmath>
#include <ranges>

namespace sim {
namespace {

using stoploss::Value;

bool names(std::string_view list, std::string_view token) {
  for (const auto part : std::views::split(list, ',')) {
    if (std::string_view(part.begin(), part.end()) == token) return true;
  }
  return false;
}

// USDt per USDT: what a linear contract's multiplier times its underlyingToPositionMultiplier
// makes.
constexpr long long kSettleUnits = 1000000;

double mark(const SimInstrument& instrument) {
  return instrument.markPrice > 0 ? instrument.markPrice : instrument.lastPrice;
}

}  // namespace

SimInstrument xbtusd(double price, long long lotSize) {
  return {.symbol = "XBTUSD",
          .tickSize = 0.5,
          .maxOrderQty = 10000000,
          .lastPrice = price,
          .impactMidPrice = price,
          .lotSize = lotSize,
          .rootSymbol = "XBT",
          .underlying = "XBT",
          .index = ".BXBT",
          .multiplier = -100000000,
          .isInverse = true,
          .riskLimit = 20000000000,
          .riskStep = 15000000000};
}

SimInstrument ethusd(double price) {
  return {.symbol = "ETHUSD",
          .tickSize = 0.05,
          .maxOrderQty = 10000000,
          .lastPrice = price,
          .impactMidPrice = price,
          .rootSymbol = "ETH",
          .underlying = "ETH",
          .index = ".BETH",
          .multiplier = 100,
          .isQuanto = true,
          .riskLimit = 7500000000,
          .riskStep = 10000000000};
}

double trigger_price(const SimInstrument& instrument, std::string_view execInst) {
  return names(execInst, "LastPrice") ? instrument.lastPrice : mark(instrument);
}

Value instrument_record(const SimInstrument& instrument, const std::string& timestamp) {
  // One tick either side of the last price: a book that is never crossed.
  const double bid = instrument.lastPrice - instrument.tickSize;
  const double ask = instrument.lastPrice + instrument.tickSize;
  // A linear contract's position counts 1 / underlyingToPositionMultiplier of the underlying and
  // settles in millionths of USDT; an inverse one settles in XBt, its multiplier; a quanto's
  // rate to its settlement moves with the price of XBT and is left null.
  const bool linear = !instrument.isInverse && !instrument.isQuanto;
  const double contracts = static_cast<double>(instrument.openInterest);
  const double multiplier = static_cast<double>(instrument.multiplier);
  const double price = mark(instrument);
  const double open_value = price <= 0
                                ? 0
                                : std::abs(instrument.isInverse ? contracts * multiplier / price
                                                                : contracts * multiplier * price);
  return {{"symbol", instrument.symbol},
          {"rootSymbol", instrument.rootSymbol},
          {"state", "Open"},
          {"typ", "FFWCSX"},
          {"listing", "2016-05-04T12:00:00.000Z"},
          {"expiry", nullptr},
          {"positionCurrency", instrument.positionCurrency},
          {"underlying", instrument.underlying},
          {"quoteCurrency", instrument.quoteCurrency},
          {"settlCurrency", instrument.settlCurrency},
          {"referenceSymbol", instrument.index},
          {"markMethod", "FairPrice"},
          {"tickSize", instrument.tickSize},
          {"lotSize", instrument.lotSize},
          {"maxOrderQty", instrument.maxOrderQty},
          {"maxPrice", instrument.maxPrice},
          {"multiplier", instrument.multiplier},
          {"underlyingToPositionMultiplier",
           linear ? Value(kSettleUnits / instrument.multiplier) : Value()},
          {"underlyingToSettleMultiplier",
           instrument.isInverse ? Value(instrument.multiplier) : Value()},
          {"quoteToSettleMultiplier", linear ? Value(kSettleUnits) : Value()},
          {"isQuanto", instrument.isQuanto},
          {"isInverse", instrument.isInverse},
          {"fundingRate", instrument.fundingRate},
          {"fundingInterval", "2000-01-01T08:00:00.000Z"},
          {"initMargin", instrument.initMargin},
          {"maintMargin", instrument.maintMargin},
          {"riskLimit", instrument.riskLimit},
          {"riskStep", instrument.riskStep},
          {"makerFee", instrument.makerFee},
          {"takerFee", instrument.takerFee},
          {"settlementFee", 0},
          {"openInterest", instrument.openInterest},
          {"openValue", std::llround(open_value)},
          {"lastPrice", instrument.lastPrice},
          {"bidPrice", bid},
          {"midPrice", instrument.lastPrice},
          {"askPrice", ask},
          {"impactBidPrice", bid},
          {"impactMidPrice", instrument.impactMidPrice},
          {"impactAskPrice", ask},
          {"markPrice", mark(instrument)},
          {"indicativeSettlePrice", mark(instrument)},
          {"timestamp", timestamp}};
}

Value index_record(const SimInstrument& instrument, const std::string& timestamp) {
  return {{"symbol", instrument.index},
          {"rootSymbol", instrument.rootSymbol},
          {"state", "Unlisted"},
          {"typ", "MRCXXX"},
          {"underlying", instrument.underlying},
          {"quoteCurrency", instrument.quoteCurrency},
          {"tickSize", 0.01},
          {"lastPrice", mark(instrument)},
          {"markPrice", mark(instrument)},
          {"timestamp", timestamp}};
}

}  // namespace sim
