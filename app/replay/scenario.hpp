#pragma once

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Core/Modules/stop_manager.hpp"
#include "script.hpp"

namespace app::replay {

// A scenario the replay cannot use; what() says why in one line.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ScenarioRequest {
  std::string PAIR;
  stoploss::Value Price;
  Modules::StopLoss::CallOptions options;
};

// Stop requests against scripted collaborators.
struct Scenario {
  std::vector<std::string> PairLIST;
  bool DEBUG = false;
  std::string install_dir = "/opt/bot";
  std::map<std::string, std::vector<Answer>, std::less<>> answers{};
  std::vector<ScenarioRequest> requests{};
};

// Throws ScenarioError for anything the replay cannot use.
Scenario parse_scenario(const stoploss::Value& document);
Scenario read_scenario(const std::filesystem::path& path);

}  // namespace app::replay
