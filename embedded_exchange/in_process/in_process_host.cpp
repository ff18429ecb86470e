#include "embedded_exchange/in_process/in_process_host.hpp"

#include <thread>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/GetDir.hpp"
#include "Core/collaborators/ModuleHandler.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "embedded_exchange/http/exchange_service.hpp"
#include "embedded_exchange/in_process/busy_time.hpp"
#include "embedded_exchange/in_process/in_process_transport.hpp"
#include "exchange/rest/live_feed.hpp"
#include "exchange/rest/rest_client.hpp"
#include "exchange/rest/rest_components.hpp"

namespace sim {
namespace {

using stoploss::Value;

constexpr const char* kKey = "in-process-key";
constexpr const char* kSecret = "in-process-secret";

// The exchange's own book and instruments, as a feed that never lags shows them; down at a look
// as the exchange's FaultSettings draw it.
class ExchangeFeed final : public rest::LiveFeed {
 public:
  explicit ExchangeFeed(SimExchange& exchange) : exchange_(exchange) {}
  bool up() const override { return exchange_.feed_up(); }
  std::shared_ptr<const stoploss::RecordList> open_orders(std::string_view pair) const override {
    return std::make_shared<const stoploss::RecordList>(exchange_.open_orders(pair));
  }
  std::shared_ptr<const Value> instrument(std::string_view pair) const override {
    return std::make_shared<const Value>(
        instrument_record(exchange_.instrument(pair), exchange_.clock().timestamp()));
  }
  bool apply(const Value&) override { return true; }
  void resubscribe(std::string) override {}

 private:
  SimExchange& exchange_;
};

class SimSleep final : public stoploss::Sleep {
 public:
  SimSleep(SimExchange& exchange, bool real) : exchange_(exchange), real_(real) {}
  void sleep(double seconds) override {
    const BusyTime busy(exchange_);
    if (real_) {
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    } else {
      exchange_.clock().advance(seconds);
    }
  }

 private:
  SimExchange& exchange_;
  bool real_;
};

// A collaborator whose every call counts as the exchange's busy time, the REST client's
// reading and writing of messages included: what is left of a request is the module's own.
template <class Contract>
class Metered : public Contract {
 public:
  Metered(SimExchange& exchange, std::shared_ptr<Contract> inner)
      : exchange_(exchange), inner_(std::move(inner)) {}

 protected:
  template <class Call>
  auto metered(Call call) {
    const BusyTime busy(exchange_);
    return call(*inner_);
  }

