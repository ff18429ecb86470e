// The public side of SimExchange's market: its tape and its L2 book.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>

#include "embedded_exchange/engine/order_rules.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

using stoploss::Value;

void SimExchange::print(const SimInstrument& contract, std::string_view side, long long size,
                        double price) {
  const auto last = std::ranges::find_if(tape_.rbegin(), tape_.rend(), [&](const PublicTrade& t) {
    return t.record["symbol"] == contract.symbol;
  });
  const double previous =
      last == tape_.rend() ? contract.lastPrice : last->record["price"].get<double>();
  const std::string before =
      last == tape_.rend() ? "ZeroPlusTick" : last->record["tickDirection"].get<std::string>();
  const bool up = before == "PlusTick" || before == "ZeroPlusTick";
  const std::string direction = price > previous   ? "PlusTick"
                                : price < previous ? "MinusTick"
                                : up               ? "ZeroPlusTick"
                                                   : "ZeroMinusTick";
  if (last != tape_.rend()) {
    const double minute_end = (std::floor(last->at / 60) + 1) * 60;
    if (clock_.now() >= minute_end) report_bucket(contract.symbol, minute_end);
  }
  ++prints_;
  const std::string id = fmt::format("{:08x}-{:04x}-6000-a000-{:012x}",
                                     static_cast<std::uint32_t>(seed_), prints_ % 0x10000, prints_);
  tape_.push_back(
      {clock_.now(), trade_record(contract, side, size, price, direction, id, clock_.timestamp())});
  report("trade", Value(), tape_.back().record);
  if (tape_.size() > kMaxTape) tape_.pop_front();
}

void SimExchange::report_bucket(std::string_view symbol, double end) {
  if (!observer_) return;
  const std::string stamp = clock_.timestamp(end);
  for (const Value& bucket : trade_buckets(tape_, std::chrono::minutes(1), false, clock_)) {
    if (bucket["symbol"] == symbol && bucket["timestamp"] == stamp) {
      return report("tradeBin1m", Value(), bucket);
    }
  }
}

void SimExchange::report_book(std::string_view symbol) {
  if (!instruments_.contains(symbol)) return;
  ShownBook& shown = shown_books_[std::string(symbol)];
  const auto send = [&](std::string_view table, stoploss::RecordList& levels, int depth) {
    stoploss::RecordList now = order_book(symbol, depth);
    for (const BookMessage& message : book_changes(levels, now)) {
      observer_(table, message.action, message.rows);
    }
    levels = std::move(now);
  };
  send("orderBookL2", shown.all, 0);
  send("orderBookL2_25", shown.nearest, kNearestLevels);
}

stoploss::RecordList SimExchange::order_book(std::string_view symbol, int depth) const {
  const SimInstrument& contract = instrument(symbol);
  std::map<double, long long, std::greater<>> asks, bids;  // by price, highest first
  for (int level = 0; level < kBookLevels; ++level) {
    const double away = contract.tickSize * (level + 1);
    const long long size = contract.lotSize * 10 * (level + 1);
    asks[contract.lastPrice + away] += size;
    if (contract.lastPrice - away > 0) bids[contract.lastPrice - away] += size;
  }
  for (const Value& order : book_) {
    const OrderTerms terms = terms_of(order);
    if (!is_open(order) || order.value("symbol", std::string()) != symbol ||
        terms.ordType != "Limit" || !terms.price) {
      continue;
    }
    const auto leaves = order.value("leavesQty", Value(0));
    const long long shown = terms.displayQty     ? std::llround(*terms.displayQty)
                            : leaves.is_number() ? leaves.get<long long>()
                                                 : 0;
    if (shown > 0) (terms.side == "Buy" ? bids : asks)[*terms.price] += shown;
  }
  const auto nearest = static_cast<std::size_t>(depth);
  const int number = listing_numbers_.find(symbol)->second;
  const std::string now = clock_.timestamp();
  stoploss::RecordList levels;
  std::size_t skip = depth == 0 ? 0 : asks.size() - std::min(asks.size(), nearest);
  for (const auto& [price, size] : asks) {
    if (skip > 0) {
      --skip;
      continue;
    }
    levels.push_back(book_level(contract, number, "Sell", price, size, now));
  }
  std::size_t left = depth == 0 ? bids.size() : nearest;
  for (const auto& [price, size] : bids) {
    if (left-- == 0) break;
    levels.push_back(book_level(contract, number, "Buy", price, size, now));
  }
  return levels;
}

}  // namespace sim
