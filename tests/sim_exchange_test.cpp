// The embedded exchange on its own: what it accepts, fills, amends and cancels, and the faults
// it injects. The module's tests rely on each of these behaving as BitMEX does.
#include "Core/sim/sim_exchange.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Core/collaborators/failures.hpp"

namespace {

using sim::SimExchange;
using stoploss::RecordList;
using stoploss::Value;
using testing::HasSubstr;

// Runs `action`, which must be refused; returns the exchange's message from the error body.
template <class Action>
std::string refusal(Action action, int status = 400) {
  try {
    action();
  } catch (const stoploss::HTTPError& error) {
    EXPECT_EQ(error.response().status_code, status) << error.what();
    return Value::parse(error.response().body).at("error").at("message");
  }
  ADD_FAILURE() << "not refused";
  return "";
}

Value place(SimExchange& exchange, double stopPx, long long orderQty) {
  return exchange.place_stop("XBTUSD", stopPx, orderQty, std::nullopt, "");
}

struct Placement {
  double stopPx;
  long long orderQty;
  std::string refused_with;  // empty: accepted
};

class PlacementAt10000 : public testing::TestWithParam<Placement> {};

TEST_P(PlacementAt10000, IsCheckedForTickQuantityAndSideOfTheMarket) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  const Placement& p = GetParam();
  if (p.refused_with.empty()) {
    const Value order = place(exchange, p.stopPx, p.orderQty);
    EXPECT_EQ(order["side"], p.orderQty > 0 ? "Buy" : "Sell");
    EXPECT_EQ(order["ordStatus"], "New");
    EXPECT_EQ(exchange.stop_prices("XBTUSD"), std::vector<double>{p.stopPx});
  } else {
    EXPECT_EQ(refusal([&] { place(exchange, p.stopPx, p.orderQty); }), p.refused_with);
    EXPECT_TRUE(exchange.stop_prices("XBTUSD").empty());
  }
}

const std::string kBadTick = "Invalid stopPx tickSize";
const std::string kBadPx = "Invalid stopPx";
const std::string kOffLot = "Order quantity must be a multiple of lot size: 100";
const std::string kBadQty = "Invalid orderQty";
const std::string kTriggers = "Stop price would trigger immediately";

INSTANTIATE_TEST_SUITE_P(
    Xbtusd, PlacementAt10000,
    testing::Values(Placement{9000.5, -100, ""}, Placement{10500, 100, ""},
                    Placement{9000, -10000000, ""}, Placement{9000.3, -100, kBadTick},
                    Placement{0, -100, kBadPx}, Placement{-9000, -100, kBadPx},
                    Placement{9000, -150, kOffLot}, Placement{9000, 0, kBadQty},
                    Placement{9000, -10000001, kBadQty}, Placement{10500, 10000001, kBadQty},
                    Placement{9000, std::numeric_limits<long long>::min(), kBadQty},
                    Placement{10000, -100, kTriggers}, Placement{10500, -100, kTriggers},
                    Placement{10000, 100, kTriggers}, Placement{9500, 100, kTriggers}));

TEST(SimExchange, UnlistedSymbolIsRefused) {
  SimExchange exchange;
  EXPECT_EQ(refusal([&] { place(exchange, 9000, -100); }), "Invalid symbol");
}

TEST(SimExchange, EleventhOpenStopOfAPairIsRefused) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  exchange.list(sim::ethusd(2000));
  for (int i = 0; i < 10; ++i) place(exchange, 9000 - i, -100);
  try {
    place(exchange, 8000, -100);
    ADD_FAILURE() << "11th stop accepted";
  } catch (const stoploss::HTTPError& error) {
    EXPECT_THAT(error.what(), HasSubstr("Max Stop orders"));
  }
  EXPECT_EQ(exchange.stop_prices("XBTUSD").size(), 10u);
  // Per pair, and only open stops count.
  EXPECT_NO_THROW(exchange.place_stop("ETHUSD", 1900, -100, std::nullopt, ""));
  exchange.set_price("XBTUSD", 9000);
  EXPECT_NO_THROW(place(exchange, 8000, -100));
}

struct Move {
  double price;
  std::vector<double> left;  // a sell stop at 9000 and a buy stop at 11000 stood
};

class PriceMove : public testing::TestWithParam<Move> {};

