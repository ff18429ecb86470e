#pragma once

#include <ostream>
#include <string>

namespace app::trail {

// Lines on standard output, with one status line kept at the bottom when it is a terminal:
// redrawn in place, cleared before each line and drawn again after it.
class Terminal {
 public:
  Terminal(std::ostream& out, bool interactive) : out_(out), interactive_(interactive) {}

  void line(const std::string& text) {
    clear();
    out_ << text << '\n';
    draw();
  }
  void status(std::string text) {
    status_ = std::move(text);
    clear();
    draw();
  }
  // Leaves the status line as it stands, so that what follows starts on a line of its own.
  void end_status() {
    if (interactive_ && !status_.empty()) out_ << '\n';
    status_.clear();
  }

 private:
  void clear() {
    if (interactive_ && !status_.empty()) out_ << "\r\033[K";
  }
  void draw() {
    if (interactive_ && !status_.empty()) out_ << status_;
    out_.flush();
  }

  std::ostream& out_;
  bool interactive_;
  std::string status_;
};

}  // namespace app::trail
