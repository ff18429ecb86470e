#include "replay.hpp"

#include <memory>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"
#include "console_capture.hpp"
#include "scripted_components.hpp"

namespace app::replay {
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

std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A list of events, one line each, indented by `indent`.
std::string event_lines(const Json& events, const std::string& indent) {
  if (events.empty()) return "[]";
  std::string text = "[\n";
  for (std::size_t i = 0; i < events.size(); ++i) {
    text += indent + "  " + compact(events[i]) + (i + 1 < events.size() ? ",\n" : "\n");
  }
  return text + indent + "]";
}

}  // namespace

std::string format_transcript(const Json& transcript) {
  std::string text = "{\n  \"search_list\": " + compact(transcript.at("search_list")) +
                     ",\n  \"setup\": " + event_lines(transcript.at("setup"), "  ") +
                     ",\n  \"requests\": [";
  const Json& requests = transcript.at("requests");
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const Json& request = requests[i];
    text += std::string(i ? "," : "") +
            "\n    {\n      \"events\": " + event_lines(request.at("events"), "      ");
    for (const char* key : {"result", "failure", "state"}) {
      text += ",\n      \"" + std::string(key) + "\": " + compact(request.at(key));
    }
    text += "\n    }";
  }
  return text + (requests.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

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

}  // namespace app::replay
