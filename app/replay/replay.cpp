#include "replay.hpp"

#include <memory>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"
#include "console_capture.hpp"
#include "scripted_components.hpp"

namespace replay {
namespace {

namespace StopLoss = Modules::StopLoss;

Json state_of(const StopLoss::Aux& manager) {
  Json contracts = Json::object();
  for (const auto& [pair, quantity] : manager.SLCONTRACTS_List) contracts[pair] = quantity;
  return {{"StopOrderclOrdID_Cache",
           manager.StopOrderclOrdID_Cache ? Json(*manager.StopOrderclOrdID_Cache) : Json()},
          {"LastSTOPRICE", manager.LastSTOPRICE},
          {"SLCONTRACTS_List", std::move(contracts)}};
}

Json run_request(Script& script, const StopLoss::Aux& manager, const ScenarioRequest& request) {
  Json result;
  Json failure;
  {
    ConsoleCapture console(script);
    try {
      if (const auto ended = StopLoss::Call(request.PAIR, request.Price, request.options)) {
        result = *ended;
      }
    } catch (const std::exception& error) {
      failure = {{"kind", stoploss::failure_kind(error)}, {"text", error.what()}};
    }
  }
  return {{"events", script.take_events()},
          {"result", std::move(result)},
          {"failure", std::move(failure)},
          {"state", state_of(manager)}};
}

}  // namespace

Json run(const Scenario& scenario) {
  Script script(scenario.answers);
  auto host = scripted_components(script, scenario.install_dir);
  StopLoss::DEBUG = scenario.DEBUG;
  StopLoss::load(host);
  const auto manager = std::make_shared<StopLoss::Aux>(scenario.PairLIST);
  StopLoss::ARM(manager);

  Json transcript = {{"search_list", host.search_list}, {"setup", script.take_events()}};
  Json& requests = transcript["requests"] = Json::array();
  for (const auto& request : scenario.requests) {
    requests.push_back(run_request(script, *manager, request));
  }
  return transcript;
}

}  // namespace replay
