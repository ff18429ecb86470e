#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ratchet.hpp"
#include "venue.hpp"

namespace app::trail {

using Clock = std::chrono::steady_clock;

struct TrailSettings {
  Distance distance{};
  std::chrono::milliseconds min_interval{1000};  // between two stop requests
  // The feed down this long (or never up): the market is read over REST, every rest_every.
  std::chrono::milliseconds feed_wait{10000};
  std::chrono::milliseconds rest_every{5000};
  // While the feed is up, its position is compared with the exchange's this often.
  std::chrono::milliseconds reconcile_every{60000};
};

// A stop request the session sent, and the book the feed showed right after it.
struct Request {
  double last_price = 0;
  double wanted = 0;
  Sent sent{};
  std::optional<std::vector<BookStop>> stops_after{};
};

// A stop request that is due: how exposed the position is, for the scheduler that shares the
// exchange's budget among pairs (guard/scheduler.hpp).
struct Due {
  bool exposed = false;  // no stop stands at or inside the wanted price
  // Between the market and the stop standing for the position, as a fraction of the price;
  // with no stop standing, 1.
  double gap = 0;
  std::chrono::steady_clock::time_point since{};  // when the request became due
};

// What a step came to.
enum class Event {
  kNothing,
  kRequest,  // a stop request was sent (Step::request)
  kFlat,     // the position is flat and was not guarded before: nothing to guard
  kClosed,   // the guarded position is flat now: its stop triggered, or it was closed
};

struct Step {
  Event event = Event::kNothing;
  std::optional<Request> request{};
  std::optional<double> triggered{};  // kClosed: the stop the market reached, if it did
  // The book read over REST and the trail's surplus stops cancelled: before a request that
  // follows one whose outcome is unknown (none is sent when the read fails), and at a close.
  std::optional<Tidy> tidy{};
  // The trail's stops but the one at the wanted price cancelled once the position is protected:
  // after the first request that protected it (read over REST: earlier runs' stops), and later
  // from the feed's book (cancel_surplus()).
  std::optional<Tidy> cleanup{};
  // The market was read over REST, the feed having been down for the feed wait: "" when it was,
  // else why it could not be.
  std::optional<std::string> rest_look{};
  // A stop request is due and was left to send_due() (look() only).
  std::optional<Due> due{};
};

// Of `stops`, the tightest one guarding a position on `side` (1 long, -1 short): reduce-only and
// closing that side; the highest sell stop of a long, the lowest buy stop of a short.
std::optional<double> tightest_guard(const std::vector<BookStop>& stops, int side);

// Takes into `look` what sending its due request did.
void take_sent(Step& look, Step sent);

// What the end of a run did: the wanted stop asked for once more when the last request did not
// confirm it, and the book read over REST with the trail's other stops cancelled.
struct Ending {
  Step last{};
  std::optional<Tidy> tidy{};
};

// What the session has done so far.
struct Totals {
  std::map<std::string, int> results{};  // "true", "false", "nothing", "failed"
  int requests = 0;
  int http_requests = 0;
  std::vector<double> protection_seconds{};  // of the requests that ended true
  double guarded_seconds = 0;                // with a position open
  double exposed_seconds = 0;                // of those, with no stop at or inside the wanted price
  int reconnects = 0;                        // of the feed
};

// Keeps one stop trailing the pair's position: on each step it reads the market, ratchets the
// wanted stop and sends a stop request when the wanted stop changed, after a request that did
// not end true, after the feed reconnected, or when the book shows no stop covering the wanted
// price; never twice within the minimum interval, and more slowly while the exchange's budget
// runs low. At the start, after the feed reconnected and whenever the position changes (a new
// one, or a new size) it adopts the tightest reduce-only stop of the position's side standing
// on the book on the position's side of the market, so that a restart, or a stop placed by
// someone else, never loosens what stands; until the book has been seen it sends nothing. Only
// such stops cover the position.
// The stops it asks for carry the trail's tag. Once its first request has protected the position,
// after a request that did not end true (it may have placed a stop nobody saw), when the position
// closes and at the end it reads the book over REST and cancels its tagged stops but the one at
// the wanted price, so that one stop is left whatever earlier runs left. While the feed has been
// down for the feed wait it reads the market over REST instead; the time the position was not seen
// counts as exposed once it is seen open. While the feed is up, its position is compared with the
// exchange's every reconcile_every; on a difference the exchange's position is taken and the feed
// subscribed afresh. A step is a look at the market and, when a request is due, the request: step()
// does both; look() and send_due() apart let a scheduler choose among pairs which request goes
// first. Single-threaded; the caller's clock drives it.
class TrailSession {
 public:
  TrailSession(Venue& venue, TrailSettings settings);

  Step step(Clock::time_point now);
  // Reads the market and decides; a request that is due is left for send_due() (Step::due).
  Step look(Clock::time_point now);
  // Sends the request the last look found due, if it still is.
  Step send_due(Clock::time_point now);
  // Once the position is protected at the wanted price, the trail's other stops the feed shows
  // (the module places a tighter stop beside the old ones) can go: cancel_surplus() cancels them in
  // one request, when the budget allows.
  bool surplus_due() const;
  Step cancel_surplus();
  // Ends the run: the wanted stop left standing with the trail's others cancelled, or with
  // `remove_stop` every stop of the trail's cancelled. Touches nothing while the position is
  // unknown, unless asked to remove.
  Ending finish(bool remove_stop, Clock::time_point now);

  // What the feed (or REST, while the feed is down) showed, held over while it is down.
  const Market& market() const { return known_; }
  std::optional<double> wanted() const { return wanted_; }
  // The stop price the last request confirmed, unless a request failed since.
  std::optional<double> confirmed() const { return confirmed_; }
  const Totals& totals() const { return totals_; }
  // A position is open and a stop stands at or inside the wanted price, as last seen.
  bool protects() const { return guarding_ && covered_; }

 private:
  void count_time(Clock::time_point now);
  Market read_market(Clock::time_point now, Step& step);
  void observe(const Market& seen);
  bool disagrees(Clock::time_point now);
  void adopt_standing(const std::vector<BookStop>& stops);
  bool covered(const Market& seen) const;
  double gap(const Market& seen) const;
  Tidy tidy(const std::optional<Keep>& keep);
  void request(Clock::time_point now, Step& step);
  Request send(double last_price, Clock::time_point now);

  Venue& venue_;
  TrailSettings settings_;
  Ratchet ratchet_;
  Market known_{};
  std::optional<double> wanted_{};
  std::optional<double> confirmed_{};  // the price of the last request that ended true
  bool recheck_ = true;                // the book must be checked whatever the price
  bool adopt_ = true;                  // the stops standing must be adopted before a request
  bool in_doubt_ = false;    // a request did not end true: the book must be read over REST first
  bool cleaned_up_ = false;  // the trail's stops but the wanted one cancelled since the start
  bool guarding_ = false;
  long long guarded_size_ = 0;  // the position guarded, in contracts
  int side_ = 0;                // of the position guarded: 1 long, -1 short
  bool flat_reported_ = false;
  bool covered_ = false;
  double unseen_seconds_ = 0;  // with the position not known yet
  std::optional<Clock::time_point> last_step_{};
  std::optional<Clock::time_point> last_sent_{};
  std::optional<Clock::time_point> due_since_{};  // a request is due and not sent yet
  std::optional<Clock::time_point> feed_down_since_{};
  std::optional<Clock::time_point> last_rest_look_{};
  std::optional<Clock::time_point> last_reconciled_{};  // or when the feed was first seen up
  Totals totals_{};
};

}  // namespace app::trail
