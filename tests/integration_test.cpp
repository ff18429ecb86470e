// The module against the embedded exchange: after each request the exchange's book, not the
// module's calls, shows whether the stop stands where it was asked for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/sim/sim_components.hpp"
#include "Core/sim/sim_exchange.hpp"
#include "recording_log.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using stoploss::Value;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::UnorderedElementsAreArray;

constexpr long long kContracts = 9999999;  // maxOrderQty - 1 on both listed pairs

class OnExchange : public testing::Test {
 protected:
  void SetUp() override { open({}); }

  // A fresh exchange (XBTUSD at 10000, ETHUSD at 2000), the module loaded over it and a
  // manager for both pairs.
  void open(sim::FaultSettings faults, std::uint64_t seed = 1) {
    exchange_ = std::make_unique<sim::SimExchange>(seed, faults);
    exchange_->list(sim::xbtusd(10000, 1));
    exchange_->list(sim::ethusd(2000));
    log_ = std::make_shared<RecordingLog>();
    table_ = sim::sim_components(*exchange_, {.install_dir = "/opt/bot", .log = log_});
    StopLoss::load(table_);
    StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD", "ETHUSD"}));
  }

  // A stop put straight on the book, of the module's size unless told otherwise.
  std::string stand(double stopPx, long long orderQty = -kContracts,
                    const std::string& pair = "XBTUSD") {
    return exchange_->place_stop(pair, stopPx, orderQty, std::nullopt, "")["orderID"];
  }

  std::vector<double> prices(const std::string& pair = "XBTUSD") const {
    return exchange_->stop_prices(pair);
  }
  long long count_at(double price) const {
    const auto book = prices();
    return std::count(book.begin(), book.end(), price);
  }
  stoploss::RecordList book() const { return exchange_->open_orders("XBTUSD"); }
  Value order_at(double price) const {
    for (const Value& order : book()) {
      if (order["stopPx"] == price) return order;
    }
    throw std::runtime_error("no order at " + std::to_string(price));
  }

  std::unique_ptr<sim::SimExchange> exchange_;
  std::shared_ptr<RecordingLog> log_;
  stoploss::ComponentTable table_;
};

struct FirstStop {
  const char* name;
  std::string pair;
  double market;
  Value price;
  double rounded;
  long long quantity;
};

class FirstStopOf : public OnExchange, public testing::WithParamInterface<FirstStop> {};

