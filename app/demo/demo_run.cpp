#include "demo_run.hpp"

#include <chrono>
#include <memory>

#include "Core/Modules/stop_loss.hpp"
#include "Core/utils/rounding.hpp"
#include "Core/utils/serial_host.hpp"
#include "embedded_exchange/in_process/in_process_host.hpp"

namespace app::demo {
namespace {

namespace StopLoss = Modules::StopLoss;
using Clock = std::chrono::steady_clock;

sim::SimInstrument listing(const std::string& pair, double price) {
  if (pair == "XBTUSD") return sim::xbtusd(price);
  if (pair == "ETHUSD") return sim::ethusd(price);
  throw std::invalid_argument("the embedded exchange lists XBTUSD and ETHUSD, not " + pair);
}

// Bought at market as any client buys, so that the account holds the position.
void open_position(sim::SimExchange& exchange, const std::string& pair, long long contracts) {
  exchange.place({{"symbol", pair},
                  {"side", "Buy"},
                  {"orderQty", contracts},
                  {"ordType", "Market"},
                  {"text", "demo position"}});
}

}  // namespace

std::vector<DemoStep> run_demo(const DemoSettings& settings,
                               const std::function<void(const DemoStep&)>& on_step) {
  std::vector<DemoStep> steps;
  if (settings.prices.empty()) return steps;

  sim::SimExchange exchange(settings.seed, settings.faults);
  exchange.list(listing(settings.pair, settings.prices.front()));
  const double tick = exchange.instrument(settings.pair).tickSize;
  sim::InProcessHost in_process(exchange,
                                {.log = settings.log, .real_pauses = settings.real_pauses});
  StopLoss::load(in_process.components());
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{settings.pair}));
  utils::SerialHost host;

  double highest = settings.prices.front();
  for (std::size_t i = 0; i < settings.prices.size(); ++i) {
    if (exchange.position(settings.pair).currentQty == 0) {
      open_position(exchange, settings.pair, settings.position);
      highest = exchange.instrument(settings.pair).lastPrice;
    }
    const double price = settings.prices[i];
    const sim::Position before = exchange.position(settings.pair);
    const long long triggers = exchange.triggers();
    exchange.set_price(settings.pair, price);
    const sim::Position after = exchange.position(settings.pair);
    highest = std::max(highest, price);

    DemoStep step;
    step.step = static_cast<int>(i);
    step.price = price;
    step.position = after.currentQty;
    if (after.currentQty != 0) {
      step.entry = after.avg_entry_price(exchange.instrument(settings.pair));
    }
    step.triggered = static_cast<int>(exchange.triggers() - triggers);
    if (before.currentQty != 0 && after.currentQty == 0) {
      step.closed_at = price;
      step.realised = after.realisedPnl - before.realisedPnl;
      // The farther stops kept for the closed position would close the next one.
      exchange.cancel_stops(settings.pair);
    }
    // Flat, there is nothing to protect: a stop asked for now would stand over the next position.
    step.requested = after.currentQty != 0;
    if (step.requested) {
      step.wanted = highest - settings.trail;
      step.rounded = utils::nearest_multiple(step.wanted, tick);
      const long long calls = exchange.calls();
      const long long faults = exchange.faults_injected();
      const auto busy = exchange.busy();
      const auto started = Clock::now();
      try {
        step.result =
            host.request(settings.pair, step.wanted, {.Verification = settings.verification});
      } catch (const std::exception& failure) {
        step.failure = failure.what();
      }
      const auto spent = (Clock::now() - started) - (exchange.busy() - busy);
      step.module_seconds = std::chrono::duration<double>(spent).count();
      step.exchange_calls = static_cast<int>(exchange.calls() - calls);
      step.faults = static_cast<int>(exchange.faults_injected() - faults);
    }
    step.stops = exchange.stop_prices(settings.pair);
    on_step(step);
    steps.push_back(std::move(step));
  }
  return steps;
}

}  // namespace app::demo
