// Price paths for the demo: the seeded walk, CSV files with every way they can be wrong, and the
// demo along a path through its stop.
#include "common/price_path.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Core/utils/host_components.hpp"
#include "common/report.hpp"
#include "demo/demo_run.hpp"

namespace {

TEST(RandomWalk, IsOnTheTickPositiveAndTheSameForASeed) {
  const auto prices = app::random_walk(9000, 0.5, 500, 0.01, 7);
  ASSERT_EQ(prices.size(), 500u);
  EXPECT_EQ(prices, app::random_walk(9000, 0.5, 500, 0.01, 7));
  EXPECT_NE(prices, app::random_walk(9000, 0.5, 500, 0.01, 8));
  for (const double price : prices) {
    EXPECT_GT(price, 0);
    EXPECT_EQ(price * 2, std::round(price * 2)) << price;
  }
}

class PriceFile : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& text) {
    std::ofstream(path_) << text;
    return path_;
  }
  void TearDown() override { std::filesystem::remove(path_); }
  std::filesystem::path path_ =
      std::filesystem::temp_directory_path() / ("stoploss_prices_" + std::to_string(getpid()));
};

TEST_F(PriceFile, ReadsTheLastFieldOfEachLineAfterAHeader) {
  const auto prices = app::read_prices(write("step,price\r\n0,9000.5\n1, 9001\n\n2,8999.5\n"));
  EXPECT_EQ(prices, (std::vector<double>{9000.5, 9001, 8999.5}));
  EXPECT_EQ(app::read_prices(write("9000\n9010\n")), (std::vector<double>{9000, 9010}));
}

// Refused in one line that echoes no more than an excerpt of what was read.
TEST_F(PriceFile, RefusesWhatIsNoPricePath) {
  for (const std::string& text : std::vector<std::string>{
           "", "price\n", "9000\nabc\n", "9000\n-5\n", "9000\n0\n", "9000\nnan\n", "9000\n1e999\n",
           "9000\n" + std::string(1 << 20, 'x')}) {
    try {
      app::read_prices(write(text));
      ADD_FAILURE() << "took " << text.substr(0, 20);
    } catch (const app::PricePathError& error) {
      EXPECT_LT(std::string(error.what()).size(), 200u);
    }
  }
  // A file that never ends is read no further than a price file can be long.
  for (const char* file : {"/nonexistent/prices.csv", "/dev/zero"}) {
    EXPECT_THROW(app::read_prices(file), app::PricePathError) << file;
  }
}

// The stop at 8950 closes the position at 8920: nothing is asked for while flat, and the stop
// left over at 8900 is cancelled, so the next position, bought at 8920, is neither closed by it at
// 8890 nor guarded by a buy stop above the market.
TEST(DemoRun, AsksForNothingWhileFlatAndLeavesNoStopOverTheNextPosition) {
  app::demo::DemoSettings settings;
  settings.prices = {9000, 9050, 8920, 8890, 8900};
  settings.log = std::make_shared<utils::SilentLog>();
  const auto steps = app::demo::run_demo(settings, [](const app::DemoStep&) {});
  ASSERT_EQ(steps.size(), 5u);
  for (const app::DemoStep& step : steps) {
    EXPECT_EQ(step.requested, step.position != 0) << step.step;
    for (const double stop : step.stops) EXPECT_LT(stop, step.price) << step.step;
  }
  EXPECT_EQ(steps[2].closed_at, 8920);
  EXPECT_EQ(steps[2].exchange_calls, 0);
  EXPECT_EQ(app::summarize(steps).positions_closed, 1);
  EXPECT_EQ(steps[4].stops, std::vector<double>{8820});
}

}  // namespace
