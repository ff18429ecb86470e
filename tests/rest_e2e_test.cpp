// The module over the REST collaborators and the realtime feed against the embedded exchange
// served on loopback HTTP: the requests each kind of stop request makes with the feed and
// without it, the feed's faults, and every failure the module sorts, arriving with the kind and
// text it expects.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/collaborators/failures.hpp"
#include "feed_rig.hpp"

namespace {

class OverHttp : public testing::Test, public Rig {};

constexpr const char* kGetOrders = "GET /api/v1/order";
constexpr const char* kGetInstrument = "GET /api/v1/instrument";

struct KindCase {
  const char* what;
  std::vector<double> before;  // stops standing before the request
  double wanted;
  std::vector<double> after;
  Routes rest_only;  // HTTP requests without the feed
  Routes with_feed;  // and with it up
};
const KindCase kKinds[] = {
    {"new stop: the listing before the scan and after it, one confirming",
     {},
     8900.2,
     {8900},
     {{kGetInstrument, 1}, {kGetOrders, 3}, {"POST /api/v1/order", 1}},
     {{"POST /api/v1/order", 1}}},
    {"already placed", {8900}, 8900, {8900}, {{kGetInstrument, 1}, {kGetOrders, 2}}, {}},
    {"stop between price and market is moved",
     {8900},
     8800,
     {8800},
     {{kGetInstrument, 1}, {kGetOrders, 3}, {"PUT /api/v1/order", 1}},
     {{"PUT /api/v1/order", 1}}},
    {"surplus stops are cancelled in one request",
     {8900, 8950, 8950},
     8900,
     {8900},
     {{kGetInstrument, 1}, {kGetOrders, 2}, {"DELETE /api/v1/order", 1}},
     {{"DELETE /api/v1/order", 1}}},
    {"price 0 cleans up",
     {8800},
     0,
     {},
     {{kGetInstrument, 1}, {"DELETE /api/v1/order/all", 1}},
     {{"DELETE /api/v1/order/all", 1}}},
};

TEST(OverHttpKinds, EachKindOfRequestMakesTheRequestsItNeedsWithTheFeedAndWithout) {
  for (const KindCase& c : kKinds) {
    for (const bool feed : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (feed ? ", feed up" : ", REST only"));
      Rig rig(c.before);
      if (feed) rig.connect(kSecret, true);
      ASSERT_EQ(feed, rig.ws_status() && rig.feed_ != nullptr);
      std::optional<bool> result;
      EXPECT_EQ(rig.requests_of(c.wanted, &result), feed ? c.with_feed : c.rest_only);
      EXPECT_EQ(result, true);
      EXPECT_EQ(rig.book(), c.after);
    }
  }
}

// Faults of the feed: each case brings its fault about, then makes one request, which goes
// over REST where the feed cannot be trusted.
struct FeedCase {
  const char* what;
  std::vector<double> before;
  std::function<void(Rig&)> fault;
  double wanted;
  std::vector<double> after;
  Routes requests;
};
void drop_at_listing(Rig& rig) {
  rig.feed_->at_listing = [&rig] {
    rig.server_.feed_fault(sim::FeedFault::kDrop);
    // The session's end is recorded with its tables cleared.
    ASSERT_TRUE(eventually([&rig] { return !rig.feed_->feed->last_error().empty(); }));
  };
}
void stall(Rig& rig) {
  rig.server_.feed_fault(sim::FeedFault::kStall, 2 * kStale);
  EXPECT_TRUE(eventually([&rig] { return !rig.ws_status(); }, kStale));
}
void cancelled_elsewhere(Rig& rig) {
  ASSERT_TRUE(rig.feed_shows_stops());
  rig.server_.with_exchange([](sim::SimExchange& e) { e.cancel_stops("XBTUSD"); });
  ASSERT_TRUE(eventually([&rig] { return !rig.feed_shows_stops(); }));
}
void refused_auth(Rig& rig) {
  rig.server_.set_feed_faults({.delay = 0ms, .refuse_auth = true});
  rig.connect(kSecret, true);
  EXPECT_FALSE(rig.ws_status());
  EXPECT_NE(rig.feed_->feed->last_error(), "");
}
const FeedCase kFeedCases[] = {
    // The listing the drop cleared is itself taken over REST: a cleared table is no empty book.
    {"feed dropped at the first listing of a move: REST from there",
     {8900},
     drop_at_listing,
     8800,
     {8800},
     {{kGetOrders, 3}, {"PUT /api/v1/order", 1}}},
    {"feed dropped at the listing of an already placed stop",
     {8900},
     drop_at_listing,
     8900,
     {8900},
     {{kGetOrders, 2}}},
    {"stalled feed: down within its stale bound, the request over REST",
     {},
     stall,
     8900,
     {8900},
     {{kGetInstrument, 1}, {kGetOrders, 3}, {"POST /api/v1/order", 1}}},
    {"stop cancelled elsewhere: once the feed shows it gone, a new one",
     {8900},
     cancelled_elsewhere,
     8900,
     {8900},
     {{"POST /api/v1/order", 1}}},
    {"refused authentication: the feed stays down, requests over REST",
     {},
     refused_auth,
     8900,
     {8900},
     {{kGetInstrument, 1}, {kGetOrders, 3}, {"POST /api/v1/order", 1}}},
};

