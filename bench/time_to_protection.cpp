// From Call to a stop confirmed on the book, over loopback HTTP with the embedded exchange
// adding a latency to every answer: median and p99, and the module's pauses as a share.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/Rest/rest_components.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/sim/sim_server.hpp"
#include "Core/utils/host_components.hpp"

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

void BM_TimeToProtection(benchmark::State& state) {
  sim::SimExchange exchange;
  exchange.list(sim::xbtusd(9000));
  sim::SimServer server(exchange, {.key = "bench",
                                   .secret = "bench-secret",
                                   .rate_limit = 1000000,
                                   .latency = std::chrono::milliseconds(state.range(0))});
  const int port = server.start();
  rest::RestClient client({.base_url = "http://127.0.0.1:" + std::to_string(port)},
                          auth::Credentials{"bench", "bench-secret"});
  const auto sleep = std::make_shared<TimedSleep>();
  auto host =
      rest::rest_components(client, {.log = std::make_shared<utils::SilentLog>(), .sleep = sleep});
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));

  std::vector<double> totals;
  std::vector<double> pauses;
  for (auto _ : state) {
    server.with_exchange([](sim::SimExchange& book) { book.cancel_stops("XBTUSD"); });
    const auto paused = sleep->paused;
    const auto started = Clock::now();
    const auto protected_ = StopLoss::Call("XBTUSD", 8900.0);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (protected_ != true) state.SkipWithError("the stop was not confirmed");
    state.SetIterationTime(seconds);
    totals.push_back(seconds * 1000);
    pauses.push_back(std::chrono::duration<double, std::milli>(sleep->paused - paused).count());
  }
  state.counters["median_ms"] = percentile(totals, 50);
  state.counters["p99_ms"] = percentile(totals, 99);
  state.counters["pauses_ms"] = percentile(pauses, 50);
  int requests = 0;
  for (const auto& [route, count] : client.requests()) requests += count;
  state.counters["http"] = static_cast<double>(requests) / static_cast<double>(state.iterations());
}

BENCHMARK(BM_TimeToProtection)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Arg(0)
    ->Arg(5)
    ->Arg(50)
    ->Iterations(30);

}  // namespace
