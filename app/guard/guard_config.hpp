#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "trail/ratchet.hpp"

namespace app::guard {

// How a position is guarded: the stop's distance behind the market, and the least time between
// two stop requests for it.
struct Rule {
  trail::Distance distance{};
  std::chrono::milliseconds min_interval{1000};
  bool operator==(const Rule&) const = default;
};

// What `stoploss guard` guards and where it reports.
struct GuardConfig {
  std::string exchange{};  // the exchange's base URL; empty: the embedded exchange
  std::optional<std::filesystem::path> credentials{};  // else BITMEX_API_KEY and BITMEX_API_SECRET
  std::map<std::string, Rule> pairs{};                 // by symbol
  std::optional<Rule> default_rule{};    // for any other open position; none: the pairs only
  std::optional<std::string> metrics{};  // "127.0.0.1:PORT" or "[::1]:PORT"
  std::optional<std::filesystem::path> log_file{};  // JSON lines, rotated by size
  std::uintmax_t log_max_bytes = 10 * 1024 * 1024;
  int log_files = 5;  // kept besides the one written

  // The rule for `pair`: its own, else the default; none when it is not to be guarded.
  std::optional<Rule> rule_for(const std::string& pair) const;
};

// A config that cannot be used; what() is "KEY: why", naming the key as written in the file.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a TOML config:
//   exchange = "https://www.bitmex.com"      # left out: the embedded exchange
//   credentials = "/etc/stoploss/credentials" # key and secret on two lines
//   metrics = "127.0.0.1:9464"                # Prometheus' text format, loopback only
//   [log] file = "...", max_bytes = ..., files = ...
//   [default] percent = 1.5, min_interval = 1 # any other open position; left out: none
//   [pairs.XBTUSD] distance = 100             # a rule per pair
// Unknown keys are refused (a misspelt key would otherwise leave a position unguarded).
// Throws ConfigError.
GuardConfig parse_config(std::string_view toml);
GuardConfig read_config(const std::filesystem::path& file);

// Checks what does not depend on the file's syntax (also for a config made of flags): a URL the
// client accepts, a rule's ranges, a loopback metrics address, and something to guard.
void check_config(const GuardConfig& config);

}  // namespace app::guard
