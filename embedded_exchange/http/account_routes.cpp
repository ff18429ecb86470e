#include "embedded_exchange/http/account_routes.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/sim_account.hpp"
#include "embedded_exchange/http/request_fields.hpp"

namespace sim {
namespace {

using stoploss::Value;

// The request's number `key`; refused as the exchange refuses a field when absent or not one.
double number(const Value& fields, const char* key) {
  const std::optional<std::string> given = field_text(fields, key);
  try {
    if (given) return stoploss::to_float(Value(*given));
  } catch (const std::exception&) {  // refused below
  }
  refuse_field(std::string("Invalid ") + key);
}

std::string symbol_of(const Value& fields) {
  const std::optional<std::string> symbol = field_text(fields, "symbol");
  if (!symbol) refuse_field("symbol must be sent");
  return *symbol;
}

}  // namespace

Value executions(SimExchange& exchange, const Value& fields) {
  return listing(exchange.executions(), fields);
}

Value user(SimExchange& exchange, const Value& /*fields*/) {
  return {{"id", SimExchange::kAccount},
          {"username", "embedded"},
          {"email", "embedded@localhost"},
          {"accountName", ""},
          {"created", exchange.clock().timestamp(0)},
          {"lastUpdated", exchange.clock().timestamp()},
          {"preferences", Value::object()},
          {"TFAEnabled", ""},
          {"typ", ""}};
}

Value commission(SimExchange& exchange, const Value& /*fields*/) {
  Value fees = Value::object();
  for (const auto& [symbol, contract] : exchange.instruments()) {
    fees[symbol] = {{"makerFee", contract.makerFee},
                    {"takerFee", contract.takerFee},
                    {"settlementFee", 0},
                    {"maxFee", std::max(contract.makerFee, contract.takerFee)}};
  }
  return fees;
}

Value wallet_history(SimExchange& exchange, const Value& fields) {
  const std::string currency = field_text(fields, "currency").value_or("XBt");
  if (!holds_currency(currency)) refuse_field("currency is invalid");
  if (currency != "XBt") return Value::array();
  const std::string start = exchange.clock().timestamp(0);
  return Value::array({{{"transactID", "00000000-0000-4000-8000-000000000001"},
                        {"account", SimExchange::kAccount},
                        {"currency", currency},
                        {"transactType", "Deposit"},
                        {"amount", SimExchange::kDeposit},
                        {"fee", 0},
                        {"transactStatus", "Completed"},
                        {"address", ""},
                        {"tx", ""},
                        {"text", ""},
                        {"transactTime", start},
                        {"walletBalance", SimExchange::kDeposit},
                        {"marginBalance", nullptr},
                        {"timestamp", start}}});
}

Value funding(SimExchange& /*exchange*/, const Value& /*fields*/) { return Value::array(); }

Value leverage(SimExchange& exchange, const Value& fields) {
  const double wanted = number(fields, "leverage");
  return exchange.change_position(symbol_of(fields), [&](Position& held, const SimInstrument& c) {
    if (!std::isfinite(wanted) || wanted < 0 || wanted > 1 / c.initMargin + 1e-9) {
      refuse_field("Invalid leverage");
    }
    held.crossMargin = wanted == 0;
    if (wanted > 0) held.leverage = wanted;
  });
}

Value isolate(SimExchange& exchange, const Value& fields) {
  const bool isolated = flag_of(fields, "enabled", true);  // false: cross margin
  return exchange.change_position(symbol_of(fields), [&](Position& held, const SimInstrument&) {
    held.crossMargin = !isolated;
  });
}

Value risk_limit(SimExchange& exchange, const Value& fields) {
  const double wanted = number(fields, "riskLimit");
  return exchange.change_position(symbol_of(fields), [&](Position& held, const SimInstrument&) {
    if (!(wanted > 0) || wanted > 9e18) refuse_field("Invalid riskLimit");
    held.riskLimit = std::llround(wanted);
  });
}

Value transfer_margin(SimExchange& exchange, const Value& fields) {
  const double amount = number(fields, "amount");
  return exchange.change_position(symbol_of(fields), [&](Position& held, const SimInstrument&) {
    if (held.crossMargin) refuse("Cannot transfer margin to a cross-margined position");
    if (!std::isfinite(amount) || std::abs(amount) > 9e18 ||
        static_cast<double>(held.transferredMargin) + amount < 0) {
      refuse_field("Invalid amount");
    }
    held.transferredMargin += std::llround(amount);
  });
}

}  // namespace sim
