#pragma once

#include <iostream>
#include <streambuf>
#include <string>

#include "script.hpp"

namespace app::replay {

// While alive, turns every line written to standard output into a console event of `script`.
class ConsoleCapture final : private std::streambuf {
 public:
  explicit ConsoleCapture(Script& script) : script_(script), previous_(std::cout.rdbuf(this)) {}
  ~ConsoleCapture() override { std::cout.rdbuf(previous_); }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

 private:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (traits_type::to_char_type(c) == '\n') {
      script_.record_line(std::exchange(line_, {}));
    } else {
      line_.push_back(traits_type::to_char_type(c));
    }
    return c;
  }

  Script& script_;
  std::streambuf* previous_;
  std::string line_;
};

}  // namespace app::replay
