#pragma once

#include <any>
#include <map>
#include <optional>
#include <string>

#include "Core/collaborators/GetDir.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/ModuleHandler.hpp"
#include "Core/collaborators/Sleep.hpp"

namespace utils {

// The host's registry of module objects, in memory.
class Registry final : public stoploss::ModuleHandler {
 public:
  void Store(int slot, std::any object) override { slots_[slot] = std::move(object); }
  std::any SERVE(int slot) override {
    const auto found = slots_.find(slot);
    return found == slots_.end() ? std::any() : found->second;
  }

 private:
  std::map<int, std::any> slots_;
};

class InstallDir final : public stoploss::GetDir {
 public:
  explicit InstallDir(std::string dir) : dir_(std::move(dir)) {}
  std::string Dir() override { return dir_; }

 private:
  std::string dir_;
};

// A log that keeps nothing.
class SilentLog final : public stoploss::HouseLog {
 public:
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string&, std::optional<int>) override {}
  void info_critical(const std::string&, int) override {}
};

// Pauses that wait.
class RealSleep final : public stoploss::Sleep {
 public:
  void sleep(double seconds) override;
};

}  // namespace utils
