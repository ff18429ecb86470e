#include "trail_session.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "own_stops.hpp"

namespace app::trail {
namespace {

int side_of(long long position) { return position > 0 ? 1 : position < 0 ? -1 : 0; }

// A stop at or inside the wanted price: between it and the market.
bool covers(double stop, double wanted, int side, double tick) {
  return side > 0 ? stop >= wanted - tick / 2 : stop <= wanted + tick / 2;
}

// A stop that protects a position on `side`: reduce-only, and closing that side.
bool guards(const BookStop& stop, int side) { return stop.reduce_only && stop.closes == side; }

}  // namespace

std::optional<double> tightest_guard(const std::vector<BookStop>& stops, int side) {
  std::optional<double> tightest;
  for (const BookStop& stop : stops) {
    if (guards(stop, side) && (!tightest || side * (stop.price - *tightest) > 0)) {
      tightest = stop.price;
    }
  }
  return tightest;
}

void take_sent(Step& look, Step sent) {
  look.event = sent.event;
  look.request = std::move(sent.request);
  look.tidy = std::move(sent.tidy);
  look.cleanup = std::move(sent.cleanup);
}

TrailSession::TrailSession(Venue& venue, TrailSettings settings)
    : venue_(venue), settings_(settings), ratchet_(settings.distance) {}

// The time since the last step: guarded (and exposed while uncovered) with a position open, not
// seen while the position is unknown.
void TrailSession::count_time(Clock::time_point now) {
  if (last_step_ && now > *last_step_) {
    const double seconds = std::chrono::duration<double>(now - *last_step_).count();
    if (guarding_) {
      totals_.guarded_seconds += seconds;
      if (!covered_) totals_.exposed_seconds += seconds;
    } else if (!known_.position) {
      unseen_seconds_ += seconds;
    }
  }
  if (!last_step_ || now > *last_step_) last_step_ = now;
}

// The feed's view; once the feed has been down for the feed wait, the market read over REST
// every rest_every.
Market TrailSession::read_market(Clock::time_point now, Step& step) {
  Market seen = venue_.market();
  if (seen.feed_up) {
    feed_down_since_.reset();
    last_rest_look_.reset();
    return seen;
  }
  if (!feed_down_since_) feed_down_since_ = now;
  if (now - *feed_down_since_ < settings_.feed_wait ||
      (last_rest_look_ && now - *last_rest_look_ < settings_.rest_every)) {
    return seen;
  }
  last_rest_look_ = now;
  try {
    seen = venue_.market_over_rest();
    step.rest_look = "";
  } catch (const std::exception& failure) {
    step.rest_look = failure.what();
  }
  return seen;
}

// A feed up on a session later than the last one seen up has reconnected (a session refused
// before it came up is no reconnection).
void TrailSession::observe(const Market& seen) {
  if (seen.feed_up) {
    if (seen.connections > known_.connections && known_.connections > 0) {
      ++totals_.reconnects;
      recheck_ = true;  // the book may have changed while the feed was away
      adopt_ = true;
    }
    known_.connections = seen.connections;
  }
  known_.feed_up = seen.feed_up;
  if (seen.position) {
    known_.position = seen.position;
    known_.entry = seen.entry;
  }
  if (seen.last_price) known_.last_price = seen.last_price;
  if (seen.tick) known_.tick = seen.tick;
  known_.stops = seen.stops;  // the book is not held over: only a fresh look shows it
}

// Whether the feed's position, compared with the exchange's when due, differs from it (a feed
// that shows none where one is open would leave it unguarded): the exchange's is taken and the
// feed subscribed afresh. A failed read is tried again a period later.
bool TrailSession::disagrees(Clock::time_point now) {
  if (!known_.feed_up || !known_.position) return false;
  if (!last_reconciled_) last_reconciled_ = now;
  if (now - *last_reconciled_ < settings_.reconcile_every) return false;
  last_reconciled_ = now;
  try {
    const long long exchange = venue_.position_over_rest();
    if (exchange == *known_.position) return false;
    venue_.distrust_feed(fmt::format("the feed shows a position of {}, the exchange {}",
                                     *known_.position, exchange));
    known_.position = exchange;
    return true;
  } catch (const std::exception&) {
    return false;
  }
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

// From the book when this look showed it; without, from the last request that ended true.
bool TrailSession::covered(const Market& seen) const {
  const int side = side_of(known_.position.value_or(0));
  if (!wanted_ || side == 0) return false;
  const double tick = known_.tick.value_or(0);
  if (seen.stops) {
    return std::any_of(seen.stops->begin(), seen.stops->end(), [&](const BookStop& stop) {
      return guards(stop, side) && covers(stop.price, *wanted_, side, tick);
    });
  }
  return confirmed_ && covers(*confirmed_, *wanted_, side, tick);
}

// Between the market and the tightest stop guarding the position, as a fraction of the price.
double TrailSession::gap(const Market& seen) const {
  const std::optional<double> tightest =
      seen.stops ? tightest_guard(*seen.stops, side_of(known_.position.value_or(0))) : confirmed_;
  if (!tightest || *known_.last_price <= 0) return 1;
  return std::abs(*known_.last_price - *tightest) / *known_.last_price;
}

Tidy TrailSession::tidy(const std::optional<Keep>& keep) {
  try {
    Tidy done = venue_.tidy(keep);
    in_doubt_ = false;
    cleaned_up_ = true;
    return done;
  } catch (const std::exception& failure) {
    return {.failure = failure.what()};
  }
}

// After a request whose outcome is unknown the book is read over REST first: a stop it placed
// unseen is kept (and the feed shown it), so that this request does not place a second one.
void TrailSession::request(Clock::time_point now, Step& step) {
  last_sent_ = now;
  if (in_doubt_) {
    step.tidy = tidy(Keep{.price = *wanted_, .side = side_});
    if (!step.tidy->failure.empty()) return;
  }
  step.event = Event::kRequest;
  step.request = send(*known_.last_price, now);
  // Once the position is protected, what earlier runs of the trail left goes.
  if (!cleaned_up_ && confirmed_ && !step.tidy) {
    step.cleanup = tidy(Keep{.price = *wanted_, .side = side_});
  }
}

Request TrailSession::send(double last_price, Clock::time_point now) {
  Request request{.last_price = last_price, .wanted = *wanted_, .sent = venue_.send(*wanted_)};
  // The position stays as exposed as it was until the request returns.
  count_time(now + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(request.sent.seconds)));
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
    totals_.protection_seconds.push_back(request.sent.seconds);
  } else {
    confirmed_.reset();
    recheck_ = true;
    in_doubt_ = true;  // it may have placed a stop all the same
  }
  const Market after = venue_.market();
  observe(after);
  request.stops_after = after.stops;
  covered_ = covered(after);
  return request;
}

