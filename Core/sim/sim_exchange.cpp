#include "Core/sim/sim_exchange.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "Core/collaborators/failures.hpp"
#include "Core/sim/exchange_errors.hpp"
#include "Core/utils/rounding.hpp"

namespace sim {
namespace {

using stoploss::Value;

bool is_stop(const Value& order) {
  const auto type = order.find("ordType");
  return type != order.end() && stoploss::text_contains(*type, "Stop");
}

bool of_symbol(const Value& order, std::string_view symbol) {
  const auto found = order.find("symbol");
  return found != order.end() && found->is_string() &&
         found->get_ref<const std::string&>() == symbol;
}

// Whether the stop `order` triggers at `price`: a sell stop at or above it, a buy stop at or
// below it.
bool triggered(const Value& order, double price) {
  const auto stopPx = order.find("stopPx");
  const auto side = order.find("side");
  if (stopPx == order.end() || !stopPx->is_number() || side == order.end()) return false;
  const double trigger = stopPx->get<double>();
  if (*side == "Sell") return price <= trigger;
  if (*side == "Buy") return price >= trigger;
  return false;
}

// |n| for any long long: -2^63 has no long long magnitude.
std::uint64_t magnitude(long long n) {
  const auto bits = static_cast<std::uint64_t>(n);
  return n < 0 ? 0 - bits : bits;
}

template <class Instruments>
auto& find_listed(Instruments& instruments, std::string_view symbol) {
  const auto found = instruments.find(symbol);
  if (found == instruments.end()) refuse("instrument", "Instrument not listed", 404, "Not Found");
  return found->second;
}

}  // namespace

SimInstrument xbtusd(double price) { return {"XBTUSD", 0.5, 10000000, price, price}; }
SimInstrument ethusd(double price) { return {"ETHUSD", 0.05, 10000000, price, price}; }

SimExchange::SimExchange(std::uint64_t seed, FaultSettings faults)
    : faults_(seed, faults), seed_(seed) {}

void SimExchange::list(SimInstrument instrument) {
  const std::string symbol = instrument.symbol;
  instruments_[symbol] = std::move(instrument);
}

const SimInstrument& SimExchange::instrument(std::string_view symbol) const {
  return find_listed(instruments_, symbol);
}

void SimExchange::set_price(std::string_view symbol, double price) {
  SimInstrument& listed = find_listed(instruments_, symbol);
  listed.lastPrice = price;
  listed.impactMidPrice = price;
  const auto filled = std::remove_if(book_.begin(), book_.end(), [&](const Value& order) {
    return of_symbol(order, symbol) && is_stop(order) && triggered(order, price);
  });
  fills_ += std::distance(filled, book_.end());
  book_.erase(filled, book_.end());
}

void SimExchange::check_stop(const SimInstrument& listed, double stopPx, long long orderQty,
                             std::string_view path) const {
  if (orderQty == 0 || magnitude(orderQty) > magnitude(listed.maxOrderQty)) {
    refuse(path, "Invalid orderQty");
  }
  if (!std::isfinite(stopPx) || stopPx <= 0 || !utils::on_step(stopPx, listed.tickSize)) {
    refuse(path, "Invalid stopPx: must be a multiple of the tickSize");
  }
  // A reduce-only stop lies beyond the market: below it to sell, above it to buy.
  const bool sell = orderQty < 0;
  if (sell ? stopPx >= listed.lastPrice : stopPx <= listed.lastPrice) {
    refuse(path, "Stop price would trigger immediately");
  }
}

std::size_t SimExchange::open_stops(std::string_view symbol) const {
  return std::count_if(book_.begin(), book_.end(), [&](const Value& order) {
    return of_symbol(order, symbol) && is_stop(order);
  });
}

Value SimExchange::place_stop(std::string_view symbol, double stopPx, long long orderQty,
                              const std::optional<std::string>& clOrdLinkID,
                              const std::string& text) {
  const SimInstrument& listed = instrument(symbol);
  check_stop(listed, stopPx, orderQty, "order");
  if (open_stops(symbol) >= kMaxStopOrders) {
    refuse("order", "Max Stop orders per symbol reached", 400, "Max Stop orders");
  }
  const long long number = next_order_++;
  Value order = {
      {"orderID", fmt::format("{:08x}-{:04x}-4000-8000-{:012x}", static_cast<std::uint32_t>(seed_),
                              number % 0x10000, number)},
      {"clOrdID", ""},
      {"clOrdLinkID", clOrdLinkID.value_or("")},
      {"symbol", symbol},
      {"side", orderQty > 0 ? "Buy" : "Sell"},
      {"orderQty", orderQty},
      {"price", nullptr},
      {"stopPx", stopPx},
      {"ordType", "Stop"},
      {"execInst", "LastPrice,ReduceOnly"},
      {"ordStatus", "New"},
      {"text", text},
      {"timestamp", clock_.timestamp()}};
  book_.push_back(order);
  return order;
}

Value* SimExchange::find_open(const Value& orderID) {
  const auto found = std::find_if(book_.begin(), book_.end(), [&](const Value& order) {
    const auto id = order.find("orderID");
    return id != order.end() && *id == orderID;
  });
  return found == book_.end() ? nullptr : &*found;
}

void SimExchange::amend(const stoploss::RecordList& amendments) {
  std::vector<Value*> targets;
  for (const Value& amendment : amendments) {
    Value* order = find_open(stoploss::field(amendment, "orderID"));
    if (!order) refuse("order", "Invalid ordStatus");
    const long long orderQty = stoploss::to_int(stoploss::field(amendment, "orderQty"));
    const double stopPx = stoploss::to_float(stoploss::field(amendment, "stopPx"));
    check_stop(instrument(stoploss::to_text(stoploss::field(*order, "symbol"))), stopPx, orderQty,
               "order");
    targets.push_back(order);
  }
  for (std::size_t i = 0; i < amendments.size(); ++i) {
    Value& order = *targets[i];
    order["stopPx"] = stoploss::to_float(amendments[i].at("stopPx"));
    order["orderQty"] = stoploss::to_int(amendments[i].at("orderQty"));
    order["timestamp"] = clock_.timestamp();
  }
}

void SimExchange::cancel(stoploss::RecordList& orders) {
  std::vector<Value> cancelled;
  for (const Value& entry : orders) {
    const auto id = entry.find("orderID");
    if (id == entry.end()) continue;
    if (Value* order = find_open(*id)) {
      cancelled.push_back(*id);
      book_.erase(book_.begin() + (order - book_.data()));
    }
  }
  std::erase_if(orders, [&](const Value& entry) {
    const auto id = entry.find("orderID");
    return id != entry.end() &&
           std::find(cancelled.begin(), cancelled.end(), *id) != cancelled.end();
  });
  if (!orders.empty()) refuse("order", "Invalid ordStatus");
}

void SimExchange::cancel_stops(std::string_view symbol) {
  std::erase_if(book_,
                [&](const Value& order) { return of_symbol(order, symbol) && is_stop(order); });
}

stoploss::RecordList SimExchange::open_orders(std::string_view symbol) const {
  stoploss::RecordList listing;
  std::copy_if(book_.begin(), book_.end(), std::back_inserter(listing),
               [&](const Value& order) { return of_symbol(order, symbol); });
  return listing;
}

std::optional<Value> SimExchange::open_order(const Value& orderID) const {
  const auto found = std::find_if(book_.begin(), book_.end(), [&](const Value& order) {
    const auto id = order.find("orderID");
    return id != order.end() && *id == orderID;
  });
  return found == book_.end() ? std::nullopt : std::optional<Value>(*found);
}

void SimExchange::add_raw_order(Value order) { book_.push_back(std::move(order)); }

std::vector<double> SimExchange::stop_prices(std::string_view symbol) const {
  std::vector<double> prices;
  for (const Value& order : book_) {
    const auto stopPx = order.find("stopPx");
    if (of_symbol(order, symbol) && is_stop(order) && stopPx != order.end() &&
        stopPx->is_number()) {
      prices.push_back(stopPx->get<double>());
    }
  }
  return prices;
}

bool SimExchange::feed_up() { return !faults_.feed_down(); }

void SimExchange::fail_next(const std::string& operation, std::exception_ptr failure) {
  scripted_failures_[operation].push_back(std::move(failure));
}

Fault SimExchange::next_fault(const std::string& operation) {
  const auto scripted = scripted_failures_.find(operation);
  if (scripted != scripted_failures_.end() && !scripted->second.empty()) {
    const auto failure = scripted->second.front();
    scripted->second.pop_front();
    std::rethrow_exception(failure);
  }
  const Fault fault = faults_.draw();
  if (fault != Fault::kNone) ++faults_injected_;
  return fault;
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
