#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace app {

// A price path the demo cannot use; what() says why in one line.
class PricePathError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A seeded random walk of `steps` prices from `start`, each on the tick, moving about
// `volatility` (a fraction of the price) per step.
std::vector<double> random_walk(double start, double tick, int steps, double volatility,
                                std::uint64_t seed);

// Prices from a CSV file: the last field of each line; a first line that is not a number is
// taken as a header. Throws PricePathError for an unreadable file, a bad line or a price
// that is not a positive finite number.
std::vector<double> read_prices(const std::filesystem::path& file);

}  // namespace app
