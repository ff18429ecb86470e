#pragma once

#include <string>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_instruments.hpp"

namespace sim {

// An account's position in one contract, kept as the exchange keeps it: the open quantity
// and what it cost, in the settlement currency's smallest unit (XBt). An inverse contract
// (XBTUSD) is worth multiplier / price per contract, any other multiplier * price.
// The leverage a position is held at until the account chooses another.
inline constexpr double kLeverage = 10;

struct Position {
  std::string symbol;
  long long currentQty = 0;  // positive long, negative short
  double currentCost = 0;    // the open quantity's value at its entry prices
  double realisedPnl = 0;
  // The terms the account chose (POST /position/...): isolated at `leverage`, or cross margin
  // (held at the contract's maximum leverage); margin added to an isolated position; the
  // position's risk limit, 0 for the contract's.
  double leverage = kLeverage;
  bool crossMargin = false;
  long long transferredMargin = 0;
  long long riskLimit = 0;

  // The leverage its margin is held at.
  double held_leverage(const SimInstrument& contract) const {
    return crossMargin ? 1 / contract.initMargin : leverage;
  }

  // Applies a fill of `qty` contracts (positive bought, negative sold) at `price`: adds to
  // the position, or closes it in part or whole (realising its profit or loss) and opens the
  // rest the other way.
  void fill(const SimInstrument& contract, long long qty, double price);

  // The average entry price of the open quantity; 0 when flat.
  double avg_entry_price(const SimInstrument& contract) const;
  // What the open quantity would gain or lose if closed at `mark`.
  double unrealised_pnl(const SimInstrument& contract, double mark) const;
};

// What `qty` contracts of `contract` are worth at `price`, in XBt.
double contract_value(const SimInstrument& contract, long long qty, double price);

// The position record of GET /position and the realtime feed, at the contract's mark price.
stoploss::Value position_record(const Position& position, const SimInstrument& contract,
                                const std::string& account, const std::string& timestamp);

}  // namespace sim
