#pragma once

#include <chrono>
#include <memory>

#include "Core/collaborators/component_table.hpp"
#include "Core/collaborators/record.hpp"

namespace bench {

// What the exchange shows: the listing before the request acts and after it, and the answer
// to a placement.
struct Script {
  stoploss::Value before;
  stoploss::Value after;
  stoploss::Value placement;
};

// Every collaborator answering from memory. Their own time and allocations are kept apart,
// so that what a request costs beyond them is the module's own; pauses are recorded.
class MemoryExchange {
 public:
  explicit MemoryExchange(Script script);
  ~MemoryExchange();

  stoploss::ComponentTable components();
  // Starts a request: the first two listings show `before`, later ones `after`.
  void next_request();
  std::chrono::nanoseconds outside() const;  // time inside the collaborators
  long calls() const;                        // calls that go to an exchange
  // Time to release twins of the listings handed out: the module's cost of dropping them.
  std::chrono::nanoseconds releases() const;

  struct State;  // shared with the collaborators

 private:
  std::shared_ptr<State> state_;
};

}  // namespace bench
