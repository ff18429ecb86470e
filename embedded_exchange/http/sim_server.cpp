#include "embedded_exchange/http/sim_server.hpp"

#include <mutex>
#include <string_view>
#include <utility>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/http/exchange_service.hpp"
#include "embedded_exchange/http/http_listener.hpp"
#include "embedded_exchange/realtime/realtime_server.hpp"

namespace sim {

using stoploss::Value;

class SimServer::Impl {
 public:
  Impl(SimExchange& exchange, ServerSettings settings)
      : exchange_(exchange),
        settings_(std::move(settings)),
        service_(exchange_, settings_),
        realtime_(
            {settings_.key, settings_.secret, settings_.realtime, settings_.feed_faults},
            [this](const std::function<void(SimExchange&)>& use) { with_exchange(use); },
            [this](std::function<void()> task) { return listener_.post(std::move(task)); }),
        listener_(
            settings_.http,
            [this](const HttpRequest& req) {
              const std::lock_guard lock(mutex_);
              return service_.serve(req);
            },
            [](int status, std::string_view message) {
              return json_answer(status, error_body(message, "HTTPError"));
            }) {
    listener_.upgrade_with(realtime_);
    exchange_.on_change([this](std::string_view table, std::string_view action, const Value& row) {
      realtime_.changed(table, action, row);
    });
  }

  ~Impl() {
    stop();
    with_exchange([](SimExchange& exchange) { exchange.on_change(nullptr); });
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  int start(const std::string& host, int port) { return listener_.start(host, port); }

  void stop() { listener_.stop(); }

  void fail_next(ServerFault fault, std::string route) {
    const std::lock_guard lock(mutex_);
    service_.fail_next(fault, std::move(route));
  }

  void feed_fault(FeedFault fault, std::chrono::milliseconds length) {
    realtime_.fault(fault, length);
  }

  void set_feed_faults(FeedFaults faults) { realtime_.set_faults(faults); }

  std::map<std::string, int> requests() const {
    const std::lock_guard lock(mutex_);
    return service_.requests();
  }

  void reset_counts() {
    const std::lock_guard lock(mutex_);
    service_.reset_counts();
  }

  void with_exchange(const std::function<void(SimExchange&)>& use) {
    const std::lock_guard lock(mutex_);
    use(exchange_);
  }

 private:
  SimExchange& exchange_;
  const ServerSettings settings_;
  mutable std::mutex mutex_;  // the exchange's and the service's
  ExchangeService service_;
  RealtimeServer realtime_;
  HttpListener listener_;  // last: stopped before what its handler uses goes
};

SimServer::SimServer(SimExchange& exchange, ServerSettings settings)
    : impl_(std::make_unique<Impl>(exchange, std::move(settings))) {}

SimServer::~SimServer() = default;

int SimServer::start(const std::string& host, int port) { return impl_->start(host, port); }

void SimServer::stop() { impl_->stop(); }

void SimServer::fail_next(ServerFault fault, std::string route) {
  impl_->fail_next(fault, std::move(route));
}

void SimServer::feed_fault(FeedFault fault, std::chrono::milliseconds length) {
  impl_->feed_fault(fault, length);
}

void SimServer::set_feed_faults(FeedFaults faults) { impl_->set_feed_faults(faults); }

std::map<std::string, int> SimServer::requests() const { return impl_->requests(); }

void SimServer::reset_counts() { impl_->reset_counts(); }

void SimServer::with_exchange(const std::function<void(SimExchange&)>& use) {
  impl_->with_exchange(use);
}

}  // namespace sim
