#include "position_option.hpp"

#include <charconv>
#include <stdexcept>

namespace app {

OpenPosition parse_position(std::string_view text) {
  const auto colon = text.find(':');
  OpenPosition position{.symbol = colon == std::string_view::npos
                                      ? std::string("XBTUSD")
                                      : std::string(text.substr(0, colon))};
  const std::string_view count = colon == std::string_view::npos ? text : text.substr(colon + 1);
  const auto [end, failed] =
      std::from_chars(count.data(), count.data() + count.size(), position.contracts);
  if (position.symbol.empty() || failed != std::errc() || end != count.data() + count.size() ||
      position.contracts < -10000000000LL || position.contracts > 10000000000LL) {
    throw std::invalid_argument("give SYMBOL:CONTRACTS, such as XBTUSD:1000 or ETHUSDT:-2000");
  }
  return position;
}

}  // namespace app
