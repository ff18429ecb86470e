// The market of SimExchange: prices that trigger and fill orders, and the positions the fills
// open and close.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/execution_record.hpp"
#include "embedded_exchange/engine/order_rules.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {
namespace {

using stoploss::Value;

bool triggered(const Value& order) { return order.value("triggered", Value("")) != ""; }

// Whether a limit order at `limit` trades with the last price at `price`.
bool reaches(const OrderTerms& terms, double limit, double price) {
  return terms.side == "Buy" ? limit >= price : limit <= price;
}

long long whole(const Value& order, const char* key) {
  const auto found = order.find(key);
  return found != order.end() && found->is_number() ? std::llround(found->get<double>()) : 0;
}

}  // namespace

void SimExchange::set_price(std::string_view symbol, double price) {
  cancel_when_due();
  const auto found = instruments_.find(symbol);
  if (found == instruments_.end()) {
    refuse("Instrument not listed", 404);
  }
  SimInstrument& listed = found->second;
  const Value quoted = observer_ ? instrument_record(listed, clock_.timestamp()) : Value();
  const Value held = position_row(symbol);
  print(listed, price >= listed.lastPrice ? "Buy" : "Sell", listed.lotSize, price);
  listed.lastPrice = price;
  listed.impactMidPrice = price;
  if (listed.markPrice > 0) listed.markPrice = price;
  if (observer_) report("quote", Value(), quote_record(listed, clock_.timestamp()));
  report("instrument", quoted, instrument_record(listed, clock_.timestamp()));
  if (!held.is_null()) report("position", held, position_row(symbol));  // marked to market
  for (Value& order : book_) {
    const auto of = order.find("symbol");
    if (of == order.end() || *of != symbol || !is_open(order)) continue;
    const Value before = watch(order);
    follow_price(order, listed, price);
    report("order", before, order);
  }
  drop_old_closed();
}

void SimExchange::follow_price(Value& order, const SimInstrument& listed, double price) {
  const OrderTerms terms = terms_of(order);
  if (waits_for_trigger(terms.ordType) && !triggered(order)) {
    if (!sim::triggers(terms, trigger_price(listed, terms.execInst))) return;
    order["triggered"] = "StopOrderTriggered";
    ++triggers_;
    if (!terms.price || reaches(terms, *terms.price, price)) {
      fill(order, price);
    } else {
      order["workingIndicator"] = true;
      order["timestamp"] = clock_.timestamp();
    }
  } else if (terms.price && reaches(terms, *terms.price, price) &&
             (terms.ordType == "Limit" || triggered(order))) {
    fill(order, *terms.price, true);  // no depth: a resting limit trades at its price once crossed
  }
}

void SimExchange::fill(Value& order, double price, bool maker) {
  const OrderTerms terms = terms_of(order);
  const std::string symbol = order.value("symbol", std::string());
  SimInstrument& contract = instruments_.at(symbol);
  const Value position_before = position_row(symbol);  // null: a new position, inserted
  Position& held = positions_.try_emplace(symbol, Position{.symbol = symbol}).first->second;
  const long long done = whole(order, "cumQty");
  long long quantity = std::llabs(order.contains("leavesQty") ? whole(order, "leavesQty")
                                                              : whole(order, "orderQty") - done);
  const bool buy = terms.side == "Buy";
  if (names(terms.execInst, "ReduceOnly") || names(terms.execInst, "Close")) {
    if (held.currentQty == 0 || (held.currentQty > 0) == buy) {
      close(order, "Canceled",
            nothing_to_reduce(terms.side, held.currentQty, order.value("text", std::string())));
      report("position", position_before, position_row(symbol));  // listed from now on, flat
      return;
    }
    quantity = std::min(quantity, std::llabs(held.currentQty));
    order["orderQty"] = done + quantity;  // amended down to the position
  }
  held.fill(contract, buy ? quantity : -quantity, price);
  report("position", position_before, position_row(symbol));
  const Value quoted = observer_ ? instrument_record(contract, clock_.timestamp()) : Value();
  contract.openInterest = std::llabs(held.currentQty);
  report("instrument", quoted, instrument_record(contract, clock_.timestamp()));
  const std::string now = clock_.timestamp();
  order["ordStatus"] = "Filled";
  order["cumQty"] = done + quantity;
  order["leavesQty"] = 0;
  order["avgPx"] = price;
  order["workingIndicator"] = false;
  order["transactTime"] = order["timestamp"] = now;
  ++fills_;
  const std::string execID =
      fmt::format("{:08x}-{:04x}-5000-9000-{:012x}", static_cast<std::uint32_t>(seed_),
                  next_execution_ % 0x10000, next_execution_);
  ++next_execution_;
  executions_.push_back(execution_record(
      order, contract, {.qty = quantity, .price = price, .maker = maker}, execID, now));
  report("execution", Value(), executions_.back());
  print(contract, terms.side, quantity, price);
  if (executions_.size() > kMaxExecutions) executions_.erase(executions_.begin());
}

Position SimExchange::position(std::string_view symbol) const {
  const auto found = positions_.find(symbol);
  return found == positions_.end() ? Position{.symbol = std::string(symbol)} : found->second;
}

}  // namespace sim
