#include "price_path.hpp"

#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

#include "Core/collaborators/record.hpp"
#include "Core/utils/read_file.hpp"
#include "Core/utils/rounding.hpp"

namespace demo {
namespace {

// About a million prices: more than any demo needs.
constexpr std::size_t kLargestPriceFile = std::size_t{16} << 20;

}  // namespace

std::vector<double> random_walk(double start, double tick, int steps, double volatility,
                                std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::normal_distribution<double> move(0.0, volatility);
  std::vector<double> prices;
  prices.reserve(static_cast<std::size_t>(std::max(steps, 0)));
  double price = start;
  for (int i = 0; i < steps; ++i) {
    prices.push_back(price);
    price = std::max(tick, utils::nearest_multiple(price * (1 + move(generator)), tick));
  }
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

}  // namespace demo
