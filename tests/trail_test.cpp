// `stoploss trail`'s pieces: the ratchet, and the session against the embedded exchange on
// loopback with its realtime feed, driven by a scripted price path and a clock of its own.
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include "guard/guard_loop.hpp"
#include "live_rig.hpp"
#include "row_name.hpp"
#include "trail/live_venue.hpp"
#include "trail/own_stops.hpp"
#include "trail/ratchet.hpp"
#include "trail/trail_report.hpp"
#include "trail/trail_session.hpp"

namespace {

namespace trail = app::trail;
namespace guard = app::guard;
using trail::Event;

// Moves as "position@last ..." ("position@last^stop": a stop standing for the position adopted
// first), the stop wanted after each as "price ..." ("-": none).
struct RatchetCase {
  const char* name;
  const char* moves;
  const char* wanted;
  trail::Distance distance = {100};
};

const RatchetCase kRatchets[] = {
    {"long: rises with the price, holds when it falls", "1000@9000 1000@9010 1000@8990 1000@9020.5",
     "8900 8910 8910 8920.5"},
    {"short: falls with the price, holds when it rises", "-5@9000 -5@8990 -5@9010",
     "9100 9090 9090"},
    {"percent of the last price", "1@9000 -1@9000", "8910 9090", {1, true}},
    {"on the tick away from the market", "1@9000 -1@9000", "8966.5 9033.5", {33.3}},
    {"flat forgets the stop; a new long starts afresh", "1@9000 0@9000 1@8500", "8900 - 8400"},
    {"no stop at 0 or below: a long trailing farther than the price has none yet",
     "1@50 1@100 1@150 1@120", "- - 50 50"},
    {"adopts a tighter stop standing and never loosens it", "1000@9050^9000 1000@9080 1000@9120",
     "9000 9000 9020"},
    {"a short adopts a lower stop; a looser one standing changes nothing",
     "-5@9000^9050 -5@9000^9150 -5@8900", "9050 9050 9000"},
    {"what a long adopted is forgotten when the position changes side", "1@9000^8990 -1@9000",
     "8990 9100"},
};

class RatchetMoves : public testing::TestWithParam<RatchetCase> {};

TEST_P(RatchetMoves, TrailTheMarketAndNeverMoveBack) {
  const RatchetCase& c = GetParam();
  trail::Ratchet ratchet(c.distance);
  std::istringstream moves(c.moves);
  std::string wanted;
  for (long long position = 0; moves >> position;) {
    double last = 0;
    moves.ignore(1) >> last;
    if (double standing = 0; moves.peek() == '^' && moves.ignore(1) >> standing) {
      ratchet.adopt(position > 0 ? 1 : -1, standing);
    }
    const std::optional<double> stop = ratchet.wanted(position, last, 0.5);
    wanted += (wanted.empty() ? "" : " ") + (stop ? fmt::format("{}", *stop) : "-");
  }
  EXPECT_EQ(wanted, c.wanted);
}
INSTANTIATE_TEST_SUITE_P(Ratchet, RatchetMoves, testing::ValuesIn(kRatchets),
                         row_names(kRatchets, &RatchetCase::name));

// An exchange in memory: a long position at a price, a book the requests change.
class FakeVenue final : public trail::Venue {
 public:
  trail::Market market() override { return shown; }
  trail::Market market_over_rest() override { return over_rest; }
  long long position_over_rest() override { return *over_rest.position; }
  // The fresh partials show what the exchange holds.
  void distrust_feed(const std::string&) override { shown.position = over_rest.position; }
  trail::Sent send(double stop_price) override {
    sent.push_back(stop_price);
    if (reply.result == true && shown.feed_up) {
      shown.stops = {
          {.price = stop_price, .closes = *shown.position > 0 ? 1 : -1, .reduce_only = true}};
    }
    return reply;
  }
  trail::Tidy tidy(const std::optional<trail::Keep>&) override { return {}; }
  std::vector<trail::BookStop> cancel(const std::vector<trail::BookStop>&) override { return {}; }
  trail::Budget budget() const override { return left; }

