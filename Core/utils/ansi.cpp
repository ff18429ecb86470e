#include "Core/utils/ansi.hpp"

namespace utils {

bool AnsiSequences::is_text(char c) {
  constexpr char kEscape = '\033';
  switch (state_) {
    case State::kText:
      if (c != kEscape) return true;
      state_ = State::kEscape;
      return false;
    case State::kEscape:
      // ESC [ opens a sequence; ESC and any other character is a two-character sequence.
      state_ = c == '[' ? State::kSequence : State::kText;
      return false;
    case State::kSequence:
      // Parameters and intermediates (0x20-0x3F) until the final byte (0x40-0x7E).
      if (c >= '@' && c <= '~') state_ = State::kText;
      return false;
  }
  return true;
}

std::string without_ansi(std::string_view text) {
  AnsiSequences sequences;
  std::string kept;
  kept.reserve(text.size());
  for (const char c : text) {
    if (sequences.is_text(c)) kept.push_back(c);
  }
  return kept;
}

}  // namespace utils
