#pragma once

#include <string>
#include <string_view>

namespace Modules::StopLoss {

// Terminal colours (ANSI escape sequences).
inline constexpr std::string_view PBLINCK = "\033[5m";
inline constexpr std::string_view PGEE = "\033[92m";
inline constexpr std::string_view PBLU = "\033[34m";
inline constexpr std::string_view PRED = "\033[91m";
inline constexpr std::string_view PYLW = "\033[33m";
inline constexpr std::string_view CYAN = "\033[96m";
inline constexpr std::string_view LYAN = "\033[96m";
inline constexpr std::string_view MAGE = "\033[95m";
inline constexpr std::string_view PEND = "\033[0m";

// The module's tag, which opens every log message, and its success and failure marks.
inline const std::string MODULEPRINT = std::string(MAGE) + " Stop_Loss.Module" + std::string(PEND);
inline const std::string POK = std::string(PGEE) + "OK !" + std::string(PEND);
inline const std::string PFAILED = std::string(PRED) + " FAILED !!" + std::string(PEND);

// Published pacing interval; the module's own pauses have fixed lengths of their own.
inline constexpr double API_REST_INTERVAL = 0.015;

// The host registry's slot for the stop manager.
inline constexpr int kRegistrySlot = 11;

}  // namespace Modules::StopLoss
