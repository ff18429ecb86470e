#include "embedded_exchange/http/sim_routes.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <ranges>
#include <string>
#include <vector>

#include "embedded_exchange/engine/sim_account.hpp"

namespace sim {
namespace {

using stoploss::RecordList;
using stoploss::Value;

constexpr int kMaxCount = 500;

void add_pairs(Value& fields, std::string_view text) {
  for (const auto part : std::views::split(text, '&')) {
    const std::string_view pair(part.begin(), part.end());
    if (pair.empty()) continue;
    const std::size_t equals = pair.find('=');
    fields[percent_decoded(pair.substr(0, equals))] =
        equals == std::string_view::npos ? std::string() : percent_decoded(pair.substr(equals + 1));
  }
}

std::optional<std::string> text(const Value& fields, std::string_view key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->is_null()) return std::nullopt;
  return found->is_string() ? found->get<std::string>() : stoploss::to_text(*found);
}

// A value sent as JSON, or as the JSON text a query or form carries.
Value json_field(const Value& fields, std::string_view key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->is_null()) return Value();
  if (!found->is_string()) return *found;
  const std::string& given = found->get_ref<const std::string&>();
  if (given.empty()) return Value();
  try {
    return stoploss::parse_json(given);
  } catch (const std::exception&) {
    throw BadRequest(std::string(key) + " is not valid JSON");
  }
}

Value filter_of(const Value& fields) {
  Value filter = json_field(fields, "filter");
  if (filter.is_null()) return Value::object();
  if (!filter.is_object()) throw BadRequest("filter values are not valid");
  return filter;
}

int count_of(const Value& fields) {
  const std::optional<std::string> given = text(fields, "count");
  if (!given) return 100;
  try {
    const long long count = stoploss::to_int(Value(*given));
    if (count >= 1 && count <= kMaxCount) return static_cast<int>(count);
  } catch (const std::exception&) {  // not a number: refused below
  }
  throw BadRequest("count is invalid");
}

bool reverse_of(const Value& fields) {
  const std::optional<std::string> given = text(fields, "reverse");
  return given && (*given == "true" || *given == "True" || *given == "1");
}

// An id list as a JSON list, the JSON text of one, or comma-separated text.
std::vector<std::string> ids_of(const Value& fields, std::string_view key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->is_null()) return {};
  Value given = *found;
  if (given.is_string() && given.get_ref<const std::string&>().starts_with('[')) {
    given = json_field(fields, key);
  }
  std::vector<std::string> ids;
  if (given.is_array()) {
    for (const Value& id : given)
      ids.push_back(id.is_string() ? id.get<std::string>() : stoploss::to_text(id));
    return ids;
  }
  const std::string list = given.is_string() ? given.get<std::string>() : stoploss::to_text(given);
  for (const auto part : std::views::split(std::string_view(list), ',')) {
    if (!std::ranges::empty(part)) ids.emplace_back(part.begin(), part.end());
  }
  return ids;
}

// The records as GET answers them: the query's symbol and filter, columns, count, reverse.
Value listing(RecordList records, const Value& fields) {
  const std::optional<std::string> symbol = text(fields, "symbol");
  const Value filter = filter_of(fields);
  std::erase_if(records, [&](const Value& record) {
    if (symbol && record.value("symbol", std::string()) != *symbol) return true;
    return std::ranges::any_of(filter.items(), [&](const auto& item) {
      const auto found = record.find(item.key());
      return found == record.end() || *found != item.value();
    });
  });
  if (reverse_of(fields)) std::ranges::reverse(records);
  records.resize(std::min(records.size(), static_cast<std::size_t>(count_of(fields))));
  const Value columns = json_field(fields, "columns");
  std::vector<std::string> kept;
  if (columns.is_array()) {
    for (const Value& column : columns) kept.push_back(stoploss::to_text(column));
  } else if (columns.is_string()) {
    kept = ids_of(fields, "columns");
  }
  if (kept.empty()) return records;
  kept.insert(kept.end(), {"symbol", "timestamp"});
  Value answer = Value::array();
  for (const Value& record : records) {
    Value shown = Value::object();
    for (const std::string& column : kept) {
      if (const auto found = record.find(column); found != record.end()) shown[column] = *found;
    }
    answer.push_back(std::move(shown));
  }
  return answer;
}

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

