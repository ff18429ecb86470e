#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app::trail {

// A stop order standing on the book: its trigger price, the side of the position it closes when
// it triggers (1: a sell stop, a long's; -1: a buy stop, a short's), whether it is reduce-only,
// whether its text carries the trail's tag (own_stops.hpp), and the exchange's orderID.
struct BookStop {
  double price = 0;
  int closes = 0;
  bool reduce_only = false;
  bool tagged = false;
  std::string order_id{};
};

// The prices of `stops`, in book order.
inline std::vector<double> prices(const std::vector<BookStop>& stops) {
  std::vector<double> result;
  for (const BookStop& stop : stops) result.push_back(stop.price);
  return result;
}

// What the exchange shows of the pair now: from the realtime feed while it is up, or read over
// REST when asked; nothing for what it does not know (the feed is down, or has not sent that table
// yet).
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

// The stop to keep when the trail's surplus stops are cancelled: at `price`, guarding a position
// on `side` (1 long, -1 short).
struct Keep {
  double price = 0;
  int side = 0;
};

// What a look at the book over REST cancelled, and what stood after it.
struct Tidy {
  std::vector<double> cancelled{};
  std::vector<BookStop> standing{};
  std::string failure{};  // the listing or the cancel failed: "Kind: text"
};

// The exchange's request budget as its last answer told it; -1 while unknown.
struct Budget {
  long limit = -1;
  long remaining = -1;
  long second_remaining = -1;  // of the order routes' budget for one second
};

// The exchange as `trail` reaches it: the feed's view of the pair, the same read over REST, the
// module's stop request for it, and the trail's own stops tidied.
class Venue {
 public:
  virtual ~Venue() = default;
  virtual Market market() = 0;
  // The position, the last price, the tick and the stops read over REST; throws on a failure.
  virtual Market market_over_rest() = 0;
  // The position alone, in contracts, read over REST; throws on a failure.
  virtual long long position_over_rest() = 0;
  // The feed disagrees with the exchange (`why` says how): logged, and the feed subscribed
  // afresh, down until it holds fresh partials.
  virtual void distrust_feed(const std::string& why) = 0;
  // A stop request for the pair at `stop_price`, its stop tagged as the trail's.
  virtual Sent send(double stop_price) = 0;
  // Lists the pair's orders over REST (the feed is shown what the listing holds, so that the next
  // request sees it) and cancels the stops carrying the trail's tag but one: the one `keep` names
  // (own_stops.hpp); all of them without one. Throws on a failure.
  virtual Tidy tidy(const std::optional<Keep>& keep) = 0;
  // Cancels `stops` in one request; those the exchange cancelled. Throws on a failure.
  virtual std::vector<BookStop> cancel(const std::vector<BookStop>& stops) = 0;
  virtual Budget budget() const = 0;
};

}  // namespace app::trail
