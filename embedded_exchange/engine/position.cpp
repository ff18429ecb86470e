#include "embedded_exchange/engine/position.hpp"

#include <cmath>
#include <cstdlib>

#include "Core/utils/rounding.hpp"

namespace sim {
namespace {

using stoploss::Value;

long long sign(long long n) { return (n > 0) - (n < 0); }

}  // namespace

double contract_value(const SimInstrument& contract, long long qty, double price) {
  const double multiplier = static_cast<double>(contract.multiplier);
  return contract.isInverse ? static_cast<double>(qty) * multiplier / price
                            : static_cast<double>(qty) * multiplier * price;
}

void Position::fill(const SimInstrument& contract, long long qty, double price) {
  if (currentQty != 0 && sign(qty) != sign(currentQty)) {
    const long long closed = std::min(std::llabs(qty), std::llabs(currentQty)) * sign(currentQty);
    const double cost = currentCost * static_cast<double>(closed) / static_cast<double>(currentQty);
    realisedPnl += contract_value(contract, closed, price) - cost;
    currentCost -= cost;
    currentQty -= closed;
    qty += closed;
  }
  if (currentQty == 0) currentCost = 0;  // no rounding left behind on a flat position
  currentCost += contract_value(contract, qty, price);
  currentQty += qty;
}

double Position::avg_entry_price(const SimInstrument& contract) const {
  if (currentQty == 0) return 0;
  const double scaled = static_cast<double>(currentQty) * static_cast<double>(contract.multiplier);
  return contract.isInverse ? scaled / currentCost : currentCost / scaled;
}

double Position::unrealised_pnl(const SimInstrument& contract, double mark) const {
  return currentQty == 0 ? 0 : contract_value(contract, currentQty, mark) - currentCost;
}

stoploss::Value position_record(const Position& position, const SimInstrument& contract,
                                const std::string& account, const std::string& timestamp) {
  const double mark = contract.markPrice > 0 ? contract.markPrice : contract.lastPrice;
  const double entry = position.avg_entry_price(contract);
  const bool open = position.currentQty != 0;
  // Liquidated once the loss eats the initial margin less the maintenance margin.
  const double leverage = position.held_leverage(contract);
  const double distance = 1 / leverage - contract.maintMargin;
  const double liquidation =
      !open
          ? 0
          : utils::nearest_multiple(entry * (position.currentQty > 0 ? 1 - distance : 1 + distance),
                                    contract.tickSize);
  const double markValue = contract_value(contract, position.currentQty, mark);
  const double unrealised = position.unrealised_pnl(contract, mark);
  return {{"account", account},
          {"symbol", contract.symbol},
          {"currency", contract.settlCurrency},
          {"underlying", contract.underlying},
          {"quoteCurrency", contract.quoteCurrency},
          {"leverage", leverage},
          {"crossMargin", position.crossMargin},
          {"riskLimit", position.riskLimit > 0 ? position.riskLimit : contract.riskLimit},
          {"posMargin",
           std::llround(std::abs(position.currentCost) / leverage) + position.transferredMargin},
          {"currentQty", position.currentQty},
          {"currentCost", std::llround(position.currentCost)},
          {"realisedPnl", std::llround(position.realisedPnl)},
          {"unrealisedPnl", std::llround(unrealised)},
          {"unrealisedPnlPcnt", open ? unrealised / std::abs(position.currentCost) : 0.0},
          {"markPrice", open ? Value(mark) : Value()},
          {"markValue", std::llround(markValue)},
          {"homeNotional",
           contract.isInverse ? -markValue / 1e8 : static_cast<double>(position.currentQty)},
          {"foreignNotional",
           contract.isInverse ? -static_cast<double>(position.currentQty) : markValue / 1e8},
          {"isOpen", open},
          {"avgEntryPrice", open ? Value(entry) : Value()},
          {"avgCostPrice", open ? Value(entry) : Value()},
          {"breakEvenPrice", open ? Value(entry) : Value()},
          {"liquidationPrice", open ? Value(liquidation) : Value()},
          {"posState", ""},
          {"lastPrice", open ? Value(contract.lastPrice) : Value()},
          {"timestamp", timestamp}};
}

}  // namespace sim
