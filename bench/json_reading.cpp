// Reading JSON from outside (an order listing, a feed message, a request body, a scenario) at
// sizes up to the REST client's answer cap: the time per byte should stay flat as the text
// grows, since one hostile list of many small objects must not cost its size squared.
#include <benchmark/benchmark.h>

#include <string>

#include "Core/collaborators/record.hpp"

namespace {

// A listing of `orders` order records of about 120 bytes each, as GET /order answers.
std::string listing_of(long orders) {
  std::string text = "[";
  for (long i = 0; i < orders; ++i) {
    if (i > 0) text += ',';
    text += R"({"orderID":"o)" + std::to_string(i) +
            R"(","symbol":"XBTUSD","side":"Sell","orderQty":100,"stopPx":8900.5,)"
            R"("ordType":"Stop","execInst":"LastPrice,ReduceOnly"})";
  }
  return text + "]";
}

// A list of empty objects, the cheapest shape per object an attacker can send.
std::string empty_objects(long count) {
  std::string text = "[";
  for (long i = 0; i < count; ++i) text += i > 0 ? ",{}" : "{}";
  return text + "]";
}

template <std::string (*Make)(long)>
void read_json(benchmark::State& state) {
  const std::string text = Make(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(stoploss::parse_json(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["MB"] = static_cast<double>(text.size()) / 1e6;
}

// 1,000 to 160,000 orders: 0.12 to 20 MB.
BENCHMARK(read_json<listing_of>)
    ->Name("json/order_listing")
    ->RangeMultiplier(4)
    ->Range(1000, 160000)
    ->Unit(benchmark::kMillisecond);
// 10,000 to 5.6 million empty objects: 30 kB to 16.8 MB.
BENCHMARK(read_json<empty_objects>)
    ->Name("json/empty_objects")
    ->RangeMultiplier(8)
    ->Range(10000, 5600000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
