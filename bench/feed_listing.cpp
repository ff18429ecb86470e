// The module's time per request when its listings come from the realtime feed's tables: a stop
// already standing, the pair's book of 10 orders, and the feed holding from 0 to 10,000 open
// orders of another pair besides. The collaborators hand over the pair's rows only (the tables
// keep one snapshot per pair), so the time should not grow with what the request does not need.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "Core/Modules/stop_loss.hpp"
#include "Core/utils/host_components.hpp"
#include "exchange/feed/feed_tables.hpp"
#include "exchange/rest/live_feed.hpp"
#include "exchange/rest/rest_components.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using stoploss::Value;

constexpr double kWanted = 9000.5;

// The feed's tables in memory, always up: no socket, no thread.
class TableFeed final : public rest::LiveFeed {
 public:
  TableFeed() : tables_({"order", "instrument"}, {"XBTUSD", "ETHUSD"}) {}
  void apply_message(const Value& message) { tables_.apply(message); }
  bool up() const override { return true; }
  feed::Snapshot open_orders(std::string_view pair) const override {
    return tables_.rows("order", pair);
  }
  std::shared_ptr<const Value> instrument(std::string_view pair) const override {
    feed::Snapshot rows = tables_.rows("instrument", pair);
    if (!rows || rows->empty()) return nullptr;
    const Value* row = &rows->front();
    return {std::move(rows), row};
  }
  bool apply(const Value& order_record) override { return tables_.apply_order(order_record); }
  void resubscribe(std::string) override {}  // the bench's listings never disagree

 private:
  mutable feed::FeedTables tables_;  // rows() caches the pair's snapshot
};

Value order(const std::string& pair, long id, const Value& stopPx) {
  return {{"orderID", pair + "-" + std::to_string(id)},
          {"symbol", pair},
          {"side", stopPx.is_null() ? "Buy" : "Sell"},
          {"orderQty", stopPx.is_null() ? 100 : 9999900},
          {"price", stopPx.is_null() ? Value(8000.0 + static_cast<double>(id % 500)) : Value()},
          {"stopPx", stopPx},
          {"ordType", stopPx.is_null() ? "Limit" : "Stop"},
          {"execInst", stopPx.is_null() ? "" : "LastPrice,ReduceOnly"},
          {"ordStatus", "New"},
          {"timestamp", "2026-12-06T12:00:00.000Z"}};
}

Value partial(const std::string& table, Value rows) {
  return {{"table", table},
          {"action", "partial"},
          {"keys", Value::array({table == "order" ? "orderID" : "symbol"})},
          {"data", std::move(rows)}};
}

Value instrument(const std::string& pair, double price) {
  return {{"symbol", pair},          {"tickSize", 0.5},        {"maxOrderQty", 10000000},
          {"lotSize", 100},          {"lastPrice", price},     {"impactMidPrice", price},
          {"bidPrice", price - 0.5}, {"askPrice", price + 0.5}};
}

// Arg: open orders of the other pair in the feed's tables.
void BM_AlreadyPlacedFromFeed(benchmark::State& state) {
  const auto feed = std::make_shared<TableFeed>();
  Value orders = Value::array();
  for (long i = 0; i < 9; ++i) orders.push_back(order("XBTUSD", i, nullptr));
  orders.push_back(order("XBTUSD", 9, kWanted));
  for (long i = 0; i < state.range(0); ++i) orders.push_back(order("ETHUSD", i, nullptr));
  feed->apply_message(partial("order", std::move(orders)));
  feed->apply_message(
      partial("instrument", {instrument("XBTUSD", 9100), instrument("ETHUSD", 300)}));

  // Nothing listens there: a request that went over HTTP would fail.
  rest::RestClient client({.base_url = "http://127.0.0.1:9"}, auth::Credentials{"bench", "secret"});
  auto host =
      rest::rest_components(client, {.log = std::make_shared<utils::SilentLog>(), .feed = feed});
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  for (auto _ : state) {
    if (StopLoss::Call("XBTUSD", kWanted) != true) state.SkipWithError("the stop was not found");
  }
  long http = 0;
  for (const auto& [route, count] : client.requests()) http += count;
  state.counters["http"] = static_cast<double>(http);
}

BENCHMARK(BM_AlreadyPlacedFromFeed)
    ->Unit(benchmark::kMicrosecond)
    ->ArgName("other_orders")
    ->Arg(0)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000);

}  // namespace
