// The embedded exchange on its own: what it accepts, fills and amends, and the faults it
// injects. The module's tests rely on each of these behaving as BitMEX does.
#include "embedded_exchange/engine/sim_exchange.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "row_name.hpp"

namespace {

using sim::SimExchange;
using stoploss::RecordList;
using stoploss::Value;

// Runs `action`, which must be refused with a 400; returns the exchange's message.
template <class Action>
std::string refusal(Action action) {
  try {
    action();
  } catch (const sim::Refusal& error) {
    EXPECT_EQ(error.status, 400) << error.what();
    return error.what();
  }
  ADD_FAILURE() << "not refused";
  return "";
}

Value place(SimExchange& exchange, double stopPx, long long orderQty) {
  return exchange.place_stop("XBTUSD", stopPx, orderQty, std::nullopt, "");
}

const std::string kBadTick = "Invalid stopPx tickSize";
const std::string kBadQty = "Invalid orderQty";
const std::string kTriggers = "Stop price would trigger immediately";

TEST(SimExchange, PlacementAt10000IsCheckedForTickQuantityAndSideOfTheMarket) {
  const std::string bad_lot = "Order quantity must be a multiple of lot size: 100";
  // stopPx, orderQty, the refusal ("": accepted)
  const std::tuple<double, long long, std::string> cases[] = {
      {9000.5, -100, ""},          {10500, 100, ""},
      {9000, -10000000, ""},       {9000.3, -100, kBadTick},
      {0, -100, "Invalid stopPx"}, {9000, -150, bad_lot},
      {9000, 0, kBadQty},          {9000, -10000001, kBadQty},
      {10000, -100, kTriggers},    {10000, 100, kTriggers}};
  for (const auto& [stopPx, orderQty, refused_with] : cases) {
    SCOPED_TRACE(testing::Message() << stopPx << ' ' << orderQty);
    SimExchange exchange;
    exchange.list(sim::xbtusd(10000));
    if (refused_with.empty()) {
      EXPECT_EQ(place(exchange, stopPx, orderQty)["side"], orderQty > 0 ? "Buy" : "Sell");
      EXPECT_EQ(exchange.stop_prices("XBTUSD"), std::vector<double>{stopPx});
    } else {
      EXPECT_EQ(refusal([&] { place(exchange, stopPx, orderQty); }), refused_with);
      EXPECT_TRUE(exchange.stop_prices("XBTUSD").empty());
    }
  }
}

TEST(SimExchange, EleventhOpenStopOfAPairIsRefused) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  exchange.list(sim::ethusd(2000));
  for (int i = 0; i < 10; ++i) place(exchange, 9000 - i, -100);
  EXPECT_EQ(refusal([&] { place(exchange, 8000, -100); }),
            "Too many open stop orders on this symbol (max 10)");
  EXPECT_NO_THROW(exchange.place_stop("ETHUSD", 1900, -100, std::nullopt, ""));  // per pair
  exchange.set_price("XBTUSD", 9000);  // the stops fill: only open ones count
  EXPECT_NO_THROW(place(exchange, 8000, -100));
}

// Orders placed in turn at 10000, then the price moves: the position the fills leave, each
// order's status, and what the last order filled at.
struct FillCase {
  const char* what;
  std::vector<Value> orders;
  std::vector<double> prices;
  long long position;
  std::string statuses;
  double last_avgPx;  // 0: not filled
};
const Value buy = {{"symbol", "XBTUSD"}, {"side", "Buy"}, {"orderQty", 1000}};
const auto with = [](Value fields) {
  Value order = buy;
  order.update(fields);
  return order;
};
const Value reduce =
    with({{"side", "Sell"}, {"stopPx", 9500}, {"execInst", "LastPrice,ReduceOnly"}});
const Value big_reduce =
    with({{"side", "Sell"}, {"orderQty", 9999900}, {"stopPx", 9500}, {"execInst", "ReduceOnly"}});
const Value stop = with({{"side", "Sell"}, {"orderQty", 2000}, {"stopPx", 9500}});
const Value reduce_buy = with({{"execInst", "ReduceOnly"}});
const Value if_touched = with({{"ordType", "MarketIfTouched"}, {"stopPx", 9500}});
const Value close = {{"symbol", "XBTUSD"}, {"ordType", "Market"}, {"execInst", "Close"}};
const Value buy_stop = with({{"stopPx", 10500}});
const FillCase kFills[] = {
    {"a market buy opens a long at the ask", {buy}, {}, 1000, "Filled", 10000.5},
    {"a larger reduce-only stop is cut", {buy, big_reduce}, {9400}, 0, "Filled Filled", 9400},
    {"reduce-only with nothing to reduce is cancelled", {reduce}, {9400}, 0, "Canceled", 0},
    {"a reduce-only buy on a long", {buy, reduce_buy}, {}, 1000, "Filled Canceled", 0},
    {"Close sells the whole position", {buy, close}, {}, 0, "Filled Filled", 9999.5},
    {"Close on no position is cancelled", {close}, {}, 0, "Canceled", 0},
    {"a plain stop sells past the position", {buy, stop}, {9400}, -1000, "Filled Filled", 9400},
    {"a triggered MarketIfTouched buy opens a long", {if_touched}, {9400}, 1000, "Filled", 9400},
    {"a sell stop waits above its price", {buy, reduce}, {9500.5}, 1000, "Filled New", 0},
    {"a buy stop fills at its price", {buy_stop}, {10500}, 1000, "Filled", 10500},
    {"a buy stop waits below its price", {buy_stop}, {10499.5}, 0, "New", 0},
};

class Fills : public testing::TestWithParam<FillCase> {};

TEST_P(Fills, MoveThePositionAndReduceOnlyNeverIncreasesIt) {
  const FillCase& c = GetParam();
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  for (const Value& order : c.orders) exchange.place(order);
  for (const double price : c.prices) exchange.set_price("XBTUSD", price);
  EXPECT_EQ(exchange.position("XBTUSD").currentQty, c.position);
  const RecordList placed = exchange.orders({.count = 100});
  std::string statuses;
  for (const Value& order : placed) statuses += order["ordStatus"].get<std::string>() + " ";
  EXPECT_EQ(statuses, c.statuses + " ");
  EXPECT_EQ(placed.back()["avgPx"], c.last_avgPx == 0 ? Value() : Value(c.last_avgPx));
}
INSTANTIATE_TEST_SUITE_P(SimExchange, Fills, testing::ValuesIn(kFills),
                         row_names(kFills, &FillCase::what));

// Simulated time from 2026-01-01, across days; a served exchange on the wall clock stamps its
// orders with today's date, so that a client's time filters work.
TEST(SimClock, SimulatedTimeRunsAcrossDaysAndWallTimeIsToday) {
  sim::SimClock simulated;
  simulated.advance(86400 + 3600 + 1.5);
  EXPECT_EQ(simulated.timestamp(), "2026-01-02T01:00:01.500Z");
  SimExchange served(1, {}, sim::SimClock::wall());
  served.list(sim::xbtusd(10000));
  const std::string stamp = place(served, 9000, -100)["timestamp"];
  const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const std::chrono::year_month_day date(today);
  EXPECT_EQ(stamp.substr(0, 10),
            fmt::format("{:04}-{:02}-{:02}", static_cast<int>(date.year()),
                        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day())));
}

}  // namespace
