#pragma once

#include <optional>
#include <string>

#include "record.hpp"

namespace stoploss {

// Keywords of QuorCalls::STOP_order.
struct StopOrderOptions {
  std::optional<std::string> clOrdLinkID{};  // not passed when the request has no link
  std::string Text;
};

// The order calls.
class QuorCalls {
 public:
  virtual ~QuorCalls() = default;

  // `price` aligned to the price step `step`: a number.
  virtual Value toNearest(double price, double step) = 0;
  // Removes every stop order of the pair on the exchange.
  virtual void CLEAN_Stops(const std::string& pair) = 0;
  // The pair's open orders: a list of open-order records. `Force` is passed (true) only for
  // the forced listing of the verification cycle.
  virtual Value open_orders(const std::string& pair, std::optional<bool> Force) = 0;
  // Places one stop order and returns its placement result, an order record of the new
  // order. A refusal is a failure whose text carries the reason.
  virtual Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                           const StopOrderOptions& options) = 0;
};

}  // namespace stoploss
