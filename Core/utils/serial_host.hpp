#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "Core/Modules/stop_loss.hpp"

namespace utils {

// The host's way to its one stop manager: requests from any number of threads reach the
// module one at a time, since the manager itself takes no lock.
class SerialHost {
 public:
  std::optional<bool> request(const std::string& pair, const stoploss::Value& price,
                              const Modules::StopLoss::CallOptions& options = {}) {
    const std::scoped_lock lock(mutex_);
    return Modules::StopLoss::Call(pair, price, options);
  }

 private:
  std::mutex mutex_;
};

}  // namespace utils
