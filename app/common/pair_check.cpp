#include "common/pair_check.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>
#include <vector>

namespace app {
namespace {

constexpr std::size_t kSuggestions = 3;

char folded(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

// Edits (insert, delete, replace) from `a` to `b`, ignoring case.
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const std::size_t replace = diagonal + (folded(a[i - 1]) == folded(b[j - 1]) ? 0 : 1);
      row[j] = std::min({above + 1, row[j - 1] + 1, replace});
      diagonal = above;
    }
  }
  return row.back();
}

}  // namespace

stoploss::Value active_instrument(rest::RestClient& client, const std::string& pair) {
  const stoploss::Value listing = client.get("/instrument/active", {});
  std::vector<std::pair<std::size_t, std::string>> others;  // by distance from `pair`
  for (const stoploss::Value& instrument : stoploss::items(listing)) {
    const auto symbol = instrument.find("symbol");
    if (symbol == instrument.end() || !symbol->is_string()) continue;
    if (*symbol == pair) return instrument;
    others.emplace_back(distance(pair, *symbol), *symbol);
  }
  const auto shown = others.begin() + static_cast<long>(std::min(others.size(), kSuggestions));
  std::partial_sort(others.begin(), shown, others.end());
  std::vector<std::string> symbols;
  for (auto other = others.begin(); other != shown; ++other) symbols.push_back(other->second);
  throw std::invalid_argument(
      symbols.empty()
          ? fmt::format("unknown pair {}: the exchange lists no active instrument", pair)
          : fmt::format("unknown pair {}; the closest active symbols: {}", pair,
                        fmt::join(symbols, ", ")));
}

}  // namespace app
