// What the module sends when it places a new stop: a size the exchange accepts (whole lots
// below the instrument's limit) and the caller's text, read from the placement it makes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "replay/replay.hpp"

namespace {

using replay::Json;
using stoploss::Value;

constexpr double kWanted = 9000.5;  // below the mid price: a sell stop
constexpr const char* kPlacement = "QuorCalls.STOP_order";

// The STOP_order call of one request on an empty book, the instrument answering `instrument`.
Json placement(const Value& instrument, const Modules::StopLoss::CallOptions& options = {}) {
  replay::Scenario scenario{.PairLIST = {"XBTUSD"}};
  scenario.answers["Bitmex_Wrapper.ReturnTicker"] = {{.value = 0.5}};
  scenario.answers["RiskManager.get_portfolio"] = {{.value = {{"impactMidPrice", 9100.0}}}};
  scenario.answers["Bitmex_Wrapper.instrument"] = {{.value = instrument}};
  scenario.answers["QuorCalls.open_orders"] = {{.value = Value::array()}};
  scenario.requests = {{.PAIR = "XBTUSD", .Price = kWanted, .options = options}};
  const Json transcript = replay::run(scenario);
  for (const Json& event : transcript.at("requests").at(0).at("events")) {
    if (event.value("call", "") == kPlacement) return event;
  }
  ADD_FAILURE() << "no placement in " << transcript.dump();
  return Json();
}

TEST(StopPlacement, SizesTheStopInWholeLotsBelowTheLimit) {
  struct Case {
    const char* what;
    Value instrument;
    long long size;  // of the sell stop placed
  };
  const Case cases[] = {
      {"XBTUSD: lot 100", {{"maxOrderQty", 10000000}, {"lotSize", 100}}, 9999900},
      {"lot size as a text", {{"maxOrderQty", 10000000}, {"lotSize", "100"}}, 9999900},
      {"limit a whole number of lots less one", {{"maxOrderQty", 10001}, {"lotSize", 100}}, 10000},
      {"fractional limit", {{"maxOrderQty", 2500000.9}, {"lotSize", 1000}}, 2499000},
      {"no lot size", {{"maxOrderQty", 10000000}}, 9999999},
      {"lot size 1", {{"maxOrderQty", 10000000}, {"lotSize", 1}}, 9999999},
      {"unusable lot size", {{"maxOrderQty", 10000000}, {"lotSize", nullptr}}, 9999999},
      {"negative lot size", {{"maxOrderQty", 10000000}, {"lotSize", -100}}, 9999999},
      {"no limit: the fallback", {{"lotSize", 100}}, 999999},
  };
  for (const Case& c : cases) {
    const Json sent = placement(c.instrument);
    EXPECT_EQ(sent.value("args", Json()), Json::array({"XBTUSD", kWanted, -c.size})) << c.what;
  }
}

TEST(StopPlacement, CarriesTheCallersTextAndNoneForNull) {
  struct Case {
    std::optional<Value> text;
    const char* sent;
  };
  const Case cases[] = {{std::nullopt, ""},
                        {Value(nullptr), ""},
                        {Value("trail"), "trail"},
                        {Value(5), "5"},
                        {Value(""), ""}};
  const Value instrument = {{"maxOrderQty", 10000000}, {"lotSize", 100}};
  for (const Case& c : cases) {
    const Json sent = placement(instrument, {.Text = c.text});
    EXPECT_EQ(sent.value("kwargs", Json()).value("Text", Json()), c.sent)
        << (c.text ? c.text->dump() : "none");
  }
}

}  // namespace
