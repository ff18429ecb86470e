// A stop request as the caller, the log and the exchange see it: one row per case, with the
// listings the exchange answers, the request, and what must come of it (the result, the stops
// placed, the orders amended and cancelled, the log lines, the listings and pauses made, the
// manager's state). Every amendment and cancellation must carry the reduce-only instruction.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "replay/replay.hpp"

namespace {

using replay::Json;

constexpr double kMid = 9100;  // a stop below it sells: Quantity -999 (maxOrderQty 1000 less one)

Json stop(const std::string& id, const Json& price,
          const std::string& execInst = "LastPrice,ReduceOnly") {
  return {{"orderID", id},     {"clOrdID", ""},        {"symbol", "XBTUSD"},
          {"side", "Sell"},    {"orderQty", -999},     {"stopPx", price},
          {"ordType", "Stop"}, {"execInst", execInst}, {"ordStatus", "New"}};
}
Json buy_stop(const std::string& id, double price) {
  Json order = stop(id, price);
  order["side"] = "Buy";
  order["orderQty"] = 999;
  return order;
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

struct Expect {
  Json result;
  std::vector<double> placed{};          // stop prices of the placements
  std::vector<std::string> amended{};    // orderIDs of the amend records, in order
  std::vector<std::string> cancelled{};  // orderIDs handed to the bulk cancel, in order
  std::vector<std::string> logged{};     // "level: part of the text", in order
  int listings = -1;                     // open_orders calls (forced ones included); -1: any
  std::vector<double> pauses{};
  int cleanups = 0;                      // CLEAN_Stops calls: every stop of the pair removed
  std::optional<std::string> cache{};    // StopOrderclOrdID_Cache afterwards
  std::optional<std::string> failure{};  // the kind of failure that reached the caller
};

Json request(double price, Json options = Json::object()) {
  options["PAIR"] = "XBTUSD";
  options["Price"] = price;
  return options;
}

// The listings of a request that moves stops: `book` for the snapshot and the scan, then
// `after` for every pass of the verification.
std::vector<Json> scan_then(const std::vector<Json>& book, const std::vector<Json>& after) {
  return {Json(book), Json(book), Json(after)};
}

struct Row {
  const char* name;
  std::vector<Json> listings;  // open_orders answers in turn; the last repeats
  Json answers;                // further scripted answers, by operation
  Expect expect;
  std::vector<Json> requests = {request(9000.5)};  // the last one is examined
};

replay::Json run(const Row& row) {
  Json answers = {{"Bitmex_Wrapper.ReturnTicker", {returns(0.5)}},
                  {"Bitmex_Wrapper.instrument", {returns({{"maxOrderQty", 1000}})}},
                  {"RiskManager.get_portfolio", {returns({{"impactMidPrice", kMid}})}},
                  {"QuorCalls.STOP_order", {accepted(9000.5)}}};
  for (const Json& listing : row.listings)
    answers["QuorCalls.open_orders"].push_back(returns(listing));
  if (row.answers.is_object()) answers.update(row.answers);
  return replay::run(replay::parse_scenario(
      {{"PairLIST", {"XBTUSD"}}, {"answers", answers}, {"requests", row.requests}}));
}

// What the examined request did, read from its events.
struct Observed {
  std::vector<double> placed, pauses;
  std::vector<std::string> amended, cancelled, logged;
  int listings = 0, cleanups = 0;
  std::vector<Json> records;  // every amend and cancel record sent
};

Observed observe(const Json& events) {
  Observed seen;
  for (const Json& event : events) {
    const std::string call = event.value("call", "");
    const Json& args = event.contains("args") ? event["args"] : Json::array();
    if (call == "QuorCalls.STOP_order") seen.placed.push_back(args[1]);
    if (call == "QuorCalls.open_orders") ++seen.listings;
    if (call == "QuorCalls.CLEAN_Stops") ++seen.cleanups;
    if (call == "sleep") seen.pauses.push_back(args[0]);
    if (call == "Amend_bulk.orders" || call == "Cancel_bulk.orders") {
      for (const Json& record : args[1]) {
        (call == "Amend_bulk.orders" ? seen.amended : seen.cancelled).push_back(record["orderID"]);
        seen.records.push_back(record);
      }
    }
    if (call.starts_with("HouseLog.info_")) {
      const std::string level = call.substr(std::string("HouseLog.info_").size());
      seen.logged.push_back(level + ": " + args[0].get<std::string>());
    }
  }
  return seen;
}

const Json kEmpty = Json::array();

TEST(RequestSteps, EachCaseEndsAsItsRowSays) {
  const std::vector<Row> rows = {
      {"a new stop is placed, accepted at once",
       {kEmpty},
       {},
       {.result = true, .placed = {9000.5}, .listings = 2, .cache = "new-1"}},
      {"a placement not accepted: the pause, then the stop seen on the first pass",
       {kEmpty, kEmpty, Json::array({stop("p", 9000.5)})},
       {{"QuorCalls.STOP_order", {not_accepted()}}},
       {.result = true, .placed = {9000.5}, .listings = 3, .pauses = {0.01}}},
      {"never seen in verification mode: thirty passes and a forced listing, then F.2",
       {kEmpty},
       {{"QuorCalls.STOP_order", {not_accepted()}}},
       {.result = false,
        .placed = {9000.5},
        .logged = {"critical: Verification Failed F.2! Max retry"},
        .listings = 33},
       {request(9000.5, {{"Verification", true}})}},
      {"never seen, a stop without the reduce-only instruction being no stop: three passes in "
       "check mode, then nothing",
       {kEmpty, kEmpty, Json::array({stop("p", 9000.5, "LastPrice")})},
       {{"QuorCalls.STOP_order", {not_accepted()}}},
       {.result = nullptr, .placed = {9000.5}, .listings = 5, .pauses = {0.01}}},
      {"REPLACE: the pair's stops removed first, then a stop placed",
       {kEmpty},
       {},
       {.result = true, .placed = {9000.5}, .listings = 2, .cleanups = 1},
       {request(9000.5, {{"REPLACE", true}})}},
      {"verification mode: the stop seen is reported; the feed down: a pause before each pass",
       {kEmpty, kEmpty, Json::array({stop("p", 9000.5)})},
       {{"QuorCalls.STOP_order", {not_accepted()}}, {"Bitmex_Wrapper.WS_Status", {returns(false)}}},
       {.result = true,
        .placed = {9000.5},
        .logged = {"log: Placed for XBTUSD @ 9000.5"},
        .listings = 3,
        .pauses = {0.01, 0.2}},
       {request(9000.5, {{"Verification", true}})}},
      {"already placed: nothing sent, the price recorded",
       {Json::array({stop("at", 9000.5)})},
       {},
       {.result = true, .listings = 2, .cache = "none"}},
      {"a surplus at the price is cancelled; the list emptied resets the cached id",
       {kEmpty, kEmpty, Json::array({stop("at", 9000.5), stop("dup", 9000.5)})},
       {{"Cancel_bulk.orders", {{{"return", nullptr}, {"remove", true}}}}},
       {.result = true, .cancelled = {"dup"}, .listings = 2, .cache = "none"},
       {request(9000.5), request(9000.5)}},
      {"a listing naming the stop at the price twice: kept, nothing cancelled",
       {Json::array({stop("at", 9000.5), stop("at", 9000.5)})},
       {},
       {.result = true, .listings = 2}},
      {"a listing naming a candidate twice: it counts once, the surplus alone goes",
       scan_then({stop("near", 9050), stop("near", 9050), stop("dup", 9060)},
                 {stop("near", 9000.5)}),
       {},
       {.result = true, .amended = {"near", "dup"}, .cancelled = {"dup"}, .listings = 3}},
      {"a stop between the price and the market is moved to it, not cancelled",
       scan_then({stop("near", 9050)}, {stop("near", 9000.5)}),
       {},
       {.result = true, .amended = {"near"}, .listings = 3, .pauses = {0.01}}},
      {"of stops on the market side the lowest is moved, the others amended then cancelled",
       scan_then({stop("a", 9080), stop("b", 9020), stop("c", 9050)}, {stop("b", 9000.5)}),
       {},
       {.result = true, .amended = {"b", "a", "c"}, .cancelled = {"a", "c"}, .listings = 3}},
      {"one or two stops beyond the price stay as candidates: a new stop is placed",
       {Json::array({stop("far1", 8900), stop("far2", 8950)})},
       {},
       {.result = true, .placed = {9000.5}, .listings = 2}},
      {"three stops beyond the price: the farthest is moved",
       scan_then({stop("f1", 8900), stop("f2", 8950), stop("f3", 8800)}, {stop("f3", 9000.5)}),
       {},
       {.result = true, .amended = {"f3"}, .listings = 3}},
      {"an amendment refused with Invalid ordStatus: E.c1, and no placement",
       scan_then({stop("near", 9050)}, {}),
       {{"Amend_bulk.orders", {http_error("Invalid ordStatus")}}},
       {.result = nullptr,
        .amended = {"near"},
        .logged = {"warn: E.c1 Failed to amend"},
        .listings = 5}},
      {"an amendment refused otherwise: E.c2",
       scan_then({stop("near", 9050)}, {}),
       {{"Amend_bulk.orders", {http_error("Invalid price")}}},
       {.result = nullptr, .amended = {"near"}, .logged = {"warn: E.c2 Failed to amend"}}},
      {"a surplus cancel refused with Invalid ordStatus: E.b1, still true",
       {Json::array({stop("at", 9000.5), stop("dup", 9000.5)})},
       {{"Cancel_bulk.orders", {http_error("Invalid ordStatus")}}},
       {.result = true, .cancelled = {"dup"}, .logged = {"warn: E.b1 Failed to cancel"}}},
      {"a placement refused for the stop-order limit: E.f1, the pair's stops removed, no retry",
       {kEmpty},
       {{"QuorCalls.STOP_order", {failure("HTTPError", "Max Stop orders exceeded")}}},
       {.result = nullptr,
        .placed = {9000.5},
        .logged = {"critical: E.f1 MAx stops found"},
        .pauses = {0.01},
        .cleanups = 1}},
      {"the same with a link identifier: E.e1",
       {kEmpty},
       {{"QuorCalls.STOP_order", {failure("HTTPError", "Max Stop orders exceeded")}}},
       {.result = nullptr,
        .placed = {9000.5},
        .logged = {"critical: E.e1 MAx stops found"},
        .cleanups = 1},
       {request(9000.5, {{"CLID", "link"}})}},
      {"a placement that timed out or ran out of retries: nothing logged, the listing decides",
       {kEmpty, kEmpty, Json::array({stop("p", 9000.5)})},
       {{"QuorCalls.STOP_order", {failure("Error", "Timed out")}}},
       {.result = true, .placed = {9000.5}, .listings = 3, .pauses = {0.01}}},
      {"any other placement failure: E.f3 with its text",
       {kEmpty},
       {{"QuorCalls.STOP_order", {failure("ValueError", "no such pair")}}},
       {.result = nullptr,
        .placed = {9000.5},
        .logged = {"warn: E.f3 Failed to place no such pair"}}},
      {"a placement answered with false: Failed to place !, false",
       {kEmpty},
       {{"QuorCalls.STOP_order", {returns(false)}}},
       {.result = false, .placed = {9000.5}, .logged = {"critical: Failed to place !"}}},
      {"a listing record the verification cannot read: F.1, false, no further pass",
       {kEmpty, kEmpty, Json::array({Json{{"ordType", "Stop"}, {"execInst", "ReduceOnly"}}})},
       {{"QuorCalls.STOP_order", {not_accepted()}}},
       {.result = false,
        .placed = {9000.5},
        .logged = {"critical: Verification Failed F.1!"},
        .listings = 3}},
      {"a price that is no number fails before anything is sent",
       {kEmpty},
       {},
       {.result = nullptr, .listings = 0, .failure = "ValueError"},
       {Json{{"PAIR", "XBTUSD"}, {"Price", "abc"}}}},
      {"a rounded price that is no number: Price Exception!, false, nothing sent",
       {kEmpty},
       {{"QuorCalls.toNearest", {returns("abc")}}},
       {.result = false, .logged = {"warn: Price Exception!", "warn: Error = "}, .listings = 0}},
      {"stops of the scan that cannot be read are reported, the others sorted",
       scan_then({stop("?", "x"), stop("near", 9050)}, {stop("near", 9000.5)}),
       {},
       {.result = true, .amended = {"near"}, .logged = {"warn: E.a3 Unhandled Error="}}},
      {"above the mid price the stop buys: a stop below the price on that side is moved up",
       {Json::array({buy_stop("low", 9150)})},
       {{"RiskManager.get_portfolio", {returns({{"XBTUSD", {{"impactMidPrice", 9100}}}})}},
        {"QuorCalls.STOP_order", {accepted(9200)}}},
       {.result = nullptr, .amended = {"low"}},
       {request(9200)}},
      {"price 0 removes the pair's stops",
       {kEmpty},
       {},
       {.result = true,
        .logged = {"log: \x1b[95m Stop_Loss.Module\x1b[0m Cleaning Stops "},
        .listings = 0,
        .cleanups = 1},
       {request(0)}},
      {"price 0 with CleanStops: nothing removed, the request goes on",
       {kEmpty},
       {{"QuorCalls.STOP_order", {not_accepted()}}},
       {.result = nullptr, .placed = {0}, .listings = 5},
       {request(0, {{"CleanStops", true}})}},
  };
  for (const Row& row : rows) {
    const Json transcript = run(row);
    const Json& last = transcript["requests"].back();
    const Observed seen = observe(last["events"]);
    const Expect& expect = row.expect;
    EXPECT_EQ(last["result"], expect.result) << row.name << ": " << last.value("failure", Json());
    EXPECT_EQ(seen.placed, expect.placed) << row.name;
    EXPECT_EQ(seen.amended, expect.amended) << row.name;
    EXPECT_EQ(seen.cancelled, expect.cancelled) << row.name;
    EXPECT_EQ(seen.cleanups, expect.cleanups) << row.name;
    std::vector<std::string> missing;
    std::size_t from = 0;
    for (const std::string& wanted : expect.logged) {
      const std::string level = wanted.substr(0, wanted.find(": "));
      const std::string text = wanted.substr(wanted.find(": ") + 2);
      bool found = false;
      for (; from < seen.logged.size() && !found; ++from) {
        found = seen.logged[from].starts_with(level) &&
                seen.logged[from].find(text) != std::string::npos;
      }
      if (!found) missing.push_back(wanted);
    }
    EXPECT_TRUE(missing.empty()) << row.name << ": not logged " << Json(missing) << " in "
                                 << Json(seen.logged);
    if (expect.logged.empty()) {
      EXPECT_EQ(seen.logged, std::vector<std::string>{}) << row.name;
    }
    if (expect.listings >= 0) {
      EXPECT_EQ(seen.listings, expect.listings) << row.name;
    }
    if (!expect.pauses.empty()) {
      EXPECT_EQ(seen.pauses, expect.pauses) << row.name;
    }
    if (expect.failure) {
      EXPECT_EQ(last["failure"]["kind"], *expect.failure) << row.name;
    }
    if (expect.cache) {
      EXPECT_EQ(last["state"]["StopOrderclOrdID_Cache"], *expect.cache) << row.name;
    }
    for (const Json& record : seen.records) {
      EXPECT_EQ(record["execInst"], "LastPrice,ReduceOnly") << row.name;
      EXPECT_EQ(record["ordType"], "Stop") << row.name;
    }
  }
}

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

TEST(RequestSteps, NewStopsTakeTheirSideSizeAndTextFromTheMarketAndTheCaller) {
  const Json limit = {{"maxOrderQty", 1000}},
             xbtusd = {{"maxOrderQty", 10000000}, {"lotSize", 100}};
  const std::vector<SizeCase> cases = {
      {"below the mid price: sells", limit, -999},
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
  for (const SizeCase& c : cases) {
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
             .listings = {kEmpty},
             .answers = {{"Bitmex_Wrapper.instrument", instruments},
                         {"RiskManager.get_portfolio", {returns({{"impactMidPrice", c.mid}})}},
                         {"QuorCalls.STOP_order", {not_accepted()}}},
             .requests = requests});
    Json placement;
    for (const Json& event : transcript["requests"].back()["events"]) {
      if (event.value("call", "") == "QuorCalls.STOP_order") placement = event;
    }
    const double placed_at = c.price.is_number() ? c.price.get<double>() : 9000.5;
    EXPECT_EQ(placement["args"], Json::array({"XBTUSD", placed_at, c.quantity})) << c.name;
    EXPECT_EQ(placement["kwargs"], c.kwargs) << c.name;
  }
}

}  // namespace
