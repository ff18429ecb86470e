#include "Core/Modules/stop_request.hpp"

#include <fmt/format.h>

#include <cmath>
#include <limits>

#include "Core/Modules/constants.hpp"
#include "Core/collaborators/failures.hpp"

namespace Modules::StopLoss {

using stoploss::field;
using stoploss::to_float;
using stoploss::to_text;
using stoploss::Value;

namespace {

// Contract quantity used when the exchange cannot tell the pair's limit.
constexpr long long kFallbackContracts = 999999;

// A price must be a finite number: a NaN or infinite stop price never goes to the exchange.
double finite_price(const Value& price) {
  const double number = to_float(price);
  if (!std::isfinite(number)) {
    throw stoploss::ValueError("price is not a finite number: " + to_text(number));
  }
  return number;
}

// The instrument's maximum order quantity less one: the size of the pair's stops.
long long contracts_below_limit(const Value& instrument) {
  const long long limit = stoploss::to_int(field(instrument, "maxOrderQty"));
  if (limit == std::numeric_limits<long long>::min()) {
    throw stoploss::ValueError("maxOrderQty out of range");
  }
  return limit - 1;
}

}  // namespace

StopRequest::StopRequest(Aux& manager, const Bindings& bound, const std::string& PAIR,
                         const Value& Price, const CallOptions& options)
    : manager_(manager), bound_(bound), options_(options), PAIR(PAIR), Price(Price) {}

std::optional<bool> StopRequest::run() {
  if (const auto ending = take_request_price()) return ending->result;
  take_market_snapshot();
  return std::nullopt;
}

// Rounds the price to the pair's step; removes the pair's stops when asked to.
std::optional<StopRequest::Ending> StopRequest::take_request_price() {
  TEXT = options_.Text ? to_text(*options_.Text) : std::string();

  const double price = finite_price(Price);
  const double step = to_float(bound_.bitmex->ReturnTicker(PAIR));
  Price = REQPRICE = bound_.quor_calls->toNearest(price, step);

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
    contracts.emplace(PAIR, kFallbackContracts);
  } else if (known->second <= 0) {
    try {
      known->second = contracts_below_limit(bound_.bitmex->instrument(PAIR));
    } catch (const std::exception&) {
      known->second = kFallbackContracts;
    }
  }

  orders = bound_.quor_calls->open_orders(PAIR, std::nullopt);

  try {
    Midprice = to_float(field(Instrument, "impactMidPrice"));
  } catch (const stoploss::KeyError&) {
    Midprice = to_float(field(field(Instrument, PAIR), "impactMidPrice"));
  }

  const long long limit = contracts.find(PAIR)->second;
  if (wanted_price_ > Midprice) {
    SIDE = "Buy";
    Quantity = limit;
  } else {
    SIDE = "Sell";
    Quantity = -limit;
  }
}

}  // namespace Modules::StopLoss
