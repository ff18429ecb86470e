// Positions as the exchange keeps them: entry prices averaged by value, profit realised on the
// part closed, the rest opened the other way; inverse and quanto contracts.
#include "Core/sim/position.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

struct Fill {
  long long qty;
  double price;
};

TEST(Position, AveragesEntriesAndRealisesWhatIsClosed) {
  struct Case {
    const char* what;
    sim::SimInstrument contract;
    std::vector<Fill> fills;
    long long qty;
    double entry;
    double realised;  // XBt
  };
  const sim::SimInstrument xbt = sim::xbtusd(10000);  // 1 contract: 1e8 / price XBt
  const sim::SimInstrument eth = sim::ethusd(2000);   // 1 contract: 100 XBt per USD
  const Case cases[] = {
      {"long, entries averaged by value",
       xbt,
       {{100, 10000}, {100, 12000}},
       200,
       200 / (100 / 10000.0 + 100 / 12000.0),
       0},
      {"half closed at a profit",
       xbt,
       {{200, 10000}, {-100, 12500}},
       100,
       10000,
       100 * 1e8 * (1 / 10000.0 - 1 / 12500.0)},
      {"closed and flipped short",
       xbt,
       {{100, 10000}, {-300, 8000}},
       -200,
       8000,
       100 * 1e8 * (1 / 10000.0 - 1 / 8000.0)},
      {"short closed at a profit",
       xbt,
       {{-100, 10000}, {100, 8000}},
       0,
       0,
       -100 * 1e8 * (1 / 10000.0 - 1 / 8000.0)},
      {"quanto long closed", eth, {{10, 2000}, {-10, 2100}}, 0, 0, 10 * 100 * 100.0},
      {"quanto entries averaged", eth, {{10, 2000}, {30, 2100}}, 40, 2075, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim::Position position{.symbol = c.contract.symbol};
    for (const Fill& f : c.fills) position.fill(c.contract, f.qty, f.price);
    EXPECT_EQ(position.currentQty, c.qty);
    EXPECT_NEAR(position.avg_entry_price(c.contract), c.entry, 1e-6);
    EXPECT_NEAR(position.realisedPnl, c.realised, 1e-3);
  }
}

TEST(Position, RecordShowsLossAndLiquidationOnTheRightSide) {
  sim::SimInstrument xbt = sim::xbtusd(10000);
  sim::Position position{.symbol = "XBTUSD"};
  position.fill(xbt, 1000, 10000);
  xbt.markPrice = 9000;
  const auto record = sim::position_record(position, xbt, "1", "t");
  EXPECT_LT(record.at("unrealisedPnl").get<long long>(), 0);
  EXPECT_LT(record.at("liquidationPrice").get<double>(), 10000);
  EXPECT_GT(record.at("liquidationPrice").get<double>(), 8000);
  position.fill(xbt, -2000, 9000);
  EXPECT_GT(sim::position_record(position, xbt, "1", "t").at("liquidationPrice").get<double>(),
            9000);
}

}  // namespace
