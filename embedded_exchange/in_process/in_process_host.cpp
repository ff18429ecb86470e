#include "embedded_exchange/in_process/in_process_host.hpp"

#include <thread>

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

class MeteredLog final : public stoploss::HouseLog {
 public:
  MeteredLog(SimExchange& exchange, std::shared_ptr<stoploss::HouseLog> log)
      : exchange_(exchange), log_(std::move(log)) {}
  void info_log(const std::string& message, int level) override {
    const BusyTime busy(exchange_);
    log_->info_log(message, level);
  }
  void info_warn(const std::string& message, std::optional<int> level) override {
    const BusyTime busy(exchange_);
    log_->info_warn(message, level);
  }
  void info_critical(const std::string& message, int level) override {
    const BusyTime busy(exchange_);
    log_->info_critical(message, level);
  }

 private:
  SimExchange& exchange_;
  std::shared_ptr<stoploss::HouseLog> log_;
};

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
        components(rest::rest_components(
            client,
            {.install_dir = options.install_dir,
             .log = options.log ? std::make_shared<MeteredLog>(exchange, options.log) : nullptr,
             // The market moves between any two requests here: read afresh at each look-up.
             .instrument_ttl = std::chrono::milliseconds(0),
             .sleep = sleep,
             .feed = exchange.fault_settings().feed_down_rate > 0
                         ? std::make_shared<ExchangeFeed>(exchange)
                         : nullptr})) {}

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
