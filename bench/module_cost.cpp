// The module's own cost per request, with the collaborators answering from memory: time and
// heap allocations per request for the main paths and books of 1 to 10,000 open orders, and
// the exchange calls each path makes against the least it needs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "Core/Modules/stop_loss.hpp"
#include "allocation_counter.hpp"
#include "memory_exchange.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using stoploss::Value;

constexpr double kWanted = 9000.5;  // below the mid price of 9100: a sell stop
constexpr long long kQuantity = -9999999;

Value stop_at(double price, int id) {
  return {{"orderID", "stop-" + std::to_string(id)},
          {"symbol", "XBTUSD"},
          {"side", "Sell"},
          {"orderQty", kQuantity},
          {"stopPx", price},
          {"ordType", "Stop"},
          {"execInst", "LastPrice,ReduceOnly"},
          {"ordStatus", "New"}};
}

// An order the scan passes over: a resting limit order of the pair.
Value resting_order(int id) {
  return {{"orderID", "limit-" + std::to_string(id)},
          {"symbol", "XBTUSD"},
          {"side", "Buy"},
          {"orderQty", 100},
          {"price", 8000.0 + id % 500},
          {"stopPx", nullptr},
          {"ordType", "Limit"},
          {"execInst", ""},
          {"ordStatus", "New"}};
}

// `size` open orders: resting ones, then `stops` last so that the scan walks the whole book.
Value book(long size, const std::vector<double>& stops) {
  Value orders = Value::array();
  const long resting = std::max(0L, size - static_cast<long>(stops.size()));
  for (long i = 0; i < resting; ++i) orders.push_back(resting_order(static_cast<int>(i)));
  for (std::size_t i = 0; i < stops.size(); ++i) {
    orders.push_back(stop_at(stops[i], static_cast<int>(i)));
  }
  return orders;
}

struct Path {
  bench::Script script;
  int least_calls;
};

// The listings and the placement answer of each path, and the fewest exchange calls that can
// do its work (the mid price, one listing, and the one change it makes).
Path new_stop(long size) {
  return {
      {book(size, {}),
       book(size, {kWanted}),
       {{"ordStatus", "new"}, {"stopPx", kWanted}, {"orderQty", kQuantity}, {"clOrdID", "b-1"}}},
      3};
}
Path already_placed(long size) { return {{book(size, {kWanted}), book(size, {kWanted}), {}}, 2}; }
Path move_by_amendment(long size) {
  return {{book(size, {kWanted + 50}), book(size, {kWanted}), {}}, 3};
}
Path surplus_clean_up(long size) {
  return {{book(size, {kWanted, kWanted, kWanted}), book(size, {kWanted}), {}}, 3};
}

void request(benchmark::State& state, Path (*path)(long)) {
  const Path chosen = path(state.range(0));
  bench::MemoryExchange exchange(chosen.script);
  auto host = exchange.components();
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  exchange.next_request();
  StopLoss::Call("XBTUSD", kWanted);  // learns the contract quantity once

  long allocations = 0;
  const long calls_before = exchange.calls();
  const auto releases_before = exchange.releases();
  std::chrono::nanoseconds total{0};
  for (auto _ : state) {
    exchange.next_request();
    const auto outside = exchange.outside();
    bench::AllocationCounter::start();
    const auto started = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(StopLoss::Call("XBTUSD", kWanted));
    const auto spent = std::chrono::steady_clock::now() - started - (exchange.outside() - outside);
    allocations += bench::AllocationCounter::stop();
    total += std::chrono::duration_cast<std::chrono::nanoseconds>(spent);
    state.SetIterationTime(std::chrono::duration<double>(spent).count());
  }
  const auto iterations = static_cast<double>(state.iterations());
  state.counters["allocs"] = static_cast<double>(allocations) / iterations;
  state.counters["calls"] = static_cast<double>(exchange.calls() - calls_before) / iterations;
  state.counters["least"] = chosen.least_calls;
  // The module's time less what dropping the listings it received takes.
  const auto logic = total - (exchange.releases() - releases_before);
  state.counters["logic_us"] =
      std::max(0.0, std::chrono::duration<double, std::micro>(logic).count() / iterations);
}

void BM_NewStop(benchmark::State& state) { request(state, new_stop); }
void BM_AlreadyPlaced(benchmark::State& state) { request(state, already_placed); }
void BM_MoveByAmendment(benchmark::State& state) { request(state, move_by_amendment); }
void BM_SurplusCleanUp(benchmark::State& state) { request(state, surplus_clean_up); }

#define STOPLOSS_BOOK_SIZES \
  UseManualTime()->Unit(benchmark::kMicrosecond)->RangeMultiplier(10)->Range(1, 10000)

BENCHMARK(BM_NewStop)->STOPLOSS_BOOK_SIZES;
BENCHMARK(BM_AlreadyPlaced)->STOPLOSS_BOOK_SIZES;
BENCHMARK(BM_MoveByAmendment)->STOPLOSS_BOOK_SIZES;
BENCHMARK(BM_SurplusCleanUp)->STOPLOSS_BOOK_SIZES;

}  // namespace
