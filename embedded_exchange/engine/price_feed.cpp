#include "embedded_exchange/engine/price_feed.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "Core/utils/rounding.hpp"

namespace sim {

RandomWalk::RandomWalk(double start, double tick, double volatility, std::uint64_t seed)
    : price_(start), tick_(tick), generator_(seed), move_(0.0, volatility) {}

double RandomWalk::next() {
  const double price = price_;
  price_ = std::max(tick_, utils::nearest_multiple(price_ * (1 + move_(generator_)), tick_));
  return price;
}

void RandomWalk::jump_to(double price) {
  price_ = std::max(tick_, utils::nearest_multiple(price, tick_));
}

PriceFeed::PriceFeed(Move move, std::chrono::milliseconds pace)
    : move_(std::move(move)), pace_(pace) {}

PriceFeed::PriceFeed(Source source, Apply apply, std::chrono::milliseconds pace)
    : PriceFeed(
          [source = std::move(source), apply = std::move(apply)] {
            const std::optional<double> price = source();
            if (price) apply(*price);
            return price.has_value();
          },
          pace) {}

PriceFeed::~PriceFeed() { stop(); }

bool PriceFeed::step() {
  if (!move_()) return false;
  const std::lock_guard lock(mutex_);
  ++steps_;
  return true;
}

void PriceFeed::start() {
  if (thread_.joinable()) throw std::logic_error("the price feed is already running");
  thread_ = std::jthread([this](const std::stop_token& stopped) { run(stopped); });
}

void PriceFeed::stop() {
  if (!thread_.joinable()) return;
  thread_.request_stop();
  thread_.join();
}

long long PriceFeed::steps() const {
  const std::lock_guard lock(mutex_);
  return steps_;
}

void PriceFeed::run(const std::stop_token& stopped) {
  auto next = std::chrono::steady_clock::now() + pace_;
  while (!stopped.stop_requested()) {
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, stopped, next, [] { return false; });  // a stop request wakes it
    }
    if (stopped.stop_requested() || !step()) return;
    // A late step does not make the next ones come in a burst.
    next = std::max(next + pace_, std::chrono::steady_clock::now());
  }
}

PriceFeed::Source path_of(std::vector<double> prices) {
  auto remaining = std::make_shared<std::vector<double>>(std::move(prices));
  std::ranges::reverse(*remaining);
  return [remaining]() -> std::optional<double> {
    if (remaining->empty()) return std::nullopt;
    const double price = remaining->back();
    remaining->pop_back();
    return price;
  };
}

}  // namespace sim
