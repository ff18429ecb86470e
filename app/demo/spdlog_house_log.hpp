#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Core/collaborators/HouseLog.hpp"

namespace spdlog {
class logger;
}

namespace app::demo {

// The bot's log over spdlog: every message to `file`, warnings and worse also to the console
// (standard error); without the module's colour codes, which spdlog's own colours replace.
class SpdlogHouseLog final : public stoploss::HouseLog {
 public:
  explicit SpdlogHouseLog(const std::string& file);

  void info_log(const std::string& message, int level) override;
  void info_warn(const std::string& message, std::optional<int> level) override;
  void info_critical(const std::string& message, int level) override;

  // Writes out what is buffered. False when any message could not be written (a full disk):
  // the log is then incomplete, and whoever shows it must say so.
  bool flush();

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::shared_ptr<std::atomic<bool>> lost_messages_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace app::demo
