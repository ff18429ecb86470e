// The module over the REST collaborators and the realtime feed against the embedded exchange
// served on loopback HTTP: the requests each kind of stop request makes with the feed and
// without it, the feed's faults, and every failure the module sorts, arriving with the kind and
// text it expects.
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "Core/collaborators/failures.hpp"
#include "feed_rig.hpp"
#include "row_name.hpp"

namespace {

// "GET order x3, POST order": the requests made, without the path's common part.
std::string text(const Routes& routes) {
  std::string text;
  for (const auto& [route, count] : routes) {
    text += (text.empty() ? "" : ", ") + route.substr(0, route.find(' ')) + " " +
            route.substr(route.find("/api/v1/") + 8) +
            (count > 1 ? " x" + std::to_string(count) : "");
  }
  return text;
}

std::vector<double> book(const char* text) {  // "8800 8900"
  std::istringstream in(text);
  return {std::istream_iterator<double>(in), std::istream_iterator<double>()};
}

// One stop request, with the feed or without, after a fault of the feed, the exchange or the
// network, or none: a feed that cannot be trusted leaves the request to REST.
struct Case {
  const char* what;
  bool feed;
  const char* before;  // stops standing before the request
  std::function<void(Rig&)> fault;
  double wanted;
  const char* outcome;  // "ended true", or the failure's kind and the start of its text
  const char* requests;
  const char* after;
  const char* logged = "";  // a critical line; "" : no warning nor critical line
  const char* warned = "";  // a warning the feed is subscribed afresh for; "" : none
};
void cancel_elsewhere(Rig& rig) {
  const auto shown = [&rig] {
    const feed::Snapshot listed = rig.feed_->open_orders("XBTUSD");
    return listed && !listed->empty();
  };
  ASSERT_TRUE(shown());
  rig.server_.with_exchange([](sim::SimExchange& e) { e.cancel_stops("XBTUSD"); });
  ASSERT_TRUE(eventually([&] { return !shown(); }));
}
// The listing the drop cleared is itself taken over REST: a cleared table is no empty book.
void drop_feed_at_listing(Rig& rig) {
  rig.feed_->at_listing = [&rig] {
    rig.server_.feed_fault(sim::FeedFault::kDrop);
    ASSERT_TRUE(eventually([&rig] { return !rig.feed_->feed->last_error().empty(); }));
  };
}
std::function<void(Rig&)> fail_next(std::vector<sim::ServerFault> faults, const char* route = "") {
  return [=](Rig& rig) {
    for (const auto fault : faults) rig.server_.fail_next(fault, route);
  };
}
// The feed's table lies (a record applied to it alone) and the next listing is due to be
// compared with the exchange's.
void feed_shows(Rig& rig, const stoploss::Value& record) {
  ASSERT_TRUE(rig.feed_->feed->apply(record));
  rig.later_ = 60s;
}
void phantom_in_feed(Rig& rig) {
  feed_shows(rig, stoploss::Value::parse(
                      R"({"orderID":"phantom","symbol":"XBTUSD","side":"Sell","orderQty":100,)"
                      R"("stopPx":8800,"ordType":"Stop","execInst":"LastPrice,ReduceOnly",)"
                      R"("ordStatus":"New","timestamp":"2000-01-01T00:00:00.000Z"})"));
}
void stop_missing_from_feed(Rig& rig) {
  stoploss::Value hidden = rig.feed_->feed->open_orders("XBTUSD")->front();
  hidden["ordStatus"] = "Canceled";
  feed_shows(rig, hidden);
}
// The feed holds the stop at a time after any answer: the move's answer does not show in it.
void feed_row_from_the_future(Rig& rig) {
  stoploss::Value row = rig.feed_->feed->open_orders("XBTUSD")->front();
  row["timestamp"] = "2999-01-01T00:00:00.000Z";
  ASSERT_TRUE(rig.feed_->feed->apply(row));
}
void ten_small_stops(Rig& rig) {
  rig.server_.with_exchange([](sim::SimExchange& e) {
    for (int i = 0; i < 10; ++i) e.place_stop("XBTUSD", 8000 + 50 * i, -100, std::nullopt, "");
  });
}
using enum sim::ServerFault;

const Case kCases[] = {
    // Each kind of request, with the feed (listings and the instrument from it) and without.
    {"new stop: the listing before the scan and after it, one confirming", false, "", nullptr,
     8900.2, "ended true", "GET instrument, GET order x3, POST order", "8900"},
    {"new stop with the feed", true, "", nullptr, 8900.2, "ended true", "POST order", "8900"},
    {"stop between price and market is moved", false, "8900", nullptr, 8800, "ended true",
     "GET instrument, GET order x3, PUT order", "8800"},
    {"surplus stops are cancelled in one request", false, "8900 8950 8950", nullptr, 8900,
     "ended true", "DELETE order, GET instrument, GET order x2", "8900"},
    {"surplus cancelled with the feed", true, "8900 8950 8950", nullptr, 8900, "ended true",
     "DELETE order", "8900"},
    // Faults.
    {"feed dropped at the first listing of a move: REST from there", true, "8900",
     drop_feed_at_listing, 8800, "ended true", "GET order x3, PUT order", "8800"},
    {"feed messages delayed: the write's own answer keeps the listing right", true, "8900",
     [](Rig& rig) { rig.server_.set_feed_faults({.delay = 50ms, .refuse_auth = false}); }, 8800,
     "ended true", "PUT order", "8800"},
    {"a move answered 503 is tried again", true, "8900",
     fail_next({kOverload}, "PUT /api/v1/order"), 8800, "ended true", "PUT order x2", "8800"},
    {"stop cancelled elsewhere: once the feed shows it gone, a new one", true, "8800",
     cancel_elsewhere, 8800, "ended true", "POST order", "8800"},
    {"overload and rate limit are tried again", false, "", fail_next({kOverload, kRateLimited}),
     8800, "ended true", "GET instrument x3, GET order x3, POST order", "8800"},
    {"exhausted retries reach the caller", false, "", fail_next({kOverload, kOverload, kOverload}),
     8800, "Error: Max retries hit", "GET instrument x3", ""},
    // It may have been made: not tried again, passed over without a word and found listed.
    {"a placement whose answer times out is confirmed by the listing", false, "",
     fail_next({kStall}, "POST /api/v1/order"), 8800, "ended true",
     "GET instrument, GET order x3, POST order", "8800"},
    {"the stop-order limit: all cleaned up", false, "", ten_small_stops, 8800, "ended false",
     "DELETE order/all, GET instrument, GET order x5, POST order", "", "E.f1 MAx stops found"},
    // The feed compared with the exchange: from the first difference, REST until fresh partials.
    {"a phantom stop in the feed is found at the next comparison and placed", true, "",
     phantom_in_feed, 8800, "ended true", "GET order x3, POST order", "8800", "",
     "only in the feed \"phantom\" at 8800 x100; only on the exchange none"},
    {"a stop missing from the feed is found: no second one at its price", true, "8800",
     stop_missing_from_feed, 8800, "ended true", "GET order x2", "8800", "",
     "only in the feed none; only on the exchange"},
    {"a move the feed does not show is compared at once", true, "8900", feed_row_from_the_future,
     8800, "ended true", "GET order, PUT order", "8800", "",
     "at 8900 x9999999; only on the exchange"},
};

class RequestsOverHttp : public testing::TestWithParam<Case> {};

TEST_P(RequestsOverHttp, EndAsTheModuleSortsThem) {
  const Case& c = GetParam();
  Rig rig(book(c.before));
  if (c.feed) rig.connect(true);
  if (c.fault) c.fault(rig);
  std::string outcome;
  try {
    outcome = rig.request(c.wanted) == true ? "ended true" : "ended false";
  } catch (const std::exception& failure) {
    const auto* refused = dynamic_cast<const stoploss::HTTPError*>(&failure);
    outcome = std::string(stoploss::failure_kind(failure)) +
              (refused ? " " + std::to_string(refused->response().status_code) : "") + ": " +
              failure.what();
  }
  EXPECT_EQ(outcome.rfind(c.outcome, 0), 0u) << outcome;
  EXPECT_EQ(outcome.find("secret"), std::string::npos) << outcome;
  EXPECT_EQ(text(rig.server_.requests()), c.requests);
  EXPECT_EQ(rig.book(), book(c.after));
  EXPECT_TRUE(!*c.logged || rig.log_->has("critical", c.logged)) << c.logged;
  EXPECT_TRUE(!*c.warned || rig.log_->has("warn", c.warned)) << c.warned;
  EXPECT_TRUE(!*c.warned || eventually([&rig] {
    return rig.feed_->feed->last_error().starts_with("subscribing afresh");
  }));
  for (const auto& line : rig.log_->lines) {
    EXPECT_TRUE(line.level == "info" || (line.level == "warn" && *c.warned) || *c.logged)
        << line.message;
    EXPECT_EQ(line.message.find("secret"), std::string::npos) << line.message;
  }
}
INSTANTIATE_TEST_SUITE_P(OverHttp, RequestsOverHttp, testing::ValuesIn(kCases),
                         row_names(kCases, &Case::what));

}  // namespace
