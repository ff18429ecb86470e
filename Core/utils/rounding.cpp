#include "Core/utils/rounding.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

#include "Core/collaborators/record.hpp"

namespace utils {

double nearest_multiple(double price, double step) {
  const double multiple = std::round(price / step) * step;
  const std::string step_text = stoploss::to_text(step);
  const auto point = step_text.find('.');
  if (step_text.find('e') != std::string::npos || point == std::string::npos) return multiple;
  const int decimals = static_cast<int>(step_text.size() - point - 1);
  std::array<char, 400> buffer{};
  const auto end =
      std::to_chars(buffer.begin(), buffer.end(), multiple, std::chars_format::fixed, decimals).ptr;
  double snapped = multiple;
  std::from_chars(buffer.data(), end, snapped);
  return snapped;
}

bool on_step(double price, double step) {
  const double steps = price / step;
  return std::abs(steps - std::round(steps)) < 1e-9 * std::max(1.0, std::abs(steps));
}

}  // namespace utils
