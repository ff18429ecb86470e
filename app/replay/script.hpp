#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/collaborators/record.hpp"

namespace app::replay {

// Transcripts keep their keys in the order written.
using Json = nlohmann::ordered_json;

// A failure a scripted answer raises.
struct Raise {
  std::string kind;  // "HTTPError", "KeyError", "TypeError", "ValueError" or "Error"
  std::string text;
  int status = 0;    // HTTPError only
  std::string body;  // HTTPError only: the raw body text
};

// One scripted answer of an operation: a value returned, or a failure raised.
struct Answer {
  stoploss::Value value;
  std::optional<Raise> raise{};
  bool remove = false;  // Cancel_bulk.orders: empty the list it was given
};

// The scripted answers of a scenario, and the events of the run, in order.
class Script {
 public:
  explicit Script(std::map<std::string, std::vector<Answer>, std::less<>> answers);

  // Records a call of `operation`.
  void record(std::string_view operation, Json args, Json kwargs = nullptr);

  // Records a call of `operation` and returns its next scripted answer (answers are used in
  // order; the last one answers every further call), or null when none is scripted. Throws
  // the failure the answer raises.
  const Answer* answer(std::string_view operation, Json args, Json kwargs = nullptr);

  // Records a console line.
  void record_line(std::string line);

  // The events recorded since the last call.
  Json take_events();

 private:
  struct Answers {
    std::vector<Answer> list;
    std::size_t next = 0;
  };
  std::map<std::string, Answers, std::less<>> answers_;
  Json events_ = Json::array();
};

// Throws the failure `raise` describes.
[[noreturn]] void throw_failure(const Raise& raise);

}  // namespace app::replay