  trail::Market shown{.feed_up = true,
                      .connections = 1,
                      .position = 1000,
                      .last_price = 9000,
                      .tick = 0.5,
                      .stops = std::vector<trail::BookStop>{}};
  trail::Market over_rest{
      .position = 1000, .last_price = 9000, .tick = 0.5, .stops = std::vector<trail::BookStop>{}};
  trail::Sent reply{.result = true, .http_requests = 1};
  trail::Budget left{};
  std::vector<double> sent;
};

struct PacingCase {
  const char* name;
  // Each step: the time since the one before, what changes before it, and the stop it sends.
  std::vector<
      std::tuple<std::chrono::milliseconds, std::function<void(FakeVenue&)>, std::optional<double>>>
      steps;
  std::optional<double> exposed{};  // seconds without a stop covering the wanted price, at the end
  std::chrono::milliseconds min_interval = 1s;
};

const auto nothing = [](FakeVenue&) {};
const std::optional<double> none;
const auto price = [](double last) { return [last](FakeVenue& v) { v.shown.last_price = last; }; };
// A change of the market, and the book then showing reduce-only `stops` (`closes`: 1 a long's
// sell stop, -1 a short's buy stop).
const auto moved = [](std::function<void(trail::Market&)> change,
                      std::vector<trail::BookStop> stops) {
  return [change, stops](FakeVenue& v) {
    change(v.shown);
    v.shown.stops = stops;
  };
};
const auto book = [](std::vector<trail::BookStop> stops) {
  return moved([](trail::Market&) {}, stops);
};
const auto reconnected = [](trail::Market& m) { m.connections = 2; };
// The feed up again on a new session, with the market as at the start.
const auto up_again = [](trail::Market& m) {
  m = FakeVenue().shown;
  m.connections = 2;
};
const auto reply = [](trail::Sent sent) { return [sent](FakeVenue& v) { v.reply = sent; }; };
const auto budget = [](int remaining) {
  return [remaining](FakeVenue& v) { v.left = {.limit = 120, .remaining = remaining}; };
};
const PacingCase kPacing[] = {
    {"a move within the minimum interval waits for it",
     {{0ms, nothing, 8900}, {500ms, price(9100), none}, {500ms, nothing, 9000}}},
    {"a request that did not end true is sent again, at the same price",
     {{0ms, reply({.result = false}), 8900},
      {1s, reply({.result = std::nullopt}), 8900},
      {1s, reply({.result = true}), 8900},
      {1s, nothing, none}}},
    {"a slow request that fails exposes the position for its own time; the retry confirms",
     {{0ms, reply({.failure = "Timed out", .seconds = 4}), 8900},
      {5s, reply({.result = true, .seconds = 0.5}), 8900},
      {1s, nothing, none}},
     4 + 1 + 0.5},
    {"after the feed reconnected the book is checked again",
     {{0ms, nothing, 8900}, {1s, moved(reconnected, {{8900, 1, true}}), 8900}}},
    {"a stop gone from the book is asked for again", {{0ms, nothing, 8900}, {1s, book({}), 8900}}},
    {"a stop farther than wanted does not cover the position",
     {{0ms, nothing, 8900}, {1s, book({{8850, 1, true}}), 8900}}},
    {"nor does a stop that is not reduce-only, however close",
     {{0ms, nothing, 8900}, {1s, book({{8950, 1, false}}), 8900}}},
    {"at the start a long adopts the highest reduce-only sell stop below the market",
     {{0ms, book({{8920, 1, true}, {8950, 1, true}}), 8950}, {1s, price(9100), 9000}}},
    {"a buy stop, a stop not reduce-only and one beyond the market are not a long's to adopt",
     {{0ms, book({{8990, -1, true}, {8980, 1, false}, {9010, 1, true}}), 8900}}},
    {"a short adopts the lowest reduce-only buy stop above the market",
     {{0ms,
       moved([](trail::Market& m) { m.position = -1000; },
             {{9080, -1, true}, {9050, -1, true}, {9020, 1, true}}),
       9050}}},
    {"after the feed reconnected a tighter stop placed meanwhile is adopted",
     {{0ms, nothing, 8900}, {1s, moved(reconnected, {{8900, 1, true}, {8950, 1, true}}), 8950}}},
    {"a reconnected feed that does not show the book yet: nothing sent until it does",
     {{0ms, nothing, 8900},
      {1s, [](FakeVenue& v) { v.shown = {.feed_up = false, .connections = 2}; }, none},
      {1s, moved(up_again, {{8950, 1, true}}), 8950}}},
    {"a feed that never comes up: after the feed wait (10 s) the market is read over REST and "
     "the position guarded from there; the wait counts as exposed",
     {{0ms, [](FakeVenue& v) { v.shown = {}; }, none}, {5s, nothing, none}, {5s, nothing, 8900}},
     10},
    {"a feed that shows the position flat is found out at the comparison a minute on; the "
     "position is guarded from the fresh partials",
     {{0ms, [](FakeVenue& v) { v.shown.position = 0; }, none},
      {59s, nothing, none},
      {1s, nothing, none},
      {1s, nothing, 8900}}},
    {"a position of a new size adopts what stands",
     {{0ms, nothing, 8900},
      {1s, moved([](trail::Market& m) { m.position = 500; }, {{8900, 1, true}, {8950, 1, true}}),
       8950}}},
    {"less than a quarter of the budget left: no faster than it refills (120 a minute)",
     {{0ms, budget(29), 8900}, {200ms, price(9100), none}, {300ms, nothing, 9000}},
     {},
     100ms},
};

class Pacing : public testing::TestWithParam<PacingCase> {};

// One pair is the guard loop's simplest case: the session and the scheduler that shares the budget.
TEST_P(Pacing, SendsWhenTheStopMustChangeOrBeCheckedAndNoFasterThanAllowed) {
  const PacingCase& c = GetParam();
  auto owned = std::make_unique<FakeVenue>();
  FakeVenue& venue = *owned;
  guard::GuardLoop loop;
  loop.add("XBTUSD", std::move(owned), {.distance = {100}, .min_interval = c.min_interval});
  const trail::TrailSession& session = loop.session("XBTUSD");
  trail::Clock::time_point now{};
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    const auto& [after, change, expected] = c.steps[i];
    change(venue);
    venue.sent.clear();
    loop.tick(now += after, venue.budget());
    EXPECT_EQ(venue.sent, expected ? std::vector<double>{*expected} : std::vector<double>{})
        << "step " << i;
  }
  if (c.exposed) {
    EXPECT_DOUBLE_EQ(session.totals().exposed_seconds, *c.exposed);
  }
}
INSTANTIATE_TEST_SUITE_P(TrailSession, Pacing, testing::ValuesIn(kPacing),
                         row_names(kPacing, &PacingCase::name));

