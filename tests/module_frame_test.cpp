// Loading the module, ARM and the module-level Call.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"
#include "replay/script.hpp"
#include "replay/scripted_components.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using replay::Json;

// Each row removes components from a complete table; the load names the first one it needs.
struct MissingComponents {
  std::vector<std::string> removed;
  std::string named;
};
// How a row shows in a test's name and in ctest's list.
void PrintTo(const MissingComponents& row, std::ostream* out) { *out << "missing " << row.named; }

class LoadWithout : public testing::TestWithParam<MissingComponents> {};

TEST_P(LoadWithout, FailsNamingTheFirstMissingCollaborator) {
  replay::Script script({});
  auto host = replay::scripted_components(script, "/opt/bot");
  for (const auto& name : GetParam().removed) host.remove(name);
  try {
    StopLoss::load(host);
    FAIL() << "load succeeded";
  } catch (const stoploss::ImportError& error) {
    EXPECT_EQ(std::string(error.what()), "cannot import name " + GetParam().named);
  }
}

INSTANTIATE_TEST_SUITE_P(Collaborators, LoadWithout,
                         testing::Values(MissingComponents{{"sleep"}, "sleep"},
                                         MissingComponents{{"RiskManager"}, "RiskManager"},
                                         MissingComponents{{"Cancel_bulk", "Amend_bulk"},
                                                           "Amend_bulk"}),
                         [](const auto& row) { return row.param.named; });

class ModuleCall : public testing::Test {
 protected:
  void SetUp() override {
    StopLoss::load(host_);
    script_.take_events();
  }
  replay::Script script_{{}};
  stoploss::ComponentTable host_ = replay::scripted_components(script_, "/opt/bot");
};

TEST_F(ModuleCall, WithoutARegisteredManagerFailsBeforeAnyExchangeCall) {
  EXPECT_THROW(StopLoss::Call("XBTUSD", 9000.5), stoploss::TypeError);
  const Json expected = Json::array({{{"call", "ModuleHandler.SERVE"}, {"args", {11}}}});
  EXPECT_EQ(script_.take_events(), expected);
}

TEST_F(ModuleCall, NaNPriceFailsBeforeAnyExchangeCall) {
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  script_.take_events();
  for (const double price :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(StopLoss::Call("XBTUSD", price), stoploss::ValueError) << price;
    EXPECT_EQ(script_.take_events().size(), 1u) << "only SERVE may be called";
  }
}

// Options as a host passes them to the module itself, defaults included, rather than as the replay
// reader spells out every one: a book that never shows the stop, a placement never accepted.
struct DirectCall {
  const char* name;
  stoploss::Value price;
  StopLoss::CallOptions options;
  std::optional<bool> result;
  int listings;
  int cleanups;
  Json placed_kwargs;  // of STOP_order; null: nothing placed
};

TEST(ModuleCallOptions, ReachTheRequestAsTheHostGaveThem) {
  const Json no_link = {{"Text", ""}};
  const std::vector<DirectCall> rows = {
      {"defaults: check mode, three passes, nothing", 9000.5, {}, std::nullopt, 5, 0, no_link},
      {"verification: thirty passes and a forced listing, false",
       9000.5,
       {.Verification = true},
       false,
       33,
       0,
       no_link},
      {"REPLACE: the stops removed first", 9000.5, {.REPLACE = true}, std::nullopt, 5, 1, no_link},
      {"a link identifier and a text on the placement",
       9000.5,
       {.CLID = "link", .Text = stoploss::Value("trail")},
       std::nullopt,
       5,
       0,
       {{"clOrdLinkID", "link"}, {"Text", "trail"}}},
      {"price 0 removes the stops", 0, {}, true, 0, 1, nullptr},
      {"price 0 with CleanStops leaves them", 0, {.CleanStops = true}, std::nullopt, 5, 0, no_link},
  };
  for (const DirectCall& row : rows) {
    const auto returns = [](stoploss::Value value) {
      return std::vector<replay::Answer>{{.value = std::move(value)}};
    };
    replay::Script script({{"Bitmex_Wrapper.ReturnTicker", returns(0.5)},
                           {"Bitmex_Wrapper.instrument", returns({{"maxOrderQty", 1000}})},
                           {"Bitmex_Wrapper.WS_Status", returns(true)},
                           {"RiskManager.get_portfolio", returns({{"impactMidPrice", 9100}})},
                           {"QuorCalls.open_orders", returns(stoploss::Value::array())},
                           {"QuorCalls.STOP_order", returns({{"ordStatus", "New"}})}});
    auto host = replay::scripted_components(script, "/opt/bot");
    StopLoss::load(host);
    StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
    script.take_events();
    EXPECT_EQ(StopLoss::Call("XBTUSD", row.price, row.options), row.result) << row.name;
    int listings = 0, cleanups = 0;
    Json placed_kwargs;
    for (const Json& event : script.take_events()) {
      const std::string call = event.value("call", "");
      listings += call == "QuorCalls.open_orders";
      cleanups += call == "QuorCalls.CLEAN_Stops";
      if (call == "QuorCalls.STOP_order") placed_kwargs = event["kwargs"];
    }
    EXPECT_EQ(listings, row.listings) << row.name;
    EXPECT_EQ(cleanups, row.cleanups) << row.name;
    EXPECT_EQ(placed_kwargs, row.placed_kwargs) << row.name;
  }
}

}  // namespace
