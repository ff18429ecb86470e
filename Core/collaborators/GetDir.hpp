#pragma once

#include <string>

namespace stoploss {

// The bot's install directory.
class GetDir {
 public:
  virtual ~GetDir() = default;

  virtual std::string Dir() = 0;
};

}  // namespace stoploss
