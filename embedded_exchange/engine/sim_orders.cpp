// The order book of SimExchange: entry, amendment, cancellation and listings.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "Core/collaborators/failures.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/order_rules.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {
namespace {

using stoploss::RecordList;
using stoploss::Value;

bool of_symbol(const Value& order, std::string_view symbol) {
  const auto found = order.find("symbol");
  return found != order.end() && found->is_string() &&
         found->get_ref<const std::string&>() == symbol;
}

bool is_stop(const Value& order) {
  const auto type = order.find("ordType");
  return type != order.end() && stoploss::text_contains(*type, "Stop");
}

bool untriggered(const Value& order) { return order.value("triggered", Value("")) == ""; }

std::string text_of(const Value& request, std::string_view key) {
  const auto found = request.find(key);
  if (found == request.end() || found->is_null()) return "";
  return found->is_string() ? found->get<std::string>() : stoploss::to_text(*found);
}

// A filter value matches the field equal to it, or, given a list, equal to one of its values.
bool matches(const Value& order, const Value& filter) {
  for (const auto& [key, wanted] : filter.items()) {
    const auto found = order.find(key);
    if (found == order.end()) return false;
    if (wanted.is_array() ? std::ranges::find(wanted, *found) == wanted.end() : *found != wanted) {
      return false;
    }
  }
  return true;
}

[[noreturn]] void refuse_stop_limit() {
  refuse(fmt::format("Too many open stop orders on this symbol (max {})",
                     SimExchange::kMaxStopOrders));
}

}  // namespace

Value* SimExchange::find(std::string_view key, const Value& id) {
  const auto found = std::ranges::find_if(book_, [&](const Value& order) {
    const auto field = order.find(key);
    return field != order.end() && *field == id;
  });
  return found == book_.end() ? nullptr : &*found;
}

std::size_t SimExchange::open_stops(std::string_view symbol) const {
  return std::ranges::count_if(book_, [&](const Value& order) {
    return of_symbol(order, symbol) && is_open(order) && untriggered(order) &&
           waits_for_trigger(order.value("ordType", std::string()));
  });
}

Value SimExchange::new_record(const SimInstrument& listed, const OrderTerms& terms,
                              const Value& request) {
  const long long number = next_order_++;
  const auto quantity = static_cast<long long>(terms.orderQty);
  const std::string text = text_of(request, "text");
  const std::string now = clock_.timestamp();
  const bool waits = waits_for_trigger(terms.ordType);
  return {{"orderID", fmt::format("{:08x}-{:04x}-4000-8000-{:012x}",
                                  static_cast<std::uint32_t>(seed_), number % 0x10000, number)},
          {"clOrdID", text_of(request, "clOrdID")},
          {"clOrdLinkID", text_of(request, "clOrdLinkID")},
          {"account", kAccount},
          {"symbol", listed.symbol},
          {"side", terms.side},
          {"simpleOrderQty", nullptr},
          {"orderQty", quantity},
          {"price", terms.price ? Value(*terms.price) : Value()},
          {"displayQty", terms.displayQty ? Value(std::llround(*terms.displayQty)) : Value()},
          {"stopPx", terms.stopPx ? Value(*terms.stopPx) : Value()},
          {"pegOffsetValue", nullptr},
          {"pegPriceType", ""},
          {"currency", listed.quoteCurrency},
          {"settlCurrency", listed.settlCurrency},
          {"ordType", terms.ordType},
          {"timeInForce", terms.timeInForce},
          {"execInst", terms.execInst},
          {"contingencyType", ""},
          {"exDestination", "XBME"},
          {"ordStatus", "New"},
          {"triggered", ""},
          {"workingIndicator", !waits},
          {"ordRejReason", ""},
          {"simpleLeavesQty", nullptr},
          {"leavesQty", quantity},
          {"simpleCumQty", nullptr},
          {"cumQty", 0},
          {"avgPx", nullptr},
          {"multiLegReportingType", "SingleSecurity"},
          {"text", text.empty() ? "Submitted via API." : text},
          {"transactTime", now},
          {"timestamp", now}};
}

