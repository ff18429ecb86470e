#include "embedded_exchange/http/request_fields.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <ranges>

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

}  // namespace

std::optional<std::string> field_text(const Value& fields, std::string_view key) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->is_null()) return std::nullopt;
  return found->is_string() ? found->get<std::string>() : stoploss::to_text(*found);
}

Value filter_of(const Value& fields) {
  Value filter = json_field(fields, "filter");
  if (filter.is_null()) return Value::object();
  if (!filter.is_object()) throw BadRequest("filter values are not valid");
  return filter;
}

int count_of(const Value& fields) {
  const std::optional<std::string> given = field_text(fields, "count");
  if (!given) return 100;
  try {
    const long long count = stoploss::to_int(Value(*given));
    if (count >= 1 && count <= kMaxCount) return static_cast<int>(count);
  } catch (const std::exception&) {  // not a number: refused below
  }
  throw BadRequest("count is invalid");
}

bool reverse_of(const Value& fields) { return flag_of(fields, "reverse", false); }

bool flag_of(const Value& fields, std::string_view key, bool absent) {
  const auto found = fields.find(key);
  if (found == fields.end() || found->is_null()) return absent;
  if (found->is_boolean()) return found->get<bool>();
  const std::string given = found->is_string() ? found->get<std::string>() : found->dump();
  if (given == "true" || given == "True" || given == "1") return true;
  if (given == "false" || given == "False" || given == "0") return false;
  throw BadRequest(fmt::format("{} is not true or false", key));
}

std::size_t start_of(const Value& fields) {
  const std::optional<std::string> given = field_text(fields, "start");
  if (!given) return 0;
  try {
    const long long start = stoploss::to_int(Value(*given));
    if (start >= 0) return static_cast<std::size_t>(start);
  } catch (const std::exception&) {  // not a number: refused below
  }
  throw BadRequest("start is invalid");
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

Value listing(RecordList records, const Value& fields) {
  const std::optional<std::string> symbol = field_text(fields, "symbol");
  const std::optional<std::string> since = field_text(fields, "startTime");
  const std::optional<std::string> until = field_text(fields, "endTime");
  const Value filter = filter_of(fields);
  std::erase_if(records, [&](const Value& record) {
    if (symbol && record.value("symbol", std::string()) != *symbol) return true;
    const std::string stamp = record.value("timestamp", std::string());
    if ((since && stamp < *since) || (until && stamp > *until)) return true;
    return std::ranges::any_of(filter.items(), [&](const auto& item) {
      const auto found = record.find(item.key());
      return found == record.end() || *found != item.value();
    });
  });
  if (reverse_of(fields)) std::ranges::reverse(records);
  const std::size_t start = std::min(records.size(), start_of(fields));
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(start));
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

Value request_fields(const HttpRequest& req) {
  Value fields = Value::object();
  if (const std::size_t mark = req.target.find('?'); mark != std::string::npos) {
    add_pairs(fields, std::string_view(req.target).substr(mark + 1));
  }
  if (req.header("content-type").starts_with("application/x-www-form-urlencoded")) {
    add_pairs(fields, req.body);
  } else if (!req.body.empty()) {
    const Value body = stoploss::parse_json(req.body);
    if (!body.is_object()) throw BadRequest("The request body must be a JSON object");
    for (const auto& [key, value] : body.items()) fields[key] = value;
  }
  // Symbols are written in capitals; the exchange takes them in any case.
  if (const auto symbol = fields.find("symbol"); symbol != fields.end() && symbol->is_string()) {
    std::string& written = symbol->get_ref<std::string&>();
    std::ranges::transform(written, written.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  }
  return fields;
}

}  // namespace sim
