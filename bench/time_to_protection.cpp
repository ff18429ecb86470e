// From Call to a stop confirmed on the book, over loopback HTTP with the embedded exchange
// adding a latency to every answer and to every feed message, with the realtime feed and over
// REST only: median and p99, the module's pauses, and HTTP requests per request. A new stop
// over an empty book, and a move: one stop standing above the price, amended down to it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/utils/host_components.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_components.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using Clock = std::chrono::steady_clock;

// Real pauses, timed.
class TimedSleep final : public stoploss::Sleep {
 public:
  void sleep(double seconds) override {
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    paused += Clock::now() - started;
  }
  Clock::duration paused{0};
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

enum Kind { kNewStop, kMove };

// Args: latency in ms, feed (1) or REST only (0), kind.
void BM_TimeToProtection(benchmark::State& state) {
  const std::chrono::milliseconds latency(state.range(0));
  const bool with_feed = state.range(1) != 0;
  const auto kind = static_cast<Kind>(state.range(2));
  sim::SimExchange exchange;
  exchange.list(sim::xbtusd(9000));
  sim::SimServer server(exchange, {.key = "bench",
                                   .secret = "bench-secret",
                                   .rate_limit = 1000000,
                                   .latency = latency,
                                   .orders_per_second = 1000000,
                                   .feed_faults = {.delay = latency, .refuse_auth = false}});
  const int port = server.start();
  const std::string url = "http://127.0.0.1:" + std::to_string(port);
  rest::RestClient client({.base_url = url}, auth::Credentials{"bench", "bench-secret"});
  std::shared_ptr<feed::FeedClient> feed;
  if (with_feed) {
    feed =
        std::make_shared<feed::FeedClient>(feed::FeedSettings{.base_url = url, .pairs = {"XBTUSD"}},
                                           auth::Credentials{"bench", "bench-secret"});
    feed->start();
  }
  // The book as the feed shows it, before the clock starts.
  const auto shows = [&feed](const std::vector<double>& stops) {
    const feed::Snapshot rows = feed->open_orders("XBTUSD");
    if (!rows) return false;
    std::vector<double> listed;
    for (const auto& order : *rows) listed.push_back(order.at("stopPx"));
    return feed->up() && listed == stops;
  };
  const auto settle = [&](const std::vector<double>& stops) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (feed && Clock::now() < deadline && !shows(stops)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  settle({});
  if (feed && !feed->up()) state.SkipWithError("the feed did not come up");
  const auto http_requests = [&client] {
    int total = 0;
    for (const auto& [route, count] : client.requests()) total += count;
    return total;
  };
  const auto sleep = std::make_shared<TimedSleep>();
  auto host = rest::rest_components(
      client, {.log = std::make_shared<utils::SilentLog>(), .sleep = sleep, .feed = feed});
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));

  std::vector<double> totals;
  std::vector<double> pauses;
  int requests = 0;
  for (auto _ : state) {
    server.with_exchange([kind](sim::SimExchange& book) {
      book.cancel_stops("XBTUSD");
      if (kind == kMove) book.place_stop("XBTUSD", 8900, -9999900, std::nullopt, "");
    });
    settle(kind == kMove ? std::vector<double>{8900} : std::vector<double>{});
    const int before = http_requests();
    const auto paused = sleep->paused;
    const auto started = Clock::now();
    const auto protected_ = StopLoss::Call("XBTUSD", kind == kMove ? 8800.0 : 8900.0);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (protected_ != true) state.SkipWithError("the stop was not confirmed");
    state.SetIterationTime(seconds);
    totals.push_back(seconds * 1000);
    requests += http_requests() - before;
    pauses.push_back(std::chrono::duration<double, std::milli>(sleep->paused - paused).count());
  }
  state.counters["median_ms"] = percentile(totals, 50);
  state.counters["p99_ms"] = percentile(totals, 99);
  state.counters["pauses_ms"] = percentile(pauses, 50);
  state.counters["http"] = static_cast<double>(requests) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_TimeToProtection)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->ArgNames({"ms", "feed", "move"})
    ->ArgsProduct({{0, 5, 50}, {1, 0}, {kNewStop, kMove}})
    ->Iterations(30);

}  // namespace
