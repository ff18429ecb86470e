// The realtime feed's tables: partials, diffs merged by key, closed orders leaving for good, and
// REST answers that never undo a newer state.
#include "Core/ws/feed_tables.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using stoploss::Value;

constexpr const char* kT1 = "2026-12-06T19:29:57.100Z";
constexpr const char* kT2 = "2026-12-06T19:29:57.250Z";
constexpr const char* kT3 = "2026-12-06T19:30:01.000Z";

Value order(const char* id, const char* status = "New", const char* time = kT1, double price = 9000,
            const char* pair = "XBTUSD") {
  return {{"orderID", id},
          {"symbol", pair},
          {"ordStatus", status},
          {"stopPx", price},
          {"timestamp", time}};
}

// A change to an order: its key and the fields given, no symbol.
Value change(const char* id, const char* time, double price) {
  return {{"orderID", id}, {"stopPx", price}, {"timestamp", time}};
}

struct Step {
  const char* action;  // partial, insert, update, delete, or "rest" for a REST answer
  std::vector<Value> rows;
  const char* pair = "XBTUSD";  // the partial's filter
};

Value message(const Step& step) {
  Value message = {{"table", "order"}, {"action", step.action}, {"data", step.rows}};
  if (std::string(step.action) == "partial") {
    message["keys"] = {"orderID"};
    message["filter"] = {{"account", 1}, {"symbol", step.pair}};
  }
  return message;
}

// "id@price ..." of the pair's open orders, in the table's order; "unknown" before a partial.
std::string book(ws::FeedTables& tables, const char* pair) {
  const ws::Snapshot rows = tables.rows("order", pair);
  if (!rows) return "unknown";
  std::string text;
  for (const Value& row : *rows) {
    if (!text.empty()) text += " ";
    text += row["orderID"].get<std::string>() + "@" + std::to_string(row["stopPx"].get<int>());
  }
  return text;
}

struct MergeCase {
  const char* what;
  std::vector<Step> steps;
  const char* xbt;              // XBTUSD's open orders afterwards
  const char* eth = "unknown";  // no ETHUSD partial: its table knows nothing
};

const MergeCase kMerges[] = {
    {"the partial gives the open orders in its order",
     {{"partial", {order("b"), order("a")}}},
     "b@9000 a@9000"},
    {"a closed order in the partial is not open",
     {{"partial", {order("a"), order("b", "Filled")}}},
     "a@9000"},
    {"insert appends", {{"partial", {order("a")}}, {"insert", {order("c")}}}, "a@9000 c@9000"},
    {"update merges by key, without a symbol",
     {{"partial", {order("a"), order("b")}}, {"update", {change("b", kT2, 8900)}}},
     "a@9000 b@8900"},
    {"delete removes by key",
     {{"partial", {order("a"), order("b")}}, {"delete", {order("a")}}},
     "b@9000"},
    {"diffs before the partial are ignored",
     {{"insert", {order("a")}}, {"update", {change("a", kT2, 8800)}}, {"partial", {order("b")}}},
     "b@9000"},
    {"a new partial replaces the rows",
     {{"partial", {order("a")}}, {"partial", {order("b")}}},
     "b@9000"},
    {"an order updated to Canceled leaves",
     {{"partial", {order("a"), order("b")}}, {"update", {order("b", "Canceled", kT2)}}},
     "a@9000"},
    {"a closed order never comes back",
     {{"partial", {order("a")}},
      {"update", {order("a", "Filled", kT2)}},
      {"insert", {order("a", "New", kT3)}},
      {"rest", {order("a", "New", kT3)}}},
     ""},
    {"a deleted order never comes back",
     {{"partial", {order("a")}}, {"delete", {order("a")}}, {"rest", {order("a", "New", kT3)}}},
     ""},
    {"a newer REST answer applies",
     {{"partial", {order("a")}}, {"rest", {order("a", "New", kT2, 8900)}}},
     "a@8900"},
    {"an older REST answer does not",
     {{"partial", {order("a", "New", kT2)}}, {"rest", {order("a", "New", kT1, 8900)}}},
     "a@9000"},
    {"an older feed update does not undo a newer REST answer",
     {{"partial", {order("a")}},
      {"rest", {order("a", "New", kT3, 8900)}},
      {"update", {change("a", kT2, 8950)}}},
     "a@8900"},
    {"a REST answer without a time leaves the feed's row",
     {{"partial", {order("a")}},
      {"rest", {Value{{"orderID", "a"}, {"symbol", "XBTUSD"}, {"stopPx", 1}}}}},
     "a@9000"},
    {"a placed order from REST is appended",
     {{"partial", {order("a")}}, {"rest", {order("c", "New", kT2)}}},
     "a@9000 c@9000"},
    {"a closed REST answer closes, however old",
     {{"partial", {order("a"), order("b", "New", kT3)}}, {"rest", {order("b", "Canceled", kT1)}}},
     "a@9000"},
    {"a REST answer before the partial is ignored",
     {{"rest", {order("a")}}, {"partial", {order("b")}}},
     "b@9000"},
    {"foreign pairs are kept apart",
     {{"partial", {order("a")}},
      {"partial", {order("e", "New", kT1, 3000, "ETHUSD")}, "ETHUSD"},
      {"insert", {order("f", "New", kT1, 3100, "ETHUSD"), order("g", "New", kT1, 1, "LTCUSD")}},
      {"partial", {order("b")}}},
     "b@9000",
     "e@3000 f@3100"},
};

