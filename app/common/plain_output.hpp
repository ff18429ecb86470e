#pragma once

#include <ostream>
#include <streambuf>

#include "Core/utils/ansi.hpp"

namespace app {

// While alive, passes what is written to `stream` on without the terminal's control sequences
// (the module's coloured tags): for output that goes to a file or a pipe.
class PlainOutput final : private std::streambuf {
 public:
  explicit PlainOutput(std::ostream& stream) : stream_(stream), target_(stream.rdbuf(this)) {}
  ~PlainOutput() override { stream_.rdbuf(target_); }
  PlainOutput(const PlainOutput&) = delete;
  PlainOutput& operator=(const PlainOutput&) = delete;

 private:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char character = traits_type::to_char_type(c);
    if (!sequences_.is_text(character)) return c;
    return target_->sputc(character);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    for (std::streamsize i = 0; i < count; ++i) {
      if (traits_type::eq_int_type(overflow(traits_type::to_int_type(text[i])),
                                   traits_type::eof())) {
        return i;
      }
    }
    return count;
  }
  int sync() override { return target_->pubsync(); }

  std::ostream& stream_;
  std::streambuf* target_;
  utils::AnsiSequences sequences_;
};

}  // namespace app
