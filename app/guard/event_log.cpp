#include "event_log.hpp"

#include <fmt/chrono.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <stdexcept>

namespace app::guard {

std::string utc_now() {
  const auto now = std::chrono::system_clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03}Z", std::chrono::floor<std::chrono::seconds>(now),
                     milliseconds);
}

JsonLinesLog::JsonLinesLog(const std::filesystem::path& file, std::uintmax_t max_bytes, int files) {
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        file.string(), static_cast<std::size_t>(max_bytes), static_cast<std::size_t>(files));
    logger_ = std::make_shared<spdlog::logger>("guard", std::move(sink));
  } catch (const spdlog::spdlog_ex& error) {
    throw std::runtime_error("cannot write the log " + file.string() + ": " + error.what());
  }
  logger_->set_pattern("%v");
  logger_->flush_on(spdlog::level::trace);
}

JsonLinesLog::~JsonLinesLog() { logger_->flush(); }

void JsonLinesLog::event(std::string_view name, nlohmann::json fields) {
  nlohmann::json line = {{"time", utc_now()}, {"event", name}};
  if (fields.is_object()) line.update(fields);
  // Texts from outside that are not UTF-8 are written with replacement characters.
  logger_->info(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace app::guard
