#include "embedded_exchange/engine/sim_exchange.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "Core/collaborators/failures.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/order_rules.hpp"
#include "embedded_exchange/engine/sim_account.hpp"
#include "embedded_exchange/engine/table_changes.hpp"

namespace sim {
namespace {

using stoploss::Value;

template <class Instruments>
auto& find_listed(Instruments& instruments, std::string_view symbol) {
  const auto found = instruments.find(symbol);
  if (found == instruments.end()) refuse("Instrument not listed", 404);
  return found->second;
}

}  // namespace

SimExchange::SimExchange(std::uint64_t seed, FaultSettings faults, SimClock clock)
    : clock_(clock), faults_(seed, faults), seed_(seed) {}

void SimExchange::list(SimInstrument instrument) {
  const std::string symbol = instrument.symbol;
  instruments_[symbol] = std::move(instrument);
  listing_numbers_.try_emplace(symbol, static_cast<int>(listing_numbers_.size()));
  if (observer_) report_book(symbol);
}

const SimInstrument& SimExchange::instrument(std::string_view symbol) const {
  return find_listed(instruments_, symbol);
}

bool SimExchange::feed_up() { return !faults_.feed_down(); }

Value SimExchange::cancel_all_after(std::chrono::milliseconds timeout) {
  if (timeout.count() < 0) refuse_field("Invalid timeout");
  const double now = clock_.now();
  const double at = now + std::chrono::duration<double>(timeout).count();
  if (timeout.count() == 0) {
    cancel_all_at_.reset();
  } else {
    cancel_all_at_ = at;
  }
  return {{"now", clock_.timestamp(now)}, {"cancelTime", clock_.timestamp(at)}};
}

void SimExchange::cancel_when_due() {
  if (!cancel_all_at_ || clock_.now() < *cancel_all_at_) return;
  cancel_all_at_.reset();
  cancel_all(std::nullopt, Value::object(), "Cancel from cancelAllAfter");
}

Value SimExchange::change_position(std::string_view symbol, const PositionChange& change) {
  const SimInstrument& contract = find_listed(instruments_, symbol);
  const Value before = position_row(symbol);
  Position& held =
      positions_.try_emplace(std::string(symbol), Position{.symbol = std::string(symbol)})
          .first->second;
  change(held, contract);
  report("position", before, position_row(symbol));
  Value record = position_record(held, contract, std::to_string(kAccount), clock_.timestamp());
  record["account"] = kAccount;
  return record;
}

Fault SimExchange::next_call() {
  ++calls_;
  wait_latency();
  const Fault fault = faults_.draw();
  if (fault != Fault::kNone) ++faults_injected_;
  return fault;
}

void SimExchange::on_change(ChangeObserver observer) {
  observer_ = std::move(observer);
  shown_books_.clear();
  shown_margin_ = Value();
  if (!observer_) return;
  for (const auto& [symbol, listed] : instruments_) {
    shown_books_[symbol] = {order_book(symbol, 0), order_book(symbol, kNearestLevels)};
  }
  shown_margin_ = margin_record(*this, "XBt", clock_.timestamp());
}

void SimExchange::report(std::string_view table, const Value& before, const Value& after) {
  if (!observer_) return;
  if (before.is_null()) {
    observer_(table, "insert", after);
  } else if (const Value update = changed_fields(table, before, after); !update.is_null()) {
    observer_(table, "update", update);
  }
  // The market's price and the account's resting limits make the book; positions and open orders
  // hold margin.
  if (table == "instrument" || (table == "order" && after.value("ordType", "") == "Limit")) {
    report_book(after.value("symbol", ""));
  }
  if (table == "position" || table == "order") report_margin();
}

void SimExchange::report_margin() {
  const Value margin = margin_record(*this, "XBt", clock_.timestamp());
  report("margin", shown_margin_, margin);
  shown_margin_ = margin;
}

Value SimExchange::position_row(std::string_view symbol) const {
  const auto held = positions_.find(symbol);
  if (!observer_ || held == positions_.end()) return Value();
  Value row = position_record(held->second, instrument(symbol), std::to_string(kAccount),
                              clock_.timestamp());
  row["account"] = kAccount;
  return row;
}

void SimExchange::wait_latency() {
  const auto latency = faults_.settings().latency;
  if (latency.count() == 0) return;
  if (faults_.settings().real_latency) {
    std::this_thread::sleep_for(latency);
  } else {
    clock_.advance(std::chrono::duration<double>(latency).count());
  }
}

}  // namespace sim
