#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/http_listener.hpp"
#include "embedded_exchange/http/key_check.hpp"
#include "embedded_exchange/realtime/realtime_settings.hpp"

namespace sim {

// Faults of the HTTP layer: chances per request that passed the rate limit and the signature
// check, drawn from the server's seed.
struct ServerFaults {
  double overload = 0;      // 503 before the exchange acts
  double rate_limited = 0;  // 429 before the exchange acts
  double stall = 0;         // the exchange acts; the answer comes stall_for later
  double truncated = 0;     // the exchange acts; the answer's body is cut in half
  std::chrono::milliseconds stall_for{1500};
};

enum class ServerFault { kOverload, kRateLimited, kStall, kTruncated };

struct ServerSettings {
  std::string key;
  std::string secret;
  std::uint64_t seed = 1;
  ServerFaults faults{};
  int rate_limit = 120;                  // a key's requests per minute, refilled continuously
  std::chrono::milliseconds latency{0};  // added to every answer
  // Requests not signed with the key, per minute, all together: they cannot use up the key's
  // budget.
  int unsigned_rate_limit = 30;
  int orders_per_second = 10;  // a key's placements, amendments and cancels
  HttpLimits http{};
  RealtimeLimits realtime{};
  FeedFaults feed_faults{};
};

// Serves a SimExchange over HTTP with the exchange's REST routes under /api/v1, signed
// requests, rate-limit headers and faults, and its realtime feed at /realtime on the same port
// (a websocket, realtime_server.hpp), so that a client and the module over it can be tested end
// to end. A change's feed messages leave after the change's REST answer is made. Requests are
// handled on one thread, one at a time; a client that is slow or hostile holds back no other (see
// HttpLimits).
class SimServer {
 public:
  SimServer(SimExchange& exchange, ServerSettings settings);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds (port 0: any free port) and serves on a background thread; returns the port.
  // Throws std::runtime_error when it cannot bind, std::logic_error when already serving.
  int start(const std::string& host = "127.0.0.1", int port = 0);
  // Stops serving at once, whatever the clients are doing; an answer held back is not sent. Safe
  // to call more than once.
  void stop();

  // The next requests' faults, in order, instead of drawn ones: of any request, or of the
  // next request on `route` ("POST /api/v1/order").
  void fail_next(ServerFault fault, std::string route = "");

  // A fault of the realtime feed now (kStall: for `length`). Any thread.
  void feed_fault(FeedFault fault, std::chrono::milliseconds length = {});
  // The feed's standing faults from now on, instead of ServerSettings::feed_faults. Any thread.
  void set_feed_faults(FeedFaults faults);

  // Requests received on the routes, whatever their answer, by "VERB /api/v1/path".
  std::map<std::string, int> requests() const;
  void reset_counts();

  // Runs `use` between requests: the exchange is not thread-safe, so a test or a price feed
  // that touches it while the server runs goes through here.
  void with_exchange(const std::function<void(SimExchange&)>& use);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
