#include "own_stops.hpp"

#include <cstddef>

namespace app::trail {
namespace {

bool guards(const BookStop& stop, int side) { return stop.reduce_only && stop.closes == side; }

// Of the tagged stops guarding keep's side, the one at its price, else the tightest.
std::optional<std::size_t> kept(const std::vector<BookStop>& book, const Keep& keep) {
  std::optional<std::size_t> tightest;
  for (std::size_t i = 0; i < book.size(); ++i) {
    const BookStop& stop = book[i];
    if (!stop.tagged || !guards(stop, keep.side)) continue;
    if (stop.price == keep.price) return i;
    if (!tightest || (stop.price - book[*tightest].price) * keep.side > 0) tightest = i;
  }
  return tightest;
}

}  // namespace

bool carries_tag(std::string_view text) { return text.find(kTrailTag) != std::string_view::npos; }

std::vector<BookStop> surplus(const std::vector<BookStop>& book, const std::optional<Keep>& keep) {
  const std::optional<std::size_t> stays = keep ? kept(book, *keep) : std::nullopt;
  std::vector<BookStop> going;
  for (std::size_t i = 0; i < book.size(); ++i) {
    if (book[i].tagged && i != stays) going.push_back(book[i]);
  }
  return going;
}

Tidy cancel_surplus(Venue& venue, std::vector<BookStop> standing, const std::optional<Keep>& keep) {
  Tidy done{.standing = std::move(standing)};
  for (const BookStop& stop : venue.cancel(surplus(done.standing, keep))) {
    done.cancelled.push_back(stop.price);
    std::erase_if(done.standing,
                  [&](const BookStop& other) { return other.order_id == stop.order_id; });
  }
  return done;
}

}  // namespace app::trail