TEST_P(PriceMove, FillsTheCrossedStopsOnly) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  exchange.list(sim::ethusd(10000));
  place(exchange, 9000, -100);
  place(exchange, 11000, 100);
  exchange.place_stop("ETHUSD", 9500, -100, std::nullopt, "");
  exchange.set_price("XBTUSD", GetParam().price);
  EXPECT_EQ(exchange.stop_prices("XBTUSD"), GetParam().left);
  EXPECT_EQ(exchange.triggers(), static_cast<long long>(2 - GetParam().left.size()));
  EXPECT_EQ(exchange.instrument("XBTUSD").impactMidPrice, GetParam().price);
  EXPECT_EQ(exchange.stop_prices("ETHUSD"), std::vector<double>{9500});
}

INSTANTIATE_TEST_SUITE_P(Xbtusd, PriceMove,
                         testing::Values(Move{9000.5, {9000, 11000}}, Move{10999.5, {9000, 11000}},
                                         Move{9000, {11000}}, Move{8000, {11000}},
                                         Move{11000, {9000}}, Move{12000, {9000}}));

struct Amendment {
  const char* name;
  Value second;  // amends the stop at 9100; the first amendment moves 9000 to 8500
  std::string refused_with;
};

class AmendBoth : public testing::TestWithParam<Amendment> {};

TEST_P(AmendBoth, ChangesEveryOrderOrNone) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000, 1));
  const Value first = place(exchange, 9000, -100);
  const Value second = place(exchange, 9100, -100);
  place(exchange, 9200, -100);
  Value amendment = GetParam().second;
  if (!amendment.contains("orderID")) amendment["orderID"] = second["orderID"];
  const RecordList amendments = {
      {{"orderID", first["orderID"]}, {"stopPx", 8500.0}, {"orderQty", -100.0}}, amendment};
  if (GetParam().refused_with.empty()) {
    exchange.amend(amendments);
    EXPECT_EQ(exchange.stop_prices("XBTUSD"), (std::vector<double>{8500, 8600, 9200}));
    EXPECT_EQ(exchange.open_orders("XBTUSD")[1]["orderQty"], 50);
  } else {
    EXPECT_EQ(refusal([&] { exchange.amend(amendments); }), GetParam().refused_with);
    EXPECT_EQ(exchange.stop_prices("XBTUSD"), (std::vector<double>{9000, 9100, 9200}));
    EXPECT_EQ(exchange.open_orders("XBTUSD")[1]["orderQty"], 100);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Xbtusd, AmendBoth,
    testing::Values(Amendment{"Accepted", {{"stopPx", 8600}, {"orderQty", -50}}, ""},
                    Amendment{"UnknownOrder",
                              {{"orderID", "no-such-order"}, {"stopPx", 8600}, {"orderQty", -50}},
                              "Invalid orderID"},
                    Amendment{"OffTick", {{"stopPx", 8600.3}, {"orderQty", -50}}, kBadTick},
                    Amendment{
                        "AcrossTheMarket", {{"stopPx", 10500}, {"orderQty", -50}}, kTriggers}),
    [](const auto& info) { return std::string(info.param.name); });

