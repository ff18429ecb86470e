#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_clock.hpp"
#include "embedded_exchange/engine/sim_instruments.hpp"

namespace sim {

// What the public sees of the embedded market, which has no depth of its own: the trades of its
// price path, their buckets, the quote one tick either side of the last price, and a book made
// around it.

// A trade on the tape, at `at` on the exchange's clock.
struct PublicTrade {
  double at = 0;
  stoploss::Value record;  // as GET /trade answers it
};

// The trade record: `size` contracts at `price`, the side that took, the tick's direction
// (PlusTick, MinusTick, ZeroPlusTick, ZeroMinusTick) against the trade before.
stoploss::Value trade_record(const SimInstrument& contract, std::string_view side, long long size,
                             double price, std::string_view tickDirection,
                             const std::string& trdMatchID, const std::string& timestamp);

// The trades in buckets of `bin` (1m, 5m, 1h or 1d), per symbol, oldest first, each stamped with
// its end as the exchange stamps them: open, high, low, close, trades, volume, vwap, lastSize,
// turnover. A bucket not yet ended at `now` only when `partial`.
stoploss::RecordList trade_buckets(const std::deque<PublicTrade>& trades, std::chrono::seconds bin,
                                   bool partial, const SimClock& clock);

// The best bid and ask of `contract`: one tick either side of the last price.
stoploss::Value quote_record(const SimInstrument& contract, const std::string& timestamp);

// A level of the L2 book: its id (one per price of the contract, `contract_number` the order the
// contract was first listed in, so that ids stay as contracts are listed), side, size and price.
stoploss::Value book_level(const SimInstrument& contract, int contract_number,
                           std::string_view side, double price, long long size,
                           const std::string& timestamp);

// How the book went from `before` to `after` (levels as book_level makes them), as the messages
// of the feed's orderBookL2 tables, in the order to send them: one side, then the other, the side
// the price moved towards first. Each side deletes all but one of its levels gone, inserts all
// but one of its new levels (whole), updates the levels whose size changed (symbol, id, side,
// size, price, timestamp), then deletes the last level gone (symbol, id, side, price) and inserts
// the last new one. A client applying them one at a time never holds an empty side (the made
// book has 25 levels a side), a crossed book, or a side longer than before and after it, even
// after a jump wider than the book.
struct BookMessage {
  std::string_view action;  // "insert", "update" or "delete"
  stoploss::Value rows;
};
std::vector<BookMessage> book_changes(const stoploss::RecordList& before,
                                      const stoploss::RecordList& after);

}  // namespace sim
