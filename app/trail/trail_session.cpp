#include "trail_session.hpp"

#include <algorithm>

namespace trail {
namespace {

int side_of(long long position) { return position > 0 ? 1 : position < 0 ? -1 : 0; }

// A stop at or inside the wanted price: between it and the market.
bool covers(double stop, double wanted, int side, double tick) {
  return side > 0 ? stop >= wanted - tick / 2 : stop <= wanted + tick / 2;
}

// A stop that protects a position on `side`: reduce-only, and closing that side.
bool guards(const BookStop& stop, int side) { return stop.reduce_only && stop.closes == side; }

}  // namespace

TrailSession::TrailSession(Venue& venue, TrailSettings settings)
    : venue_(venue), settings_(settings), ratchet_(settings.distance) {}

void TrailSession::observe(const Market& seen) {
  if (seen.connections > known_.connections && known_.connections > 0) {
    ++totals_.reconnects;
    recheck_ = true;  // the book may have changed while the feed was away
    adopt_ = true;
  }
  known_.feed_up = seen.feed_up;
  known_.connections = seen.connections;
  if (seen.position) {
    known_.position = seen.position;
    known_.entry = seen.entry;
  }
  if (seen.last_price) known_.last_price = seen.last_price;
  if (seen.tick) known_.tick = seen.tick;
  known_.stops = seen.stops;  // the book is not held over: only the feed, up, shows it
}

// Of the stops guarding the position, the tightest one that stands on the position's side of the
// market: below it for a long, above it for a short.
void TrailSession::adopt_standing(const std::vector<BookStop>& stops) {
  for (const BookStop& stop : stops) {
    const bool on_its_side =
        side_ > 0 ? stop.price < *known_.last_price : stop.price > *known_.last_price;
    if (guards(stop, side_) && on_its_side) ratchet_.adopt(side_, stop.price);
  }
  adopt_ = false;
}

// With the feed up, from the book it shows; without, from the last request that ended true.
bool TrailSession::covered(const Market& seen) const {
  const int side = side_of(known_.position.value_or(0));
  if (!wanted_ || side == 0) return false;
  const double tick = known_.tick.value_or(0);
  if (seen.feed_up && seen.stops) {
    return std::any_of(seen.stops->begin(), seen.stops->end(), [&](const BookStop& stop) {
      return guards(stop, side) && covers(stop.price, *wanted_, side, tick);
    });
  }
  return confirmed_ && covers(*confirmed_, *wanted_, side, tick);
}

// The minimum interval, or while less than a quarter of the exchange's budget is left, the pace
// at which the budget refills for what the last request cost.
std::chrono::milliseconds TrailSession::interval() const {
  const Budget budget = venue_.budget();
  if (budget.limit <= 0 || budget.remaining < 0 || budget.remaining >= budget.limit / 4) {
    return settings_.min_interval;
  }
  const std::chrono::milliseconds refill(60000 * std::max(1, last_cost_) / budget.limit);
  return std::max(settings_.min_interval, refill);
}

Request TrailSession::send(double last_price, Clock::time_point now) {
  Request request{.last_price = last_price, .wanted = *wanted_, .sent = venue_.send(*wanted_)};
  last_sent_ = now;
  // The position stays as exposed as it was until the request returns.
  const auto took = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(request.sent.seconds));
  if (!covered_) totals_.exposed_seconds += request.sent.seconds;
  last_step_ = now + took;
  last_cost_ = request.sent.http_requests;
  ++totals_.requests;
  totals_.http_requests += request.sent.http_requests;
  const std::string result = !request.sent.failure.empty() ? "failed"
                             : !request.sent.result        ? "nothing"
                             : *request.sent.result        ? "true"
                                                           : "false";
  ++totals_.results[result];
  if (request.sent.result == true && request.sent.failure.empty()) {
    confirmed_ = wanted_;
    recheck_ = false;
    if (std::find(placed_.begin(), placed_.end(), *wanted_) == placed_.end()) {
      placed_.push_back(*wanted_);
    }
    totals_.protection_seconds.push_back(request.sent.seconds);
  } else {
    confirmed_.reset();
    recheck_ = true;
  }
  const Market after = venue_.market();
  observe(after);
  request.stops_after = after.stops;
  covered_ = covered(after);
  return request;
}

Step TrailSession::step(Clock::time_point now) {
  if (last_step_ && guarding_ && !covered_) {
    totals_.exposed_seconds += std::chrono::duration<double>(now - *last_step_).count();
  }
  last_step_ = now;
  const Market seen = venue_.market();
  observe(seen);
  if (!known_.position) return {};
  if (*known_.position == 0) {
    // The stop triggered when the market reached it; the feed may not show it gone yet.
    std::optional<double> triggered;
    if (confirmed_ && known_.last_price && covers(*confirmed_, *known_.last_price, side_, 0)) {
      triggered = confirmed_;
    }
    ratchet_.wanted(0, 0, 1);
    wanted_.reset();
    confirmed_.reset();
    covered_ = false;
    guarded_size_ = 0;
    if (guarding_) {
      guarding_ = false;
      flat_reported_ = true;
      return {.event = Event::kClosed, .triggered = triggered};
    }
    if (flat_reported_) return {};
    flat_reported_ = true;
    return {Event::kFlat};
  }
  if (!guarding_) {  // a new position: whatever stands must be checked
    recheck_ = true;
    placed_.clear();
  }
  if (*known_.position != guarded_size_) adopt_ = true;  // a new position, or a new size
  guarded_size_ = *known_.position;
  guarding_ = true;
  side_ = side_of(*known_.position);
  flat_reported_ = false;
  if (!known_.last_price || !known_.tick || *known_.tick <= 0) return {};
  if (adopt_ && seen.feed_up && seen.stops) adopt_standing(*seen.stops);
  wanted_ = ratchet_.wanted(*known_.position, *known_.last_price, *known_.tick);
  covered_ = covered(seen);
  // Until the book is seen, a request could loosen a stop standing on it.
  if (!wanted_ || adopt_) return {};
  const bool due = wanted_ != confirmed_ || recheck_ || (seen.feed_up && !covered_);
  if (!due || (last_sent_ && now - *last_sent_ < interval())) return {};
  return {.event = Event::kRequest, .request = send(*known_.last_price, now)};
}

}  // namespace trail