Step TrailSession::step(Clock::time_point now) {
  Step step = look(now);
  if (step.due) take_sent(step, send_due(now));
  return step;
}

Step TrailSession::send_due(Clock::time_point now) {
  Step step;
  if (!due_since_) return step;
  due_since_.reset();
  request(now, step);
  return step;
}

bool TrailSession::surplus_due() const {
  return guarding_ && wanted_ && confirmed_ == wanted_ && !in_doubt_ && known_.stops &&
         !surplus(*known_.stops, Keep{.price = *wanted_, .side = side_}).empty();
}

Step TrailSession::cancel_surplus() {
  Step step;
  if (!surplus_due()) return step;
  try {
    step.cleanup = trail::cancel_surplus(venue_, *known_.stops, Keep{*wanted_, side_});
    known_.stops = step.cleanup->standing;
  } catch (const std::exception& failure) {
    step.cleanup = Tidy{.failure = failure.what()};
  }
  return step;
}

Step TrailSession::look(Clock::time_point now) {
  count_time(now);
  // Due from when a look first found it due, as long as every look since has.
  const std::optional<Clock::time_point> due_since = std::exchange(due_since_, std::nullopt);
  Step step;
  const Market seen = read_market(now, step);
  observe(seen);
  if (disagrees(now)) return step;  // the feed's book is in doubt too: the next look decides
  if (!known_.position) return step;
  if (*known_.position == 0) {
    unseen_seconds_ = 0;
    // The stop triggered when the market reached it; the feed may not show it gone yet.
    if (confirmed_ && known_.last_price && covers(*confirmed_, *known_.last_price, side_, 0)) {
      step.triggered = confirmed_;
    }
    ratchet_.wanted(0, 0, 1);
    wanted_.reset();
    confirmed_.reset();
    covered_ = false;
    guarded_size_ = 0;
    if (guarding_) {
      guarding_ = false;
      flat_reported_ = true;
      step.event = Event::kClosed;
      step.tidy = tidy(std::nullopt);  // with no position, a stop left would close the next one
      return step;
    }
    if (!flat_reported_) step.event = Event::kFlat;
    flat_reported_ = true;
    return step;
  }
  if (!guarding_) recheck_ = true;  // a new position: whatever stands must be checked
  if (*known_.position != guarded_size_) adopt_ = true;  // a new position, or a new size
  guarded_size_ = *known_.position;
  guarding_ = true;
  side_ = side_of(*known_.position);
  flat_reported_ = false;
  if (!known_.last_price || !known_.tick || *known_.tick <= 0) return step;
  if (adopt_ && seen.stops) adopt_standing(*seen.stops);
  wanted_ = ratchet_.wanted(*known_.position, *known_.last_price, *known_.tick);
  covered_ = covered(seen);
  // The time before the position was seen: exposed unless the first look shows it covered.
  totals_.guarded_seconds += unseen_seconds_;
  if (!covered_) totals_.exposed_seconds += unseen_seconds_;
  unseen_seconds_ = 0;
  // Until the book is seen, a request could loosen a stop standing on it.
  if (!wanted_ || adopt_) return step;
  const bool due = wanted_ != confirmed_ || recheck_ || (seen.stops && !covered_);
  if (!due || (last_sent_ && now - *last_sent_ < settings_.min_interval)) return step;
  due_since_ = due_since.value_or(now);
  step.due = Due{.exposed = !covered_, .gap = gap(seen), .since = *due_since_};
  return step;
}

Ending TrailSession::finish(bool remove_stop, Clock::time_point now) {
  count_time(now);
  Ending ending;
  if (remove_stop) {
    ending.tidy = tidy(std::nullopt);
  } else if (guarding_ && wanted_) {
    // Not before the book has been seen: the request could loosen a stop standing there.
    if (confirmed_ != wanted_ && !adopt_) request(now, ending.last);
    ending.tidy = tidy(Keep{.price = *wanted_, .side = side_});
  } else if (known_.position == 0) {
    ending.tidy = tidy(std::nullopt);
  }
  return ending;
}

}  // namespace app::trail
