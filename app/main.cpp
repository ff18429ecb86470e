#include <CLI/CLI.hpp>
#include <vector>

#include "commands.hpp"

int main(int argc, char** argv) {
  CLI::App app{"stoploss: keeps one reduce-only stop order standing per pair"};
  app.require_subcommand(1);
  const std::vector<app::Command> commands = {
      app::add_demo_command(app), app::add_replay_command(app), app::add_request_command(app),
      app::add_serve_sim_command(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  for (const auto& command : commands) {
    if (command.cli->parsed()) return command.run();
  }
  return 2;
}
