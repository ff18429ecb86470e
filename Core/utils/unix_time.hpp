#pragma once

#include <chrono>

namespace utils {

// Seconds since the UNIX epoch, as the exchange's expiry and rate-limit headers count them.
inline long long unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace utils
