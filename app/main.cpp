#include <unistd.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <optional>
#include <vector>

#include "commands.hpp"
#include "common/plain_output.hpp"
#include "stoploss_version.hpp"

int main(int argc, char** argv) {
  CLI::App app{"stoploss: keeps one reduce-only stop order standing per pair"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "stoploss " + std::string(stoploss::kVersion));
  // Colours are for a terminal; in a file or a pipe they are noise.
  std::optional<app::PlainOutput> plain_stdout;
  if (isatty(STDOUT_FILENO) != 1) plain_stdout.emplace(std::cout);
  // One line per failure, as for the failures of the commands themselves.
  app.failure_message([](const CLI::App*, const CLI::Error& error) {
    return std::string("stoploss: ") + error.what() + " (--help lists the options)\n";
  });
  const std::vector<app::Command> commands = {
      app::add_demo_command(app),      app::add_replay_command(app), app::add_request_command(app),
      app::add_serve_sim_command(app), app::add_trail_command(app),  app::add_guard_command(app)};
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  for (const auto& command : commands) {
    if (!command.cli->parsed()) continue;
    try {
      return command.run();
    } catch (const std::exception& failure) {  // a set-up failure: a folder, a file, a port
      std::cerr << "stoploss " << command.cli->get_name() << ": " << failure.what() << '\n';
      return 2;
    }
  }
  return 2;
}