TEST(OverHttpFeed, AFeedThatCannotBeTrustedLeavesTheRequestToRest) {
  for (const FeedCase& c : kFeedCases) {
    SCOPED_TRACE(c.what);
    Rig rig(c.before);
    rig.connect(kSecret, true);
    c.fault(rig);
    std::optional<bool> result;
    EXPECT_EQ(rig.requests_of(c.wanted, &result), c.requests);
    EXPECT_EQ(result, true);
    EXPECT_EQ(rig.book(), c.after);
  }
}

TEST_F(OverHttp, OverloadAndRateLimitAreTriedAgainWithBackoff) {
  server_.fail_next(sim::ServerFault::kOverload);
  server_.fail_next(sim::ServerFault::kRateLimited);
  std::optional<bool> result;
  requests_of(8900, &result);
  EXPECT_EQ(result, true);
  ASSERT_EQ(backoff_.size(), 2u);
  EXPECT_EQ(backoff_[0], 10);
  EXPECT_GE(backoff_[1], 20);
}

TEST_F(OverHttp, ExhaustedRetriesReachTheCallerWithMaxRetriesHit) {
  for (int i = 0; i < 3; ++i) server_.fail_next(sim::ServerFault::kOverload);
  try {
    StopLoss::Call("XBTUSD", 8900);
    FAIL() << "the request went through";
  } catch (const std::exception& failure) {
    EXPECT_NE(std::string(failure.what()).find("Max retries hit"), std::string::npos)
        << failure.what();
  }
}

// A placement whose answer times out was made: the module passes over "Timed out" and finds
// the stop on the listing.
TEST_F(OverHttp, TimedOutPlacementIsConfirmedByTheListing) {
  server_.fail_next(sim::ServerFault::kStall, "POST /api/v1/order");
  std::optional<bool> result;
  const Routes routes = requests_of(8800, &result);
  EXPECT_EQ(result, true);
  EXPECT_EQ(routes.at("POST /api/v1/order"), 1);  // not tried again: it may have been made
  EXPECT_EQ(book(), std::vector<double>{8800});
  EXPECT_TRUE(log_->lines.empty());  // "Timed out" is passed over without a word
}

// A listing that times out is not guarded: the failure reaches the caller as it came.
TEST_F(OverHttp, TimedOutListingReachesTheCaller) {
  server_.fail_next(sim::ServerFault::kStall, "GET /api/v1/order");
  try {
    StopLoss::Call("XBTUSD", 8800);
    FAIL() << "the request went through";
  } catch (const std::runtime_error& failure) {
    EXPECT_NE(std::string(failure.what()).find("Timed out"), std::string::npos) << failure.what();
  }
}

TEST_F(OverHttp, RefusalsArriveAsTheModuleSortsThem) {
  server_.with_exchange([](sim::SimExchange& e) {
    for (int i = 0; i < 10; ++i) e.place_stop("XBTUSD", 8000 + 50 * i, -100, std::nullopt, "");
  });
  std::optional<bool> result;
  const Routes routes = requests_of(8950, &result);
  EXPECT_EQ(routes.at("DELETE /api/v1/order/all"), 1);  // the stop-order limit cleaned up
  EXPECT_TRUE(log_->has("critical", "E.f1 MAx stops found"));
}

TEST_F(OverHttp, TruncatedAnswersAndBadSignaturesFailClearlyWithoutTheSecret) {
  server_.fail_next(sim::ServerFault::kTruncated);
  EXPECT_THROW(StopLoss::Call("XBTUSD", 8900), stoploss::ValueError);

  connect("a-wrong-secret");
  try {
    StopLoss::Call("XBTUSD", 8900);
    FAIL() << "a wrong signature was accepted";
  } catch (const stoploss::HTTPError& failure) {
    EXPECT_EQ(failure.response().status_code, 401);
    EXPECT_EQ(std::string(failure.what()).find("a-wrong-secret"), std::string::npos);
  }
  for (const auto& line : log_->lines) {
    EXPECT_EQ(line.message.find(kSecret), std::string::npos) << line.message;
  }
}

}  // namespace
