#pragma once

#include <optional>
#include <string>

namespace stoploss {

// The bot's log, at three levels. The second argument is the integer the module passes
// along with most messages (1); one warning is passed without it.
class HouseLog {
 public:
  virtual ~HouseLog() = default;

  virtual void info_log(const std::string& message, int level) = 0;
  virtual void info_warn(const std::string& message, std::optional<int> level) = 0;
  virtual void info_critical(const std::string& message, int level) = 0;
};

}  // namespace stoploss
