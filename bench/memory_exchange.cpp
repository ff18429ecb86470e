#include "memory_exchange.hpp"

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/utils/host_components.hpp"
#include "Core/utils/rounding.hpp"
#include "allocation_counter.hpp"

namespace bench {

using stoploss::RecordList;
using stoploss::Value;
using Clock = std::chrono::steady_clock;

struct MemoryExchange::State {
  Script script;
  int listings = 0;
  long calls = 0;
  std::chrono::nanoseconds outside{0};
  std::chrono::nanoseconds releases{0};
};

namespace {

// Inside a collaborator: its time and allocations are not the module's.
class Outside {
 public:
  explicit Outside(MemoryExchange::State& state, bool exchange_call = true)
      : state_(state), started_(Clock::now()) {
    if (exchange_call) ++state_.calls;
  }
  ~Outside() { state_.outside += Clock::now() - started_; }
  Outside(const Outside&) = delete;
  Outside& operator=(const Outside&) = delete;

 private:
  MemoryExchange::State& state_;
  AllocationCounter::Paused paused_;
  Clock::time_point started_;
};

using State = MemoryExchange::State;

class Memory : public stoploss::Bitmex_Wrapper,
               public stoploss::QuorCalls,
               public stoploss::Amend_bulk,
               public stoploss::Cancel_bulk,
               public stoploss::RiskManager,
               public stoploss::HouseLog,
               public stoploss::Sleep {
 public:
  explicit Memory(std::shared_ptr<State> state) : state_(std::move(state)) {}

  Value ReturnTicker(const std::string&) override {
    const Outside outside(*state_, false);  // from the instrument cache
    return 0.5;
  }
  Value instrument(const std::string&) override {
    const Outside outside(*state_);
    return {{"symbol", "XBTUSD"}, {"maxOrderQty", 10000000}};
  }
  bool WS_Status() override { return true; }
  Value toNearest(double price, double step) override {
    const Outside outside(*state_, false);
    return utils::nearest_multiple(price, step);
  }
  void CLEAN_Stops(const std::string&) override { const Outside outside(*state_); }
  Value open_orders(const std::string&, std::optional<bool>) override {
    const Outside outside(*state_);
    const Value& listing = state_->listings++ < 2 ? state_->script.before : state_->script.after;
    time_release(listing);
    return listing;
  }
  Value STOP_order(const std::string&, const Value&, long long,
                   const stoploss::StopOrderOptions&) override {
    const Outside outside(*state_);
    return state_->script.placement;
  }
  void orders(const std::string&, const RecordList&) override { const Outside outside(*state_); }
  void orders(const std::string&, RecordList& to_cancel, bool) override {
    const Outside outside(*state_);
    to_cancel.clear();
  }
  Value get_portfolio(const std::string&) override {
    const Outside outside(*state_);
    return {{"impactMidPrice", 9100.0}};
  }
  void info_log(const std::string&, int) override { const Outside outside(*state_, false); }
  void info_warn(const std::string&, std::optional<int>) override {
    const Outside outside(*state_, false);
  }
  void info_critical(const std::string&, int) override { const Outside outside(*state_, false); }
  void sleep(double) override { const Outside outside(*state_, false); }

 private:
  // The module drops every listing it receives; what releasing a twin costs estimates the
  // part of its time that goes to that rather than to its own logic.
  void time_release(const Value& listing) {
    Value twin = listing;
    const auto started = Clock::now();
    twin = Value();
    state_->releases += Clock::now() - started;
  }

  std::shared_ptr<State> state_;
};

}  // namespace

MemoryExchange::MemoryExchange(Script script) : state_(std::make_shared<State>()) {
  state_->script = std::move(script);
}

MemoryExchange::~MemoryExchange() = default;

stoploss::ComponentTable MemoryExchange::components() {
  const auto memory = std::make_shared<Memory>(state_);
  return stoploss::component_table({.sleep = memory,
                                    .get_dir = std::make_shared<utils::InstallDir>("/opt/bot"),
                                    .bitmex = memory,
                                    .house_log = memory,
                                    .quor_calls = memory,
                                    .module_handler = std::make_shared<utils::Registry>(),
                                    .risk_manager = memory,
                                    .amend_bulk = memory,
                                    .cancel_bulk = memory});
}

void MemoryExchange::next_request() { state_->listings = 0; }
std::chrono::nanoseconds MemoryExchange::outside() const { return state_->outside; }
long MemoryExchange::calls() const { return state_->calls; }
std::chrono::nanoseconds MemoryExchange::releases() const { return state_->releases; }

}  // namespace bench
