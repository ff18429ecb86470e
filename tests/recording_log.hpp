#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "Core/collaborators/HouseLog.hpp"

// The module's log lines, kept for a test to look at.
class RecordingLog final : public stoploss::HouseLog {
 public:
  struct Line {
    std::string level;  // info, warn or critical
    std::string message;
  };
  void info_log(const std::string& message, int) override { lines.push_back({"info", message}); }
  void info_warn(const std::string& message, std::optional<int>) override {
    lines.push_back({"warn", message});
  }
  void info_critical(const std::string& message, int) override {
    lines.push_back({"critical", message});
  }
  bool has(const std::string& level, const std::string& part) const {
    return std::any_of(lines.begin(), lines.end(), [&](const Line& line) {
      return line.level == level && line.message.find(part) != std::string::npos;
    });
  }
  std::vector<Line> lines;
};
