#include "scenario.hpp"

#include <array>
#include <stdexcept>

#include "Core/collaborators/failures.hpp"
#include "Core/utils/read_file.hpp"

namespace app::replay {
namespace {

using stoploss::Value;

// Far more than any incident needs; a scenario is read whole before it is parsed.
constexpr std::size_t kLargestScenario = std::size_t{16} << 20;
// An incident takes a handful of requests; millions would hold the tool for minutes.
constexpr std::size_t kMostRequests = 10000;

constexpr std::array<std::string_view, 13> kOperations = {
    "Bitmex_Wrapper.ReturnTicker", "Bitmex_Wrapper.instrument", "Bitmex_Wrapper.WS_Status",
    "QuorCalls.toNearest",         "QuorCalls.CLEAN_Stops",     "QuorCalls.open_orders",
    "QuorCalls.STOP_order",        "Amend_bulk.orders",         "Cancel_bulk.orders",
    "RiskManager.get_portfolio",   "HouseLog.info_log",         "HouseLog.info_warn",
    "HouseLog.info_critical"};

constexpr std::array<std::string_view, 5> kFailureKinds = {"HTTPError", "KeyError", "TypeError",
                                                           "ValueError", "Error"};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw ScenarioError(where + ": " + what);
}

template <std::size_t N>
bool one_of(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

void only_keys(const Value& object, std::initializer_list<std::string_view> allowed,
               const std::string& where) {
  for (const auto& [key, value] : object.items()) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
      fail(where, "unknown key \"" + key + "\"");
    }
  }
}

const Value* optional_member(const Value& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

std::string text_member(const Value& object, const char* key, const std::string& where,
                        std::string otherwise) {
  const Value* member = optional_member(object, key);
  if (!member) return otherwise;
  if (!member->is_string()) fail(where, std::string(key) + " must be a text");
  return member->get<std::string>();
}

Raise parse_raise(const Value& raise, const std::string& where) {
  if (!raise.is_object()) fail(where, "\"raise\" must be an object");
  only_keys(raise, {"kind", "text", "status", "body"}, where);
  Raise parsed;
  parsed.kind = text_member(raise, "kind", where, "");
  if (!one_of(kFailureKinds, parsed.kind)) {
    fail(where, "kind must be one of HTTPError, KeyError, TypeError, ValueError, Error");
  }
  parsed.text = text_member(raise, "text", where, "");
  const bool http = parsed.kind == "HTTPError";
  if (!http && (raise.contains("status") || raise.contains("body"))) {
    fail(where, "status and body belong to an HTTPError only");
  }
  if (const Value* status = optional_member(raise, "status")) {
    if (!status->is_number_integer() || stoploss::less(*status, 0) ||
        stoploss::greater(*status, 999)) {
      fail(where, "status must be an integer from 0 to 999");
    }
    parsed.status = status->get<int>();
  }
  parsed.body = text_member(raise, "body", where, "");
  return parsed;
}

Answer parse_answer(const Value& answer, const std::string& operation, const std::string& where) {
  if (!answer.is_object()) fail(where, "an answer must be an object");
  only_keys(answer, {"return", "raise", "remove"}, where);
  if (answer.contains("return") == answer.contains("raise")) {
    fail(where, "an answer has either \"return\" or \"raise\"");
  }
  Answer parsed;
  if (const Value* raise = optional_member(answer, "raise")) {
    parsed.raise = parse_raise(*raise, where);
  } else {
    parsed.value = answer.at("return");
  }
  if (const Value* remove = optional_member(answer, "remove")) {
    if (operation != "Cancel_bulk.orders") fail(where, "\"remove\" is for Cancel_bulk.orders");
    if (!remove->is_boolean()) fail(where, "\"remove\" must be true or false");
    parsed.remove = remove->get<bool>();
  }
  return parsed;
}

std::optional<std::string> optional_text(const Value& request, const char* key,
                                         const std::string& where) {
  const Value* member = optional_member(request, key);
  if (!member || member->is_null()) return std::nullopt;
  if (!member->is_string()) fail(where, std::string(key) + " must be a text or null");
  return member->get<std::string>();
}

ScenarioRequest parse_request(const Value& request, const std::string& where) {
  if (!request.is_object()) fail(where, "a request must be an object");
  only_keys(request, {"PAIR", "Price", "CLID", "Verification", "REPLACE", "Text", "CleanStops"},
            where);
  if (!request.contains("PAIR") || !request.contains("Price")) {
    fail(where, "a request needs PAIR and Price");
  }
  ScenarioRequest parsed;
  parsed.PAIR = text_member(request, "PAIR", where, "");
  parsed.Price = request.at("Price");
  auto& options = parsed.options;
  options.CLID = optional_text(request, "CLID", where);
  options.Verification = stoploss::truthy(request.value("Verification", Value(false)));
  options.REPLACE = stoploss::truthy(request.value("REPLACE", Value(false)));
  if (const Value* text = optional_member(request, "Text"); text && !text->is_null()) {
    options.Text = *text;
  }
  options.CleanStops = stoploss::truthy(request.value("CleanStops", Value(false)));
  return parsed;
}

}  // namespace

Scenario parse_scenario(const Value& document) {
  if (!document.is_object()) fail("scenario", "must be a JSON object");
  only_keys(document, {"PairLIST", "DEBUG", "install_dir", "answers", "requests"}, "scenario");
  Scenario scenario;

  const Value* pairs = optional_member(document, "PairLIST");
  if (!pairs || !pairs->is_array()) fail("PairLIST", "must be a list of pair symbols");
  for (const auto& pair : *pairs) {
    if (!pair.is_string()) fail("PairLIST", "must be a list of pair symbols");
    scenario.PairLIST.push_back(pair.get<std::string>());
  }

  if (const Value* debug = optional_member(document, "DEBUG")) {
    if (!debug->is_boolean()) fail("DEBUG", "must be true or false");
    scenario.DEBUG = debug->get<bool>();
  }
  scenario.install_dir = text_member(document, "install_dir", "install_dir", scenario.install_dir);

  if (const Value* answers = optional_member(document, "answers")) {
    if (!answers->is_object()) fail("answers", "must be an object keyed by operation");
    for (const auto& [operation, list] : answers->items()) {
      const std::string where = "answers." + operation;
      if (!one_of(kOperations, operation)) fail(where, "unknown operation");
      if (!list.is_array()) fail(where, "must be a list of answers");
      auto& parsed = scenario.answers[operation];
      for (std::size_t i = 0; i < list.size(); ++i) {
        parsed.push_back(parse_answer(list[i], operation, where + "[" + std::to_string(i) + "]"));
      }
    }
  }

  const Value* requests = optional_member(document, "requests");
  if (!requests || !requests->is_array()) fail("requests", "must be a list of requests");
  if (requests->size() > kMostRequests) {
    fail("requests", "more than " + std::to_string(kMostRequests) + ", more than this tool runs");
  }
  for (std::size_t i = 0; i < requests->size(); ++i) {
    scenario.requests.push_back(
        parse_request((*requests)[i], "requests[" + std::to_string(i) + "]"));
  }
  return scenario;
}

Scenario read_scenario(const std::filesystem::path& path) {
  Value document;
  try {
    document = stoploss::parse_json(utils::read_file(path, kLargestScenario));
  } catch (const stoploss::ValueError& error) {
    throw ScenarioError(path.string() + ": invalid JSON: " + error.what());
  } catch (const std::runtime_error& error) {
    throw ScenarioError(error.what());
  }
  return parse_scenario(document);
}

}  // namespace app::replay
