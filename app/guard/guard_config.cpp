#include "guard_config.hpp"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <cmath>
#include <fstream>
#include <sstream>

#include "exchange/net/exchange_url.hpp"
#include "loopback_endpoint.hpp"

namespace app::guard {
namespace {

[[noreturn]] void refuse(const std::string& key, const std::string& why) {
  throw ConfigError(key + ": " + why);
}

std::string child(const std::string& key, std::string_view name) {
  return key.empty() ? std::string(name) : key + "." + std::string(name);
}

std::string text(const toml::node& node, const std::string& key) {
  if (!node.is_string()) refuse(key, "must be a text in quotes");
  return *node.value<std::string>();
}

double number(const toml::node& node, const std::string& key) {
  const auto value = node.value<double>();
  if (!node.is_number() || !value || !std::isfinite(*value)) refuse(key, "must be a number");
  return *value;
}

long long whole(const toml::node& node, const std::string& key, long long low, long long high) {
  if (!node.is_integer()) refuse(key, "must be a whole number");
  const long long value = *node.value<long long>();
  if (value < low || value > high) refuse(key, fmt::format("must be from {} to {}", low, high));
  return value;
}

const toml::table& table(const toml::node& node, const std::string& key) {
  if (!node.is_table()) refuse(key, "must be a table, such as [" + key + "]");
  return *node.as_table();
}

Rule read_rule(const toml::table& fields, const std::string& key) {
  Rule rule;
  int distances = 0;
  for (const auto& [name, node] : fields) {
    const std::string field = child(key, name.str());
    if (name == "distance" || name == "percent") {
      const double value = number(node, field);
      const bool percent = name == "percent";
      if (value <= 0 || (percent && value >= 100)) {
        refuse(field, percent ? "must be above 0 and below 100" : "must be above 0");
      }
      rule.distance = {.value = value, .percent = percent};
      ++distances;
    } else if (name == "min_interval") {
      const double seconds = number(node, field);
      if (seconds < 0.05 || seconds > 3600) refuse(field, "must be from 0.05 to 3600 seconds");
      rule.min_interval = std::chrono::milliseconds(std::llround(seconds * 1000));
    } else {
      refuse(field, "unknown key");
    }
  }
  if (distances != 1) refuse(key, "give either distance or percent");
  return rule;
}

void read_log(const toml::table& fields, GuardConfig& config) {
  for (const auto& [name, node] : fields) {
    const std::string field = child("log", name.str());
    if (name == "file") {
      config.log_file = text(node, field);
    } else if (name == "max_bytes") {
      config.log_max_bytes = whole(node, field, 4096, 1LL << 40);
    } else if (name == "files") {
      config.log_files = static_cast<int>(whole(node, field, 1, 100));
    } else {
      refuse(field, "unknown key");
    }
  }
}

bool symbol_like(std::string_view pair) {
  return !pair.empty() && pair.size() <= 32 &&
         pair.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string_view::npos;
}

}  // namespace

std::optional<Rule> GuardConfig::rule_for(const std::string& pair) const {
  const auto own = pairs.find(pair);
  return own != pairs.end() ? std::optional(own->second) : default_rule;
}

GuardConfig parse_config(std::string_view toml) {
  toml::table document;
  try {
    document = toml::parse(toml);
  } catch (const toml::parse_error& error) {
    throw ConfigError(fmt::format("line {}: {}", error.source().begin.line, error.description()));
  }
  GuardConfig config;
  for (const auto& [name, node] : document) {
    const std::string key(name.str());
    if (key == "exchange") {
      config.exchange = text(node, key);
    } else if (key == "credentials") {
      config.credentials = text(node, key);
    } else if (key == "metrics") {
      config.metrics = text(node, key);
    } else if (key == "log") {
      read_log(table(node, key), config);
    } else if (key == "default") {
      config.default_rule = read_rule(table(node, key), key);
    } else if (key == "pairs") {
      for (const auto& [pair, rule] : table(node, key)) {
        const std::string field = child(key, pair.str());
        config.pairs[std::string(pair.str())] = read_rule(table(rule, field), field);
      }
    } else {
      refuse(key, "unknown key");
    }
  }
  check_config(config);
  return config;
}

GuardConfig read_config(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) throw ConfigError(file.string() + ": cannot be read");
  return parse_config(text.str());
}

void check_config(const GuardConfig& config) {
  if (!config.exchange.empty()) {
    try {
      rest::parse_exchange_url(config.exchange);
    } catch (const std::invalid_argument& error) {
      refuse("exchange", error.what());
    }
  }
  if (config.metrics) {
    try {
      parse_loopback_endpoint(*config.metrics);
    } catch (const std::invalid_argument& error) {
      refuse("metrics", error.what());
    }
  }
  for (const auto& [pair, rule] : config.pairs) {
    if (!symbol_like(pair)) {
      refuse("pairs." + pair, "not a symbol as the exchange writes it, such as XBTUSD");
    }
  }
  if (config.pairs.empty() && !config.default_rule) {
    refuse("pairs", "nothing to guard: list a pair under [pairs.SYMBOL] or give a [default] rule");
  }
}

}  // namespace app::guard
