#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/faults.hpp"
#include "embedded_exchange/engine/market_data.hpp"
#include "embedded_exchange/engine/position.hpp"
#include "embedded_exchange/engine/sim_clock.hpp"
#include "embedded_exchange/engine/sim_instruments.hpp"

namespace sim {

struct OrderTerms;

// A query of GET /order.
struct OrderQuery {
  std::optional<std::string> symbol{};
  stoploss::Value filter = stoploss::Value::object();  // field values; "open": true for open
  int count = 100;
  bool reverse = false;                               // newest first
  std::optional<std::string> startTime{}, endTime{};  // on the order's timestamp, inclusive
};

// An in-process exchange that behaves like BitMEX API v1 for instruments, orders and one
// account: order entry checked as the exchange checks it, open and closed orders, prices that
// trigger waiting orders and fill crossed ones, the positions those fills open and close, and
// faults of the connection drawn from a seed. Orders are kept and listed in the order they were
// placed.
// Not thread-safe: one host thread at a time.
class SimExchange {
 public:
  static constexpr std::size_t kMaxStopOrders = 10;      // open stop orders per pair
  static constexpr std::size_t kMaxClosedOrders = 1000;  // closed orders kept for listings
  static constexpr std::size_t kMaxExecutions = 1000;    // trades kept for listings, newest
  static constexpr std::size_t kMaxTape = 10000;         // public trades kept, newest
  static constexpr int kBookLevels = 25;                 // made levels a side of the L2 book
  static constexpr int kNearestLevels = 25;              // levels a side of orderBookL2_25
  static constexpr long long kAccount = 100001;
  static constexpr long long kDeposit = 100000000;  // XBt: the account starts with 1 XBT

  explicit SimExchange(std::uint64_t seed = 1, FaultSettings faults = {}, SimClock clock = {});

  void list(SimInstrument instrument);
  // Throws a Refusal 404 for a symbol that is not listed.
  const SimInstrument& instrument(std::string_view symbol) const;
  // Moves the last, mark and mid prices. Waiting orders whose trigger is crossed trigger: those
  // without a limit price, or with one the market reaches, fill at `price`; resting limits the
  // price reaches fill at their limit. ReduceOnly and Close orders fill at most the position and
  // are cancelled when there is nothing to reduce.
  void set_price(std::string_view symbol, double price);

  // Order entry as the REST routes answer it; refusals are a Refusal (exchange_errors.hpp) in
  // the exchange's words. Closed orders stay listed, the oldest dropped past kMaxClosedOrders.
  // POST /order: the request's fields as a JSON body or a form sends them.
  stoploss::Value place(const stoploss::Value& request);
  // The bot's stop: a reduce-only stop on the last price; a negative orderQty sells.
  stoploss::Value place_stop(std::string_view symbol, double stopPx, long long orderQty,
                             const std::optional<std::string>& clOrdLinkID,
                             const std::string& text);
  // PUT /order: the order by orderID or origClOrdID; orderQty, leavesQty, price, stopPx, text.
  stoploss::Value amend_order(const stoploss::Value& request);
  // DELETE /order: one record per id, with an "error" when it cannot be cancelled.
  stoploss::Value cancel_orders(const std::vector<std::string>& orderIDs,
                                const std::vector<std::string>& clOrdIDs, const std::string& text);
  // DELETE /order/all: the open orders matching, of one symbol or all; answers them cancelled.
  stoploss::Value cancel_all(const std::optional<std::string>& symbol,
                             const stoploss::Value& filter, const std::string& text);
  // POST /order/cancelAllAfter: every open order is cancelled once `timeout` has passed on the
  // clock, unless a later call sets another time first; 0 disarms it. Answers now and the time
  // set. The time is checked by cancel_when_due(), before each request and price move.
  stoploss::Value cancel_all_after(std::chrono::milliseconds timeout);
  void cancel_when_due();
  // POST /position/leverage, /isolate, /riskLimit, /transferMargin: `change` alters the terms of
  // the account's position in `symbol` (kept for a contract not yet traded too), refusing what
  // it cannot take; answers the position record.
  using PositionChange = std::function<void(Position&, const SimInstrument&)>;
  stoploss::Value change_position(std::string_view symbol, const PositionChange& change);
  // Every open order of the pair whose ordType names Stop.
  void cancel_stops(std::string_view symbol);
  stoploss::RecordList orders(const OrderQuery& query) const;
  stoploss::RecordList open_orders(std::string_view symbol) const;
  // The open order with `orderID`, of any pair.
  std::optional<stoploss::Value> open_order(const stoploss::Value& orderID) const;
  // Puts a record on the book as it is, for tests of records the module must cope with.
  void add_raw_order(stoploss::Value order);
  const std::map<std::string, SimInstrument, std::less<>>& instruments() const {
    return instruments_;
  }
  // Stop prices of the pair's open stop orders, in book order.
  std::vector<double> stop_prices(std::string_view symbol) const;
  // The account's position in `symbol`; flat when it never traded it.
  Position position(std::string_view symbol) const;
  // The account's trades, oldest first: GET /execution and /execution/tradeHistory.
  const stoploss::RecordList& executions() const { return executions_; }
  // The public trades, oldest first: each price move trades a lot at the new price (bought when
  // the price rose), and each of the account's fills trades its quantity at its price.
  const std::deque<PublicTrade>& tape() const { return tape_; }
  // GET /orderBook/L2: kBookLevels levels a side one tick apart from the quote, each ten lots
  // more than the one nearer the price, with the account's resting limits at their prices (their
  // displayQty when it is given), the nearest `depth` a side (0: all); asks then bids, from the
  // highest price down.
  stoploss::RecordList order_book(std::string_view symbol, int depth) const;
  // Every contract the account has traded, by symbol.
  const std::map<std::string, Position, std::less<>>& positions() const { return positions_; }