constexpr long long kPosition = 1000;

// The embedded exchange with a long position, the feed, and a session over them stepped a
// second at a time on its own clock; pauses and REST backoff cost no time.
class TrailRig : public LiveRig {
 public:
  explicit TrailRig(std::chrono::milliseconds stale_after = kStale) : LiveRig({sim::xbtusd(9000)}) {
    trade("XBTUSD", kPosition);
    connect({"XBTUSD"}, stale_after);
    venue_ = std::make_unique<trail::LiveVenue>("XBTUSD", *module_, *client_, *feed_);
    session_ = std::make_unique<trail::TrailSession>(
        *venue_, trail::TrailSettings{.distance = {100}, .min_interval = 1s});
  }

  // Moves the market and waits until the feed shows it.
  void move_to(double price) {
    server_.with_exchange([price](sim::SimExchange& e) { e.set_price("XBTUSD", price); });
    ASSERT_TRUE(eventually([&] { return venue_->market().last_price == price; })) << price;
  }
  trail::Step step(std::chrono::milliseconds after = 1s) { return session_->step(now_ += after); }

  std::unique_ptr<trail::LiveVenue> venue_;
  std::unique_ptr<trail::TrailSession> session_;
  trail::Clock::time_point now_{};
};

// A long position: one HTTP request for each stop the feed shows placed; the move through the stop
// closes the position, said once, and the trail's stops go with it.
TEST(TrailSession, ReportsTheCloseWhenTheStopTriggers) {
  TrailRig rig;
  for (const double price : {9000, 9100}) {
    rig.move_to(price);
    const trail::Step step = rig.step();
    ASSERT_TRUE(step.request) << price;
    EXPECT_EQ(step.request->sent.http_requests, 1) << price;
  }
  rig.move_to(8990);  // through the stop at 9000
  ASSERT_TRUE(eventually([&] { return rig.venue_->market().position == 0; }));
  const trail::Step closed = rig.step();
  EXPECT_EQ(closed.event, Event::kClosed);
  EXPECT_EQ(closed.triggered, 9000);
  EXPECT_EQ(rig.stops("XBTUSD"),
            std::vector<double>{});  // with no position they would close the next one
  EXPECT_FALSE(rig.session_->wanted());
  EXPECT_EQ(rig.step().event, Event::kNothing);  // said once
}

