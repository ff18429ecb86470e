#pragma once

#include <string>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_instruments.hpp"

namespace sim {

// One trade of an order: `qty` contracts (positive) at `price`; a maker's order rested on the
// book before it traded, a taker's traded on arrival or when triggered.
struct Trade {
  long long qty = 0;
  double price = 0;
  bool maker = false;
};

// The execution report of `trade`, as GET /execution and the realtime feed's execution table
// show it: the order as the trade left it, the lot traded (lastQty at lastPx), the liquidity it
// added or removed, its value (execCost, negative bought, in the settlement currency's smallest
// unit) and the fee at the contract's rate (execComm, paid when positive).
stoploss::Value execution_record(const stoploss::Value& order, const SimInstrument& contract,
                                 const Trade& trade, const std::string& execID,
                                 const std::string& timestamp);

}  // namespace sim
