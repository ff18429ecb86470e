// Host threads reach one manager over one embedded exchange only through host::SerialHost; its
// lock is all the module and the collaborators need (run it under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/sim/sim_components.hpp"
#include "Core/sim/sim_exchange.hpp"
#include "Core/utils/host_components.hpp"
#include "host/serial_host.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using stoploss::Value;

// The rounded price of the last request per price step, which tells the pairs apart. Only ever
// called inside the host's lock, like every collaborator.
class LastRounded final : public stoploss::QuorCalls {
 public:
  explicit LastRounded(std::shared_ptr<stoploss::QuorCalls> inner) : inner_(std::move(inner)) {}
  Value toNearest(double price, double step) override {
    return last[step] = inner_->toNearest(price, step);
  }
  void CLEAN_Stops(const std::string& pair) override { inner_->CLEAN_Stops(pair); }
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    return inner_->open_orders(pair, Force);
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    return inner_->STOP_order(pair, stopPx, orderQty, options);
  }
  std::map<double, Value> last;

 private:
  std::shared_ptr<stoploss::QuorCalls> inner_;
};

TEST(SerialHost, RequestsFromManyThreadsLeaveOneStopAtEachPairsLastPrice) {
  sim::SimExchange exchange;
  exchange.list(sim::xbtusd(10000, 1));
  exchange.list(sim::ethusd(2000));
  stoploss::ComponentTable table =
      sim::sim_components(exchange, {.log = std::make_shared<utils::SilentLog>()});
  const auto rounded = std::make_shared<LastRounded>(table.find<stoploss::QuorCalls>("QuorCalls"));
  table.add<stoploss::QuorCalls>("QuorCalls", rounded);
  StopLoss::load(table);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD", "ETHUSD"}));

  host::SerialHost host;
  constexpr int kThreads = 8;
  constexpr int kRequests = 25;
  std::vector<int> confirmed(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&host, &confirmed, t] {
        std::mt19937 dice(static_cast<unsigned>(t));
        for (int i = 0; i < kRequests; ++i) {
          const bool xbt = (t + i) % 2 == 0;
          const double below = 100.0 * std::uniform_int_distribution<int>(1, 5)(dice);
          const auto placed = host.request(xbt ? "XBTUSD" : "ETHUSD",
                                           xbt ? 10000 - below + 0.3 : 2000 - below / 10 + 0.01,
                                           {.Verification = i % 3 == 0});
          confirmed[t] += placed == true;
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(confirmed[t], kRequests) << "thread " << t;
  for (const auto& [pair, step] : {std::pair{"XBTUSD", 0.5}, std::pair{"ETHUSD", 0.05}}) {
    std::vector<double> book = exchange.stop_prices(pair);
    ASSERT_EQ(rounded->last.count(step), 1u) << pair;
    EXPECT_EQ(std::count(book.begin(), book.end(), rounded->last[step].get<double>()), 1) << pair;
    std::sort(book.begin(), book.end());
    EXPECT_EQ(std::adjacent_find(book.begin(), book.end()), book.end()) << pair;
  }
}

}  // namespace
