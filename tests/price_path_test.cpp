// Price paths for the demo: the seeded walk, and CSV files with every way they can be wrong.
#include "demo/price_path.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

TEST(RandomWalk, IsOnTheTickPositiveAndTheSameForASeed) {
  const auto prices = demo::random_walk(9000, 0.5, 500, 0.01, 7);
  ASSERT_EQ(prices.size(), 500u);
  EXPECT_EQ(prices, demo::random_walk(9000, 0.5, 500, 0.01, 7));
  EXPECT_NE(prices, demo::random_walk(9000, 0.5, 500, 0.01, 8));
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
  const auto prices = demo::read_prices(write("step,price\r\n0,9000.5\n1, 9001\n\n2,8999.5\n"));
  EXPECT_EQ(prices, (std::vector<double>{9000.5, 9001, 8999.5}));
  EXPECT_EQ(demo::read_prices(write("9000\n9010\n")), (std::vector<double>{9000, 9010}));
}

// Refused in one line that echoes no more than an excerpt of what was read.
TEST_F(PriceFile, RefusesWhatIsNoPricePath) {
  for (const std::string& text : std::vector<std::string>{
           "", "price\n", "9000\nabc\n", "9000\n-5\n", "9000\n0\n", "9000\nnan\n", "9000\n1e999\n",
           "9000\n" + std::string(1 << 20, 'x')}) {
    try {
      demo::read_prices(write(text));
      ADD_FAILURE() << "took " << text.substr(0, 20);
    } catch (const demo::PricePathError& error) {
      EXPECT_LT(std::string(error.what()).size(), 200u);
    }
  }
  // A file that never ends is read no further than a price file can be long.
  for (const char* file : {"/nonexistent/prices.csv", "/dev/zero"}) {
    EXPECT_THROW(demo::read_prices(file), demo::PricePathError) << file;
  }
}

}  // namespace
