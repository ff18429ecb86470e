#include "metrics_server.hpp"

namespace app::guard {
namespace {

sim::HttpAnswer plain(int status, std::string body) {
  return {.status = status,
          .headers = {{"Content-Type", "text/plain; version=0.0.4; charset=utf-8"}},
          .body = std::move(body)};
}

}  // namespace

MetricsServer::MetricsServer(const LoopbackEndpoint& where)
    : listener_(
          {.connections = 16}, [this](const sim::HttpRequest& request) { return answer(request); },
          [](int status, std::string_view message) {
            return plain(status, std::string(message));
          }) {
  port_ = listener_.start(where.host, where.port);
}

void MetricsServer::publish(std::string page) {
  auto shared = std::make_shared<const std::string>(std::move(page));
  const std::lock_guard lock(mutex_);
  page_ = std::move(shared);
}

sim::HttpAnswer MetricsServer::answer(const sim::HttpRequest& request) {
  if (request.path() != "/metrics") return plain(404, "only /metrics is served here\n");
  if (request.method != "GET") return plain(405, "GET /metrics\n");
  std::shared_ptr<const std::string> page;
  {
    const std::lock_guard lock(mutex_);
    page = page_;
  }
  return plain(200, *page);
}

}  // namespace app::guard
