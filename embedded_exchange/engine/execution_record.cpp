#include "embedded_exchange/engine/execution_record.hpp"

#include <cmath>

#include "embedded_exchange/engine/position.hpp"

namespace sim {

using stoploss::Value;

Value execution_record(const Value& order, const SimInstrument& contract, const Trade& trade,
                       const std::string& execID, const std::string& timestamp) {
  const bool buy = order.value("side", std::string()) == "Buy";
  const long long signed_qty = buy ? trade.qty : -trade.qty;
  // What the buyer pays is a cost: negative; an inverse contract's value is already of the other
  // sign.
  const double value = contract_value(contract, signed_qty, trade.price);
  const long long cost = std::llround(contract.isInverse ? value : -value);
  const double rate = trade.maker ? contract.makerFee : contract.takerFee;
  // The underlying bought (positive) or sold, and the quote currency paid for it; a quanto's
  // contracts count in neither.
  const double qty = static_cast<double>(signed_qty);
  const Value home =
      contract.isQuanto ? Value()
      : contract.isInverse
          ? Value(qty / trade.price)
          : Value(qty * static_cast<double>(contract.multiplier) / 1e6);  // USDt per USDT
  Value record = order;
  record.update(Value{
      {"execID", execID},
      {"execType", "Trade"},
      {"lastQty", trade.qty},
      {"lastPx", trade.price},
      {"lastMkt", "XBME"},
      {"lastLiquidityInd", trade.maker ? "AddedLiquidity" : "RemovedLiquidity"},
      {"underlyingLastPx", nullptr},
      {"trdMatchID", execID},
      {"commission", rate},
      {"tradePublishIndicator", "PublishTrade"},
      {"execCost", cost},
      {"execComm", std::llround(std::abs(static_cast<double>(cost)) * rate)},
      {"homeNotional", home},
      {"foreignNotional", home.is_null() ? Value() : Value(-home.get<double>() * trade.price)},
      {"transactTime", timestamp},
      {"timestamp", timestamp}});
  return record;
}

}  // namespace sim