 private:
  SimExchange& exchange_;
  std::shared_ptr<Contract> inner_;
};

class MeteredLog final : public Metered<stoploss::HouseLog> {
 public:
  using Metered::Metered;
  void info_log(const std::string& message, int level) override {
    metered([&](auto& log) { log.info_log(message, level); });
  }
  void info_warn(const std::string& message, std::optional<int> level) override {
    metered([&](auto& log) { log.info_warn(message, level); });
  }
  void info_critical(const std::string& message, int level) override {
    metered([&](auto& log) { log.info_critical(message, level); });
  }
};

class MeteredBitmex final : public Metered<stoploss::Bitmex_Wrapper> {
 public:
  using Metered::Metered;
  Value ReturnTicker(const std::string& pair) override {
    return metered([&](auto& bitmex) { return bitmex.ReturnTicker(pair); });
  }
  Value instrument(const std::string& pair) override {
    return metered([&](auto& bitmex) { return bitmex.instrument(pair); });
  }
  bool WS_Status() override {
    return metered([](auto& bitmex) { return bitmex.WS_Status(); });
  }
};

class MeteredQuorCalls final : public Metered<stoploss::QuorCalls> {
 public:
  using Metered::Metered;
  Value toNearest(double price, double step) override {
    return metered([&](auto& calls) { return calls.toNearest(price, step); });
  }
  void CLEAN_Stops(const std::string& pair) override {
    metered([&](auto& calls) { calls.CLEAN_Stops(pair); });
  }
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    return metered([&](auto& calls) { return calls.open_orders(pair, Force); });
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    return metered([&](auto& calls) { return calls.STOP_order(pair, stopPx, orderQty, options); });
  }
};

class MeteredRiskManager final : public Metered<stoploss::RiskManager> {
 public:
  using Metered::Metered;
  Value get_portfolio(const std::string& pair) override {
    return metered([&](auto& risk) { return risk.get_portfolio(pair); });
  }
};

class MeteredAmendBulk final : public Metered<stoploss::Amend_bulk> {
 public:
  using Metered::Metered;
  void orders(const std::string& pair, const stoploss::RecordList& to_amend) override {
    metered([&](auto& amend) { amend.orders(pair, to_amend); });
  }
};

class MeteredCancelBulk final : public Metered<stoploss::Cancel_bulk> {
 public:
  using Metered::Metered;
  void orders(const std::string& pair, stoploss::RecordList& to_cancel, bool Quiet) override {
    metered([&](auto& cancel) { cancel.orders(pair, to_cancel, Quiet); });
  }
};

// The collaborators of `table`, each metered.
stoploss::ComponentTable metered(SimExchange& exchange, const stoploss::ComponentTable& table) {
  const auto log = table.find<stoploss::HouseLog>("HouseLog");
  return stoploss::component_table(
      {.sleep = table.find<stoploss::Sleep>("sleep"),
       .get_dir = table.find<stoploss::GetDir>("GetDir"),
       .bitmex = std::make_shared<MeteredBitmex>(
           exchange, table.find<stoploss::Bitmex_Wrapper>("Bitmex_Wrapper")),
       .house_log = log ? std::make_shared<MeteredLog>(exchange, log) : nullptr,
       .quor_calls = std::make_shared<MeteredQuorCalls>(
           exchange, table.find<stoploss::QuorCalls>("QuorCalls")),
       .module_handler = table.find<stoploss::ModuleHandler>("ModuleHandler"),
       .risk_manager = std::make_shared<MeteredRiskManager>(
           exchange, table.find<stoploss::RiskManager>("RiskManager")),
       .amend_bulk = std::make_shared<MeteredAmendBulk>(
           exchange, table.find<stoploss::Amend_bulk>("Amend_bulk")),
       .cancel_bulk = std::make_shared<MeteredCancelBulk>(
           exchange, table.find<stoploss::Cancel_bulk>("Cancel_bulk"))});
}
// Budgets no host's requests in one process reach: the service's rate limits are the HTTP
// tests' business.
ServerSettings unlimited() {
  return {.key = kKey,
          .secret = kSecret,
          .rate_limit = 1 << 30,
          .unsigned_rate_limit = 1 << 30,
          .orders_per_second = 1 << 30};
}

}  // namespace

struct InProcessHost::Parts {
  Parts(SimExchange& exchange, const SimHostOptions& options)
      : service(exchange, unlimited()),
        sleep(std::make_shared<SimSleep>(exchange, options.real_pauses)),
        client(
            {.base_url = "https://sim.bitmex.local"}, auth::Credentials{kKey, kSecret},
            [this](std::chrono::milliseconds wait) {
              sleep->sleep(std::chrono::duration<double>(wait).count());
            },
            {}, std::make_unique<InProcessTransport>(service, exchange, "sim.bitmex.local")),
        components(metered(
            exchange,
            rest::rest_components(
                client,
                {.install_dir = options.install_dir,
                 .log = options.log,
                 // The market moves between any two requests here: read afresh at each look-up.
                 .instrument_ttl = std::chrono::milliseconds(0),
                 .sleep = sleep,
                 .feed = exchange.fault_settings().feed_down_rate > 0
                             ? std::make_shared<ExchangeFeed>(exchange)
                             : nullptr}))) {}

  ExchangeService service;
  std::shared_ptr<SimSleep> sleep;
  rest::RestClient client;
  stoploss::ComponentTable components;
};

InProcessHost::InProcessHost(SimExchange& exchange, SimHostOptions options)
    : parts_(std::make_unique<Parts>(exchange, options)) {}

InProcessHost::~InProcessHost() = default;

stoploss::ComponentTable& InProcessHost::components() { return parts_->components; }

}  // namespace sim
