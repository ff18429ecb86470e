#pragma once

#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/exchange_service.hpp"
#include "exchange/rest/transport.hpp"

namespace sim {

// The REST client's requests answered by the exchange's service in this process, without a
// socket. Each try is a call over the exchange's connection (SimExchange::next_call): its
// latency added and its fault drawn from the exchange's FaultSettings: an overload is answered
// 503 before the exchange acts, a refused connection reaches nothing, and a lost answer comes
// after the exchange acted ("Timed out"), as does an answer the service holds back past the
// try's deadline. The time a try takes goes to the exchange's busy time. `service` and
// `exchange` must outlive it.
class InProcessTransport final : public rest::Transport {
 public:
  InProcessTransport(ExchangeService& service, SimExchange& exchange, std::string authority);

  const std::string& authority() const override { return authority_; }
  std::variant<rest::Answer, rest::Unreached> exchange(const rest::HttpRequest& request,
                                                       std::string_view name,
                                                       std::chrono::milliseconds within) override;

 private:
  ExchangeService& service_;
  SimExchange& exchange_;
  std::string authority_;
};

}  // namespace sim
