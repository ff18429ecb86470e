#pragma once

#include <string>

#include "record.hpp"

namespace stoploss {

// The risk manager.
class RiskManager {
 public:
  virtual ~RiskManager() = default;

  // A risk record holding the pair's mid price under `impactMidPrice`, either directly or
  // in the entry under the pair symbol.
  virtual Value get_portfolio(const std::string& pair) = 0;
};

}  // namespace stoploss
