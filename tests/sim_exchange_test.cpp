// The embedded exchange on its own: what it accepts, fills and amends, and the faults it
// injects. The module's tests rely on each of these behaving as BitMEX does.
#include "embedded_exchange/engine/sim_exchange.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
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
const Value below = with({{"price", 9000}});
const Value ioc = {{"price", 9000}, {"timeInForce", "ImmediateOrCancel"}};
const Value fok = {{"price", 10001}, {"timeInForce", "FillOrKill"}};
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
    {"a limit below the market rests then fills at its price",
     {below},
     {9000},
     1000,
     "Filled",
     9000},
    {"an ImmediateOrCancel limit below the market is cancelled",
     {with(ioc)},
     {9000},
     0,
     "Canceled",
     0},
    {"a FillOrKill limit through the market fills in full",
     {with(fok)},
     {},
     1000,
     "Filled",
     10000.5},
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

// Every fill leaves its trade: a market order and a triggered stop take liquidity, a resting
// limit adds it, each at its rate of the contract's fees (a maker's rebate is a negative fee).
TEST(SimExchange, FillsLeaveTheirTradesAsExecutions) {
  SimExchange exchange;
  sim::SimInstrument contract = sim::xbtusd(10000);
  contract.makerFee = -0.0001;
  exchange.list(contract);
  const Value bought = exchange.place(buy);
  const Value stopped = place(exchange, 9500, -1000);
  const Value rested = exchange.place(with({{"price", 9000}}));
  exchange.set_price("XBTUSD", 9400);
  exchange.set_price("XBTUSD", 9000);
  const RecordList& trades = exchange.executions();
  ASSERT_EQ(trades.size(), 3u);
  const std::tuple<Value, double, const char*, double, long long> expected[] = {
      {bought, 10000.5, "RemovedLiquidity", 0.0005, 5000},
      {stopped, 9400, "RemovedLiquidity", 0.0005, 5319},
      {rested, 9000, "AddedLiquidity", -0.0001, -1111}};
  for (std::size_t i = 0; i < trades.size(); ++i) {
    const auto& [order, price, liquidity, rate, fee] = expected[i];
    EXPECT_EQ(trades[i]["orderID"], order["orderID"]) << i;
    EXPECT_EQ(trades[i]["execType"], "Trade") << i;
    EXPECT_EQ(trades[i]["lastQty"], 1000) << i;
    EXPECT_EQ(trades[i]["lastPx"], price) << i;
    EXPECT_EQ(trades[i]["lastLiquidityInd"], liquidity) << i;
    EXPECT_EQ(trades[i]["commission"], rate) << i;
    EXPECT_EQ(trades[i]["execComm"], fee) << i;
  }
  EXPECT_EQ(exchange.instrument("XBTUSD").openInterest, 1000);
}

// What the public sees of a market with no depth: a lot traded at each price move and the
// account's fills at theirs, minute buckets of them, and a book made one tick either side of the
// quote with the account's shown resting limits in it.
TEST(SimExchange, TheTapeBucketsAndBookFollowThePricePath) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  exchange.set_price("XBTUSD", 10010);
  exchange.clock().advance(30);
  exchange.place(buy);
  exchange.clock().advance(40);
  exchange.set_price("XBTUSD", 10000);
  std::string tape;
  for (const sim::PublicTrade& trade : exchange.tape()) {
    const Value& t = trade.record;
    tape += fmt::format("{} {} @ {} {}; ", t["side"].get<std::string>(), t["size"].get<long long>(),
                        t["price"].get<double>(), t["tickDirection"].get<std::string>());
  }
  EXPECT_EQ(tape,
            "Buy 100 @ 10010 PlusTick; Buy 1000 @ 10010.5 PlusTick; Sell 100 @ 10000 MinusTick; ");
  const RecordList ended =
      sim::trade_buckets(exchange.tape(), std::chrono::minutes(1), false, exchange.clock());
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0]["timestamp"], "2026-01-01T00:01:00.000Z");
  EXPECT_EQ(ended[0]["open"], 10010);
  EXPECT_EQ(ended[0]["high"], 10010.5);
  EXPECT_EQ(ended[0]["close"], 10010.5);
  EXPECT_EQ(ended[0]["volume"], 1100);
  EXPECT_EQ(
      sim::trade_buckets(exchange.tape(), std::chrono::minutes(1), true, exchange.clock()).size(),
      2u);
  exchange.place(with({{"side", "Sell"}, {"orderQty", 100}, {"price", 10000.5}}));
  exchange.place(with({{"price", 9999.5}, {"displayQty", 0}}));
  std::string book;
  for (const Value& level : exchange.order_book("XBTUSD", 2)) {
    book += fmt::format("{} {} @ {}; ", level["side"].get<std::string>(),
                        level["size"].get<long long>(), level["price"].get<double>());
  }
  EXPECT_EQ(book, "Sell 2000 @ 10001; Sell 1100 @ 10000.5; Buy 1000 @ 9999.5; Buy 2000 @ 9999; ");
}

