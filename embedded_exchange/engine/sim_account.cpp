#include "embedded_exchange/engine/sim_account.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "embedded_exchange/engine/order_rules.hpp"

namespace sim {
namespace {

using stoploss::Value;

constexpr std::string_view kSettled = "XBt";

// What the account's XBt stands at, before rounding.
struct Figures {
  double realised = 0;
  double unrealised = 0;
  double position_margin = 0;  // the positions' value at the mark over their leverage
  double position_value = 0;   // at the mark, either sign counted
  double order_value = 0;      // of open orders that can add to a position
  double order_margin = 0;     // their value over their position's leverage
};

double mark(const SimInstrument& contract) {
  return contract.markPrice > 0 ? contract.markPrice : contract.lastPrice;
}

Figures figures(const SimExchange& exchange) {
  Figures f;
  for (const auto& [symbol, held] : exchange.positions()) {
    const SimInstrument& contract = exchange.instrument(symbol);
    f.realised += held.realisedPnl;
    f.unrealised += held.unrealised_pnl(contract, mark(contract));
    const double value = std::abs(contract_value(contract, held.currentQty, mark(contract)));
    f.position_value += value;
    f.position_margin +=
        value / held.held_leverage(contract) + static_cast<double>(held.transferredMargin);
  }
  const auto open =
      exchange.orders({.filter = {{"open", true}}, .count = std::numeric_limits<int>::max()});
  for (const Value& order : open) {
    const OrderTerms terms = terms_of(order);
    const auto listed = exchange.instruments().find(order.value("symbol", std::string()));
    if (listed == exchange.instruments().end() || names(terms.execInst, "ReduceOnly") ||
        names(terms.execInst, "Close")) {
      continue;
    }
    const double price = terms.price.value_or(terms.stopPx.value_or(listed->second.lastPrice));
    const auto leaves = order.value("leavesQty", Value(0));
    if (price <= 0 || !leaves.is_number()) continue;
    const double value = std::abs(contract_value(listed->second, leaves.get<long long>(), price));
    f.order_value += value;
    f.order_margin += value / exchange.position(listed->first).held_leverage(listed->second);
  }
  return f;
}

}  // namespace

bool holds_currency(std::string_view currency) { return currency == "XBt" || currency == "USDt"; }

Value margin_record(const SimExchange& exchange, std::string_view currency,
                    const std::string& timestamp) {
  const Figures f = currency == kSettled ? figures(exchange) : Figures{};
  const long long amount = currency == kSettled ? SimExchange::kDeposit : 0;
  const long long realised = std::llround(f.realised);
  const long long unrealised = std::llround(f.unrealised);
  const long long wallet = amount + realised;
  const long long balance = wallet + unrealised;
  const long long init = std::llround(f.order_margin);
  const long long maint = std::llround(f.position_margin);
  const long long available = std::max(0LL, balance - init - maint);
  const auto share = [&](double part) { return balance > 0 ? part / balance : 0.0; };
  return {{"account", SimExchange::kAccount},
          {"currency", currency},
          {"riskLimit", 1000000000000LL},
          {"state", ""},
          {"amount", amount},
          {"pendingCredit", 0},
          {"pendingDebit", 0},
          {"confirmedDebit", 0},
          {"prevRealisedPnl", 0},
          {"grossComm", 0},
          {"grossOpenCost", std::llround(f.order_value)},
          {"grossMarkValue", std::llround(f.position_value)},
          {"riskValue", std::llround(f.position_value + f.order_value)},
          {"initMargin", init},
          {"maintMargin", maint},
          {"targetExcessMargin", 0},
          {"realisedPnl", realised},
          {"unrealisedPnl", unrealised},
          {"walletBalance", wallet},
          {"marginBalance", balance},
          {"marginLeverage", share(f.position_value)},
          {"marginUsedPcnt", share(static_cast<double>(init + maint))},
          {"excessMargin", available},
          {"availableMargin", available},
          {"withdrawableMargin", available},
          {"makerFeeDiscount", 0},
          {"takerFeeDiscount", 0},
          {"timestamp", timestamp}};
}

Value wallet_record(const SimExchange& exchange, std::string_view currency,
                    const std::string& timestamp) {
  const bool settled = currency == kSettled;
  const long long deposited = settled ? SimExchange::kDeposit : 0;
  const long long amount = settled ? deposited + std::llround(figures(exchange).realised) : 0;
  return {{"account", SimExchange::kAccount},
          {"currency", currency},
          {"deposited", deposited},
          {"withdrawn", 0},
          {"transferIn", 0},
          {"transferOut", 0},
          {"amount", amount},
          {"pendingCredit", 0},
          {"pendingDebit", 0},
          {"confirmedDebit", 0},
          {"timestamp", timestamp},
          {"addr", ""},
          {"script", ""},
          {"withdrawalLock", Value::array()}};
}

stoploss::RecordList position_records(const SimExchange& exchange, const std::string& timestamp) {
  stoploss::RecordList records;
  for (const auto& [symbol, held] : exchange.positions()) {
    records.push_back(position_record(held, exchange.instrument(symbol),
                                      std::to_string(SimExchange::kAccount), timestamp));
    records.back()["account"] = SimExchange::kAccount;
  }
  return records;
}

Value asset_records() {
  const auto asset = [](const char* asset, const char* currency, const char* name, int scale,
                        bool margin, const char* network, long long min_withdrawal) {
    return Value{{"asset", asset},
                 {"currency", currency},
                 {"majorCurrency", asset},
                 {"name", name},
                 {"currencyType", "Crypto"},
                 {"scale", scale},
                 {"enabled", true},
                 {"isMarginCurrency", margin},
                 {"minDepositAmount", 0},
                 {"minWithdrawalAmount", min_withdrawal},
                 {"maxWithdrawalAmount", 1000000000000000LL},
                 {"networks", Value::array({{{"asset", network},
                                             {"tokenAddress", ""},
                                             {"depositEnabled", true},
                                             {"withdrawalEnabled", true},
                                             {"withdrawalFee", 0},
                                             {"minFee", 0},
                                             {"maxFee", 0}}})}};
  };
  return Value::array({asset("XBT", "XBt", "Bitcoin", 8, true, "btc", 100000),
                       asset("USDT", "USDt", "Tether", 6, true, "eth", 5000000)});
}

}  // namespace sim
