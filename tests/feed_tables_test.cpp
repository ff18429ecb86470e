// The realtime feed's tables: partials, diffs merged by key, closed orders leaving for good, and
// REST answers that never undo a newer state.
#include "exchange/feed/feed_tables.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "row_name.hpp"

namespace {

using stoploss::Value;

constexpr const char* kTimes[] = {"2026-12-06T19:29:57.100Z", "2026-12-06T19:29:57.250Z",
                                  "2026-12-06T19:30:01.000Z"};

// "a!Filled@8900#2^ETHUSD": order a, Filled, its stop at 8900, at the second of kTimes, for
// ETHUSD ("#-": no time). What is not given is New, 9000, the first time and XBTUSD, or left
// out of an update, which carries its key and the fields given only.
Value order(const std::string& token, bool whole) {
  const auto next = [&](std::size_t at) { return token.find_first_of("!@#^", at); };
  Value row = {{"orderID", token.substr(0, next(0))}};
  if (whole) row.update({{"symbol", "XBTUSD"}, {"ordStatus", "New"}, {"stopPx", 9000}});
  if (whole) row["timestamp"] = kTimes[0];
  for (std::size_t at = next(0); at != std::string::npos; at = next(at + 1)) {
    const std::string value = token.substr(at + 1, next(at + 1) - at - 1);
    if (token[at] == '!') row["ordStatus"] = value;
    if (token[at] == '@') row["stopPx"] = std::stod(value);
    if (token[at] == '#' && value == "-") row.erase("timestamp");
    if (token[at] == '#' && value != "-") row["timestamp"] = kTimes[std::stoi(value) - 1];
    if (token[at] == '^') row["symbol"] = value;
  }
  return row;
}

// Applies "action order ...; ...": a message of the order table (a partial's filter is its first
// order's pair), or "rest" for REST answers, or "clear" as on a disconnect.
void apply(feed::FeedTables& tables, const std::string& steps) {
  std::istringstream in(steps);
  for (std::string step; std::getline(in, step, ';');) {
    std::istringstream words(step);
    std::string action;
    words >> action;
    Value message = {{"table", "order"}, {"action", action}, {"data", Value::array()}};
    for (std::string token; words >> token;) {
      message["data"].push_back(order(token, action != "update"));
      if (action == "rest") tables.apply_order(message["data"].back());
    }
    const Value& rows = message["data"];
    const std::string pair = rows.empty() ? "XBTUSD" : rows[0].value("symbol", "XBTUSD");
    if (action == "partial")
      message.update({{"keys", {"orderID"}}, {"filter", {{"symbol", pair}}}});
    if (action == "clear") tables.clear();
    if (action != "rest" && action != "clear") tables.apply(message);
  }
}

// "id@price ..." of the pair's open orders, in the table's order; "unknown" before a partial.
std::string book(feed::FeedTables& tables, const char* pair) {
  const feed::Snapshot rows = tables.rows("order", pair);
  if (!rows) return "unknown";
  std::string text;
  for (const Value& row : *rows) {
    text += (text.empty() ? "" : " ") + row["orderID"].get<std::string>() + "@" +
            std::to_string(row.value("stopPx", 0));
  }
  return text;
}

struct MergeCase {
  const char* what;
  const char* steps;
  const char* xbt;              // XBTUSD's open orders afterwards
  const char* eth = "unknown";  // no ETHUSD partial: its table knows nothing
};

const MergeCase kMerges[] = {
    {"the partial's open orders in its order", "partial b a c!Filled", "b@9000 a@9000"},
    {"insert appends, update merges by key without a symbol, delete removes",
     "partial a b; insert c; update b@8900#2; delete a", "b@8900 c@9000"},
    {"an update keeps the fields it does not carry", "partial a@8800; update a#2", "a@8800"},
    {"diffs before the partial are ignored", "insert a; update a@8800#2; partial b", "b@9000"},
    {"a closed order never comes back", "partial a; update a!Filled#2; insert a#3; rest a#3", ""},
    {"a deleted order never comes back", "partial a; delete a; rest a#3", ""},
    {"nor after a disconnect", "partial a; update a!Filled#2; clear; partial; rest a#3", ""},
    {"a newer REST answer applies", "partial a; rest a@8900#2", "a@8900"},
    {"an older REST answer does not", "partial a#2; rest a@8900#1", "a@9000"},
    {"an older feed update does not undo a newer REST answer",
     "partial a; rest a@8900#3; update a@8950#2", "a@8900"},
    {"a REST answer without a time leaves the feed's row", "partial a; rest a@1#-", "a@9000"},
    {"a placed order from REST is appended", "partial a; rest c#2", "a@9000 c@9000"},
    {"a closed REST answer closes, however old", "partial a b#3; rest b!Canceled#1", "a@9000"},
    {"a REST answer before the partial is ignored", "rest a; partial b", "b@9000"},
    {"foreign pairs are kept apart",
     "partial a; partial e@3000^ETHUSD; insert f@3100^ETHUSD g@1^LTCUSD; partial b", "b@9000",
     "e@3000 f@3100"},
};

class FeedMerges : public testing::TestWithParam<MergeCase> {};

TEST_P(FeedMerges, MergeOrdersAsTheExchangeSends) {
  feed::FeedTables tables({"order"}, {"XBTUSD", "ETHUSD"});
  apply(tables, GetParam().steps);
  EXPECT_EQ(book(tables, "XBTUSD"), GetParam().xbt);
  EXPECT_EQ(book(tables, "ETHUSD"), GetParam().eth);
}
INSTANTIATE_TEST_SUITE_P(FeedTables, FeedMerges, testing::ValuesIn(kMerges),
                         row_names(kMerges, &MergeCase::what));

TEST(FeedTables, CompleteOnlyWithEveryPartialAndSnapshotsNeverChange) {
  feed::FeedTables tables({"order", "instrument"}, {"XBTUSD"});
  apply(tables, "partial a");
  EXPECT_FALSE(tables.complete());
  const feed::Snapshot held = tables.rows("order", "XBTUSD");
  tables.apply(Value::parse(R"({"table": "instrument", "action": "partial", "keys": ["symbol"],
                                "data": [{"symbol": "XBTUSD"}]})"));
  EXPECT_TRUE(tables.complete());
  apply(tables, "insert b; clear");
  EXPECT_FALSE(tables.complete());
  EXPECT_EQ(held->size(), 1u) << "a snapshot handed out never changes";
}

TEST(FeedTables, RefuseMalformedMessagesAndTablesPastTheirBound) {
  const Value refused[] = {
      {{"table", "order"}, {"action", "insert"}, {"data", "not a list"}},
      {{"table", "order"}, {"action", "insert"}, {"data", {1, 2}}},
      {{"table", "order"}, {"action", "partial"}, {"keys", "orderID"}, {"data", Value::array()}},
      {{"table", "order"}, {"action", "upsert"}, {"data", Value::array()}},
      {{"table", "order"}, {"data", Value::array()}},
  };
  for (const Value& bad : refused) {
    feed::FeedTables tables({"order"}, {"XBTUSD"});
    apply(tables, "partial");
    EXPECT_THROW(tables.apply(bad), feed::FeedError) << bad.dump();
  }
  feed::FeedTables bounded({"order"}, {"XBTUSD"}, {.max_rows = 2, .closed_memory = 2});
  apply(bounded, "partial a b");
  EXPECT_THROW(apply(bounded, "insert c"), feed::FeedError);
  EXPECT_FALSE(bounded.apply_order(order("d", true))) << "a REST answer never overflows the table";
  EXPECT_EQ(book(bounded, "XBTUSD"), "a@9000 b@9000");
}

TEST(FeedTables, OrderTimesToTheNanosecond) {
  const struct {
    const char *a, *b;
    std::optional<int> order;
  } cases[] = {
      {kTimes[0], kTimes[1], -1},
      {kTimes[2], kTimes[1], 1},
      {"2026-12-06T19:29:57.1Z", kTimes[0], 0},
      {"2026-12-06T19:29:57Z", "2026-12-06T19:29:57.000000001Z", -1},
      {"2026-12-06 19:29:57Z", kTimes[0], std::nullopt},
      {"2026-12-06T19:29:57.100+01:00", kTimes[0], std::nullopt},
      {"2026-12-06T19:29:57.Z", kTimes[0], std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(feed::compare_times(c.a, c.b), c.order) << c.a;
}

}  // namespace
