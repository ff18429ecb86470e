#include "spdlog_house_log.hpp"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "Core/utils/ansi.hpp"

namespace app::demo {

SpdlogHouseLog::SpdlogHouseLog(const std::string& file) {
  auto to_file = std::make_shared<spdlog::sinks::basic_file_sink_mt>(file, true);
  auto to_console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
  to_console->set_level(spdlog::level::warn);
  logger_ =
      std::make_shared<spdlog::logger>("HouseLog", spdlog::sinks_init_list{to_file, to_console});
  logger_->set_level(spdlog::level::info);
  logger_->flush_on(spdlog::level::warn);
  logger_->set_error_handler([lost = lost_messages_](const std::string&) { *lost = true; });
}

bool SpdlogHouseLog::flush() {
  logger_->flush();
  return !*lost_messages_;
}

void SpdlogHouseLog::info_log(const std::string& message, int /*level*/) {
  logger_->info(utils::without_ansi(message));
}

void SpdlogHouseLog::info_warn(const std::string& message, std::optional<int> /*level*/) {
  logger_->warn(utils::without_ansi(message));
}

void SpdlogHouseLog::info_critical(const std::string& message, int /*level*/) {
  logger_->critical(utils::without_ansi(message));
}

}  // namespace app::demo
