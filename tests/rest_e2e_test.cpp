// The module over the REST collaborators against the embedded exchange served on loopback
// HTTP: the requests each kind of stop request makes, and every failure the module sorts,
// arriving with the kind and text it expects.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/Rest/rest_components.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/sim/sim_server.hpp"
#include "recording_log.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using Routes = std::map<std::string, int>;

constexpr const char* kKey = "e2e-key";
constexpr const char* kSecret = "e2e-secret-never-shown";

class RecordedSleep final : public stoploss::Sleep {
 public:
  void sleep(double seconds) override { total += seconds; }
  double total = 0;
};

class OverHttp : public testing::Test {
 protected:
  void SetUp() override {
    exchange_.list(sim::xbtusd(9000, 1));
    port_ = server_.start();
    connect(kSecret);
  }

  void connect(const std::string& secret) {
    client_ = std::make_unique<rest::RestClient>(
        rest::RestSettings{.base_url = "http://127.0.0.1:" + std::to_string(port_),
                           .deadline = std::chrono::milliseconds(250),
                           .max_retries = 2,
                           .backoff = std::chrono::milliseconds(10)},
        auth::Credentials{kKey, secret},
        [this](std::chrono::milliseconds wait) { backoff_.push_back(wait.count()); });
    host_ = rest::rest_components(*client_, {.log = log_, .sleep = sleep_});
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

  sim::SimExchange exchange_;
  sim::SimServer server_{exchange_, {.key = kKey, .secret = kSecret, .rate_limit = 1000}};
  int port_ = 0;
  std::unique_ptr<rest::RestClient> client_;
  std::shared_ptr<RecordingLog> log_ = std::make_shared<RecordingLog>();
  std::shared_ptr<RecordedSleep> sleep_ = std::make_shared<RecordedSleep>();
  stoploss::ComponentTable host_;
  std::vector<long long> backoff_;
};

// The requests each kind of stop request makes, and no others. A new stop: the instrument
// once, the listing before the scan and after it, the placement and one confirming listing.
TEST_F(OverHttp, EachKindOfRequestMakesTheRequestsItNeedsAndNoOthers) {
  std::optional<bool> result;
  EXPECT_EQ(
      requests_of(8900.2, &result),
      (Routes{{"GET /api/v1/instrument", 1}, {"GET /api/v1/order", 3}, {"POST /api/v1/order", 1}}));
  EXPECT_EQ(result, true);
  EXPECT_EQ(book(), std::vector<double>{8900});

  EXPECT_EQ(requests_of(8900, &result), (Routes{{"GET /api/v1/order", 2}}));  // already placed
  EXPECT_EQ(result, true);

  // Lower: the stop now stands between the price and the market and is moved.
  EXPECT_EQ(requests_of(8800, &result),
            (Routes{{"GET /api/v1/order", 3}, {"PUT /api/v1/order", 1}}));
  EXPECT_EQ(result, true);
  EXPECT_EQ(book(), std::vector<double>{8800});

  EXPECT_EQ(requests_of(0, &result), (Routes{{"DELETE /api/v1/order/all", 1}}));  // clean-up
  EXPECT_EQ(result, true);
  EXPECT_TRUE(book().empty());
  std::cout << "HTTP requests per kind of request: new stop 5, already placed 2, move 4, "
               "clean-up 1 (instrument data cached)\n";
}

TEST_F(OverHttp, SurplusStopsAreCancelledInOneRequest) {
  server_.with_exchange([](sim::SimExchange& e) {
    for (const double price : {8900.0, 8950.0, 8950.0}) {
      e.place_stop("XBTUSD", price, -9999999, std::nullopt, "");
    }
  });
  std::optional<bool> result;
  const Routes routes = requests_of(8900, &result);
  EXPECT_EQ(routes.at("DELETE /api/v1/order"), 1);
  EXPECT_EQ(result, true);
  EXPECT_EQ(book(), std::vector<double>{8900});
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
