// A stop request as the caller, the log and the exchange see it: one row per case, with the
// listings the exchange answers, the request, and what must come of it (the result, the stops
// placed, the orders amended and cancelled, the log lines, the listings and pauses made, the
// manager's state). Every amendment and cancellation must carry the reduce-only instruction.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "replay/replay.hpp"
#include "row_name.hpp"

namespace {

namespace replay = app::replay;
using replay::Json;

constexpr double kMid = 9100;  // a stop below it sells: Quantity -999 (maxOrderQty 1000 less one)

Json stop(const std::string& id, const Json& price,
          const std::string& execInst = "LastPrice,ReduceOnly", const std::string& side = "Sell") {
  const int quantity = side == "Sell" ? -999 : 999;
  return {{"orderID", id},     {"clOrdID", ""},        {"symbol", "XBTUSD"},
          {"side", side},      {"orderQty", quantity}, {"stopPx", price},
          {"ordType", "Stop"}, {"execInst", execInst}, {"ordStatus", "New"}};
}
Json returns(const Json& value) { return {{"return", value}}; }
Json http_error(const std::string& message, const std::string& text = "HTTP 400") {
  return {{"raise",
           {{"kind", "HTTPError"},
            {"text", text},
            {"status", 400},
            {"body", Json{{"error", {{"message", message}}}}.dump()}}}};
}
Json failure(const std::string& kind, const std::string& text) {
  return {{"raise", {{"kind", kind}, {"text", text}}}};
}
Json not_accepted() { return returns({{"ordStatus", "New"}}); }
Json accepted(double price) {
  return returns(
      {{"ordStatus", "new"}, {"stopPx", price}, {"orderQty", -999}, {"clOrdID", "new-1"}});
}

Json request(double price, Json options = Json::object()) {
  options["PAIR"] = "XBTUSD";
  options["Price"] = price;
  return options;
}

const Json kEmpty = Json::array();

// The listings of a request that moves stops: `book` for the snapshot and the scan, then
// `after` for every pass of the verification.
std::vector<Json> scan_then(const std::vector<Json>& book, const std::vector<Json>& after) {
  return {Json(book), Json(book), Json(after)};
}
// One listing of `stops`, answered every time.
std::vector<Json> listing(const std::vector<Json>& stops) { return {Json(stops)}; }
// An empty book until the verification's first pass finds `stops`.
std::vector<Json> found(const std::vector<Json>& stops) { return {kEmpty, kEmpty, Json(stops)}; }
// `operation` answered with `answer`.
Json answer(const std::string& operation, const Json& answer) { return {{operation, {answer}}}; }

struct Row {
  const char* name;
  // The result, then what came of the request as "what value ...": placed (stop prices),
  // amended and cancelled (orderIDs of the records, in order), cleanups (CLEAN_Stops calls:
  // every stop of the pair removed), listings (open_orders calls, forced ones included), pauses,
  // cache (StopOrderclOrdID_Cache afterwards), failure (the kind that reached the caller); then
  // after each "|" a line logged, as "level: part of the text", in order. Placements, amendments,
  // cancellations, cleanups and log lines not named must not happen; the rest are not checked.
  std::string expect;
  std::vector<Json> listings = {kEmpty};  // open_orders answers in turn; the last repeats
  Json answers = Json::object();          // further scripted answers, by operation
  Json requests = request(9000.5);        // one, or a list of which the last is examined
};

replay::Json run(const Row& row) {
  Json answers = {{"Bitmex_Wrapper.ReturnTicker", {returns(0.5)}},
                  {"Bitmex_Wrapper.instrument", {returns({{"maxOrderQty", 1000}})}},
                  {"RiskManager.get_portfolio", {returns({{"impactMidPrice", kMid}})}},
                  {"QuorCalls.STOP_order", {accepted(9000.5)}}};
  for (const Json& listing : row.listings)
    answers["QuorCalls.open_orders"].push_back(returns(listing));
  answers.update(row.answers);
  const Json requests = row.requests.is_array() ? row.requests : Json::array({row.requests});
  return replay::run(replay::parse_scenario(
      {{"PairLIST", {"XBTUSD"}}, {"answers", answers}, {"requests", requests}}));
}

// What the examined request did, read from its events, keyed as a row's expectation; and every
// amend and cancel record sent.
Json observe(const Json& last, Json& records) {
  Json seen = {{"result", last["result"]},
               {"cache", Json::array({last["state"]["StopOrderclOrdID_Cache"]})},
               {"failure", Json::array({last.value("failure", Json())})}};
  for (const char* key : {"placed", "amended", "cancelled", "pauses", "logged"})
    seen[key] = Json::array();
  if (seen["failure"][0].is_object()) seen["failure"][0] = seen["failure"][0]["kind"];
  int listings = 0, cleanups = 0;
  for (const Json& event : last["events"]) {
    const std::string call = event.value("call", "");
    const Json& args = event.contains("args") ? event["args"] : Json::array();
    if (call == "QuorCalls.STOP_order") seen["placed"].push_back(args[1]);
    listings += call == "QuorCalls.open_orders";
    cleanups += call == "QuorCalls.CLEAN_Stops";
    if (call == "sleep") seen["pauses"].push_back(args[0]);
    for (const Json& record : call.ends_with("_bulk.orders") ? args[1] : Json::array()) {
      seen[call == "Amend_bulk.orders" ? "amended" : "cancelled"].push_back(record["orderID"]);
      records.push_back(record);
    }
    if (call.starts_with("HouseLog.info_")) {
      const std::string level = call.substr(std::string("HouseLog.info_").size());
      seen["logged"].push_back(level + ": " + args[0].get<std::string>());
    }
  }
  seen["listings"] = Json::array({listings});
  seen["cleanups"] = Json::array({cleanups});
  return seen;
}

const std::set<std::string> kKeys = {"placed",   "amended", "cancelled", "cleanups",
                                     "listings", "pauses",  "cache",     "failure"};

// A row's expectation read as the keys `observe` gives; values as JSON where they read so.
Json expectation(const std::string& text) {
  Json expected = {{"placed", kEmpty},
                   {"amended", kEmpty},
                   {"cancelled", kEmpty},
                   {"cleanups", Json::array({0})},
                   {"logged", kEmpty}};
  std::istringstream lines(text);
  std::string values, word, key;
  std::getline(lines, values, '|');
  std::istringstream in(values);
  for (in >> word, expected["result"] = Json::parse(word); in >> word;) {
    const Json value = Json::parse(word, nullptr, false);
    if (kKeys.contains(word)) expected[key = word] = kEmpty;
    if (!kKeys.contains(word)) expected[key].push_back(value.is_discarded() ? Json(word) : value);
  }
  for (std::string line; std::getline(lines, line, '|');)
    expected["logged"].push_back(line.substr(1, line.find_last_not_of(' ')));
  return expected;
}

const Json unaccepted = answer("QuorCalls.STOP_order", not_accepted());
const Json max_stops =
    answer("QuorCalls.STOP_order", failure("HTTPError", "Max Stop orders exceeded"));
const std::vector<Json> empty = {kEmpty};
const Json none = Json::object();
const Json verifying = request(9000.5, {{"Verification", true}});
const Row kRows[] = {
    {"a new stop is placed, accepted at once", "true placed 9000.5 listings 2 cache new-1"},
    {"a placement not accepted: the pause, then the stop seen on the first pass",
     "true placed 9000.5 listings 3 pauses 0.01", found({stop("p", 9000.5)}), unaccepted},
    {"never seen in verification mode: thirty passes and a forced listing, then F.2",
     "false placed 9000.5 listings 33 | critical: Verification Failed F.2! Max retry", empty,
     unaccepted, verifying},
    {"never seen, a stop without the reduce-only instruction being no stop: three passes in "
     "check mode, then nothing",
     "null placed 9000.5 listings 5 pauses 0.01", found({stop("p", 9000.5, "LastPrice")}),
     unaccepted},
    {"REPLACE: the pair's stops removed first, then a stop placed",
     "true placed 9000.5 listings 2 cleanups 1", empty, none, request(9000.5, {{"REPLACE", true}})},
    {"verification mode: the stop seen is reported; the feed down: a pause before each pass",
     "true placed 9000.5 listings 3 pauses 0.01 0.2 | log: Placed for XBTUSD @ 9000.5",
     found({stop("p", 9000.5)}),
     Json{{"QuorCalls.STOP_order", {not_accepted()}},
          {"Bitmex_Wrapper.WS_Status", {returns(false)}}},
     verifying},
    {"already placed: nothing sent, the price recorded", "true listings 2 cache none",
     listing({stop("at", 9000.5)})},
    {"a surplus at the price is cancelled; the list emptied resets the cached id",
     "true cancelled dup listings 2 cache none", found({stop("at", 9000.5), stop("dup", 9000.5)}),
     answer("Cancel_bulk.orders", {{"return", nullptr}, {"remove", true}}),
     Json::array({request(9000.5), request(9000.5)})},
    {"a listing naming the stop at the price twice: kept, nothing cancelled", "true listings 2",
     listing({stop("at", 9000.5), stop("at", 9000.5)})},
    {"a listing naming a candidate twice: it counts once, the surplus alone goes",
     "true amended near dup cancelled dup listings 3",
     scan_then({stop("near", 9050), stop("near", 9050), stop("dup", 9060)},
               {stop("near", 9000.5)})},
    {"a stop between the price and the market is moved to it, not cancelled",
     "true amended near listings 3 pauses 0.01",
     scan_then({stop("near", 9050)}, {stop("near", 9000.5)})},
    {"of stops on the market side the lowest is moved, the others amended then cancelled",
     "true amended b a c cancelled a c listings 3",
     scan_then({stop("a", 9080), stop("b", 9020), stop("c", 9050)}, {stop("b", 9000.5)})},
    {"one or two stops beyond the price stay as candidates: a new stop is placed",
     "true placed 9000.5 listings 2", listing({stop("far1", 8900), stop("far2", 8950)})},
    {"three stops beyond the price: the farthest is moved", "true amended f3 listings 3",
     scan_then({stop("f1", 8900), stop("f2", 8950), stop("f3", 8800)}, {stop("f3", 9000.5)})},
    {"an amendment refused with Invalid ordStatus: E.c1, and no placement",
     "null amended near listings 5 | warn: E.c1 Failed to amend",
     scan_then({stop("near", 9050)}, {}),
     answer("Amend_bulk.orders", http_error("Invalid ordStatus"))},
    {"an amendment refused otherwise: E.c2", "null amended near | warn: E.c2 Failed to amend",
     scan_then({stop("near", 9050)}, {}), answer("Amend_bulk.orders", http_error("Invalid price"))},
    {"an amendment failing without an answer: E.c3",
     "null amended near | warn: E.c3 Failed to amend", scan_then({stop("near", 9050)}, {}),
     answer("Amend_bulk.orders", failure("KeyError", "stopPx"))},
    {"an amendment refused for the stop-order limit: the pair's stops removed, nothing said",
     "null amended near cleanups 1", scan_then({stop("near", 9050)}, {}),
     answer("Amend_bulk.orders", http_error("Invalid price", "Max Stop orders reached"))},
    {"a surplus cancel refused with Invalid ordStatus: E.b1, still true",
     "true cancelled dup | warn: E.b1 Failed to cancel",
     listing({stop("at", 9000.5), stop("dup", 9000.5)}),
     answer("Cancel_bulk.orders", http_error("Invalid ordStatus"))},
    {"a placement refused for the stop-order limit: E.f1, the pair's stops removed, no retry",
     "null placed 9000.5 pauses 0.01 cleanups 1 | critical: E.f1 MAx stops found", empty,
     max_stops},
    {"the same with a link identifier: E.e1",
     "null placed 9000.5 cleanups 1 | critical: E.e1 MAx stops found", empty, max_stops,
     request(9000.5, {{"CLID", "link"}})},
    {"a placement that timed out or ran out of retries: nothing logged, the listing decides",
     "true placed 9000.5 listings 3 pauses 0.01", found({stop("p", 9000.5)}),
     answer("QuorCalls.STOP_order", failure("Error", "Timed out"))},
    {"any other placement failure: E.f3 with its text",
     "null placed 9000.5 | warn: E.f3 Failed to place no such pair", empty,
     answer("QuorCalls.STOP_order", failure("ValueError", "no such pair"))},
    {"a placement answered with false: Failed to place !, false",
     "false placed 9000.5 | critical: Failed to place !", empty,
     answer("QuorCalls.STOP_order", returns(false))},
    {"a listing record the verification cannot read: F.1, false, no further pass",
     "false placed 9000.5 listings 3 | critical: Verification Failed F.1!",
     found({Json{{"ordType", "Stop"}, {"execInst", "ReduceOnly"}}}), unaccepted},
    {"a price that is no number fails before anything is sent",
     "null listings 0 failure ValueError", empty, none, Json{{"PAIR", "XBTUSD"}, {"Price", "abc"}}},
    {"a rounded price that is no number: Price Exception!, false, nothing sent",
     "false listings 0 | warn: Price Exception! | warn: Error =", empty,
     answer("QuorCalls.toNearest", returns("abc"))},
    {"stops of the scan that cannot be read are reported, the others sorted",
     "true amended near | warn: E.a3 Unhandled Error=",
     scan_then({stop("?", "x"), stop("near", 9050)}, {stop("near", 9000.5)})},
    {"above the mid price the stop buys: a stop below the price on that side is moved up",
     "null amended low", listing({stop("low", 9150, "LastPrice,ReduceOnly", "Buy")}),
     Json{{"RiskManager.get_portfolio", {returns({{"XBTUSD", {{"impactMidPrice", 9100}}}})}},
          {"QuorCalls.STOP_order", {accepted(9200)}}},
     request(9200)},
    {"price 0 removes the pair's stops",
     "true listings 0 cleanups 1 | log: \x1b[95m Stop_Loss.Module\x1b[0m Cleaning Stops", empty,
     none, request(0)},
    {"price 0 with CleanStops: nothing removed, the request goes on", "null placed 0 listings 5",
     empty, unaccepted, request(0, {{"CleanStops", true}})},
};

class StopRequests : public testing::TestWithParam<Row> {};

TEST_P(StopRequests, EachCaseEndsAsItsRowSays) {
  const Row& row = GetParam();
  Json records = Json::array();
  const Json transcript = run(row);
  const Json seen = observe(transcript["requests"].back(), records);
  const Json expected = expectation(row.expect);
  for (const auto& [key, value] : expected.items()) {
    if (key != "logged") {
      EXPECT_EQ(seen[key], value) << key;
    }
  }
  // Each line expected, in order, by its level and a part of its text; none unless expected.
  auto line = seen["logged"].begin();
  for (const std::string wanted : expected["logged"]) {
    const std::size_t colon = wanted.find(": ");
    line = std::find_if(line, seen["logged"].end(), [&](const std::string& logged) {
      return logged.starts_with(wanted.substr(0, colon)) &&
             logged.find(wanted.substr(colon + 2)) != std::string::npos;
    });
    EXPECT_NE(line, seen["logged"].end()) << "not logged " << wanted << " in " << seen["logged"];
    if (line != seen["logged"].end()) ++line;
  }
  EXPECT_TRUE(!expected["logged"].empty() || seen["logged"].empty()) << seen["logged"];
  for (const Json& record : records) {
    EXPECT_EQ(record["execInst"], "LastPrice,ReduceOnly");
    EXPECT_EQ(record["ordType"], "Stop");
  }
}
INSTANTIATE_TEST_SUITE_P(RequestSteps, StopRequests, testing::ValuesIn(kRows),
                         row_names(kRows, &Row::name));

// The side and size of a new stop, and the caller's text and link identifier on it: above the
// mid price it buys, at or below it sells; the size is the instrument's maximum order quantity
// less one, cut toward zero and down to whole lots.
struct SizeCase {
  const char* name;
  Json instrument;
  long long quantity;
  Json price = 9000.5;
  double mid = kMid;
  Json options = Json::object();
  Json kwargs = {{"Text", ""}};  // of the placement
  // When set: the instrument's answer to an earlier request of the same manager.
  Json earlier_instrument = nullptr;
};

const Json limit = {{"maxOrderQty", 1000}}, xbtusd = {{"maxOrderQty", 10000000}, {"lotSize", 100}};
const SizeCase kSizes[] = {
    {"at the mid price: sells", limit, -999, 9100, 9100},
    {"above the mid price: buys", limit, 999, 9200},
    {"a price as text, blanks around it", limit, -999, " 9000.5 "},
    {"whole lots of 100 below the limit", xbtusd, -9999900},
    {"a lot size as text", {{"maxOrderQty", 10000000}, {"lotSize", "100"}}, -9999900},
    {"a limit of whole lots less one", {{"maxOrderQty", 10001}, {"lotSize", 100}}, -10000},
    {"a fractional limit is cut, then whole lots",
     {{"maxOrderQty", 2500000.9}, {"lotSize", 1000}},
     -2499000},
    {"an unusable lot size", {{"maxOrderQty", 10000000}, {"lotSize", nullptr}}, -9999999},
    {"a negative lot size", {{"maxOrderQty", 10000000}, {"lotSize", -100}}, -9999999},
    {"no limit: the fallback", {{"lotSize", 100}}, -999999},
    {.name = "the caller's text and link identifier",
     .instrument = xbtusd,
     .quantity = -9999900,
     .options = {{"Text", "trail"}, {"CLID", "link"}},
     .kwargs = {{"clOrdLinkID", "link"}, {"Text", "trail"}}},
    {"a text of null is none", xbtusd, -9999900, 9000.5, kMid, {{"Text", nullptr}}},
    {"a number as text", xbtusd, -9999900, 9000.5, kMid, {{"Text", 5}}, {{"Text", "5"}}},
    {.name = "a failed look-up is asked again on the next request",
     .instrument = xbtusd,
     .quantity = -9999900,
     .earlier_instrument = failure("Error", "Max retries hit")},
    {.name = "a look-up without a limit is asked again on the next request",
     .instrument = xbtusd,
     .quantity = -9999900,
     .earlier_instrument = returns({{"lotSize", 100}})},
};

class NewStops : public testing::TestWithParam<SizeCase> {};

TEST_P(NewStops, TakeTheirSideSizeAndTextFromTheMarketAndTheCaller) {
  const SizeCase& c = GetParam();
  Json request = c.options;
  request.update({{"PAIR", "XBTUSD"}, {"Price", c.price}});
  std::vector<Json> requests = {request};
  Json instruments = {returns(c.instrument)};
  if (!c.earlier_instrument.is_null()) {
    requests.insert(requests.begin(), request);
    instruments.insert(instruments.begin(), c.earlier_instrument);
  }
  const Json transcript =
      run({.name = c.name,
           .expect = "",
           .answers = {{"Bitmex_Wrapper.instrument", instruments},
                       {"RiskManager.get_portfolio", {returns({{"impactMidPrice", c.mid}})}},
                       {"QuorCalls.STOP_order", {not_accepted()}}},
           .requests = requests});
  Json placement;
  for (const Json& event : transcript["requests"].back()["events"]) {
    if (event.value("call", "") == "QuorCalls.STOP_order") placement = event;
  }
  const double placed_at = c.price.is_number() ? c.price.get<double>() : 9000.5;
  EXPECT_EQ(placement["args"], Json::array({"XBTUSD", placed_at, c.quantity}));
  EXPECT_EQ(placement["kwargs"], c.kwargs);
}
INSTANTIATE_TEST_SUITE_P(RequestSteps, NewStops, testing::ValuesIn(kSizes),
                         row_names(kSizes, &SizeCase::name));

}  // namespace
