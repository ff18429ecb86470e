#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <optional>

namespace app {

// The flags `trail` and `guard` share: how far the stop trails and how often a pair's stop is
// asked for, how long they run and may go without the feed, and the embedded exchange's walk.
struct GuardingFlags {
  std::optional<double> distance;
  std::optional<double> percent;
  double min_interval = 1;
  double duration = 0;
  double feed_wait = 10;
  int pace_ms = 500;
  std::uint64_t walk_seed = 1;
};

// The options of the rule (--distance, --percent, --min-interval), for what must exclude them.
struct RuleOptions {
  CLI::Option* distance;
  CLI::Option* percent;
  CLI::Option* min_interval;
};

// Adds the flags to `cli`; those of the embedded exchange exclude `exchange`.
RuleOptions add_guarding_flags(CLI::App& cli, GuardingFlags& flags, CLI::Option* exchange);

}  // namespace app
