#include "embedded_exchange/engine/table_changes.hpp"

#include <algorithm>
#include <array>

namespace sim {
namespace {

using stoploss::Value;

constexpr std::array<std::string_view, 1> kOrderKeys{"orderID"};
constexpr std::array<std::string_view, 3> kPositionKeys{"account", "symbol", "currency"};
constexpr std::array<std::string_view, 1> kInstrumentKeys{"symbol"};
constexpr std::array<std::string_view, 1> kExecutionKeys{"execID"};
constexpr std::array<std::string_view, 2> kMarginKeys{"account", "currency"};
constexpr std::array<std::string_view, 3> kBookKeys{"symbol", "id", "side"};
constexpr std::array<std::string_view, 10> kTables{
    "order", "position", "execution",  "margin",      "instrument",
    "quote", "trade",    "tradeBin1m", "orderBookL2", "orderBookL2_25"};
// Sent with every update, so that a client can route it without looking the row up.
constexpr std::array<std::string_view, 3> kAlwaysSent{"symbol", "account", "timestamp"};

bool is_time(std::string_view field) {
  return field == "timestamp" || field == "transactTime" || field == "listing" || field == "expiry";
}

}  // namespace

bool is_table(std::string_view table) { return std::ranges::find(kTables, table) != kTables.end(); }

std::span<const std::string_view> table_keys(std::string_view table) {
  if (table == "order") return kOrderKeys;
  if (table == "position") return kPositionKeys;
  if (table == "instrument") return kInstrumentKeys;
  if (table == "execution") return kExecutionKeys;
  if (table == "margin") return kMarginKeys;
  if (table.starts_with("orderBookL2")) return kBookKeys;
  return {};
}

Value changed_fields(std::string_view table, const Value& before, const Value& after) {
  Value update = Value::object();
  for (const auto& [field, value] : after.items()) {
    const auto was = before.find(field);
    if (was == before.end() || *was != value) update[field] = value;
  }
  if (update.empty() || (update.size() == 1 && update.contains("timestamp"))) return Value();
  const auto copy = [&](std::string_view field) {
    if (const auto found = after.find(field); found != after.end()) update[found.key()] = *found;
  };
  for (const std::string_view key : table_keys(table)) copy(key);
  for (const std::string_view field : kAlwaysSent) copy(field);
  return update;
}

Value field_types(const Value& row) {
  Value types = Value::object();
  for (const auto& [field, value] : row.items()) {
    if (value.is_string()) {
      types[field] = field == "orderID" || field == "execID" || field == "trdMatchID" ? "guid"
                     : is_time(field)                                                 ? "timestamp"
                                                                                      : "symbol";
    } else if (value.is_boolean()) {
      types[field] = "boolean";
    } else if (value.is_number_integer()) {
      types[field] = "long";
    } else if (value.is_number() || value.is_null()) {
      types[field] = is_time(field) ? "timestamp" : "float";  // a price not set yet
    }
  }
  return types;
}

}  // namespace sim
