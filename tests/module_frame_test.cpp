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
namespace replay = app::replay;
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

}  // namespace