Value SimExchange::place(const Value& request) {
  if (!request.is_object()) refuse_field("Invalid request");
  const auto listed = instruments_.find(text_of(request, "symbol"));
  if (listed == instruments_.end()) refuse("Invalid symbol");
  OrderTerms terms = read_terms(request);
  const long long held = position(listed->first).currentQty;
  const bool whole_position = terms.orderQty == 0;
  if (whole_position) {
    if (terms.side.empty()) terms.side = held > 0 ? "Sell" : "Buy";
    terms.orderQty = static_cast<double>(std::llabs(held));
  }
  if (!whole_position || held != 0) check_terms(terms, listed->second);
  const std::string clOrdID = text_of(request, "clOrdID");
  if (!clOrdID.empty() && find("clOrdID", Value(clOrdID))) refuse("Duplicate clOrdID");
  if (waits_for_trigger(terms.ordType) && open_stops(listed->first) >= kMaxStopOrders) {
    refuse_stop_limit();
  }
  Value order = new_record(listed->second, terms, request);
  report("order", Value(), order);
  const Value placed = watch(order);
  // No depth beyond the touch: an order that reaches it trades there in full.
  const SimInstrument& market = listed->second;
  const bool buy = terms.side == "Buy";
  const double touch =
      buy ? market.lastPrice + market.tickSize : market.lastPrice - market.tickSize;
  const bool crosses =
      terms.ordType == "Limit" && (buy ? *terms.price >= touch : *terms.price <= touch);
  if (whole_position && held == 0) {
    close(order, "Canceled", nothing_to_reduce(terms.side, 0, order["text"].get<std::string>()));
  } else if (crosses && names(terms.execInst, "ParticipateDoNotInitiate")) {
    close(order, "Canceled",
          "Canceled: Order had execInst of ParticipateDoNotInitiate\n" +
              order["text"].get<std::string>());
  } else if (crosses || terms.ordType == "Market") {
    fill(order, touch);
  } else if (terms.ordType == "Limit" &&
             (terms.timeInForce == "ImmediateOrCancel" || terms.timeInForce == "FillOrKill")) {
    close(order, "Canceled",
          "Canceled: Order had timeInForce of " + terms.timeInForce + "\n" +
              order["text"].get<std::string>());
  }
  report("order", placed, order);
  book_.push_back(order);
  drop_old_closed();
  return order;
}

Value SimExchange::place_stop(std::string_view symbol, double stopPx, long long orderQty,
                              const std::optional<std::string>& clOrdLinkID,
                              const std::string& text) {
  Value request = {{"symbol", symbol},
                   {"side", orderQty > 0 ? "Buy" : "Sell"},
                   {"orderQty", std::fabs(static_cast<double>(orderQty))},
                   {"stopPx", stopPx},
                   {"ordType", "Stop"},
                   {"execInst", "LastPrice,ReduceOnly"},
                   {"text", text}};
  if (clOrdLinkID) request["clOrdLinkID"] = *clOrdLinkID;
  return place(request);
}

Value SimExchange::amended(const Value& order, const Value& request) {
  if (!is_open(order)) refuse("Invalid ordStatus");
  OrderTerms terms = terms_of(order);
  if (terms.side != "Buy" && terms.side != "Sell") terms.side = text_of(request, "side");
  const auto given = [&](std::string_view key) {
    const auto found = request.find(key);
    return found != request.end() && !found->is_null();
  };
  const auto number = [&](std::string_view key) {
    try {
      return stoploss::to_float(request.at(std::string(key)));
    } catch (const std::exception&) {
      refuse_field(fmt::format("Invalid {}", key));
    }
  };
  const auto filled = order.find("cumQty");
  const double cumQty = filled != order.end() && filled->is_number() ? filled->get<double>() : 0;
  if (given("orderQty")) terms.orderQty = number("orderQty");
  if (given("leavesQty")) terms.orderQty = cumQty + number("leavesQty");
  if (terms.orderQty <= 0 || terms.orderQty != std::trunc(terms.orderQty)) {
    refuse_field("Invalid orderQty");
  }
  for (const auto& [key, value] : {std::pair{"price", &terms.price}, {"stopPx", &terms.stopPx}}) {
    if (!given(key)) continue;
    if (!value->has_value()) refuse(fmt::format("Invalid {} for ordType", key));
    *value = number(key);
  }
  check_terms(terms, instrument(text_of(order, "symbol")));

  Value next = order;
  const auto quantity = static_cast<long long>(terms.orderQty);
  next["orderQty"] = quantity;
  next["leavesQty"] = quantity - static_cast<long long>(cumQty);
  if (terms.price) next["price"] = *terms.price;
  if (terms.stopPx) next["stopPx"] = *terms.stopPx;
  if (given("text")) next["text"] = text_of(request, "text");
  const std::string clOrdID = text_of(request, "clOrdID");
  if (!clOrdID.empty()) {
    if (find("clOrdID", Value(clOrdID))) refuse("Duplicate clOrdID");
    next["clOrdID"] = clOrdID;
  }
  next["transactTime"] = next["timestamp"] = clock_.timestamp();
  return next;
}

Value SimExchange::amend_order(const Value& request) {
  Value* order = nullptr;
  if (!text_of(request, "orderID").empty()) {
    order = find("orderID", Value(text_of(request, "orderID")));
  } else if (!text_of(request, "origClOrdID").empty()) {
    order = find("clOrdID", Value(text_of(request, "origClOrdID")));
  } else {
    refuse_field("orderID or origClOrdID must be sent");
  }
  if (!order) refuse("Invalid orderID");
  const Value before = watch(*order);
  *order = amended(*order, request);
  report("order", before, *order);
  return *order;
}

