#include "embedded_exchange/http/sim_routes.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <limits>
#include <optional>
#include <ranges>
#include <string>
#include <vector>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/sim_account.hpp"
#include "embedded_exchange/http/account_routes.hpp"
#include "embedded_exchange/http/market_routes.hpp"
#include "embedded_exchange/http/request_fields.hpp"

namespace sim {
namespace {

using stoploss::RecordList;
using stoploss::Value;

RecordList listed(SimExchange& exchange, bool with_indices) {
  RecordList records;
  const std::string now = exchange.clock().timestamp();
  for (const auto& [symbol, instrument] : exchange.instruments()) {
    records.push_back(instrument_record(instrument, now));
  }
  if (with_indices) {
    for (const auto& [symbol, instrument] : exchange.instruments()) {
      const Value index = index_record(instrument, now);
      if (std::ranges::find(records, index) == records.end()) records.push_back(index);
    }
  }
  return records;
}

Value indices(SimExchange& exchange, const Value& fields) {
  RecordList records = listed(exchange, true);
  std::erase_if(records, [](const Value& record) { return record.value("typ", "") != "MRCXXX"; });
  return listing(std::move(records), fields);
}

Value instruments(SimExchange& exchange, const Value& fields) {
  return listing(listed(exchange, true), fields);
}

Value active(SimExchange& exchange, const Value& fields) {
  return listing(listed(exchange, false), fields);
}

// The book's own selection (open orders, any field's values, a time span), then the listing's
// order, paging and columns.
Value orders(SimExchange& exchange, const Value& fields) {
  const RecordList selected = exchange.orders({.symbol = field_text(fields, "symbol"),
                                               .filter = filter_of(fields),
                                               .count = std::numeric_limits<int>::max(),
                                               .startTime = field_text(fields, "startTime"),
                                               .endTime = field_text(fields, "endTime")});
  Value paging = fields;
  for (const char* selecting : {"symbol", "filter", "startTime", "endTime"}) {
    paging.erase(selecting);
  }
  return listing(selected, paging);
}

Value place(SimExchange& exchange, const Value& fields) { return exchange.place(fields); }

Value amend(SimExchange& exchange, const Value& fields) { return exchange.amend_order(fields); }

Value cancel(SimExchange& exchange, const Value& fields) {
  const std::vector<std::string> orderIDs = ids_of(fields, "orderID");
  const std::vector<std::string> clOrdIDs = ids_of(fields, "clOrdID");
  if (orderIDs.empty() && clOrdIDs.empty()) throw BadRequest("orderID or clOrdID must be sent");
  return exchange.cancel_orders(orderIDs, clOrdIDs, field_text(fields, "text").value_or(""));
}

Value cancel_all_after(SimExchange& exchange, const Value& fields) {
  const std::optional<std::string> timeout = field_text(fields, "timeout");
  try {
    if (timeout) {
      return exchange.cancel_all_after(
          std::chrono::milliseconds(stoploss::to_int(Value(*timeout))));
    }
  } catch (const Refusal&) {
    throw;
  } catch (const std::exception&) {  // refused below
  }
  throw BadRequest("timeout is invalid");
}

// The whole position closed at market, or at `price` as a limit.
Value close_position(SimExchange& exchange, const Value& fields) {
  Value order = {{"symbol", field_text(fields, "symbol").value_or("")}, {"execInst", "Close"}};
  if (const std::optional<std::string> price = field_text(fields, "price")) {
    order["price"] = *price;
    order["ordType"] = "Limit";
  }
  return exchange.place(order);
}

Value cancel_all(SimExchange& exchange, const Value& fields) {
  return exchange.cancel_all(field_text(fields, "symbol"), filter_of(fields),
                             field_text(fields, "text").value_or(""));
}

Value positions(SimExchange& exchange, const Value& fields) {
  return listing(position_records(exchange, exchange.clock().timestamp()), fields);
}

// One currency's record, or with currency "all" a list of every currency's.
template <Value (*Record)(const SimExchange&, std::string_view, const std::string&)>
Value per_currency(SimExchange& exchange, const Value& fields) {
  const std::string currency = field_text(fields, "currency").value_or("XBt");
  const std::string now = exchange.clock().timestamp();
  if (currency == "all") {
    return Value::array({Record(exchange, "XBt", now), Record(exchange, "USDt", now)});
  }
  if (!holds_currency(currency)) throw BadRequest("currency is invalid");
  return Record(exchange, currency, now);
}

Value assets(SimExchange& /*exchange*/, const Value& /*fields*/) { return asset_records(); }

constexpr std::array<ExchangeRoute, 29> kRoutes{{
    {"GET", "/api/v1/instrument", &instruments, true},
    {"GET", "/api/v1/instrument/active", &active, true},
    {"GET", "/api/v1/instrument/activeAndIndices", &instruments, true},
    {"GET", "/api/v1/instrument/indices", &indices, true},
    {"GET", "/api/v1/funding", &funding, true},
    {"GET", "/api/v1/orderBook/L2", &order_book, true},
    {"GET", "/api/v1/quote", &quotes, true},
    {"GET", "/api/v1/trade", &trades, true},
    {"GET", "/api/v1/trade/bucketed", &trade_buckets, true},
    {"GET", "/api/v1/order", &orders, false},
    {"POST", "/api/v1/order", &place, false},
    {"PUT", "/api/v1/order", &amend, false},
    {"DELETE", "/api/v1/order", &cancel, false},
    {"DELETE", "/api/v1/order/all", &cancel_all, false},
    {"POST", "/api/v1/order/cancelAllAfter", &cancel_all_after, false},
    {"POST", "/api/v1/order/closePosition", &close_position, false},
    {"GET", "/api/v1/execution", &executions, false},
    {"GET", "/api/v1/execution/tradeHistory", &executions, false},
    {"GET", "/api/v1/position", &positions, false},
    {"POST", "/api/v1/position/leverage", &leverage, false},
    {"POST", "/api/v1/position/isolate", &isolate, false},
    {"POST", "/api/v1/position/riskLimit", &risk_limit, false},
    {"POST", "/api/v1/position/transferMargin", &transfer_margin, false},
    {"GET", "/api/v1/user", &user, false},
    {"GET", "/api/v1/user/commission", &commission, false},
    {"GET", "/api/v1/user/margin", &per_currency<&margin_record>, false},
    {"GET", "/api/v1/user/wallet", &per_currency<&wallet_record>, false},
    {"GET", "/api/v1/user/walletHistory", &wallet_history, false},
    {"GET", "/api/v1/wallet/assets", &assets, true},
}};

}  // namespace

const ExchangeRoute* find_route(std::string_view method, std::string_view path) {
  const auto route = std::ranges::find_if(
      kRoutes, [&](const ExchangeRoute& r) { return r.method == method && r.path == path; });
  return route == kRoutes.end() ? nullptr : &*route;
}

}  // namespace sim
