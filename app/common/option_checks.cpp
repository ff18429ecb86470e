#include "common/option_checks.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

#include "common/position_option.hpp"

namespace app {

namespace {

std::optional<double> finite(const std::string& text) {
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(number)) {
    return std::nullopt;
  }
  return number;
}

}  // namespace

CLI::Validator finite_number() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        return finite(text) ? std::string() : "not a finite number: " + text;
      },
      "NUMBER");
}

CLI::Validator stop_price() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        const auto price = finite(text);
        if (!price) return "not a price: " + text;
        return *price < 0 ? "a price below 0: " + text : std::string();
      },
      "PRICE");
}

CLI::Validator unsigned_64() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
          return "not a whole number from 0 to 2^64-1: " + text;
        }
        return {};
      },
      "UINT64");
}

CLI::Validator utf8_text() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        try {
          static_cast<void>(nlohmann::json(text).dump());  // the JSON writer checks it
          return {};
        } catch (const nlohmann::json::type_error&) {
          return "not UTF-8 text";
        }
      },
      "TEXT");
}

CLI::Validator position_text() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        try {
          parse_position(text);
          return {};
        } catch (const std::invalid_argument& error) {
          return error.what();
        }
      },
      "SYMBOL:CONTRACTS");
}

}  // namespace app