void SimExchange::close(Value& order, const std::string& status, const std::string& text) {
  order["ordStatus"] = status;
  order["leavesQty"] = 0;
  order["workingIndicator"] = false;
  order["text"] = text;
  order["transactTime"] = order["timestamp"] = clock_.timestamp();
}

void SimExchange::drop_old_closed() {
  std::size_t closed = std::ranges::count_if(book_, [](const Value& o) { return !is_open(o); });
  for (auto order = book_.begin(); closed > kMaxClosedOrders && order != book_.end();) {
    if (is_open(*order)) {
      ++order;
    } else {
      order = book_.erase(order);
      --closed;
    }
  }
}

void SimExchange::cancel_open(Value& order, const std::string& text) {
  const Value before = watch(order);
  close(order, "Canceled",
        "Canceled: " + (text.empty() ? std::string("Canceled via API.") : text) + "\n" +
            text_of(order, "text"));
  report("order", before, order);
}

Value SimExchange::cancel_orders(const std::vector<std::string>& orderIDs,
                                 const std::vector<std::string>& clOrdIDs,
                                 const std::string& text) {
  Value answer = Value::array();
  const auto cancel_one = [&](std::string_view key, const std::string& id) {
    Value* order = find(key, Value(id));
    if (!order) {
      answer.push_back({{std::string(key), id}, {"error", "Not found"}});
    } else if (!is_open(*order)) {
      Value refused = *order;
      refused["error"] = "Unable to cancel order due to existing state: " +
                         stoploss::to_text(order->value("ordStatus", Value("")));
      answer.push_back(std::move(refused));
    } else {
      cancel_open(*order, text);
      answer.push_back(*order);
    }
  };
  for (const std::string& id : orderIDs) cancel_one("orderID", id);
  for (const std::string& id : clOrdIDs) cancel_one("clOrdID", id);
  drop_old_closed();
  return answer;
}

Value SimExchange::cancel_all(const std::optional<std::string>& symbol, const Value& filter,
                              const std::string& text) {
  Value answer = Value::array();
  for (Value& order : book_) {
    if (!is_open(order) || (symbol && !of_symbol(order, *symbol)) || !matches(order, filter)) {
      continue;
    }
    cancel_open(order, text);
    answer.push_back(order);
  }
  drop_old_closed();
  return answer;
}

void SimExchange::cancel_stops(std::string_view symbol) {
  for (Value& order : book_) {
    if (is_open(order) && of_symbol(order, symbol) && is_stop(order)) cancel_open(order, "");
  }
  drop_old_closed();
}

RecordList SimExchange::orders(const OrderQuery& query) const {
  Value filter = query.filter;
  const bool open_only = filter.value("open", false);
  filter.erase("open");
  const auto wanted = [&](const Value& order) {
    if ((open_only && !is_open(order)) || (query.symbol && !of_symbol(order, *query.symbol)) ||
        !matches(order, filter)) {
      return false;
    }
    if (!query.startTime && !query.endTime) return true;
    const std::string stamp = text_of(order, "timestamp");
    return (!query.startTime || stamp >= *query.startTime) &&
           (!query.endTime || stamp <= *query.endTime);
  };
  RecordList listing;
  const auto take = [&](auto first, auto last) {
    for (; first != last && listing.size() < static_cast<std::size_t>(query.count); ++first) {
      if (wanted(*first)) listing.push_back(*first);
    }
  };
  if (query.reverse) {
    take(book_.rbegin(), book_.rend());
  } else {
    take(book_.begin(), book_.end());
  }
  return listing;
}

RecordList SimExchange::open_orders(std::string_view symbol) const {
  return orders({.symbol = std::string(symbol),
                 .filter = {{"open", true}},
                 .count = static_cast<int>(book_.size())});
}

std::optional<Value> SimExchange::open_order(const Value& orderID) const {
  const auto found = std::ranges::find_if(book_, [&](const Value& order) {
    const auto id = order.find("orderID");
    return id != order.end() && *id == orderID && is_open(order);
  });
  return found == book_.end() ? std::nullopt : std::optional<Value>(*found);
}

void SimExchange::add_raw_order(Value order) {
  report("order", Value(), order);
  book_.push_back(std::move(order));
}

std::vector<double> SimExchange::stop_prices(std::string_view symbol) const {
  std::vector<double> prices;
  for (const Value& order : book_) {
    const auto stopPx = order.find("stopPx");
    if (of_symbol(order, symbol) && is_open(order) && is_stop(order) && stopPx != order.end() &&
        stopPx->is_number()) {
      prices.push_back(stopPx->get<double>());
    }
  }
  return prices;
}

}  // namespace sim
