#include "option_checks.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace app {

CLI::Validator finite_number() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        double number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(number)) {
          return "not a finite number: " + text;
        }
        return {};
      },
      "NUMBER");
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

}  // namespace app
