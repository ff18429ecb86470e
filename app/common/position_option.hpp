#pragma once

#include <string>
#include <string_view>

namespace app {

// A position to open on the embedded exchange at the start: contracts of a symbol, negative sold.
struct OpenPosition {
  std::string symbol;
  long long contracts = 0;
};

// Reads "SYMBOL:CONTRACTS", or "CONTRACTS" alone for XBTUSD; throws std::invalid_argument saying
// what is wrong.
OpenPosition parse_position(std::string_view text);

}  // namespace app
