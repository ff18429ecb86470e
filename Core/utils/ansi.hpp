#pragma once

#include <string>
#include <string_view>

namespace utils {

// Recognises the terminal's control sequences (ESC [ parameters final-byte: colours, cursor
// moves) in a stream of characters, one character at a time, across any split of the text.
class AnsiSequences {
 public:
  // Whether `c` is text to keep rather than part of a control sequence.
  bool is_text(char c);

 private:
  enum class State { kText, kEscape, kSequence };
  State state_ = State::kText;
};

// `text` without its control sequences: for a file, a pipe or a log record, where they show as
// noise.
std::string without_ansi(std::string_view text);

}  // namespace utils
