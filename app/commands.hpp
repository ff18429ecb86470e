#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace app {

// A subcommand of `stoploss`: its command-line definition and what it runs, returning the
// process's exit status. A failure it throws is a set-up failure: one line, exit status 2.
struct Command {
  CLI::App* cli;
  std::function<int()> run;
};

Command add_replay_command(CLI::App& app);
Command add_demo_command(CLI::App& app);
Command add_request_command(CLI::App& app);
Command add_serve_sim_command(CLI::App& app);
Command add_trail_command(CLI::App& app);
Command add_guard_command(CLI::App& app);

}  // namespace app
