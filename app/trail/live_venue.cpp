#include "live_venue.hpp"

#include <algorithm>

#include "own_stops.hpp"

namespace app::trail {
namespace {

using stoploss::RecordList;
using stoploss::Value;

std::optional<double> number(const Value& record, const char* key) {
  const auto found = record.find(key);
  if (found == record.end() || !found->is_number()) return std::nullopt;
  return found->get<double>();
}

std::string text(const Value& record, const char* key) {
  const auto found = record.find(key);
  return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// A stop order of the feed's or a listing's rows; nothing for any other order.
std::optional<BookStop> book_stop(const Value& order) {
  if (!order.is_object() || text(order, "ordType") != "Stop") return std::nullopt;
  const auto price = number(order, "stopPx");
  if (!price) return std::nullopt;
  const std::string side = text(order, "side");
  return BookStop{.price = *price,
                  .closes = side == "Sell"  ? 1
                            : side == "Buy" ? -1
                                            : 0,
                  .reduce_only = text(order, "execInst").find("ReduceOnly") != std::string::npos,
                  .tagged = carries_tag(text(order, "text")),
                  .order_id = text(order, "orderID")};
}

std::vector<BookStop> book_stops(const RecordList& orders) {
  std::vector<BookStop> stops;
  for (const Value& order : orders) {
    if (const auto stop = book_stop(order)) stops.push_back(*stop);
  }
  return stops;
}

// The position's rows: no row means never traded, flat.
void take_position(const RecordList& rows, Market& market) {
  market.position = 0;
  for (const Value& row : rows) {
    const auto quantity = row.find("currentQty");
    if (quantity != row.end() && quantity->is_number_integer()) {
      market.position = quantity->get<long long>();
    }
    market.entry = number(row, "avgEntryPrice");
  }
}

Market position_read(rest::RestClient& client, const std::string& pair) {
  Market market;
  const Value filter = {{"symbol", pair}};
  take_position(stoploss::items(client.get("/position", {{"filter", filter.dump()}})), market);
  return market;
}

void take_instrument(const Value& instrument, Market& market) {
  market.last_price = number(instrument, "lastPrice");
  market.tick = number(instrument, "tickSize");
}

}  // namespace

LiveVenue::LiveVenue(std::string pair, LiveModule& module, rest::RestClient& client,
                     feed::FeedClient& feed)
    : pair_(std::move(pair)), module_(module), client_(client), feed_(feed) {}

// Read only while the feed is up: a feed that is down holds nothing, or nothing current.
Market LiveVenue::market() {
  Market market{.feed_up = feed_.up(), .connections = feed_.counters().connections};
  if (!market.feed_up) return market;
  if (const auto rows = feed_.positions(pair_)) take_position(*rows, market);
  if (const auto instrument = feed_.instrument(pair_)) take_instrument(*instrument, market);
  if (const auto orders = feed_.open_orders(pair_)) market.stops = book_stops(*orders);
  return market;
}

Market LiveVenue::market_over_rest() {
  Market market = position_read(client_, pair_);
  market.feed_up = feed_.up();
  market.connections = feed_.counters().connections;
  const Value instruments = client_.get("/instrument", {{"symbol", pair_}});
  for (const Value& instrument : stoploss::items(instruments)) take_instrument(instrument, market);
  market.stops = book_stops(stoploss::items(open_orders()));
  return market;
}

long long LiveVenue::position_over_rest() { return *position_read(client_, pair_).position; }

void LiveVenue::distrust_feed(const std::string& why) {
  module_.log().info_warn(why + "; the feed is subscribed afresh", {});
  feed_.resubscribe(why);
}

Sent LiveVenue::send(double stop_price) { return module_.send(pair_, stop_price); }

// Through the module's own collaborators: the listing and the bulk cancel a request makes,
// their answers shown to the feed.
Tidy LiveVenue::tidy(const std::optional<Keep>& keep) {
  const Value listing = open_orders();
  for (const Value& order : stoploss::items(listing)) feed_.apply(order);
  return cancel_surplus(*this, book_stops(stoploss::items(listing)), keep);
}

// Through the module's bulk cancel, which leaves in the list what it could not cancel and shows
// the feed what it did.
std::vector<BookStop> LiveVenue::cancel(const std::vector<BookStop>& stops) {
  RecordList left;
  for (const BookStop& stop : stops) left.push_back({{"orderID", stop.order_id}});
  if (left.empty()) return {};
  module_.cancel_bulk().orders(pair_, left, true);
  std::vector<BookStop> cancelled;
  for (const BookStop& stop : stops) {
    if (std::none_of(left.begin(), left.end(),
                     [&](const Value& entry) { return entry.at("orderID") == stop.order_id; })) {
      cancelled.push_back(stop);
    }
  }
  return cancelled;
}

Budget LiveVenue::budget() const {
  const rest::RateLimit& budget = client_.rate_limit();
  return {.limit = budget.limit,
          .remaining = budget.remaining,
          .second_remaining = budget.remaining_1s};
}

Value LiveVenue::open_orders() { return module_.quor_calls().open_orders(pair_, true); }

}  // namespace app::trail
