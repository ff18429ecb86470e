#include "embedded_exchange/engine/order_rules.hpp"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <ranges>

#include "Core/utils/rounding.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"

namespace sim {
namespace {

using stoploss::Value;

constexpr std::array<std::string_view, 6> kOrdTypes = {
    "Limit", "Market", "Stop", "StopLimit", "MarketIfTouched", "LimitIfTouched"};
constexpr std::array<std::string_view, 6> kExecInsts = {
    "ReduceOnly", "Close", "LastPrice", "MarkPrice", "IndexPrice", "ParticipateDoNotInitiate"};
constexpr std::array<std::string_view, 4> kTimesInForce = {"Day", "GoodTillCancel",
                                                           "ImmediateOrCancel", "FillOrKill"};

bool present(const Value& request, std::string_view key) {
  const auto found = request.find(key);
  return found != request.end() && !found->is_null() &&
         !(found->is_string() && found->get_ref<const std::string&>().empty());
}

std::optional<double> number(const Value& request, std::string_view key) {
  if (!present(request, key)) return std::nullopt;
  try {
    return stoploss::to_float(request.at(std::string(key)));
  } catch (const std::exception&) {
    refuse_field(fmt::format("Invalid {}", key));
  }
}

std::string text(const Value& request, std::string_view key) {
  if (!present(request, key)) return "";
  const Value& value = request.at(std::string(key));
  return value.is_string() ? value.get<std::string>() : stoploss::to_text(value);
}

bool has_limit_price(std::string_view ordType) {
  return ordType == "Limit" || ordType == "StopLimit" || ordType == "LimitIfTouched";
}

void check_price(std::optional<double> price, std::string_view name, const SimInstrument& listed) {
  if (!price) return;
  if (!std::isfinite(*price) || *price <= 0 || *price > listed.maxPrice) {
    refuse(fmt::format("Invalid {}", name));
  }
  if (!utils::on_step(*price, listed.tickSize)) {
    refuse(fmt::format("Invalid {} tickSize", name));
  }
}

}  // namespace

bool waits_for_trigger(std::string_view ordType) {
  return ordType == "Stop" || ordType == "StopLimit" || ordType == "MarketIfTouched" ||
         ordType == "LimitIfTouched";
}

bool is_open(const Value& order) {
  const auto status = order.find("ordStatus");
  return status == order.end() || *status == "New" || *status == "PartiallyFilled";
}

bool names(std::string_view list, std::string_view token) {
  for (const auto part : std::views::split(list, ',')) {
    if (std::string_view(part.begin(), part.end()) == token) return true;
  }
  return false;
}

// timeInForce and displayQty, which only order entry reads.
void read_entry_options(const Value& request, OrderTerms& terms) {
  const bool rests = has_limit_price(terms.ordType);
  terms.timeInForce = text(request, "timeInForce");
  if (terms.timeInForce.empty()) terms.timeInForce = rests ? "GoodTillCancel" : "ImmediateOrCancel";
  if (std::ranges::find(kTimesInForce, terms.timeInForce) == kTimesInForce.end()) {
    refuse_field("Invalid timeInForce");
  }
  terms.displayQty = number(request, "displayQty");
  if (present(request, "displayQty") &&
      (!terms.displayQty || *terms.displayQty < 0 || *terms.displayQty > terms.orderQty ||
       *terms.displayQty != std::trunc(*terms.displayQty))) {
    refuse_field("Invalid displayQty");
  }
}

OrderTerms read_terms(const Value& request) {
  OrderTerms terms;
  terms.side = text(request, "side");
  if (!terms.side.empty() && terms.side != "Buy" && terms.side != "Sell") {
    refuse_field("Invalid side");
  }
  // Close without a quantity closes the whole position: its size and side are the exchange's.
  const std::optional<double> quantity =
      !present(request, "orderQty") && names(text(request, "execInst"), "Close")
          ? std::optional<double>(0)
          : number(request, "orderQty");
  if (!quantity || (*quantity == 0 && present(request, "orderQty")) || !std::isfinite(*quantity) ||
      *quantity != std::trunc(*quantity) || (*quantity < 0 && !terms.side.empty())) {
    refuse_field("Invalid orderQty");
  }
  if (terms.side.empty() && *quantity != 0) terms.side = *quantity < 0 ? "Sell" : "Buy";
  terms.orderQty = std::fabs(*quantity);
  terms.price = number(request, "price");
  terms.stopPx = number(request, "stopPx");

  terms.ordType = text(request, "ordType");
  if (terms.ordType.empty()) {
    terms.ordType =
        terms.stopPx ? (terms.price ? "StopLimit" : "Stop") : (terms.price ? "Limit" : "Market");
  }
  if (std::ranges::find(kOrdTypes, terms.ordType) == kOrdTypes.end()) {
    refuse_field("Invalid ordType");
  }
  const bool limit = has_limit_price(terms.ordType);
  const bool trigger = waits_for_trigger(terms.ordType);
  if (limit != terms.price.has_value()) {
    refuse(limit ? "Invalid price" : "Invalid price for ordType");
  }
  if (trigger != terms.stopPx.has_value()) {
    refuse(trigger ? "Invalid stopPx" : "Invalid stopPx for ordType");
  }

  terms.execInst = text(request, "execInst");
  int references = 0;
  for (const auto part : std::views::split(std::string_view(terms.execInst), ',')) {
    const std::string_view inst(part.begin(), part.end());
    if (std::ranges::find(kExecInsts, inst) == kExecInsts.end()) {
      refuse_field("Invalid execInst");
    }
    const bool reference = inst == "LastPrice" || inst == "MarkPrice" || inst == "IndexPrice";
    references += reference ? 1 : 0;
    if ((reference && !trigger) || (inst == "ParticipateDoNotInitiate" && !limit)) {
      refuse("Invalid execInst");
    }
  }
  if (references > 1) refuse("Invalid execInst");
  read_entry_options(request, terms);
  return terms;
}

OrderTerms terms_of(const Value& order) {
  const auto optional_number = [&](std::string_view key) -> std::optional<double> {
    const auto found = order.find(key);
    if (found == order.end() || !found->is_number()) return std::nullopt;
    return found->get<double>();
  };
  return {order.value("side", std::string()),
          optional_number("orderQty").value_or(0),
          optional_number("price"),
          optional_number("stopPx"),
          order.value("ordType", std::string()),
          order.value("execInst", std::string()),
          order.value("timeInForce", std::string()),
          optional_number("displayQty")};
}

void check_terms(const OrderTerms& terms, const SimInstrument& listed) {
  if (terms.orderQty <= 0 || terms.orderQty > static_cast<double>(listed.maxOrderQty)) {
    refuse_field("Invalid orderQty");
  }
  if (std::fmod(terms.orderQty, static_cast<double>(listed.lotSize)) != 0) {
    refuse(fmt::format("Order quantity must be a multiple of lot size: {}", listed.lotSize));
  }
  check_price(terms.price, "price", listed);
  check_price(terms.stopPx, "stopPx", listed);
  if (terms.stopPx && triggers(terms, trigger_price(listed, terms.execInst))) {
    refuse("Stop price would trigger immediately");
  }
}

bool triggers(const OrderTerms& terms, double price) {
  if (!terms.stopPx) return false;
  // A stop waits beyond the market (below it to sell); an if-touched order waits short of it.
  const bool stop = terms.ordType == "Stop" || terms.ordType == "StopLimit";
  const bool below = (terms.side == "Sell") == stop;
  return below ? price <= *terms.stopPx : price >= *terms.stopPx;
}

std::string nothing_to_reduce(std::string_view side, long long position, std::string_view text) {
  return fmt::format(
      "Canceled: Order had execInst of Close or ReduceOnly and side of {} but current position is "
      "{}\n{}",
      side, position, text);
}

}  // namespace sim