Value instruments(SimExchange& exchange, const Value& fields) {
  return listing(listed(exchange, true), fields);
}

Value active(SimExchange& exchange, const Value& fields) {
  return listing(listed(exchange, false), fields);
}

Value orders(SimExchange& exchange, const Value& fields) {
  OrderQuery query{.symbol = text(fields, "symbol"),
                   .filter = filter_of(fields),
                   .count = count_of(fields),
                   .reverse = reverse_of(fields),
                   .startTime = text(fields, "startTime"),
                   .endTime = text(fields, "endTime")};
  return exchange.orders(query);
}

Value place(SimExchange& exchange, const Value& fields) { return exchange.place(fields); }

Value amend(SimExchange& exchange, const Value& fields) { return exchange.amend_order(fields); }

Value cancel(SimExchange& exchange, const Value& fields) {
  const std::vector<std::string> orderIDs = ids_of(fields, "orderID");
  const std::vector<std::string> clOrdIDs = ids_of(fields, "clOrdID");
  if (orderIDs.empty() && clOrdIDs.empty()) throw BadRequest("orderID or clOrdID must be sent");
  return exchange.cancel_orders(orderIDs, clOrdIDs, text(fields, "text").value_or(""));
}

Value cancel_all(SimExchange& exchange, const Value& fields) {
  return exchange.cancel_all(text(fields, "symbol"), filter_of(fields),
                             text(fields, "text").value_or(""));
}

Value positions(SimExchange& exchange, const Value& fields) {
  return listing(position_records(exchange, exchange.clock().timestamp()), fields);
}

// One currency's record, or with currency "all" a list of every currency's.
template <Value (*Record)(const SimExchange&, std::string_view, const std::string&)>
Value per_currency(SimExchange& exchange, const Value& fields) {
  const std::string currency = text(fields, "currency").value_or("XBt");
  const std::string now = exchange.clock().timestamp();
  if (currency == "all") {
    return Value::array({Record(exchange, "XBt", now), Record(exchange, "USDt", now)});
  }
  if (!holds_currency(currency)) throw BadRequest("currency is invalid");
  return Record(exchange, currency, now);
}

Value assets(SimExchange& /*exchange*/, const Value& /*fields*/) { return asset_records(); }

constexpr std::array<ExchangeRoute, 12> kRoutes{{
    {"GET", "/api/v1/instrument", &instruments, true},
    {"GET", "/api/v1/instrument/active", &active, true},
    {"GET", "/api/v1/instrument/activeAndIndices", &instruments, true},
    {"GET", "/api/v1/order", &orders, false},
    {"POST", "/api/v1/order", &place, false},
    {"PUT", "/api/v1/order", &amend, false},
    {"DELETE", "/api/v1/order", &cancel, false},
    {"DELETE", "/api/v1/order/all", &cancel_all, false},
    {"GET", "/api/v1/position", &positions, false},
    {"GET", "/api/v1/user/margin", &per_currency<&margin_record>, false},
    {"GET", "/api/v1/user/wallet", &per_currency<&wallet_record>, false},
    {"GET", "/api/v1/wallet/assets", &assets, true},
}};

}  // namespace

const ExchangeRoute* find_route(std::string_view method, std::string_view path) {
  const auto route = std::ranges::find_if(
      kRoutes, [&](const ExchangeRoute& r) { return r.method == method && r.path == path; });
  return route == kRoutes.end() ? nullptr : &*route;
}

Value request_fields(const HttpRequest& req) {
  Value fields = Value::object();
  if (const std::size_t mark = req.target.find('?'); mark != std::string::npos) {
    add_pairs(fields, std::string_view(req.target).substr(mark + 1));
  }
  if (req.body.empty()) return fields;
  if (req.header("content-type").starts_with("application/x-www-form-urlencoded")) {
    add_pairs(fields, req.body);
    return fields;
  }
  const Value body = stoploss::parse_json(req.body);
  if (!body.is_object()) throw BadRequest("The request body must be a JSON object");
  for (const auto& [key, value] : body.items()) fields[key] = value;
  return fields;
}

}  // namespace sim
