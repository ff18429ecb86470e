#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_instruments.hpp"

namespace sim {

// What an order asks for, as the exchange reads it from a request or an order record.
struct OrderTerms {
  std::string side;     // "Buy" or "Sell"
  double orderQty = 0;  // positive once read
  std::optional<double> price;
  std::optional<double> stopPx;
  std::string ordType;
  std::string execInst;
  // How long a limit order works: GoodTillCancel (and Day) until filled or cancelled;
  // ImmediateOrCancel and FillOrKill only on arrival, cancelled if they do not trade there in
  // full (there is no depth to trade in part). A market order is ImmediateOrCancel.
  std::string timeInForce;
  std::optional<double> displayQty;  // shown on the book; 0: hidden
};

// Whether the order waits for a trigger price: Stop, StopLimit, MarketIfTouched, LimitIfTouched.
bool waits_for_trigger(std::string_view ordType);
// Whether the order still works: New or PartiallyFilled, or a record added raw without an
// ordStatus.
bool is_open(const stoploss::Value& order);
// Whether `token` is one of the comma-separated names in `list`.
bool names(std::string_view list, std::string_view token);

// Reads a new order's terms from the fields of a request (numbers, or texts of numbers as a form
// body sends them): the side from `side`, or Sell for a negative orderQty; ordType by default
// from the prices given. A Close without orderQty reads as orderQty 0, its side left empty
// unless given: the whole position, for the exchange to size. Refuses a field the exchange's
// schema refuses.
OrderTerms read_terms(const stoploss::Value& request);

// The terms of an order record on the book.
OrderTerms terms_of(const stoploss::Value& order);

// Refuses terms the instrument does not take: quantity off the lot or beyond maxOrderQty,
// prices off the tick or out of range, a trigger on the wrong side of the market.
void check_terms(const OrderTerms& terms, const SimInstrument& listed);

// The text of a ReduceOnly or Close order cancelled for want of a position to reduce.
std::string nothing_to_reduce(std::string_view side, long long position, std::string_view text);

// Whether a waiting order triggers with its reference price at `price`.
bool triggers(const OrderTerms& terms, double price);

}  // namespace sim
