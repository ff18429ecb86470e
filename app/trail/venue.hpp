#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trail {

// A stop order standing on the book: its trigger price, the side of the position it closes when
// it triggers (1: a sell stop, a long's; -1: a buy stop, a short's) and whether it is reduce-only.
struct BookStop {
  double price = 0;
  int closes = 0;
  bool reduce_only = false;
};

// The prices of `stops`, in book order.
inline std::vector<double> prices(const std::vector<BookStop>& stops) {
  std::vector<double> result;
  for (const BookStop& stop : stops) result.push_back(stop.price);
  return result;
}

// What the realtime feed shows of the pair now; nothing for what it does not know (the feed is
// down, or has not sent that table yet).
struct Market {
  bool feed_up = false;
  std::uint64_t connections = 0;        // feed sessions opened so far
  std::optional<long long> position{};  // contracts held, positive long; 0 when flat
  std::optional<double> entry{};        // the position's average entry price
  std::optional<double> last_price{};
  std::optional<double> tick{};
  std::optional<std::vector<BookStop>> stops{};  // the pair's open stop orders
};

// How one stop request ended.
struct Sent {
  std::optional<bool> result{};  // true, false or nothing
  std::string failure{};         // "Kind: text" when the request threw, else empty
  int http_requests = 0;         // what the request cost, tries included
  double seconds = 0;            // from the call to its return
};

// The exchange's request budget as its last answer told it; -1 while unknown.
struct Budget {
  long limit = -1;
  long remaining = -1;
};

// The exchange as `trail` reaches it: the feed's view of the pair, and the module's stop
// request for it.
class Venue {
 public:
  virtual ~Venue() = default;
  virtual Market market() = 0;
  // A stop request for the pair at `stop_price`; 0 removes the pair's stops.
  virtual Sent send(double stop_price) = 0;
  // Cancels the pair's reduce-only stops that guard a position on `side` (1 long: sell stops,
  // -1 short: buy stops) and stand at one of `prices`, listed afresh. Returns their prices.
  virtual std::vector<double> cancel_stops(const std::vector<double>& prices, int side) = 0;
  virtual Budget budget() const = 0;
};

}  // namespace trail
