#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace sim {

// A seeded random walk on the tick, endless: each price moves about `volatility` (a fraction of
// the price) from the one before; the first is `start`.
class RandomWalk {
 public:
  RandomWalk(double start, double tick, double volatility, std::uint64_t seed);
  double next();
  // Goes on from `price` (on the tick), as after a jump of the market.
  void jump_to(double price);

 private:
  double price_;
  double tick_;
  std::mt19937_64 generator_;
  std::normal_distribution<double> move_;
};

// Moves the market at a pace, in real time, on a thread of its own: what moves the market of an
// exchange served over HTTP. `move` (or `apply`) runs on that thread and must take whatever lock
// guards the exchange (SimServer::with_exchange).
class PriceFeed {
 public:
  using Move = std::function<bool()>;                     // false: the path has ended
  using Source = std::function<std::optional<double>()>;  // nothing: the path has ended
  using Apply = std::function<void(double)>;

  PriceFeed(Move move, std::chrono::milliseconds pace);
  // One price at a time from `source`, given to `apply`.
  PriceFeed(Source source, Apply apply, std::chrono::milliseconds pace);
  ~PriceFeed();  // stops
  PriceFeed(const PriceFeed&) = delete;
  PriceFeed& operator=(const PriceFeed&) = delete;

  // Applies the next price now; false once the path has ended. Not while running.
  bool step();
  // Steps every `pace` from now until the path ends or stop(). Throws std::logic_error when
  // already running.
  void start();
  // Returns once the thread has ended, within one application of a price. Safe to call twice.
  void stop();
  long long steps() const;

 private:
  void run(const std::stop_token& stopped);
  Move move_;
  std::chrono::milliseconds pace_;
  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  long long steps_ = 0;
  std::jthread thread_;  // last: ended before what it uses goes
};

// A path that gives `prices` in order, then ends.
PriceFeed::Source path_of(std::vector<double> prices);

}  // namespace sim