// Orders placed in turn at 10000, then the price moves: the position the fills leave, each order's
// status, and what the last order filled at.
TEST(SimExchangeFills, MoveThePositionAsTheExchangeDoes) {
  struct Case {
    const char* what;
    std::vector<Value> orders;
    std::vector<double> prices;
    long long position;
    std::vector<std::string> statuses;
    long long last_cumQty;
    double last_avgPx;      // 0: not filled
    std::string last_text;  // how the last order's text starts; empty: not checked
  };
  const Value buy = {{"symbol", "XBTUSD"}, {"side", "Buy"}, {"orderQty", 1000}};
  const auto with = [&](Value fields) {
    Value order = buy;
    order.update(fields);
    return order;
  };
  const Value reduce_stop =
      with({{"side", "Sell"}, {"stopPx", 9500}, {"execInst", "LastPrice,ReduceOnly"}});
  const std::string kNothing = "Canceled: Order had execInst of Close or ReduceOnly and side of ";
  const Case cases[] = {
      {"a market buy opens a long at the ask", {buy}, {}, 1000, {"Filled"}, 1000, 10000.5, ""},
      {"a triggered reduce-only stop closes it at market",
       {buy, reduce_stop},
       {9400},
       0,
       {"Filled", "Filled"},
       1000,
       9400,
       ""},
      {"a reduce-only stop larger than the position is cut to it",
       {buy, with({{"side", "Sell"},
                   {"orderQty", 9999900},
                   {"stopPx", 9500},
                   {"execInst", "ReduceOnly"}})},
       {9400},
       0,
       {"Filled", "Filled"},
       1000,
       9400,
       ""},
      {"a reduce-only stop with nothing to reduce is cancelled",
       {reduce_stop},
       {9400},
       0,
       {"Canceled"},
       0,
       0,
       kNothing + "Sell but current position is 0"},
      {"a reduce-only buy on a long is cancelled",
       {buy, with({{"execInst", "ReduceOnly"}})},
       {},
       1000,
       {"Filled", "Canceled"},
       0,
       0,
       kNothing + "Buy but current position is 1000"},
      {"Close without a quantity sells the whole position",
       {buy, {{"symbol", "XBTUSD"}, {"ordType", "Market"}, {"execInst", "Close"}}},
       {},
       0,
       {"Filled", "Filled"},
       1000,
       9999.5,
       ""},
      {"Close without a quantity on no position is cancelled at once",
       {{{"symbol", "XBTUSD"}, {"ordType", "Market"}, {"execInst", "Close"}}},
       {},
       0,
       {"Canceled"},
       0,
       0,
       kNothing + "Buy but current position is 0"},
      {"a stop without ReduceOnly sells past the position",
       {buy, with({{"side", "Sell"}, {"orderQty", 2000}, {"stopPx", 9500}})},
       {9400},
       -1000,
       {"Filled", "Filled"},
       2000,
       9400,
       ""},
      {"a triggered MarketIfTouched buy opens a long",
       {with({{"ordType", "MarketIfTouched"}, {"stopPx", 9500}})},
       {9400},
       1000,
       {"Filled"},
       1000,
       9400,
       ""},
      {"a resting limit buy fills at its price once crossed",
       {with({{"price", 9800}})},
       {9900, 9790},
       1000,
       {"Filled"},
       1000,
       9800,
       ""},
      {"a limit the price does not reach rests",
       {with({{"price", 9800}})},
       {9850},
       0,
       {"New"},
       0,
       0,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimExchange exchange;
    exchange.list(sim::xbtusd(10000));
    for (const Value& order : c.orders) exchange.place(order);
    for (const double price : c.prices) exchange.set_price("XBTUSD", price);
    EXPECT_EQ(exchange.position("XBTUSD").currentQty, c.position);
    const RecordList placed = exchange.orders({.count = 100});
    std::vector<std::string> statuses;
    for (const Value& order : placed) statuses.push_back(order["ordStatus"]);
    EXPECT_EQ(statuses, c.statuses);
    EXPECT_EQ(placed.back()["cumQty"], c.last_cumQty);
    EXPECT_EQ(placed.back()["avgPx"], c.last_avgPx == 0 ? Value() : Value(c.last_avgPx));
    EXPECT_THAT(placed.back()["text"].get<std::string>(), testing::StartsWith(c.last_text));
  }
}

TEST(SimExchange, CancelRemovesWhatItCancelledFromTheListAndFailsForTheRest) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  const Value a = place(exchange, 9000, -100);
  const Value b = place(exchange, 9100, -100);
  const Value c = place(exchange, 9200, -100);
  RecordList orders = {
      {{"orderID", a["orderID"]}}, {{"orderID", "gone"}}, {{"orderID", c["orderID"]}}};
  EXPECT_EQ(refusal([&] { exchange.cancel(orders); }), "Invalid ordStatus");
  EXPECT_EQ(orders, (RecordList{{{"orderID", "gone"}}}));
  EXPECT_EQ(exchange.stop_prices("XBTUSD"), std::vector<double>{9100});

  RecordList again = {{{"orderID", a["orderID"]}}};  // no longer open
  EXPECT_EQ(refusal([&] { exchange.cancel(again); }), "Invalid ordStatus");
  EXPECT_EQ(again.size(), 1u);

  RecordList last = {{{"orderID", b["orderID"]}}};
  EXPECT_NO_THROW(exchange.cancel(last));
  EXPECT_TRUE(last.empty());
  EXPECT_TRUE(exchange.stop_prices("XBTUSD").empty());
}

