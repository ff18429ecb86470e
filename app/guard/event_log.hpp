#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

namespace spdlog {
class logger;
}

namespace app::guard {

// Where the guard reports what it does, one event at a time: "start", "request" (its result and
// cost), "failure" (the exchange's words), "close", "reload", "stop".
class Events {
 public:
  virtual ~Events() = default;
  virtual void event(std::string_view name, nlohmann::json fields) = 0;
};

// Events as JSON lines in a file, {"time": "...Z", "event": NAME, ...fields}, flushed at once
// and rotated by size: FILE, FILE.1 ... FILE.N. Holds only what it is given, and it is never
// given a key or a secret.
class JsonLinesLog final : public Events {
 public:
  // Throws std::runtime_error when the file cannot be opened.
  JsonLinesLog(const std::filesystem::path& file, std::uintmax_t max_bytes, int files);
  ~JsonLinesLog() override;
  void event(std::string_view name, nlohmann::json fields) override;

 private:
  std::shared_ptr<spdlog::logger> logger_;
};

// Events nobody reads: the guard without --log.
class NoEvents final : public Events {
 public:
  void event(std::string_view, nlohmann::json) override {}
};

// The wall clock's time as the exchange writes it: "2026-12-07T10:51:00.123Z".
std::string utc_now();

}  // namespace app::guard
