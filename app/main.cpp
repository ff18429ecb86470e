#include <CLI/CLI.hpp>
#include <iostream>

#include "replay/replay.hpp"

int main(int argc, char** argv) {
  CLI::App app{"stoploss: keeps one reduce-only stop order standing per pair"};
  app.require_subcommand(1);

  std::string scenario_path;
  auto* replay = app.add_subcommand(
      "replay",
      "Run the stop requests of a scenario against scripted collaborators and print "
      "the JSON transcript (exit 2 for a scenario it cannot use)");
  replay->add_option("SCENARIO", scenario_path, "scenario file (JSON)")->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }

  try {
    std::cout << replay::format_transcript(replay::run(replay::read_scenario(scenario_path)));
  } catch (const replay::ScenarioError& error) {
    std::cerr << "stoploss replay: " << error.what() << '\n';
    return 2;
  }
  return 0;
}