// A client applying the feed's book changes one message at a time, for moves of a tick and jumps
// wider than the book either way: never an empty side, a crossed book or more than 25 levels a
// side in orderBookL2_25, and the book it ends with is the exchange's.
TEST(SimExchange, BookChangesKeepEverySideFilledAndUncrossed) {
  for (const double to : {10000.5, 10100.0, 9900.0}) {
    SimExchange exchange;
    exchange.list(sim::xbtusd(10000));
    const RecordList before = exchange.order_book("XBTUSD", SimExchange::kNearestLevels);
    exchange.set_price("XBTUSD", to);
    const RecordList after = exchange.order_book("XBTUSD", SimExchange::kNearestLevels);
    std::map<std::pair<long long, std::string>, Value> held;  // by id and side
    const auto apply = [&](const RecordList& levels, std::string_view action) {
      for (const Value& level : levels) {
        const auto key = std::pair(level["id"].get<long long>(), level["side"].get<std::string>());
        if (action == "delete") held.erase(key);
        if (action != "delete") held[key] = level;
      }
    };
    apply(before, "insert");
    for (const sim::BookMessage& message : sim::book_changes(before, after)) {
      apply(message.rows, message.action);
      double bid = 0, ask = 1e9;
      int bids = 0, asks = 0;
      for (const auto& [key, level] : held) {
        const double price = level["price"].get<double>();
        if (key.second == "Buy") bid = std::max(bid, price), ++bids;
        if (key.second == "Sell") ask = std::min(ask, price), ++asks;
      }
      EXPECT_TRUE(bid > 0 && ask < 1e9 && bid < ask && bids <= 25 && asks <= 25)
          << "to " << to << " after a " << message.action << ": " << bids << " bids to " << bid
          << ", " << asks << " asks from " << ask;
    }
    RecordList ended;
    for (const auto& [key, level] : held) ended.push_back(level);
    std::ranges::sort(ended, {}, [](const Value& l) { return l["price"].get<double>(); });
    RecordList wanted = after;
    std::ranges::sort(wanted, {}, [](const Value& l) { return l["price"].get<double>(); });
    EXPECT_EQ(ended, wanted) << "to " << to;
  }
}

// The dead man's switch: armed, moved on by another call, fired by the first request or price
// move past its time, and disarmed by a timeout of 0.
TEST(SimExchange, CancelAllAfterCancelsWhatIsOpenOnceItsTimeHasPassed) {
  SimExchange exchange;
  exchange.list(sim::xbtusd(10000));
  const auto open = [&] { return exchange.open_orders("XBTUSD").size(); };
  place(exchange, 9000, -100);
  EXPECT_EQ(exchange.cancel_all_after(std::chrono::seconds(60))["cancelTime"],
            "2026-01-01T00:01:00.000Z");
  exchange.clock().advance(59.9);
  exchange.cancel_all_after(std::chrono::seconds(60));
  exchange.clock().advance(59);
  exchange.cancel_when_due();
  EXPECT_EQ(open(), 1u);
  exchange.clock().advance(1.1);
  exchange.set_price("XBTUSD", 10000);
  EXPECT_EQ(open(), 0u);
  EXPECT_EQ(exchange.orders({}).back()["text"].get<std::string>().substr(0, 37),
            "Canceled: Cancel from cancelAllAfter\n");
  place(exchange, 9000, -100);
  exchange.cancel_all_after(std::chrono::seconds(1));
  exchange.cancel_all_after(std::chrono::seconds(0));
  exchange.clock().advance(1000);
  exchange.cancel_when_due();
  EXPECT_EQ(open(), 1u);
}

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