TEST(FeedTables, MergeOrdersAsTheExchangeSends) {
  for (const MergeCase& c : kMerges) {
    SCOPED_TRACE(c.what);
    ws::FeedTables tables({"order"}, {"XBTUSD", "ETHUSD"});
    for (const Step& step : c.steps) {
      if (std::string(step.action) == "rest") {
        for (const Value& row : step.rows) tables.apply_order(row);
      } else {
        tables.apply(message(step));
      }
    }
    EXPECT_EQ(book(tables, "XBTUSD"), c.xbt);
    EXPECT_EQ(book(tables, "ETHUSD"), c.eth);
  }
}

TEST(FeedTables, CompleteOnlyWithEveryPartialAndClearedOnDisconnect) {
  ws::FeedTables tables({"order", "instrument"}, {"XBTUSD"});
  EXPECT_EQ(tables.topics(), (std::vector<std::string>{"instrument:XBTUSD", "order:XBTUSD"}));
  tables.apply(message({"partial", {order("a")}}));
  EXPECT_FALSE(tables.complete());
  tables.apply({{"table", "instrument"},
                {"action", "partial"},
                {"keys", {"symbol"}},
                {"data", {{{"symbol", "XBTUSD"}, {"tickSize", 0.5}}}}});
  tables.apply({{"table", "instrument"},
                {"action", "update"},
                {"data", {{{"symbol", "XBTUSD"}, {"lastPrice", 9001}}}}});
  EXPECT_TRUE(tables.complete());
  const ws::Snapshot held = tables.rows("instrument", "XBTUSD");
  EXPECT_EQ(held->at(0).value("lastPrice", 0), 9001);
  EXPECT_EQ(held->at(0).value("tickSize", 0.0), 0.5);
  tables.clear();
  EXPECT_FALSE(tables.complete());
  EXPECT_EQ(book(tables, "XBTUSD"), "unknown") << "a cleared table is no empty book";
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
    ws::FeedTables tables({"order"}, {"XBTUSD"});
    tables.apply(message({"partial", {}}));
    EXPECT_THROW(tables.apply(bad), ws::FeedError) << bad.dump();
  }
  ws::FeedTables bounded({"order"}, {"XBTUSD"}, {.max_rows = 2, .closed_memory = 2});
  bounded.apply(message({"partial", {order("a"), order("b")}}));
  EXPECT_THROW(bounded.apply(message({"insert", {order("c")}})), ws::FeedError);
  EXPECT_FALSE(bounded.apply_order(order("d"))) << "a REST answer never overflows the table";
  EXPECT_EQ(book(bounded, "XBTUSD"), "a@9000 b@9000");
}

TEST(FeedTables, OrderTimesToTheNanosecond) {
  struct Case {
    const char* a;
    const char* b;
    std::optional<int> order;
  };
  const Case cases[] = {
      {kT1, kT2, -1},
      {kT3, kT2, 1},
      {"2026-12-06T19:29:57.1Z", kT1, 0},
      {"2026-12-06T19:29:57Z", "2026-12-06T19:29:57.000000001Z", -1},
      {"2026-12-06 19:29:57Z", kT1, std::nullopt},
      {"2026-12-06T19:29:57.100+01:00", kT1, std::nullopt},
      {"2026-12-06T19:29:57.Z", kT1, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ws::compare_times(c.a, c.b), c.order) << c.a;
}

}  // namespace
