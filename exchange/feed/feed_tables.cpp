#include "exchange/feed/feed_tables.hpp"

#include <algorithm>
#include <cctype>
#include <utility>

namespace feed {
namespace {

using stoploss::Value;

constexpr std::string_view kOrder = "order";

std::string topic_name(std::string_view table, std::string_view pair) {
  return std::string(table).append(":").append(pair);
}

const Value* member(const Value& record, const char* name) {
  if (!record.is_object()) return nullptr;
  const auto found = record.find(name);
  return found == record.end() ? nullptr : &*found;
}

std::string text_member(const Value& record, const char* name) {
  const Value* value = member(record, name);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

// The row's identity under `keys`, or empty when a key is missing.
std::string key_of(const std::vector<std::string>& keys, const Value& row) {
  std::string key;
  for (const std::string& name : keys) {
    const Value* value = member(row, name.c_str());
    if (!value) return {};
    key += value->dump();
    key.push_back('\x1f');
  }
  return key;
}

const stoploss::RecordList& data_of(const Value& message) {
  const Value* data = member(message, "data");
  if (!data || !data->is_array()) throw FeedError("a table message without a data list");
  for (const Value& row : *data) {
    if (!row.is_object()) throw FeedError("a table row that is not a record");
  }
  return data->get_ref<const stoploss::RecordList&>();
}

// "YYYY-MM-DDTHH:MM:SS[.fraction]Z" as a text that orders like the time, nanoseconds included.
std::optional<std::string> sortable_time(const Value& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string& text = value.get_ref<const std::string&>();
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
  if (text.size() < kShape.size() + 1 || text.back() != 'Z') return std::nullopt;
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  std::string fraction = text.substr(kShape.size(), text.size() - 1 - kShape.size());
  if (!fraction.empty()) {
    if (fraction[0] != '.' || fraction.size() < 2 || fraction.size() > 10) return std::nullopt;
    fraction.erase(0, 1);
    if (!std::all_of(fraction.begin(), fraction.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
      return std::nullopt;
    }
  }
  fraction.resize(9, '0');
  return text.substr(0, kShape.size()) + fraction;
}

}  // namespace

bool closed_status(const Value& status) {
  return status == "Filled" || status == "Canceled" || status == "Rejected";
}

std::optional<int> compare_times(const Value& a, const Value& b) {
  const auto first = sortable_time(a);
  const auto second = sortable_time(b);
  if (!first || !second) return std::nullopt;
  return first->compare(*second) < 0 ? -1 : (*first == *second ? 0 : 1);
}

FeedTables::FeedTables(const std::vector<std::string>& tables,
                       const std::vector<std::string>& pairs, TableLimits limits)
    : limits_(limits) {
  for (const std::string& table : tables) {
    if (pairs.empty()) topics_[table];
    for (const std::string& pair : pairs) topics_[topic_name(table, pair)];
  }
}

std::vector<std::string> FeedTables::topics() const {
  std::vector<std::string> names;
  for (const auto& entry : topics_) names.push_back(entry.first);
  return names;
}

bool FeedTables::complete() const {
  return std::all_of(topics_.begin(), topics_.end(),
                     [](const auto& entry) { return entry.second.partial; });
}

void FeedTables::clear() {
  for (auto& entry : topics_) entry.second = Topic{};
}

// The pair's own topic, or the whole table's.
FeedTables::Topic* FeedTables::topic(std::string_view table, std::string_view pair) {
  auto found = topics_.find(topic_name(table, pair));
  if (found == topics_.end()) found = topics_.find(table);
  return found == topics_.end() ? nullptr : &found->second;
}

FeedTables::Topic* FeedTables::topic_of(std::string_view table, const Value& row) {
  if (const Value* symbol = member(row, "symbol"); symbol && symbol->is_string()) {
    return topic(table, symbol->get_ref<const std::string&>());
  }
  // An update may name its row by the keys alone.
  const std::string prefix = std::string(table).append(":");
  if (const auto whole = topics_.find(table); whole != topics_.end()) {
    const std::string key = key_of(whole->second.keys, row);
    if (!key.empty() && whole->second.index.contains(key)) return &whole->second;
  }
  for (auto it = topics_.lower_bound(prefix); it != topics_.end() && it->first.starts_with(prefix);
       ++it) {
    const std::string key = key_of(it->second.keys, row);
    if (!key.empty() && it->second.index.contains(key)) return &it->second;
  }
  return nullptr;
}

void FeedTables::apply(const Value& message) {
  const std::string table = text_member(message, "table");
  const std::string action = text_member(message, "action");
  if (table.empty() || action.empty()) throw FeedError("a table message without table or action");
  if (action == "partial") return partial(table, message);
  if (action != "insert" && action != "update" && action != "delete") {
    throw FeedError("unknown table action: " + stoploss::excerpt(action));
  }
  for (const Value& row : data_of(message)) {
    Topic* target = topic_of(table, row);
    if (!target || !target->partial) continue;
    if (action == "insert") {
      insert(table, *target, row);
    } else if (action == "update") {
      update(table, *target, row);
    } else {
      if (table == kOrder) remember_closed(row);
      erase(*target, key_of(target->keys, row));
    }
  }
}

void FeedTables::partial(const std::string& table, const Value& message) {
  std::vector<std::string> keys;
  if (const Value* names = member(message, "keys")) {
    if (!names->is_array()) throw FeedError("partial keys that are not a list");
    for (const Value& name : *names) {
      if (!name.is_string()) throw FeedError("a partial key that is not a text");
      keys.push_back(name.get<std::string>());
    }
  }
  const stoploss::RecordList& data = data_of(message);
  // A partial filtered by symbol stands for that pair only, rows or none.
  std::vector<Topic*> covered;
  const Value* filter = member(message, "filter");
  const std::string only = filter ? text_member(*filter, "symbol") : std::string();
  const std::string prefix = table + ":";
  if (const auto whole = topics_.find(table); whole != topics_.end() && only.empty()) {
    covered.push_back(&whole->second);
  }
  for (auto it = topics_.lower_bound(prefix); it != topics_.end() && it->first.starts_with(prefix);
       ++it) {
    if (only.empty() || it->first == prefix + only) covered.push_back(&it->second);
  }
  for (Topic* target : covered) {
    *target = Topic{};
    target->keys = keys;
    target->partial = true;
  }
  for (const Value& row : data) {
    Topic* target = only.empty() ? topic_of(table, row) : topic(table, only);
    if (target && std::find(covered.begin(), covered.end(), target) != covered.end()) {
      insert(table, *target, row);
    }
  }
}

void FeedTables::insert(const std::string& table, Topic& target, const Value& row) {
  const std::string key = key_of(target.keys, row);
  const auto held = key.empty() ? target.index.end() : target.index.find(key);
  if (table == kOrder) {
    if (known_closed(row)) return;
    if (const Value* status = member(row, "ordStatus"); status && closed_status(*status)) {
      remember_closed(row);
      return erase(target, key);
    }
  }
  target.changed();
  if (held != target.index.end()) {
    target.rows[held->second] = row;
    return;
  }
  if (target.rows.size() >= limits_.max_rows) {
    throw FeedError("the " + table + " table is over its bound of " +
                    std::to_string(limits_.max_rows) + " rows");
  }
  const std::uint64_t position = target.next++;
  target.rows.emplace(position, row);
  if (!key.empty()) target.index.emplace(key, position);
}

void FeedTables::update(const std::string& table, Topic& target, const Value& row) {
  const std::string key = key_of(target.keys, row);
  const auto held = key.empty() ? target.index.end() : target.index.find(key);
  if (held == target.index.end()) return;
  Value& current = target.rows.at(held->second);
  if (table == kOrder) {
    if (const Value* status = member(row, "ordStatus"); status && closed_status(*status)) {
      remember_closed(row);
      return erase(target, key);
    }
    // A REST answer may already have put a newer state here than the feed carries.
    const Value* then = member(row, "timestamp");
    const Value* now = member(current, "timestamp");
    if (then && now && compare_times(*now, *then).value_or(0) > 0) return;
  }
  for (const auto& [name, value] : row.items()) current[name] = value;
  target.changed();
}

void FeedTables::erase(Topic& target, const std::string& key) {
  const auto held = key.empty() ? target.index.end() : target.index.find(key);
  if (held == target.index.end()) return;
  target.rows.erase(held->second);
  target.index.erase(held);
  target.changed();
}

void FeedTables::remember_closed(const Value& row) {
  const std::string id = text_member(row, "orderID");
  if (id.empty() || closed_.ids.contains(id)) return;
  closed_.order.push_back(id);
  closed_.ids.insert(id);
  while (closed_.order.size() > limits_.closed_memory) {
    closed_.ids.erase(closed_.order.front());
    closed_.order.pop_front();
  }
}

bool FeedTables::known_closed(const Value& row) const {
  const std::string id = text_member(row, "orderID");
  return !id.empty() && closed_.ids.contains(id);
}

bool FeedTables::apply_order(const Value& record) {
  const std::string symbol = text_member(record, "symbol");
  if (text_member(record, "orderID").empty() || symbol.empty()) return false;
  Topic* target = topic(kOrder, symbol);
  if (!target || !target->partial || known_closed(record)) return false;
  if (target->keys.empty()) target->keys = {"orderID"};
  const std::string key = key_of(target->keys, record);
  const auto held = key.empty() ? target->index.end() : target->index.find(key);
  if (const Value* status = member(record, "ordStatus"); status && closed_status(*status)) {
    remember_closed(record);
    const bool held_open = held != target->index.end();
    erase(*target, key);
    return held_open;
  }
  if (held != target->index.end()) {
    Value& current = target->rows.at(held->second);
    const Value* then = member(record, "timestamp");
    const Value* now = member(current, "timestamp");
    // Without two times that read, the feed's row stands: it is never older than the answer.
    if (!then || !now || compare_times(*now, *then).value_or(1) > 0) return false;
    for (const auto& [name, value] : record.items()) current[name] = value;
    target->changed();
    return true;
  }
  if (target->rows.size() >= limits_.max_rows) return false;
  insert(std::string(kOrder), *target, record);
  return true;
}

Snapshot FeedTables::rows(std::string_view table, std::string_view pair) {
  Topic* target = topic(table, pair);
  // Before its partial (or after a drop cleared it) a table knows nothing: no listing at all,
  // so that nobody takes it for an empty book.
  if (!target || !target->partial) return nullptr;
  // A pair's rows of a table subscribed whole are its share of them.
  const bool share = !pair.empty() && !topics_.contains(topic_name(table, pair));
  Snapshot& held = share ? target->by_pair[std::string(pair)] : target->snapshot;
  if (!held) {
    stoploss::RecordList list;
    for (const auto& [arrival, row] : target->rows) {
      if (!share || text_member(row, "symbol") == pair) list.push_back(row);
    }
    held = std::make_shared<const stoploss::RecordList>(std::move(list));
  }
  return held;
}

}  // namespace feed
