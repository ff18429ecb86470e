#pragma once

#include <string>

#include "Core/collaborators/record.hpp"

namespace sim {

// A contract as the exchange lists it. The first five fields come first so that a test can
// list a contract of its own in one line.
struct SimInstrument {
  std::string symbol;
  double tickSize = 0.5;
  long long maxOrderQty = 10000000;
  double lastPrice = 0;
  double impactMidPrice = 0;
  long long lotSize = 1;
  double markPrice = 0;  // 0: the last price
  std::string rootSymbol{};
  std::string underlying{};
  std::string quoteCurrency = "USD";
  std::string settlCurrency = "XBt";
  std::string positionCurrency = "USD";
  std::string index{};  // the index that marks it, listed by /instrument/activeAndIndices
  double maxPrice = 1000000;
  long long multiplier = 1;
  bool isInverse = false;
  bool isQuanto = false;
  double fundingRate = 0.0001;
  // Fees as fractions of a trade's value; margins as fractions of a position's; the risk limit
  // and its step in the settlement currency's smallest unit.
  double makerFee = 0.0005;
  double takerFee = 0.0005;
  double initMargin = 0.01;
  double maintMargin = 0.005;
  long long riskLimit = 1000000000000;
  long long riskStep = 1000000000000;
  long long openInterest = 0;  // contracts open: the account's position, the only one
};

// XBTUSD and ETHUSD as the exchange lists them, at the given prices. `lotSize` of XBTUSD is
// the exchange's 100 unless a test needs whole contracts.
SimInstrument xbtusd(double price, long long lotSize = 100);
SimInstrument ethusd(double price);

// The price the stops of `instrument` trigger on for an execInst of LastPrice, MarkPrice or
// IndexPrice (the exchange's default is the mark price).
double trigger_price(const SimInstrument& instrument, std::string_view execInst);

// The instrument record of GET /instrument, stamped `timestamp`.
stoploss::Value instrument_record(const SimInstrument& instrument, const std::string& timestamp);
// The record of the index that marks `instrument`.
stoploss::Value index_record(const SimInstrument& instrument, const std::string& timestamp);

}  // namespace sim
