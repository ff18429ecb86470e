#pragma once

// The embedded exchange on loopback with a budget that never bites, a REST client of it and, from
// `connect`, the realtime feed and the trail's module over them: the rig of the trail and guard
// tests.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "feed_rig.hpp"
#include "trail/live_module.hpp"

class LiveRig {
 public:
  explicit LiveRig(std::vector<sim::SimInstrument> listed)
      : server_(
            exchange_,
            {.key = kKey, .secret = kSecret, .rate_limit = 100000, .orders_per_second = 100000}) {
    for (sim::SimInstrument& instrument : listed) exchange_.list(std::move(instrument));
    url_ = "http://127.0.0.1:" + std::to_string(server_.start());
    client_ = std::make_unique<rest::RestClient>(
        rest::RestSettings{.base_url = url_, .deadline = 500ms, .max_retries = 2},
        auth::Credentials{kKey, kSecret}, [](std::chrono::milliseconds) {});
  }
  ~LiveRig() { disconnect(); }

  // A new feed of `pairs` and the module for them, as a new process starts them; no pairs: the
  // whole tables, the module for every pair listed.
  void connect(std::vector<std::string> pairs, std::chrono::milliseconds stale_after = kStale) {
    disconnect();
    feed_ = std::make_unique<feed::FeedClient>(feed::FeedSettings{.base_url = url_,
                                                                  .pairs = pairs,
                                                                  .ping_after = 100ms,
                                                                  .stale_after = stale_after,
                                                                  .backoff = 20ms},
                                               auth::Credentials{kKey, kSecret});
    feed_->start();
    if (pairs.empty()) {
      for (const auto& [symbol, listed] : exchange_.instruments()) pairs.push_back(symbol);
    }
    module_ = std::make_unique<app::trail::LiveModule>(
        pairs, *client_, *feed_, std::make_shared<RecordingLog>(), std::make_shared<NoSleep>());
  }
  void disconnect() {
    module_.reset();
    if (feed_) feed_->stop();
  }

  // A market order of `contracts`, a sell when below 0.
  void trade(const std::string& symbol, long long contracts) {
    server_.with_exchange([&](sim::SimExchange& e) {
      e.place({{"symbol", symbol},
               {"side", contracts > 0 ? "Buy" : "Sell"},
               {"orderQty", std::llabs(contracts)},
               {"ordType", "Market"}});
    });
  }
  std::vector<double> stops(const std::string& symbol) {
    std::vector<double> prices;
    server_.with_exchange([&](sim::SimExchange& e) { prices = e.stop_prices(symbol); });
    std::sort(prices.begin(), prices.end());
    return prices;
  }

  sim::SimExchange exchange_;
  sim::SimServer server_;
  std::string url_;
  std::unique_ptr<rest::RestClient> client_;
  std::unique_ptr<feed::FeedClient> feed_;
  std::unique_ptr<app::trail::LiveModule> module_;
};
