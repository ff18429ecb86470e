#include "Core/sim/sim_components.hpp"

#include <thread>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "Core/utils/host_components.hpp"
#include "Core/utils/rounding.hpp"

namespace sim {
namespace {

using stoploss::RecordList;
using stoploss::Value;

// Adds the time of its own life to the exchange's busy time.
class Busy {
 public:
  explicit Busy(SimExchange& exchange)
      : exchange_(exchange), started_(std::chrono::steady_clock::now()) {}
  ~Busy() { exchange_.add_busy(std::chrono::steady_clock::now() - started_); }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;

 private:
  SimExchange& exchange_;
  std::chrono::steady_clock::time_point started_;
};

class OverExchange {
 public:
  explicit OverExchange(SimExchange& exchange) : exchange_(exchange) {}

 protected:
  SimExchange& exchange_;
};

class SimBitmex final : public stoploss::Bitmex_Wrapper, OverExchange {
 public:
  using OverExchange::OverExchange;
  // The tick comes from the wrapper's instrument cache, without a call.
  Value ReturnTicker(const std::string& pair) override {
    const Busy busy(exchange_);
    return exchange_.instrument(pair).tickSize;
  }
  Value instrument(const std::string& pair) override {
    const Busy busy(exchange_);
    return exchange_.call("Bitmex_Wrapper.instrument", "instrument", [&] {
      return instrument_record(exchange_.instrument(pair), exchange_.clock().timestamp());
    });
  }
  bool WS_Status() override { return exchange_.feed_up(); }
};

class SimQuorCalls final : public stoploss::QuorCalls, OverExchange {
 public:
  using OverExchange::OverExchange;
  Value toNearest(double price, double step) override {
    const Busy busy(exchange_);
    return utils::nearest_multiple(price, step);
  }
  void CLEAN_Stops(const std::string& pair) override {
    const Busy busy(exchange_);
    exchange_.call("QuorCalls.CLEAN_Stops", "order/all", [&] { exchange_.cancel_stops(pair); });
  }
  Value open_orders(const std::string& pair, std::optional<bool> /*Force*/) override {
    const Busy busy(exchange_);
    return exchange_.call("QuorCalls.open_orders", "order",
                          [&] { return Value(exchange_.open_orders(pair)); });
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    const Busy busy(exchange_);
    return exchange_.call("QuorCalls.STOP_order", "order", [&] {
      return exchange_.place_stop(pair, stoploss::to_float(stopPx), orderQty, options.clOrdLinkID,
                                  options.Text);
    });
  }
};

class SimAmendBulk final : public stoploss::Amend_bulk, OverExchange {
 public:
  using OverExchange::OverExchange;
  void orders(const std::string& /*pair*/, const RecordList& to_amend) override {
    const Busy busy(exchange_);
    exchange_.call("Amend_bulk.orders", "order/bulk", [&] { exchange_.amend(to_amend); });
  }
};

class SimCancelBulk final : public stoploss::Cancel_bulk, OverExchange {
 public:
  using OverExchange::OverExchange;
  void orders(const std::string& /*pair*/, RecordList& to_cancel, bool /*Quiet*/) override {
    const Busy busy(exchange_);
    exchange_.call("Cancel_bulk.orders", "order", [&] { exchange_.cancel(to_cancel); });
  }
};

class SimRiskManager final : public stoploss::RiskManager, OverExchange {
 public:
  using OverExchange::OverExchange;
  Value get_portfolio(const std::string& pair) override {
    const Busy busy(exchange_);
    return exchange_.call("RiskManager.get_portfolio", "instrument", [&] {
      return instrument_record(exchange_.instrument(pair), exchange_.clock().timestamp());
    });
  }
};

class SimSleep final : public stoploss::Sleep, OverExchange {
 public:
  SimSleep(SimExchange& exchange, bool real) : OverExchange(exchange), real_(real) {}
  void sleep(double seconds) override {
    const Busy busy(exchange_);
    if (real_) {
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    } else {
      exchange_.clock().advance(seconds);
    }
  }

 private:
  bool real_;
};

class MeteredLog final : public stoploss::HouseLog, OverExchange {
 public:
  MeteredLog(SimExchange& exchange, std::shared_ptr<stoploss::HouseLog> log)
      : OverExchange(exchange), log_(std::move(log)) {}
  void info_log(const std::string& message, int level) override {
    const Busy busy(exchange_);
    log_->info_log(message, level);
  }
  void info_warn(const std::string& message, std::optional<int> level) override {
    const Busy busy(exchange_);
    log_->info_warn(message, level);
  }
  void info_critical(const std::string& message, int level) override {
    const Busy busy(exchange_);
    log_->info_critical(message, level);
  }

 private:
  std::shared_ptr<stoploss::HouseLog> log_;
};

}  // namespace

stoploss::ComponentTable sim_components(SimExchange& exchange, const SimHostOptions& options) {
  return stoploss::component_table(
      {.sleep = std::make_shared<SimSleep>(exchange, options.real_pauses),
       .get_dir = std::make_shared<utils::InstallDir>(options.install_dir),
       .bitmex = std::make_shared<SimBitmex>(exchange),
       .house_log = options.log ? std::make_shared<MeteredLog>(exchange, options.log) : nullptr,
       .quor_calls = std::make_shared<SimQuorCalls>(exchange),
       .module_handler = std::make_shared<utils::Registry>(),
       .risk_manager = std::make_shared<SimRiskManager>(exchange),
       .amend_bulk = std::make_shared<SimAmendBulk>(exchange),
       .cancel_bulk = std::make_shared<SimCancelBulk>(exchange)});
}

}  // namespace sim
