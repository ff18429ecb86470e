#include "common/price_path.hpp"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Core/collaborators/record.hpp"
#include "Core/utils/read_file.hpp"
#include "embedded_exchange/engine/price_feed.hpp"

namespace app {
namespace {

// About a million prices: more than any demo needs.
constexpr std::size_t kLargestPriceFile = std::size_t{16} << 20;

}  // namespace

std::vector<double> random_walk(double start, double tick, int steps, double volatility,
                                std::uint64_t seed) {
  sim::RandomWalk walk(start, tick, volatility, seed);
  std::vector<double> prices;
  prices.reserve(static_cast<std::size_t>(std::max(steps, 0)));
  for (int i = 0; i < steps; ++i) prices.push_back(walk.next());
  return prices;
}

std::vector<double> read_prices(const std::filesystem::path& file) {
  std::istringstream input;
  try {
    input.str(utils::read_file(file, kLargestPriceFile));
  } catch (const std::runtime_error& error) {
    throw PricePathError(error.what());
  }
  std::vector<double> prices;
  std::string line;
  for (int number = 1; std::getline(input, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::string last = line.substr(line.rfind(',') + 1);
    double price = 0;
    try {
      price = stoploss::to_float(stoploss::Value(last));
    } catch (const std::exception&) {
      if (number == 1) continue;  // a header
      throw PricePathError(file.string() + ":" + std::to_string(number) +
                           ": not a price: " + stoploss::excerpt(last));
    }
    if (!(price > 0)) {
      throw PricePathError(file.string() + ":" + std::to_string(number) +
                           ": a price must be positive: " + stoploss::excerpt(last));
    }
    prices.push_back(price);
  }
  if (prices.empty()) throw PricePathError(file.string() + ": holds no prices");
  return prices;
}

}  // namespace app
