#include "embedded_exchange/realtime/realtime_messages.hpp"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <chrono>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/table_changes.hpp"

namespace sim {
namespace {

using stoploss::Value;

// The feed leaves out the fields of a whole row that hold nothing.
Value without_nulls(const Value& row) {
  Value kept = Value::object();
  for (const auto& [field, value] : row.items()) {
    if (!value.is_null()) kept[field] = value;
  }
  return kept;
}

std::string utc_now() {
  const auto now =
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}Z", now);
}

// The request as it came, or an excerpt of its text when that is longer than kMostEchoed.
Value echoed(const Value& request) {
  const std::string text = request.is_string()
                               ? request.get<std::string>()
                               : request.dump(-1, ' ', false, Value::error_handler_t::replace);
  if (text.size() <= kMostEchoed) return request;
  return echo_excerpt(text);
}

}  // namespace

Topic read_topic(std::string_view topic) {
  const std::size_t colon = topic.find(':');
  if (colon == std::string_view::npos) return {std::string(topic)};
  return {std::string(topic.substr(0, colon)), std::string(topic.substr(colon + 1))};
}

bool is_private(std::string_view table) {
  return table == "order" || table == "position" || table == "execution" || table == "margin";
}

Value welcome_message(long long remaining) {
  return {{"info", "Welcome to the BitMEX Realtime API."},
          {"version", "2.0.0"},
          {"timestamp", utc_now()},
          {"docs", "https://www.bitmex.com/app/wsAPI"},
          {"limit", {{"remaining", remaining}}}};
}

Value success_message(const Value& request, std::string_view what, std::string_view topic) {
  Value message = {{"success", true}};
  if (!what.empty()) message[std::string(what)] = topic;
  message["request"] = echoed(request);
  return message;
}

Value error_message(int status, std::string_view error, const Value& request) {
  return {{"status", status},
          {"error", error},
          {"meta", Value::object()},
          {"request", echoed(request)}};
}

Value help_message() {
  return {
      {"info", "See https://www.bitmex.com/app/wsAPI for more documentation."},
      {"usage", "Send a message in the format: {\"op\": string, \"args\": Array<string>}"},
      {"ops", {"authKeyExpires", "help", "subscribe", "unsubscribe"}},
      {"subscriptionSubjects",
       {{"public", {"instrument", "orderBookL2", "orderBookL2_25", "quote", "trade", "tradeBin1m"}},
        {"authenticationRequired", {"execution", "margin", "order", "position"}}}}};
}

Value partial_message(std::string_view table, Value filter, const stoploss::RecordList& rows,
                      const Value& prototype) {
  Value keys = Value::array();
  for (const std::string_view key : table_keys(table)) keys.push_back(key);
  Value data = Value::array();
  for (const Value& row : rows) data.push_back(without_nulls(row));
  return {{"table", table},
          {"action", "partial"},
          {"keys", std::move(keys)},
          {"types", field_types(prototype)},
          {"foreignKeys", Value::object()},
          {"attributes", Value::object()},
          {"filter", std::move(filter)},
          {"data", std::move(data)}};
}

Value table_message(std::string_view table, std::string_view action, const Value& row) {
  return {{"table", table},
          {"action", action},
          {"data",
           row.is_array() ? row : Value::array({action == "insert" ? without_nulls(row) : row})}};
}

}  // namespace sim