  // Told of every change of the realtime feed's tables (table_changes.hpp) as the exchange makes
  // it: `action` "insert" with the whole row or "update" with changed_fields(); the book tables
  // send a list of rows, "delete", "update" or "insert", per change of the book (book_changes()),
  // and a minute's "tradeBin1m" bucket is inserted when its contract next trades. Runs on the
  // thread that changes the exchange, before that change's answer is returned, and must not call
  // back into the exchange. Unset, reporting costs one test.
  using ChangeObserver = std::function<void(std::string_view table, std::string_view action,
                                            const stoploss::Value& row)>;
  void on_change(ChangeObserver observer);

  // One call over the connection to the exchange: counted, its latency added (waited, or moved
  // on the clock), and its fault drawn from the FaultSettings.
  Fault next_call();
  // Whether the live feed is up at this look, as the FaultSettings draw it.
  bool feed_up();

  // Time spent inside the collaborators over this exchange, pauses included: what a request
  // took beyond it is the module's own.
  std::chrono::nanoseconds busy() const { return busy_; }
  // A span of that time opens and closes; spans opened inside an open one count once.
  void open_busy() {
    if (busy_depth_++ == 0) busy_since_ = std::chrono::steady_clock::now();
  }
  void close_busy() {
    if (--busy_depth_ == 0) busy_ += std::chrono::steady_clock::now() - busy_since_;
  }

  SimClock& clock() { return clock_; }
  const FaultSettings& fault_settings() const { return faults_.settings(); }
  long long calls() const { return calls_; }
  long long faults_injected() const { return faults_injected_; }
  long long fills() const { return fills_; }
  long long triggers() const { return triggers_; }

 private:
  void wait_latency();
  stoploss::Value* find(std::string_view key, const stoploss::Value& id);
  stoploss::Value new_record(const SimInstrument& listed, const OrderTerms& terms,
                             const stoploss::Value& request);
  // The order amended as `request` asks, not yet on the book; refused as the exchange would.
  stoploss::Value amended(const stoploss::Value& order, const stoploss::Value& request);
  // Fills what is left of the order at `price` into the account's position, as a maker (an
  // order that rested on the book) or a taker; the trade is kept and reported as an execution.
  void fill(stoploss::Value& order, double price, bool maker = false);
  void close(stoploss::Value& order, const std::string& status, const std::string& text);
  // Cancels the open order, its text prefixed with why ("Canceled via API." when `text` is
  // empty), and reports the change.
  void cancel_open(stoploss::Value& order, const std::string& text);
  // Triggers or fills the open order as the market moving to `price` makes it.
  void follow_price(stoploss::Value& order, const SimInstrument& listed, double price);
  // A copy of `row` to report its change from, while someone listens; null otherwise.
  stoploss::Value watch(const stoploss::Value& row) const {
    return observer_ ? row : stoploss::Value();
  }
  // Reports the change of `after` since `before` (from watch()); a null `before` inserts it.
  void report(std::string_view table, const stoploss::Value& before, const stoploss::Value& after);
  // The feed's position row of `symbol`, null when the account never traded it or nobody listens.
  stoploss::Value position_row(std::string_view symbol) const;
  // Report what changed in the book of `symbol`, and in the account's margin, since last reported.
  void report_book(std::string_view symbol);
  void report_margin();
  // Reports the bucket of the minute ending at `end` of `symbol`'s trades.
  void report_bucket(std::string_view symbol, double end);
  void drop_old_closed();
  std::size_t open_stops(std::string_view symbol) const;
  SimClock clock_;
  FaultInjector faults_;
  std::map<std::string, SimInstrument, std::less<>> instruments_;
  std::map<std::string, int, std::less<>> listing_numbers_;  // in the order first listed
  stoploss::RecordList book_;  // every order kept, in the order placed
  stoploss::RecordList executions_;
  std::deque<PublicTrade> tape_;
  long long prints_ = 0;
  // Puts a trade on the tape; called before the trade moves the contract's last price.
  void print(const SimInstrument& contract, std::string_view side, long long size, double price);
  std::map<std::string, Position, std::less<>> positions_;
  std::uint64_t seed_;
  long long next_order_ = 1;
  long long next_execution_ = 1;
  std::optional<double> cancel_all_at_;  // on the clock
  long long calls_ = 0;
  long long faults_injected_ = 0;
  long long fills_ = 0;
  long long triggers_ = 0;
  std::chrono::nanoseconds busy_{0};
  int busy_depth_ = 0;
  std::chrono::steady_clock::time_point busy_since_{};
  ChangeObserver observer_;
  // The books (all levels, the nearest kNearestLevels) and the margin as last reported.
  struct ShownBook {
    stoploss::RecordList all, nearest;
  };
  std::map<std::string, ShownBook, std::less<>> shown_books_;
  stoploss::Value shown_margin_;
};

}  // namespace sim
