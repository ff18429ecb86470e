#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Core/collaborators/record.hpp"

namespace feed {

// A table's rows for one pair, in the exchange's order, shared and never changed once handed out.
using Snapshot = std::shared_ptr<const stoploss::RecordList>;

struct TableLimits {
  std::size_t max_rows = 10000;      // per table and pair; the exchange allows 200 open orders
  std::size_t closed_memory = 4096;  // closed order IDs remembered
};

// A message that does not read as the exchange's table diff, or one that would grow a table
// past its bound. The connection that sent it cannot be trusted any further.
class FeedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The realtime feed's tables for the subscribed pairs (every pair, with none given: each table is
// then subscribed whole and read a pair at a time), kept from each `partial` and merged with
// `insert`, `update` and `delete` by the keys the partial names, in the order they arrive.
// Rows of other pairs, and diffs for a pair before its partial, are ignored. The order table
// holds open orders only: a row whose ordStatus is closed (Filled, Canceled, Rejected) or that is
// deleted leaves it for good, and its orderID is remembered so that no later record reopens it.
// Not thread-safe.
class FeedTables {
 public:
  FeedTables(const std::vector<std::string>& tables, const std::vector<std::string>& pairs,
             TableLimits limits = {});

  // "table:PAIR" for every table and pair, as subscribed; "table" for each, with no pairs.
  std::vector<std::string> topics() const;

  // Applies one message of the form {"table", "action", ["keys"], ["filter"], "data"}. Throws
  // FeedError for a malformed one or a table past its bound.
  void apply(const stoploss::Value& message);

  // An order record the REST API answered. Applied unless it is older (by `timestamp`) than the
  // row held, the order is known closed, or the pair has no partial; a closed record closes the
  // order whatever its time, since no order ever reopens. Returns whether it changed the table.
  bool apply_order(const stoploss::Value& record);

  // Whether every topic has had its partial.
  bool complete() const;
  // Forgets every row and partial; the closed orders stay remembered.
  void clear();

  // The rows of `table` for `pair` (of every pair, with "" for a table subscribed whole), or null
  // before its partial; cheap until the next change.
  Snapshot rows(std::string_view table, std::string_view pair);

 private:
  struct Topic {
    bool partial = false;
    std::vector<std::string> keys{};
    std::map<std::uint64_t, stoploss::Value> rows{};  // by arrival: the exchange's order
    std::unordered_map<std::string, std::uint64_t> index{};
    std::uint64_t next = 0;
    Snapshot snapshot{};                                     // null when it must be rebuilt
    std::map<std::string, Snapshot, std::less<>> by_pair{};  // of a whole table's rows
    void changed() {
      snapshot.reset();
      by_pair.clear();
    }
  };
  struct Closed {
    std::deque<std::string> order{};
    std::unordered_set<std::string> ids{};
  };

  Topic* topic(std::string_view table, std::string_view pair);
  Topic* topic_of(std::string_view table, const stoploss::Value& row);
  void partial(const std::string& table, const stoploss::Value& message);
  void insert(const std::string& table, Topic& topic, const stoploss::Value& row);
  void update(const std::string& table, Topic& topic, const stoploss::Value& row);
  void erase(Topic& topic, const std::string& key);
  void remember_closed(const stoploss::Value& row);
  bool known_closed(const stoploss::Value& row) const;

  TableLimits limits_;
  std::map<std::string, Topic, std::less<>> topics_;
  Closed closed_;
};

// Whether `status` is an ordStatus after which the order never works again.
bool closed_status(const stoploss::Value& status);

// Orders two ISO-8601 UTC times ("2026-12-06T19:29:57.123Z"): negative, zero or positive, or
// nullopt when either does not read as one.
std::optional<int> compare_times(const stoploss::Value& a, const stoploss::Value& b);

}  // namespace feed
