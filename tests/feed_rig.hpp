#pragma once

// The embedded exchange served on loopback with the module over the REST collaborators and,
// when asked, the realtime feed: the rig of the end-to-end tests.
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_components.hpp"

namespace StopLoss = Modules::StopLoss;
using Routes = std::map<std::string, int>;
using namespace std::chrono_literals;

constexpr const char* kKey = "e2e-key";
constexpr const char* kSecret = "e2e-secret-never-shown";
constexpr auto kStale = 300ms;  // short bounds keep each feed case well under a second

// The module's pauses cost no time here.
class NoSleep final : public stoploss::Sleep {
 public:
  void sleep(double) override {}
};

// The module's log lines, kept for a test to look at.
class RecordingLog final : public stoploss::HouseLog {
 public:
  struct Line {
    std::string level;  // info, warn or critical
    std::string message;
  };
  void info_log(const std::string& message, int) override { lines.push_back({"info", message}); }
  void info_warn(const std::string& message, std::optional<int>) override {
    lines.push_back({"warn", message});
  }
  void info_critical(const std::string& message, int) override {
    lines.push_back({"critical", message});
  }
  bool has(const std::string& level, const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const Line& line) {
      return line.level == level && line.message.find(part) != std::string::npos;
    });
  }
  std::vector<Line> lines;
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
  explicit HookedFeed(std::shared_ptr<feed::FeedClient> feed) : feed(std::move(feed)) {}
  bool up() const override { return feed->up(); }
  feed::Snapshot open_orders(std::string_view pair) const override {
    if (auto hook = std::exchange(at_listing, nullptr)) hook();
    return feed->open_orders(pair);
  }
  std::shared_ptr<const stoploss::Value> instrument(std::string_view pair) const override {
    return feed->instrument(pair);
  }
  bool apply(const stoploss::Value& order_record) override { return feed->apply(order_record); }
  void resubscribe(std::string why) override { feed->resubscribe(std::move(why)); }

  std::shared_ptr<feed::FeedClient> feed;
  mutable std::function<void()> at_listing;
};

// The embedded exchange served on loopback, the module over the REST collaborators and, when
// asked, the realtime feed.
class Rig {
 public:
  explicit Rig(const std::vector<double>& stops = {})
      : server_{
            exchange_,
            {.key = kKey, .secret = kSecret, .faults = {.stall_for = 1500ms}, .rate_limit = 1000}} {
    exchange_.list(sim::xbtusd(9000, 1));
    port_ = server_.start();
    server_.with_exchange([&stops](sim::SimExchange& e) {
      for (const double price : stops) e.place_stop("XBTUSD", price, -9999999, {}, "");
    });
    connect();
  }
  ~Rig() {
    if (feed_) feed_->feed->stop();
  }

  // `feed`: the realtime feed too, up before this returns unless the server refuses it.
  void connect(bool feed = false) {
    client_ = std::make_unique<rest::RestClient>(
        rest::RestSettings{.base_url = "http://127.0.0.1:" + std::to_string(port_),
                           .deadline = std::chrono::milliseconds(250),
                           .max_retries = 2,
                           .backoff = std::chrono::milliseconds(10)},
        auth::Credentials{kKey, kSecret}, [](std::chrono::milliseconds) {});
    if (feed) {
      // A long backoff: a feed that went down stays down for the rest of the case.
      feed_ = std::make_shared<HookedFeed>(std::make_shared<feed::FeedClient>(
          feed::FeedSettings{.base_url = "http://127.0.0.1:" + std::to_string(port_),
                             .pairs = {"XBTUSD"},
                             .connect_deadline = 1s,
                             .ping_after = 100ms,
                             .stale_after = kStale,
                             .backoff = 5s},
          auth::Credentials{kKey, kSecret}));
      feed_->feed->start();
      eventually([this] { return feed_->up() || feed_->feed->counters().drops > 0; });
    }
    host_ = rest::rest_components(*client_,
                                  {.log = log_, .sleep = sleep_, .feed = feed_, .clock = [this] {
                                     return std::chrono::steady_clock::now() + later_;
                                   }});
    StopLoss::load(host_);
    StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  }

  // One stop request, its HTTP requests counted from zero.
  std::optional<bool> request(const stoploss::Value& price) {
    server_.reset_counts();
    return StopLoss::Call("XBTUSD", price);
  }

  std::vector<double> book() {
    std::vector<double> stops;
    server_.with_exchange([&](sim::SimExchange& e) { stops = e.stop_prices("XBTUSD"); });
    return stops;
  }

  sim::SimExchange exchange_;
  sim::SimServer server_;
  int port_ = 0;
  std::unique_ptr<rest::RestClient> client_;
  std::shared_ptr<HookedFeed> feed_;
  std::shared_ptr<RecordingLog> log_ = std::make_shared<RecordingLog>();
  std::shared_ptr<NoSleep> sleep_ = std::make_shared<NoSleep>();
  stoploss::ComponentTable host_;
  std::chrono::milliseconds later_{};  // how far the collaborators' schedule is moved on
};