// What 40 calls and feed reads meet on an exchange with faults.
std::vector<std::string> fault_sequence(SimExchange& exchange) {
  std::vector<std::string> seen;
  for (int i = 0; i < 40; ++i) {
    try {
      exchange.call("QuorCalls.open_orders", "order", [] {});
      seen.emplace_back("answered");
    } catch (const std::exception& failure) {
      seen.emplace_back(failure.what());
    }
    seen.emplace_back(exchange.feed_up() ? "feed up" : "feed down");
  }
  return seen;
}

TEST(SimExchange, SameSeedDrawsTheSameFaults) {
  const sim::FaultSettings faults{.rate = 0.5, .feed_down_rate = 0.5};
  SimExchange first(7, faults), again(7, faults), other(8, faults);
  const auto seen = fault_sequence(first);
  EXPECT_EQ(seen, fault_sequence(again));
  EXPECT_NE(seen, fault_sequence(other));
  // Equal sequences prove nothing unless they mix faults and answers.
  EXPECT_GT(std::count(seen.begin(), seen.end(), "answered"), 5);
  EXPECT_LT(std::count(seen.begin(), seen.end(), "answered"), 35);
  EXPECT_GT(std::count(seen.begin(), seen.end(), "feed down"), 5);
}

TEST(SimExchange, OnlyATimedOutCallHasActedBeforeFailing) {
  SimExchange exchange(3, {.rate = 1});
  exchange.list(sim::xbtusd(10000));
  std::map<std::pair<std::string, bool>, std::set<bool>> acted;  // by kind, answered
  for (int i = 0; i < 80; ++i) {
    const std::size_t before = exchange.stop_prices("XBTUSD").size();
    try {
      // Actions with and without an answer.
      if (i % 2 == 0) {
        exchange.call("QuorCalls.STOP_order", "order", [&] { return place(exchange, 9000, -100); });
      } else {
        exchange.call("QuorCalls.STOP_order", "order", [&] { place(exchange, 9000, -100); });
      }
      ADD_FAILURE() << "a call answered at fault rate 1";
    } catch (const std::exception& failure) {
      const std::string text = failure.what();
      std::string kind = text;
      for (const char* known : {"503 Server Error", "Max retries hit", "Timed out"}) {
        if (text.starts_with(known)) kind = known;
      }
      acted[{kind, i % 2 == 0}].insert(exchange.stop_prices("XBTUSD").size() > before);
    }
    exchange.cancel_stops("XBTUSD");
  }
  const std::map<std::pair<std::string, bool>, std::set<bool>> expected = {
      {{"503 Server Error", true}, {false}}, {{"Max retries hit", true}, {false}},
      {{"Timed out", true}, {true}},         {{"503 Server Error", false}, {false}},
      {{"Max retries hit", false}, {false}}, {{"Timed out", false}, {true}}};
  EXPECT_EQ(acted, expected);
  EXPECT_EQ(exchange.faults_injected(), 80);
}

TEST(SimExchange, ScriptedFailureHitsTheNextCallOfItsOperationOnly) {
  SimExchange exchange;
  exchange.fail_next("Amend_bulk.orders", std::make_exception_ptr(std::runtime_error("scripted")));
  int acted = 0;
  EXPECT_NO_THROW(exchange.call("Cancel_bulk.orders", "order", [&] { ++acted; }));
  EXPECT_THROW(exchange.call("Amend_bulk.orders", "order/bulk", [&] { ++acted; }),
               std::runtime_error);
  EXPECT_EQ(acted, 1);
  EXPECT_NO_THROW(exchange.call("Amend_bulk.orders", "order/bulk", [&] { ++acted; }));
  EXPECT_EQ(acted, 2);
  EXPECT_EQ(exchange.calls(), 3);
}

TEST(SimExchange, SimulatedLatencyAdvancesTheClock) {
  SimExchange exchange(1, {.latency = std::chrono::milliseconds(250)});
  for (int i = 0; i < 4; ++i) exchange.call("QuorCalls.open_orders", "order", [] {});
  EXPECT_DOUBLE_EQ(exchange.clock().now(), 1.0);
}

}  // namespace