// Faults before a move: the position must be protected again within a bounded time (on the
// session's clock, a step a second), with the wanted stop standing once, and the end of the run
// must leave it alone on the book.
struct FaultCase {
  const char* name;
  std::function<void(TrailRig&)> inject;
  double exposed;  // seconds without a stop at or inside the wanted price
  std::chrono::milliseconds stale_after = kStale;
};

const FaultCase kFaults[] = {
    {"feed dropped: reconnects, re-checks the book",
     [](TrailRig& rig) {
       const auto connections = rig.feed_->counters().connections;
       rig.server_.feed_fault(sim::FeedFault::kDrop);
       ASSERT_TRUE(eventually([&] { return rig.feed_->counters().connections > connections; }));
     },
     0},
    {"six 503s: a request fails, then the look at the book before the next (three tries each), "
     "each exposing a step; the third step confirms",
     [](TrailRig& rig) {
       for (int i = 0; i < 6; ++i) rig.server_.fail_next(sim::ServerFault::kOverload);
     },
     2},
    {"a placement answered in half while the feed lags 1.5 s: the book is read over REST "
     "before the next request, which finds the stop placed",
     [](TrailRig& rig) {
       rig.move_to(9100);
       rig.server_.set_feed_faults({.delay = 1500ms});
       rig.server_.fail_next(sim::ServerFault::kTruncated, "POST /api/v1/order");
     },
     1, 5s},
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveThePositionExposedOnlyBoundedly) {
  const FaultCase& c = GetParam();
  TrailRig rig(c.stale_after);
  rig.move_to(9000);
  ASSERT_EQ(rig.step().request->sent.result, true);
  c.inject(rig);
  rig.move_to(9100);
  for (int i = 0; i < 6 && rig.session_->confirmed() != 9000.0; ++i) {
    ASSERT_TRUE(eventually([&] { return rig.feed_->up(); }));
    rig.step();
  }
  EXPECT_EQ(rig.session_->confirmed(), 9000.0);
  const std::vector<double> book = rig.stops("XBTUSD");
  ASSERT_FALSE(book.empty());
  EXPECT_EQ(book.back(), 9000);
  EXPECT_EQ(std::count(book.begin(), book.end(), 9000), 1);
  // Steps are a second apart; each request's own loopback time counts too.
  EXPECT_NEAR(rig.session_->totals().exposed_seconds, c.exposed, 0.25);
  rig.session_->finish(false, rig.now_);
  EXPECT_EQ(rig.stops("XBTUSD"), std::vector<double>{9000});
  rig.server_.with_exchange([](sim::SimExchange& e) {  // --remove-on-exit leaves the trader's
    e.place_stop("XBTUSD", 8500, -kPosition, std::nullopt, "placed by hand");
  });
  rig.session_->finish(true, rig.now_);
  EXPECT_EQ(rig.stops("XBTUSD"), std::vector<double>{8500});
}
INSTANTIATE_TEST_SUITE_P(TrailSession, Faults, testing::ValuesIn(kFaults),
                         row_names(kFaults, &FaultCase::name));

// `trail --out`'s chart: the samples along the seconds of the run, not one step apart.
TEST(TrailChart, DrawsTheSamplesAlongTheirSeconds) {
  std::vector<trail::Sample> samples;
  for (const double seconds : {0.0, 0.5, 12.0}) {
    samples.push_back({.seconds = seconds, .last_price = 9000, .wanted = 8900, .stops = {8900}});
  }
  std::ostringstream out;
  trail::write_chart_svg(samples, "trail", out);
  EXPECT_NE(out.str().find(">time (s)</text>"), std::string::npos);
  EXPECT_NE(out.str().find(">12</text>"), std::string::npos) << "the axis ends at the last second";
}

}  // namespace
