// A market shock under `stoploss guard`: eight long positions on the embedded exchange over
// loopback HTTP with its realtime feed, every price stepped up 2% at once, and the time until the
// last pair's stop stands at its new wanted price.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <set>
#include <thread>

#include "Core/collaborators/Sleep.hpp"
#include "embedded_exchange/engine/market_walk.hpp"
#include "embedded_exchange/engine/perpetuals.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "guard/guard_service.hpp"

namespace {

using namespace std::chrono_literals;
namespace guard = app::guard;
using Clock = std::chrono::steady_clock;

class QuietLog final : public stoploss::HouseLog {
 public:
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string&, std::optional<int>) override {}
  void info_critical(const std::string&, int) override {}
};

// Eight of the perpetuals, a long position in each; the exchange's own budget of 120 a minute.
constexpr const char* kPairs[] = {"XBTUSD",  "ETHUSD",  "XBTUSDT", "ETHUSDT",
                                  "SOLUSDT", "XRPUSDT", "LTCUSDT", "ADAUSDT"};

// Requests made so far on `route` ("VERB /api/v1/path"), tries included.
int made(const rest::RestClient& client, const std::string& route) {
  const auto found = client.requests().find(route);
  return found == client.requests().end() ? 0 : found->second;
}
// The stop changes (placements and amendments), and the cancels of the stops left beside them.
int changes(const rest::RestClient& client) {
  return made(client, "POST /api/v1/order") + made(client, "PUT /api/v1/order");
}

void BM_GuardShock(benchmark::State& state) {
  sim::SimExchange exchange;
  std::map<std::string, long long> lots;
  for (sim::SimInstrument& perpetual : sim::perpetuals()) {
    lots[perpetual.symbol] = perpetual.lotSize;
    exchange.list(std::move(perpetual));
  }
  sim::SimServer server(exchange, {.key = "bench",
                                   .secret = "bench-secret",
                                   .latency = std::chrono::milliseconds(state.range(0))});
  const std::string url = "http://127.0.0.1:" + std::to_string(server.start());
  std::set<std::string> tradable;
  server.with_exchange([&](sim::SimExchange& e) {
    for (const char* pair : kPairs) {
      e.place({{"symbol", pair},
               {"side", "Buy"},
               {"orderQty", 10 * lots[pair]},
               {"ordType", "Market"}});
    }
    for (const auto& [symbol, listed] : e.instruments()) tradable.insert(symbol);
  });
  const auth::Credentials credentials{"bench", "bench-secret"};
  rest::RestClient client({.base_url = url}, credentials);
  feed::FeedClient feed({.base_url = url}, credentials);
  feed.start();
  app::trail::LiveModule module({tradable.begin(), tradable.end()}, client, feed,
                                std::make_shared<QuietLog>());
  guard::NoEvents events;
  guard::GuardService service(guard::parse_config("[default]\npercent = 1\nmin_interval = 0.05\n"),
                              tradable, client, feed, module, events);
  const auto protect = [&] {
    const auto started = Clock::now();
    do {
      service.tick(Clock::now());
      std::this_thread::sleep_for(2ms);
    } while (!service.all_protected() && Clock::now() - started < 60s);
    return service.all_protected();
  };
  if (!protect()) state.SkipWithError("the positions were never protected");
  std::shared_ptr<sim::MarketWalk> walk;
  server.with_exchange(
      [&](sim::SimExchange& e) { walk = std::make_shared<sim::MarketWalk>(e, 0, 1); });
  std::vector<double> seconds;
  const int changes_before = changes(client);
  const int cancels_before = made(client, "DELETE /api/v1/order");
  int others = 0;  // requests of other routes during the shocks
  for (const auto& [route, count] : client.requests()) others -= count;
  long lowest_budget = client.rate_limit().remaining;
  for (auto _ : state) {
    // Between shocks the guard runs on (the stops left beside the new ones go) and the budget
    // refills (8 requests: 4 s at 120 a minute).
    for (const auto calm = Clock::now(); Clock::now() - calm < 4s;) {
      service.tick(Clock::now());
      std::this_thread::sleep_for(10ms);
    }
    const auto started = Clock::now();
    server.with_exchange([&](sim::SimExchange& e) { walk->shock(e, 0.02); });
    // Until the feed shows the new prices and the guard has moved every stop.
    const auto seen = Clock::now();
    while (Clock::now() - seen < 200ms && service.all_protected()) service.tick(Clock::now());
    if (!protect()) state.SkipWithError("a shock left a position unprotected for a minute");
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    seconds.push_back(took);
    state.SetIterationTime(took);
    lowest_budget = std::min(lowest_budget, client.rate_limit().remaining);
  }
  std::sort(seconds.begin(), seconds.end());
  const auto at = [&](double share) {
    return seconds[std::min(seconds.size() - 1, static_cast<std::size_t>(share * seconds.size()))];
  };
  state.counters["median_ms"] = at(0.5) * 1000;
  state.counters["p99_ms"] = at(0.99) * 1000;
  const double moves = static_cast<double>(state.iterations()) * std::size(kPairs);
  state.counters["http_per_move"] = (changes(client) - changes_before) / moves;
  state.counters["cancels_per_move"] =
      (made(client, "DELETE /api/v1/order") - cancels_before) / moves;
  for (const auto& [route, count] : client.requests()) others += count;
  state.counters["others_per_move"] = (others - (changes(client) - changes_before) -
                                       (made(client, "DELETE /api/v1/order") - cancels_before)) /
                                      moves;
  const auto limited = client.statuses().find(429);
  state.counters["429s"] = limited == client.statuses().end() ? 0 : limited->second;
  state.counters["budget_low"] = static_cast<double>(lowest_budget);
  feed.stop();
}
BENCHMARK(BM_GuardShock)
    ->Arg(0)
    ->Arg(50)
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
