// The module over the REST collaborators and the realtime feed against the embedded exchange
// served on loopback HTTP: the requests each kind of stop request makes with the feed and
// without it, the feed's faults, and every failure the module sorts, arriving with the kind and
// text it expects.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/Rest/rest_components.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/sim/sim_server.hpp"
#include "Core/ws/feed_client.hpp"
#include "recording_log.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using Routes = std::map<std::string, int>;
using namespace std::chrono_literals;

constexpr const char* kKey = "e2e-key";
constexpr const char* kSecret = "e2e-secret-never-shown";
constexpr auto kStale = 300ms;  // short bounds keep each feed case well under a second

class RecordedSleep final : public stoploss::Sleep {
 public:
  void sleep(double seconds) override { total += seconds; }
  double total = 0;
};

// Polls `condition` until it holds or `bound` passes; returns whether it holds.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = 2s) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
  }
  return condition();
}

// The feed client as the collaborators see it, with a hook run once at the next listing read
// from it, so that a fault can land in the middle of a request.
class HookedFeed final : public rest::LiveFeed {
 public:
  explicit HookedFeed(std::shared_ptr<ws::FeedClient> feed) : feed(std::move(feed)) {}
  bool up() const override { return feed->up(); }
  ws::Snapshot open_orders(std::string_view pair) const override {
    if (auto hook = std::exchange(at_listing, nullptr)) hook();
    return feed->open_orders(pair);
  }
  std::shared_ptr<const stoploss::Value> instrument(std::string_view pair) const override {
    return feed->instrument(pair);
  }
  bool apply(const stoploss::Value& order_record) override { return feed->apply(order_record); }

  std::shared_ptr<ws::FeedClient> feed;
  mutable std::function<void()> at_listing;
};

// The embedded exchange served on loopback, the module over the REST collaborators and, when
// asked, the realtime feed.
class Rig {
 public:
  explicit Rig(const std::vector<double>& stops = {}) {
    exchange_.list(sim::xbtusd(9000, 1));
    port_ = server_.start();
    server_.with_exchange([&stops](sim::SimExchange& e) {
      for (const double price : stops) e.place_stop("XBTUSD", price, -9999999, {}, "");
    });
    connect(kSecret);
  }
  ~Rig() {
    if (feed_) feed_->feed->stop();
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // `feed`: the realtime feed too, up before this returns unless the server refuses it.
  void connect(const std::string& secret, bool feed = false) {
    client_ = std::make_unique<rest::RestClient>(
        rest::RestSettings{.base_url = "http://127.0.0.1:" + std::to_string(port_),
                           .deadline = std::chrono::milliseconds(250),
                           .max_retries = 2,
                           .backoff = std::chrono::milliseconds(10)},
        auth::Credentials{kKey, secret},
        [this](std::chrono::milliseconds wait) { backoff_.push_back(wait.count()); });
    if (feed) {
      // A long backoff: a feed that went down stays down for the rest of the case.
      feed_ = std::make_shared<HookedFeed>(std::make_shared<ws::FeedClient>(
          ws::FeedSettings{.base_url = "http://127.0.0.1:" + std::to_string(port_),
                           .pairs = {"XBTUSD"},
                           .connect_deadline = 1s,
                           .ping_after = 100ms,
                           .stale_after = kStale,
                           .backoff = 5s},
          auth::Credentials{kKey, secret}));
      feed_->feed->start();
      eventually([this] { return feed_->up() || feed_->feed->counters().drops > 0; });
    }
    host_ = rest::rest_components(*client_, {.log = log_, .sleep = sleep_, .feed = feed_});
    StopLoss::load(host_);
    StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  }

  // The requests one stop request makes, from a clean count.
  Routes requests_of(const stoploss::Value& price, std::optional<bool>* result = nullptr,
                     const StopLoss::CallOptions& options = {}) {
    server_.reset_counts();
    const auto ended = StopLoss::Call("XBTUSD", price, options);
    if (result) *result = ended;
    return server_.requests();
  }

  std::vector<double> book() {
    std::vector<double> stops;
    server_.with_exchange([&](sim::SimExchange& e) { stops = e.stop_prices("XBTUSD"); });
    return stops;
  }

  bool ws_status() const {
    return host_.find<stoploss::Bitmex_Wrapper>("Bitmex_Wrapper")->WS_Status();
  }
  bool feed_shows_stops() const { return !feed_->open_orders("XBTUSD")->empty(); }

  sim::SimExchange exchange_;
  sim::SimServer server_{exchange_, {.key = kKey, .secret = kSecret, .rate_limit = 1000}};
  int port_ = 0;
  std::unique_ptr<rest::RestClient> client_;
  std::shared_ptr<HookedFeed> feed_;
  std::shared_ptr<RecordingLog> log_ = std::make_shared<RecordingLog>();
  std::shared_ptr<RecordedSleep> sleep_ = std::make_shared<RecordedSleep>();
  stoploss::ComponentTable host_;
  std::vector<long long> backoff_;
};

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
