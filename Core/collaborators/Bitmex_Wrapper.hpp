#pragma once

#include <string>

#include "record.hpp"

namespace stoploss {

// The exchange wrapper, bound by the module as `bitmex`.
class Bitmex_Wrapper {
 public:
  virtual ~Bitmex_Wrapper() = default;

  // The pair's price step: a number, or a value that converts to one.
  virtual Value ReturnTicker(const std::string& pair) = 0;
  // The pair's instrument record; the module reads its `maxOrderQty`.
  virtual Value instrument(const std::string& pair) = 0;
  // Whether the wrapper's live feed from the exchange is up.
  virtual bool WS_Status() = 0;
};

}  // namespace stoploss
