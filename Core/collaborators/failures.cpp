#include "failures.hpp"

namespace stoploss {

std::string_view failure_kind(const std::exception& failure) noexcept {
  if (dynamic_cast<const KeyError*>(&failure)) return "KeyError";
  if (dynamic_cast<const TypeError*>(&failure)) return "TypeError";
  if (dynamic_cast<const ValueError*>(&failure)) return "ValueError";
  if (dynamic_cast<const HTTPError*>(&failure)) return "HTTPError";
  if (dynamic_cast<const ImportError*>(&failure)) return "ImportError";
  return "Error";
}

}  // namespace stoploss
