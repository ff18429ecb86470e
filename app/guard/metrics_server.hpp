#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "embedded_exchange/http/http_listener.hpp"
#include "loopback_endpoint.hpp"

namespace app::guard {

// Serves the latest metrics page at GET /metrics on a loopback address, on a thread of its own,
// under the embedded exchange's HTTP bounds (a slow or greedy client holds nothing up).
class MetricsServer {
 public:
  // Throws std::runtime_error when it cannot listen there.
  explicit MetricsServer(const LoopbackEndpoint& where);
  int port() const { return port_; }
  // The page served from now on. Any thread.
  void publish(std::string page);

 private:
  sim::HttpAnswer answer(const sim::HttpRequest& request);

  std::mutex mutex_;
  std::shared_ptr<const std::string> page_ = std::make_shared<const std::string>();
  sim::HttpListener listener_;  // last: stopped before what it serves goes
  int port_ = 0;
};

}  // namespace app::guard
