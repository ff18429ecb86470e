#pragma once

#include <iostream>
#include <string>
#include <string_view>

#include "Core/collaborators/record.hpp"

namespace Modules::StopLoss {

inline std::string_view console_item(std::string_view text) { return text; }
inline std::string_view console_item(const std::string& text) { return text; }
inline std::string_view console_item(const char* text) { return text; }
inline std::string console_item(const stoploss::Value& value) { return stoploss::to_text(value); }

// Writes one console line to standard output: the items' text forms joined by blanks.
template <class... Items>
void console(const Items&... items) {
  std::string line;
  ((line.append(console_item(items)), line.push_back(' ')), ...);
  line.back() = '\n';
  std::cout.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
}

}  // namespace Modules::StopLoss
