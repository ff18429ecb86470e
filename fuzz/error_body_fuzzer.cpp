// Raw bytes as the body of the exchange's HTTP error on the bulk amend and cancel calls, read
// by the module through a replay. The request must fail with ValueError for a body that is not
// JSON, with KeyError or TypeError for one without error.message, and otherwise go on, taking
// the exchange's "Invalid ordStatus" apart from every other message.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_check.hpp"
#include "json_mutator.hpp"
#include "replay/replay.hpp"
#include "replay/scenario.hpp"

namespace {

namespace replay = app::replay;

using replay::Answer;
using replay::Json;
using replay::Raise;
using stoploss::Value;

constexpr const char* kBadRequest = "400 Client Error: Bad Request for url: /api/v1/order/bulk";
constexpr const char* kMaxStops = "400 Client Error: Max Stop orders for url: /api/v1/order/bulk";

Answer returns(Value value) { return {.value = std::move(value)}; }

Answer http_error(const char* text, const std::string& body) {
  return {.raise = Raise{.kind = "HTTPError", .text = text, .status = 400, .body = body}};
}

Value buy_stop(const char* id, double price) {
  return {{"orderID", id},     {"clOrdID", ""},           {"symbol", "XBTUSD"},
          {"side", "Buy"},     {"orderQty", 999},         {"stopPx", price},
          {"ordType", "Stop"}, {"execInst", "LastPrice"}, {"ordStatus", "New"}};
}

// A buy stop wanted at 110 (mid price 90, contracts 999) with the pair's open stops `stops`.
replay::Scenario stop_at_110(Value stops) {
  replay::Scenario scenario;
  scenario.PairLIST = {"XBTUSD"};
  scenario.answers["Bitmex_Wrapper.ReturnTicker"] = {returns(0.5)};
  scenario.answers["Bitmex_Wrapper.instrument"] = {
      returns({{"symbol", "XBTUSD"}, {"maxOrderQty", 1000}})};
  scenario.answers["RiskManager.get_portfolio"] = {returns({{"impactMidPrice", 90.0}})};
  scenario.answers["QuorCalls.open_orders"] = {returns(std::move(stops))};
  scenario.requests.push_back({.PAIR = "XBTUSD", .Price = 110});
  return scenario;
}

// Two stops below the price: the higher is amended to it, the other cancelled, and both bulk
// calls fail with `body`; the cancel's failure also names the stop-order limit.
replay::Scenario amend_and_cancel(const std::string& body) {
  auto scenario = stop_at_110(Value::array({buy_stop("x-101", 101.0), buy_stop("x-105", 105.0)}));
  scenario.answers["Amend_bulk.orders"] = {http_error(kBadRequest, body)};
  scenario.answers["Cancel_bulk.orders"] = {http_error(kMaxStops, body)};
  return scenario;
}

// A stop stands at the price and a duplicate of it is cancelled; the cancel fails with `body`.
replay::Scenario cancel_duplicate(const std::string& body) {
  auto scenario = stop_at_110(Value::array({buy_stop("x-a", 110.0), buy_stop("x-b", 110.0)}));
  scenario.answers["Cancel_bulk.orders"] = {http_error(kBadRequest, body)};
  return scenario;
}

// The failure kind reading error.message from `body` must raise, if any.
std::optional<std::string_view> unreadable_kind(const std::string& body) {
  if (fuzz::unreadable_json(body, stoploss::kMaxJsonDepth)) return "ValueError";
  const Value parsed = Value::parse(body);
  if (!parsed.is_object()) return "TypeError";
  const auto error = parsed.find("error");
  if (error == parsed.end()) return "KeyError";
  if (!error->is_object()) return "TypeError";
  if (!error->contains("message")) return "KeyError";
  return std::nullopt;
}

bool invalid_status(const std::string& body) {
  const Value message = Value::parse(body).at("error").at("message");
  return message.is_string() && message.get<std::string>() == "Invalid ordStatus";
}

bool called(const Json& events, std::string_view operation) {
  for (const Json& event : events) {
    if (event.value("call", "") == operation) return true;
  }
  return false;
}

bool warned(const Json& events, std::string_view code) {
  for (const Json& event : events) {
    if (event.value("call", "") == "HouseLog.info_warn" &&
        event.at("args").at(0).get_ref<const std::string&>().find(code) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The one request of `scenario`, replayed; the replay itself must not fail.
Json replayed(const replay::Scenario& scenario) {
  try {
    return replay::run(scenario).at("requests").at(0);
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure("the replay", failure);
  }
}

std::string shown(const Json& request) {
  return request.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Either the request failed as `kind` says, without reaching `next`, or it went on with the
// warning of the message it read.
void expect_read(const Json& request, std::optional<std::string_view> kind, std::string_view next,
                 std::string_view invalid_code, std::string_view other_code, bool invalid) {
  const Json& failure = request.at("failure");
  const Json& events = request.at("events");
  if (kind) {
    fuzz::expect(failure.is_object() && failure.at("kind") == *kind,
                 "an unreadable error body did not fail the request as expected",
                 [&] { return shown(request); });
    fuzz::expect(!called(events, next), "the request went on past an unreadable error body",
                 [&] { return shown(request); });
    return;
  }
  fuzz::expect(failure.is_null(), "a readable error body failed the request",
               [&] { return shown(request); });
  fuzz::expect(warned(events, invalid ? invalid_code : other_code) &&
                   !warned(events, invalid ? other_code : invalid_code),
               "the message of the error body was misread", [&] { return shown(request); });
}

}  // namespace

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size,
                                               std::size_t max_size, unsigned seed) {
  return fuzz::mutate_json(data, size, max_size, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  const auto kind = unreadable_kind(body);
  const bool invalid = !kind && invalid_status(body);

  const Json amended = replayed(amend_and_cancel(body));
  expect_read(amended, kind, "Cancel_bulk.orders", "E.c1", "E.c2", invalid);
  if (!kind) {
    // The cancel reads the same body: the limit named in its failure removes the stops
    // unless the message is "Invalid ordStatus".
    fuzz::expect(warned(amended.at("events"), "E.d1") == invalid &&
                     called(amended.at("events"), "QuorCalls.CLEAN_Stops") == !invalid,
                 "the cancel misread the error body", [&] { return shown(amended); });
  }

  const Json kept = replayed(cancel_duplicate(body));
  expect_read(kept, kind, "HouseLog.info_warn", "E.b1", "E.b2", invalid);
  if (!kind) {
    fuzz::expect(kept.at("result") == true, "the kept stop was not reported",
                 [&] { return shown(kept); });
  }
  return 0;
}
