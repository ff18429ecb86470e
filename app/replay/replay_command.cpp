#include <iostream>
#include <memory>

#include "commands.hpp"
#include "replay/replay.hpp"

namespace app {

Command add_replay_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "replay",
      "Run the stop requests of a scenario against scripted collaborators and print the JSON "
      "transcript: every call the module made, its log and console lines, pauses, results and "
      "state. Exit status 2 for a scenario it cannot use.");
  auto path = std::make_shared<std::string>();
  cli->add_option("SCENARIO", *path, "scenario file (JSON)")->required();
  return {cli, [path] {
            try {
              std::cout << replay::format_transcript(replay::run(replay::read_scenario(*path)));
            } catch (const replay::ScenarioError& error) {
              std::cerr << "stoploss replay: " << error.what() << '\n';
              return 2;
            }
            return 0;
          }};
}

}  // namespace app
