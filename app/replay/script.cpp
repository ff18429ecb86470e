#include "script.hpp"

#include <stdexcept>

#include "Core/collaborators/failures.hpp"

namespace app::replay {

Script::Script(std::map<std::string, std::vector<Answer>, std::less<>> answers) {
  for (auto& [operation, list] : answers) answers_[operation].list = std::move(list);
}

void Script::record(std::string_view operation, Json args, Json kwargs) {
  Json event = {{"call", operation}, {"args", std::move(args)}};
  if (!kwargs.is_null()) event["kwargs"] = std::move(kwargs);
  events_.push_back(std::move(event));
}

const Answer* Script::answer(std::string_view operation, Json args, Json kwargs) {
  record(operation, std::move(args), std::move(kwargs));
  const auto found = answers_.find(operation);
  if (found == answers_.end() || found->second.list.empty()) return nullptr;
  auto& [list, next] = found->second;
  const Answer& answer = list[std::min(next, list.size() - 1)];
  ++next;
  if (answer.raise) throw_failure(*answer.raise);
  return &answer;
}

void Script::record_line(std::string line) { events_.push_back({{"stdout", std::move(line)}}); }

Json Script::take_events() { return std::exchange(events_, Json::array()); }

void throw_failure(const Raise& raise) {
  if (raise.kind == "HTTPError") {
    throw stoploss::HTTPError(raise.text, {raise.status, raise.body});
  }
  if (raise.kind == "KeyError") throw stoploss::KeyError(raise.text);
  if (raise.kind == "TypeError") throw stoploss::TypeError(raise.text);
  if (raise.kind == "ValueError") throw stoploss::ValueError(raise.text);
  throw std::runtime_error(raise.text);
}

}  // namespace app::replay
