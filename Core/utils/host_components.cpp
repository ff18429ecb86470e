#include "Core/utils/host_components.hpp"

#include <chrono>
#include <thread>

namespace utils {

void RealSleep::sleep(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace utils
