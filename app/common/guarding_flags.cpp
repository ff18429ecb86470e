#include "common/guarding_flags.hpp"

#include "common/option_checks.hpp"

namespace app {

RuleOptions add_guarding_flags(CLI::App& cli, GuardingFlags& flags, CLI::Option* exchange) {
  RuleOptions rule{};
  rule.distance = cli.add_option("--distance", flags.distance, "stop distance in price")
                      ->check(finite_number() & CLI::PositiveNumber);
  rule.percent =
      cli.add_option("--percent", flags.percent, "stop distance as a percentage of the last price")
          ->check(finite_number() & CLI::Range(0.0, 100.0, "PERCENT") & CLI::PositiveNumber);
  rule.distance->excludes(rule.percent);
  rule.min_interval = cli.add_option("--min-interval", flags.min_interval,
                                     "seconds between two stop requests of a pair at least")
                          ->check(finite_number() & CLI::Range(0.05, 3600.0))
                          ->capture_default_str();
  cli.add_option("--duration", flags.duration, "seconds to run; 0 runs until interrupted")
      ->check(finite_number() & CLI::Range(0.0, 1e7))
      ->capture_default_str();
  cli.add_option("--feed-wait", flags.feed_wait,
                 "seconds the realtime feed may be down (or not yet up) before positions are read "
                 "and guarded over REST")
      ->check(finite_number() & CLI::Range(0.0, 3600.0))
      ->capture_default_str();
  cli.add_option("--walk-seed", flags.walk_seed, "embedded exchange: seed of the price walk")
      ->check(unsigned_64())
      ->excludes(exchange)
      ->capture_default_str();
  cli.add_option("--pace-ms", flags.pace_ms, "embedded exchange: time between price steps")
      ->check(CLI::Range(1, 3600000))
      ->excludes(exchange)
      ->capture_default_str();
  return rule;
}

}  // namespace app