TEST_P(FirstStopOf, StandsAloneAtTheRoundedPrice) {
  const FirstStop& c = GetParam();
  exchange_->set_price(c.pair, c.market);
  EXPECT_EQ(StopLoss::Call(c.pair, c.price), true);
  ASSERT_EQ(prices(c.pair), std::vector<double>{c.rounded});
  const Value order = exchange_->open_orders(c.pair)[0];
  EXPECT_EQ(order["orderQty"], c.quantity > 0 ? c.quantity : -c.quantity);
  EXPECT_EQ(order["side"], c.quantity > 0 ? "Buy" : "Sell");
  EXPECT_THAT(order["execInst"].get<std::string>(), HasSubstr("ReduceOnly"));
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, FirstStopOf,
    testing::Values(FirstStop{"SellBelow", "XBTUSD", 10000, 9000.3, 9000.5, -kContracts},
                    FirstStop{"PriceAsText", "XBTUSD", 10000, "9000.3", 9000.5, -kContracts},
                    FirstStop{"BuyAbove", "XBTUSD", 8000, 9000.2, 9000, kContracts},
                    FirstStop{"FinerTick", "ETHUSD", 2000, 1950.03, 1950.05, -kContracts}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnExchange, PairUnknownToTheManagerGetsTheFallbackSize) {
  exchange_->list(sim::SimInstrument{"LTCUSD", 0.01, 10000000, 100, 100});
  EXPECT_EQ(StopLoss::Call("LTCUSD", 90), true);
  const auto book = exchange_->open_orders("LTCUSD");
  ASSERT_EQ(book.size(), 1u);
  EXPECT_EQ(book[0]["orderQty"], 999999);
}

// Stops of the module's size stand on the book (in this order) before one request.
struct Move {
  const char* name;
  std::vector<double> standing;
  double price;
  std::vector<double> after;
  int moved;  // index of the standing stop whose order now holds the price; -1: a new order
};

class MoveOf : public OnExchange, public testing::WithParamInterface<Move> {};

TEST_P(MoveOf, AmendsRatherThanPlaces) {
  const Move& c = GetParam();
  std::vector<std::string> ids;
  for (const double price : c.standing) ids.push_back(stand(price));
  EXPECT_EQ(StopLoss::Call("XBTUSD", c.price), true);
  EXPECT_THAT(prices(), UnorderedElementsAreArray(c.after));
  ASSERT_EQ(count_at(c.price), 1);
  const std::string holder = order_at(c.price)["orderID"];
  if (c.moved >= 0) {
    EXPECT_EQ(holder, ids[c.moved]);
  } else {
    EXPECT_EQ(std::count(ids.begin(), ids.end(), holder), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Xbtusd, MoveOf,
    testing::Values(
        // A stop between the new price and the market is moved out to it.
        Move{"TowardTheMarketSide", {9100}, 9000, {9000}, 0},
        Move{"OfSeveralTheLowestMovesTheRestGo", {9300, 9100, 9200}, 9000, {9000}, 1},
        // Up to two stops beyond the price are kept as they are and a new one is placed; with
        // three, the outermost is moved.
        Move{"OneBeyondIsKept", {9000}, 9100, {9000, 9100}, -1},
        Move{"ThreeBeyondOutermostMoves", {8900, 8800, 9000}, 9100, {8900, 9100, 9000}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OnExchange, SecondStopAtThePriceIsCancelled) {
  const std::string kept = stand(9000);
  stand(9000);
  stand(9200);
  stand(9300);
  const std::string foreign = stand(9000, -100);  // not of the module's size: not touched
  EXPECT_EQ(StopLoss::Call("XBTUSD", 9000), true);
  ASSERT_THAT(prices(), ElementsAre(9000, 9000));
  EXPECT_EQ(book()[0]["orderID"], kept);
  EXPECT_EQ(book()[1]["orderID"], foreign);
}

class SurplusBeyond : public OnExchange, public testing::WithParamInterface<std::vector<double>> {};

TEST_P(SurplusBeyond, ShrinksToThePriceAndThreeSparesOverRequests) {
  for (const double price : GetParam()) stand(price);
  std::size_t before = prices().size();
  for (int request = 0; request < 5; ++request) {
    EXPECT_EQ(StopLoss::Call("XBTUSD", 9100), true);
    EXPECT_EQ(count_at(9100), 1) << "request " << request;
    EXPECT_LE(prices().size(), before) << "request " << request;
    before = prices().size();
  }
  EXPECT_EQ(prices().size(), 4u);
  for (const double price : prices()) EXPECT_LE(price, 9100);
}

INSTANTIATE_TEST_SUITE_P(BookOrder, SurplusBeyond,
                         testing::Values(std::vector<double>{8500, 8600, 8700, 8800, 8900, 9000},
                                         std::vector<double>{9000, 8900, 8800, 8700, 8600, 8500}));

TEST_F(OnExchange, TenModuleStopsMakeRoomByAmendment) {
  for (int i = 0; i < 10; ++i) stand(8000 + 100 * i);
  EXPECT_EQ(StopLoss::Call("XBTUSD", 9500), true);
  EXPECT_EQ(count_at(9500), 1);
  EXPECT_EQ(prices().size(), 10u);
}

// The exchange refuses an 11th stop; the module then removes every stop of the pair, its own
// and others alike, and leaves the placement to the next request.
TEST_F(OnExchange, FullBookOfOtherStopsIsClearedForTheNextRequest) {
  for (int i = 0; i < 10; ++i) stand(8000 + 100 * i, -100);
  EXPECT_NE(StopLoss::Call("XBTUSD", 9550), true);
  EXPECT_TRUE(log_->has("critical", "E.f1 MAx stops found"));
  EXPECT_TRUE(prices().empty());
  EXPECT_EQ(StopLoss::Call("XBTUSD", 9550), true);
  EXPECT_EQ(prices(), std::vector<double>{9550});
}

TEST_F(OnExchange, FailedAmendIsReportedAndALaterRequestMovesTheStop) {
  const std::string id = stand(9100);
  exchange_->fail_next(
      "Amend_bulk.orders",
      std::make_exception_ptr(stoploss::HTTPError(
          "503 Server Error: Service Unavailable",
          {503,
           R"({"error":{"message":"The system is currently overloaded.","name":"HTTPError"}})"})));
  EXPECT_EQ(StopLoss::Call("XBTUSD", 9000), std::nullopt);
  EXPECT_TRUE(log_->has("warn", "E.c2 Failed to amend 503 Server Error"));
  EXPECT_EQ(prices(), std::vector<double>{9100});

  EXPECT_EQ(StopLoss::Call("XBTUSD", 9000), true);
  ASSERT_EQ(prices(), std::vector<double>{9000});
  EXPECT_EQ(book()[0]["orderID"], id);
}

TEST_F(OnExchange, FeedDownPausesOnTheSimulatedClock) {
  for (const double feed_down_rate : {0.0, 1.0}) {
    open({.feed_down_rate = feed_down_rate});
    EXPECT_EQ(StopLoss::Call("XBTUSD", 9000), true);
    EXPECT_EQ(prices(), std::vector<double>{9000});
    EXPECT_EQ(exchange_->clock().now() >= 0.2, feed_down_rate > 0) << exchange_->clock().now();
  }
}

class ZeroPrice : public OnExchange, public testing::WithParamInterface<Value> {};

TEST_P(ZeroPrice, RemovesEveryStopOfThePairOnly) {
  stand(9000);
  stand(9100, -100);
  stand(11000, kContracts);
  stand(1900, -kContracts, "ETHUSD");
  EXPECT_EQ(StopLoss::Call("XBTUSD", GetParam()), true);
  EXPECT_TRUE(prices().empty());
  EXPECT_EQ(prices("ETHUSD"), std::vector<double>{1900});
}

INSTANTIATE_TEST_SUITE_P(Forms, ZeroPrice, testing::Values(Value(0), Value("0"), Value(0.2)));

TEST_F(OnExchange, ReplaceRemovesTheOldStopsEvenOneAtThePrice) {
  const std::string old = stand(9000);
  stand(8500);
  stand(9500, -100);
  EXPECT_EQ(StopLoss::Call("XBTUSD", 9000, {.REPLACE = true}), true);
  ASSERT_EQ(prices(), std::vector<double>{9000});
  EXPECT_NE(book()[0]["orderID"], old);
}

struct Report {
  const char* name;
  std::vector<double> standing;
  bool verification;
};

class ReportOf : public OnExchange, public testing::WithParamInterface<Report> {};

TEST_P(ReportOf, PlacedForIsLoggedInVerificationModeOnly) {
  for (const double price : GetParam().standing) stand(price);
  EXPECT_EQ(StopLoss::Call("XBTUSD", 8000.2, {.Verification = GetParam().verification}), true);
  EXPECT_EQ(count_at(8000), 1);
  EXPECT_EQ(log_->has("info", "Placed for XBTUSD @ 8000.0"), GetParam().verification);
}

INSTANTIATE_TEST_SUITE_P(Paths, ReportOf,
                         testing::Values(Report{"New", {}, true}, Report{"NewChecked", {}, false},
                                         Report{"Moved", {9000.5}, true},
                                         Report{"AlreadyStanding", {8000}, true},
                                         Report{"AlreadyStandingChecked", {8000}, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Failures the module leaves to the caller may surface, but a true result always stands on the
// book and a false one is always explained in the log.
TEST_F(OnExchange, UnderSeededFaultsTrueStillMeansTheStopStands) {
  int confirmed = 0;
  long long faults = 0;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    open({.rate = 0.2, .feed_down_rate = 0.3}, seed);
    for (int step = 0; step < 30; ++step) {
      const double market = 10000 + 50 * step;
      exchange_->set_price("XBTUSD", market);
      const double wanted = step % 7 == 6 ? 0 : market - 500 - 25 * (step % 3);
      log_->lines.clear();
      std::optional<bool> result;
      try {
        result = StopLoss::Call("XBTUSD", wanted);
      } catch (const std::exception&) {
        continue;
      }
      const auto book = prices();
      EXPECT_LE(book.size(), 10u);
      if (result == true) {
        ++confirmed;
        if (wanted == 0) {
          EXPECT_TRUE(book.empty()) << "seed " << seed << " step " << step;
        } else {
          EXPECT_EQ(count_at(wanted), 1) << "seed " << seed << " step " << step;
        }
      } else if (result == false) {
        EXPECT_TRUE(std::any_of(log_->lines.begin(), log_->lines.end(),
                                [](const auto& line) { return line.level != "info"; }))
            << "seed " << seed << " step " << step;
      }
    }
    faults += exchange_->faults_injected();
  }
  EXPECT_GT(confirmed, 300);
  EXPECT_GT(faults, 100);
}

}  // namespace
