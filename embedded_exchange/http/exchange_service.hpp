#pragma once

#include <map>
#include <memory>
#include <string>

#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/http_listener.hpp"
#include "embedded_exchange/http/sim_server.hpp"

namespace sim {

// The exchange's REST routes under /api/v1 as its HTTP server answers them, apart from any
// connection: signatures and expiries checked, rate limits counted and sent as headers, faults
// drawn or scripted, then the route's answer or the exchange's error body. SimServer serves its
// connections with it; a client in the same process can be answered by it directly.
// `exchange` must outlive it. Not thread-safe: one request at a time.
class ExchangeService {
 public:
  ExchangeService(SimExchange& exchange, const ServerSettings& settings);
  ~ExchangeService();
  ExchangeService(const ExchangeService&) = delete;
  ExchangeService& operator=(const ExchangeService&) = delete;

  HttpAnswer serve(const HttpRequest& req);

  // The next requests' faults, in order, instead of drawn ones: of any request, or of the next
  // request on `route` ("POST /api/v1/order").
  void fail_next(ServerFault fault, std::string route);
  // Requests received on the routes, whatever their answer, by "VERB /api/v1/path".
  const std::map<std::string, int>& requests() const;
  void reset_counts();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// A JSON answer with `status` and `body`.
HttpAnswer json_answer(int status, std::string body);

}  // namespace sim
