#include "Core/Modules/stop_request.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <set>

#include "Core/Modules/console.hpp"
#include "Core/Modules/constants.hpp"
#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"

namespace Modules::StopLoss {

using stoploss::field;
using stoploss::items;
using stoploss::RecordList;
using stoploss::text_contains;
using stoploss::to_float;
using stoploss::to_text;
using stoploss::Value;

namespace {

// Contract quantity used when the exchange cannot tell the pair's limit.
constexpr long long kFallbackContracts = 999999;

constexpr const char* kStopType = "Stop";
constexpr const char* kStopInstructions = "LastPrice,ReduceOnly";

bool is_text(const Value& value, std::string_view text) {
  return value.is_string() && value.get_ref<const std::string&>() == text;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// The exchange's message in the error body of an HTTP failure. Throws ValueError for a
// body that is not JSON, KeyError or TypeError for one without error.message.
const Value& exchange_message(const stoploss::HTTPError& failure, Value& errorObj) {
  try {
    errorObj = stoploss::parse_json(failure.response().body);
  } catch (const stoploss::ValueError& error) {
    throw stoploss::ValueError(std::string("error body is ") + error.what());
  }
  return field(field(errorObj, "error"), "message");
}

// The entry of `stops` that `choice` picks, or an empty record when none beats the start.
const Value& choose(const RecordList& stops, long long start,
                    bool (*better)(const Value&, const Value&)) {
  static const Value kEmptyRecord = Value::object();
  const Value* chosen = &kEmptyRecord;
  Value best = start;
  for (const Value& stop : stops) {
    const Value& price = field(stop, "stopPx");
    if (better(price, best)) {
      chosen = &stop;
      best = price;
    }
  }
  return *chosen;
}

// A price must be a finite number: a NaN or infinite stop price never goes to the exchange.
double finite_price(const Value& price) {
  const double number = to_float(price);
  if (!std::isfinite(number)) {
    throw stoploss::ValueError("price is not a finite number: " + to_text(number));
  }
  return number;
}

// The instrument's lot size, or 1 when it gives none that can be used.
long long lot_size(const Value& instrument) {
  try {
    return stoploss::to_int(field(instrument, "lotSize"));
  } catch (const std::exception&) {  // missing, null, not a number: whole contracts
    return 1;
  }
}

// The size of the pair's stops: the instrument's maximum order quantity less one, rounded
// down to a whole number of lots, since the exchange refuses any other quantity.
long long contracts_below_limit(const Value& instrument) {
  const long long limit = stoploss::to_int(field(instrument, "maxOrderQty"));
  // The size is negated for a sell stop: it must stay above the lowest integer.
  if (limit <= std::numeric_limits<long long>::min() + 1) {
    throw stoploss::ValueError("maxOrderQty out of range");
  }
  const long long below = limit - 1;
  const long long lot = lot_size(instrument);
  return lot > 1 && below > 0 ? below - below % lot : below;
}

}  // namespace

StopRequest::StopRequest(Aux& manager, const Bindings& bound, const std::string& PAIR,
                         const Value& Price, const CallOptions& options)
    : manager_(manager), bound_(bound), options_(options), PAIR(PAIR), Price(Price) {}

std::optional<bool> StopRequest::run() {
  if (const auto ending = take_request_price()) return ending->result;
  take_market_snapshot();
  scan_stops();
  if (Stop_OrdersHIT.size() == 1) {
    if (const auto ending = keep_placed_stop()) return ending->result;
    // The surplus met the stop-order limit and every stop of the pair was removed.
    if (const auto ending = place_stop()) return ending->result;
  } else {
    plan_amendments();
    if (const auto ending = submit_plan()) return ending->result;
    if (placement_gate_open()) {
      if (const auto ending = place_stop()) return ending->result;
    }
  }
  bound_.sleep->sleep(0.01);
  return verify();
}

// Rounds the price to the pair's step; removes the pair's stops when asked to.
std::optional<StopRequest::Ending> StopRequest::take_request_price() {
  // A text that holds null is no text, as it is to the host that passed it.
  TEXT = options_.Text && !options_.Text->is_null() ? to_text(*options_.Text) : std::string();

  const double price = finite_price(Price);
  const double step = to_float(bound_.bitmex->ReturnTicker(PAIR));
  REQPRICE = bound_.quor_calls->toNearest(price, step);

  if (options_.REPLACE) bound_.quor_calls->CLEAN_Stops(PAIR);

  try {
    wanted_price_ = finite_price(REQPRICE);
    if (wanted_price_ == 0 && !options_.CleanStops) {
      bound_.house_log->info_log(fmt::format("{0} Cleaning Stops ", MODULEPRINT), 1);
      bound_.quor_calls->CLEAN_Stops(PAIR);
      return Ending{true};
    }
  } catch (const std::exception& failure) {
    bound_.house_log->info_warn(fmt::format("{0} Price Exception!  not Float ?", MODULEPRINT), 1);
    bound_.house_log->info_warn(fmt::format("Error = {0}", failure.what()), std::nullopt);
    return Ending{false};
  }
  return std::nullopt;
}

// Learns the pair's contract quantity (once per pair) and the mid price, and from them the
// stop's side and signed quantity.
void StopRequest::take_market_snapshot() {
  Instrument = bound_.risk_manager->get_portfolio(PAIR);

  auto& contracts = manager_.SLCONTRACTS_List;
  const auto known = contracts.find(PAIR);
  if (known == contracts.end()) {
    contracts_ = contracts.emplace(PAIR, kFallbackContracts).first->second;
  } else if (known->second > 0) {
    contracts_ = known->second;
  } else {
    try {
      contracts_ = known->second = contracts_below_limit(bound_.bitmex->instrument(PAIR));
    } catch (const std::exception&) {
      // This request only: the entry stays unknown, so the next request asks again rather
      // than keep a size the exchange may refuse (not a whole number of lots) for good.
      contracts_ = kFallbackContracts;
    }
  }

  orders = bound_.quor_calls->open_orders(PAIR, std::nullopt);

  try {
    Midprice = to_float(field(Instrument, "impactMidPrice"));
  } catch (const stoploss::KeyError&) {
    Midprice = to_float(field(field(Instrument, PAIR), "impactMidPrice"));
  }

  if (wanted_price_ > Midprice) {
    SIDE = "Buy";
    Quantity = contracts_;
  } else {
    SIDE = "Sell";
    Quantity = -contracts_;
  }
}

// Sorts the pair's matching stops into the one at the wanted price, candidates to move
// beyond it and surplus ones to cancel.
void StopRequest::scan_stops() {
  orders = bound_.quor_calls->open_orders(PAIR, std::nullopt);
  std::set<Value> listed;  // orderIDs sorted so far
  for (const Value& order : items(orders)) {
    if (!is_matching_stop(order)) continue;
    // A listing that names one order twice must not make the second copy surplus of the
    // first: cancelling it would cancel the stop kept.
    const auto id = order.find("orderID");
    if (id != order.end() && !listed.insert(*id).second) continue;
    try {
      sort_matching_stop(order);
    } catch (const stoploss::KeyError&) {
      warn("{0} E.a1 Failed to delete STOP - KeyError RAW = {1}", to_text(order).c_str());
    } catch (const stoploss::TypeError&) {
      warn("{0} E.a2 Failed to delete STOP - TypeError RAW = {1}", to_text(order).c_str());
    } catch (const std::exception& failure) {
      warn("{0} E.a3 Unhandled Error={1} , trying to continue..", failure.what());
    }
  }
}

// A stop of the pair, of the stop's size (either sign), with a stop price, on the stop's side.
bool StopRequest::is_matching_stop(const Value& order) const {
  if (!text_contains(field(order, "ordType"), kStopType)) return false;
  if (!text_contains(field(order, "symbol"), PAIR)) return false;
  const Value& quantity = field(order, "orderQty");
  if (!stoploss::equal(quantity, Value(contracts_)) &&
      !stoploss::equal(quantity, Value(-contracts_))) {
    return false;
  }
  if (field(order, "stopPx").is_null()) return false;
  return is_text(field(order, "side"), SIDE);
}

void StopRequest::sort_matching_stop(const Value& order) {
  const double price = to_float(field(order, "stopPx"));
  if (price == wanted_price_) {
    if (Stop_OrdersHIT.empty()) {
      Stop_OrdersHIT.push_back(&order);
    } else {
      to_cancel.push_back(stop_record(order));
    }
  }
  // Beyond the wanted price a stop is a candidate to move, unless more than three stops are
  // held already: then the outermost candidate is surplus.
  if (SIDE == "Buy") {
    if (price > wanted_price_) {
      if (Stop_OrdersHIT.size() + FoundBuy_stops.size() > 3) {
        to_cancel.push_back(stop_record(choose(FoundBuy_stops, 0, stoploss::greater)));
      } else {
        FoundBuy_stops.push_back(stop_record(order));
      }
    } else if (price < wanted_price_) {
      to_cancel.push_back(stop_record(order));
    }
  }
  if (SIDE == "Sell") {
    if (price < wanted_price_) {
      if (Stop_OrdersHIT.size() + FoundSell_Stops.size() > 3) {
        to_cancel.push_back(stop_record(choose(FoundSell_Stops, 999999999, stoploss::less)));
      } else {
        FoundSell_Stops.push_back(stop_record(order));
      }
    } else if (price > wanted_price_) {
      to_cancel.push_back(stop_record(order));
    }
  }
}

// The stop already stands at the wanted price: cancels the surplus and ends the request.
// Continues (to a new placement) only when the surplus met the stop-order limit and the
// pair's stops were removed.
std::optional<StopRequest::Ending> StopRequest::keep_placed_stop() {
  if (!to_cancel.empty()) {
    const auto outcome = cancel_in_bulk({"{0} E.b1 Failed to cancel ; Error={1}",
                                         "{0} E.b2 Failed to cancel ; Error={1}",
                                         "{0} E.b3 Failed to cancel ; Error={1}", nullptr});
    if (outcome == BulkOutcome::kStopsRemoved) return std::nullopt;
    if (outcome == BulkOutcome::kSent && to_cancel.empty()) {
      manager_.StopOrderclOrdID_Cache = "none";
      return Ending{true};
    }
  }
  if (options_.Verification) {
    bound_.house_log->info_log(
        fmt::format("{0} Placed for {1} @ {2} {3}", MODULEPRINT, PAIR, to_text(REQPRICE), POK), 1);
    return Ending{true};
  }
  if (!stoploss::equal(manager_.LastSTOPRICE, REQPRICE)) manager_.LastSTOPRICE = REQPRICE;
  manager_.StopOrderclOrdID_Cache = "none";
  return Ending{true};
}

// Chooses the stops to move to the wanted price (the outermost candidate, or the outermost
// surplus stop) and, once one is chosen, moves the surplus too.
void StopRequest::plan_amendments() {
  if (FoundBuy_stops.empty() && to_cancel.empty() && FoundSell_Stops.empty()) return;
  const Choice highest{0, stoploss::greater};
  const Choice lowest{999999999999, stoploss::less};
  if (SIDE == "Buy") {
    if (FoundBuy_stops.size() > 2) {
      plan_amendment("S3: Stop=order", FoundBuy_stops, highest);
    } else if (!to_cancel.empty()) {
      plan_amendment("S4: Stop=order", to_cancel, highest);
    }
  }
  if (SIDE == "Sell") {
    if (FoundSell_Stops.size() > 2) {
      plan_amendment("S5: Stop=order", FoundSell_Stops, lowest);
    } else if (!to_cancel.empty()) {
      plan_amendment("S6: Stop=order", to_cancel, lowest);
    }
  }
  if (!to_amend.empty()) {
    for (const Value& stop : to_cancel) to_amend.push_back(amend_record(stop));
  }
}

// Plans the amendment of the stop `choice` picks from `stops`. The order it moves is no
// longer cancelled, however often the scan listed it as surplus.
void StopRequest::plan_amendment(const char* block, const RecordList& stops, const Choice& choice) {
  try {
    const Value& chosen = choose(stops, choice.start, choice.better);
    to_amend.push_back(amend_record(chosen));
    const Value moved = field(chosen, "orderID");  // `chosen` may be an entry of to_cancel
    std::erase_if(to_cancel, [&moved](const Value& stop) {
      const auto id = stop.find("orderID");
      return id != stop.end() && *id == moved;
    });
  } catch (const std::exception& failure) {
    console(MODULEPRINT, block, failure.what());
  }
}

// Sends the planned amendments, then the cancellations, each in one bulk call.
std::optional<StopRequest::Ending> StopRequest::submit_plan() {
  bool amended = false;
  if (!to_amend.empty()) {
    if (DEBUG) console("Amend hit !");
    try {
      bound_.amend_bulk->orders(PAIR, to_amend);
      amended = true;
    } catch (const std::exception& failure) {
      handle_bulk_failure(failure, {"{0} E.c1 Failed to amend {1}", "{0} E.c2 Failed to amend {1}",
                                    "{0} E.c3 Failed to amend {1}", "Amend Error"});
    }
  }
  if (!to_cancel.empty()) {
    const auto outcome =
        cancel_in_bulk({"{0} E.d1 Failed to cancel {1}", "{0} E.d2 Failed to cancel {1}",
                        "{0} E.d3 Failed to cancel {1}", nullptr});
    // Done only when a stop was moved to the price and the rest is gone.
    if (outcome == BulkOutcome::kSent && amended && to_cancel.empty()) {
      manager_.StopOrderclOrdID_Cache = "none";
      return Ending{true};
    }
  }
  return std::nullopt;
}

// Sends to_cancel in one bulk call; the collaborator may remove what it cancelled.
StopRequest::BulkOutcome StopRequest::cancel_in_bulk(const BulkFailureTexts& texts) {
  if (DEBUG) console("Cancel hit !");
  try {
    bound_.cancel_bulk->orders(PAIR, to_cancel, true);
    return BulkOutcome::kSent;
  } catch (const std::exception& failure) {
    return handle_bulk_failure(failure, texts);
  }
}

// A new stop is placed when nothing is to be moved and at most two candidates stand.
bool StopRequest::placement_gate_open() const {
  const std::size_t held = FoundBuy_stops.size() + Stop_OrdersHIT.size() + FoundSell_Stops.size();
  return held <= 2 && to_amend.empty();
}

// Places one new stop; an accepted placement ends the request at once.
std::optional<StopRequest::Ending> StopRequest::place_stop() {
  bool refused = false;
  try {
    const Value placed = bound_.quor_calls->STOP_order(
        PAIR, REQPRICE, Quantity, {.clOrdLinkID = options_.CLID, .Text = TEXT});
    refused = !options_.CLID && placed.is_boolean() && !placed.get<bool>();
    if (!refused && to_text(field(placed, "ordStatus")) == "new" &&
        to_float(field(placed, "stopPx")) == wanted_price_ &&
        stoploss::equal(field(placed, "orderQty"), Value(Quantity))) {
      manager_.StopOrderclOrdID_Cache = to_text(field(placed, "clOrdID"));
      return Ending{true};
    }
  } catch (const std::exception& failure) {
    handle_placement_failure(failure);
  }
  if (refused) {
    bound_.house_log->info_critical(fmt::format("{0} Failed to place !", MODULEPRINT), 1);
    return Ending{false};
  }
  return std::nullopt;
}

// A transport that gave up is passed over: verification looks for the stop anyway. The
// stop-order limit removes the pair's stops. The two placements test in different orders.
void StopRequest::handle_placement_failure(const std::exception& failure) {
  const std::string_view text = failure.what();
  const bool max_retries = contains(text, stoploss::kMaxRetriesHit);
  const bool timed_out = contains(text, stoploss::kTimedOut);
  const bool max_stops = contains(text, stoploss::kMaxStopOrders);
  const auto clean_up = [this](const char* message_template) {
    bound_.house_log->info_critical(fmt::format(fmt::runtime(message_template), MODULEPRINT), 1);
    bound_.quor_calls->CLEAN_Stops(PAIR);
  };
  if (options_.CLID) {
    if (max_retries) return;
    if (max_stops) return clean_up("{0} E.e1 MAx stops found - canceling and retrying ");
    if (timed_out) return;
    return warn("{0} E.e3 Failed to place {1}", failure.what());
  }
  if (max_retries || timed_out) return;
  if (max_stops) return clean_up("{0} E.f1 MAx stops found - canceling and retrying ");
  warn("{0} E.f3 Failed to place {1}", failure.what());
}

// Watches the open-order listing until a reduce-only stop shows at the wanted price: 3
// passes ending with nothing, or 30 passes ending with false in verification mode.
std::optional<bool> StopRequest::verify() {
  int RTRY = 3;
  if (options_.Verification) {
    RTRY = 30;
    if (DEBUG) console(MODULEPRINT, "Entering Verification Cycle");
  }
  while (RTRY > 0) {
    --RTRY;
    if (!bound_.bitmex->WS_Status()) bound_.sleep->sleep(0.2);
    orders = bound_.quor_calls->open_orders(PAIR, std::nullopt);
    if (RTRY == 20) orders = bound_.quor_calls->open_orders(PAIR, true);
    try {
      if (listing_shows_stop()) return true;
    } catch (const std::exception& failure) {
      bound_.house_log->info_critical(
          fmt::format("{0} Verification Failed F.1! {1}", MODULEPRINT, failure.what()), 1);
      return false;
    }
    if (RTRY == 0 && options_.Verification) {
      bound_.house_log->info_critical(
          fmt::format("{0} Verification Failed F.2! Max retry", MODULEPRINT), 1);
      return false;
    }
  }
  return std::nullopt;
}

// One pass over the listing; pauses briefly at each reduce-only stop at another price.
bool StopRequest::listing_shows_stop() {
  for (const Value& ORD : items(orders)) {
    if (DEBUG) console(ORD);
    if (!text_contains(field(ORD, "ordType"), kStopType) ||
        !text_contains(field(ORD, "execInst"), "ReduceOnly")) {
      continue;
    }
    if (DEBUG) console(MODULEPRINT, ORD);
    if (wanted_price_ == to_float(field(ORD, "stopPx"))) {
      if (options_.Verification) {
        bound_.house_log->info_log(
            fmt::format("{0} Placed for {1} @ {2} {3}", MODULEPRINT, PAIR, to_text(REQPRICE), POK),
            1);
      }
      return true;
    }
    if (DEBUG) {
      console(MODULEPRINT, "Missmatched order ", ORD);
      console("Looking for PAIR=", PAIR, "Price=", REQPRICE);
    }
    bound_.sleep->sleep(0.02);
  }
  return false;
}

// Classifies a failed bulk call and reports it. The pair's stops are removed when the
// exchange refused for the stop-order limit. A failure while classifying (an error body
// that is not JSON, a failing log) reaches the caller.
StopRequest::BulkOutcome StopRequest::handle_bulk_failure(const std::exception& failure,
                                                          const BulkFailureTexts& texts) {
  const auto* http = dynamic_cast<const stoploss::HTTPError*>(&failure);
  if (http == nullptr) {
    warn(texts.other, failure.what());
    return BulkOutcome::kFailed;
  }
  Value errorObj;
  if (is_text(exchange_message(*http, errorObj), "Invalid ordStatus")) {
    if (texts.console_line) console(texts.console_line);
    warn(texts.invalid_status, failure.what());
    return BulkOutcome::kFailed;
  }
  if (contains(failure.what(), stoploss::kMaxStopOrders)) {
    bound_.quor_calls->CLEAN_Stops(PAIR);
    return BulkOutcome::kStopsRemoved;
  }
  warn(texts.other_http, failure.what());
  return BulkOutcome::kFailed;
}

Value StopRequest::stop_record(const Value& source) const {
  const Value& orderID = field(source, "orderID");
  return order_record(orderID, field(source, "stopPx"), field(source, "orderQty"));
}

Value StopRequest::amend_record(const Value& source) const {
  return order_record(field(source, "orderID"), wanted_price_, static_cast<double>(Quantity));
}

// Built field by field: a braced list of pairs would build and copy a list for every field.
Value StopRequest::order_record(const Value& orderID, Value stopPx, Value orderQty) const {
  Value record(Value::value_t::object);
  record.emplace("orderID", orderID);
  record.emplace("stopPx", std::move(stopPx));
  record.emplace("orderQty", std::move(orderQty));
  record.emplace("side", SIDE);
  record.emplace("ordType", kStopType);
  record.emplace("execInst", kStopInstructions);
  return record;
}

void StopRequest::warn(const char* message_template, const char* failure_text) {
  bound_.house_log->info_warn(
      fmt::format(fmt::runtime(message_template), MODULEPRINT, failure_text), 1);
}

}  // namespace Modules::StopLoss
