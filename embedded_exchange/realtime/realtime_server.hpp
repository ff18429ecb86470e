#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"
#include "embedded_exchange/http/http_upgrade.hpp"
#include "embedded_exchange/realtime/realtime_settings.hpp"

namespace sim {

// The exchange's realtime feed at /realtime, over the websocket connections an HttpListener
// hands over: the welcome, authKeyExpires, subscribe and unsubscribe to the order, position and
// instrument tables (a partial, then an insert or update per change of the exchange), "ping"
// answered "pong", and the feed's faults. Connections live on the listener's thread.
class RealtimeServer final : public UpgradeHandler {
 public:
  // Runs `use` on the exchange under the lock that guards it.
  using WithExchange = std::function<void(const std::function<void(SimExchange&)>&)>;
  // Runs a task on the listener's thread (HttpListener::post).
  using Post = std::function<bool(std::function<void()>)>;

  struct Settings {
    std::string key;
    std::string secret;
    RealtimeLimits limits{};
    FeedFaults faults{};
  };

  RealtimeServer(Settings settings, WithExchange with_exchange, Post post);
  ~RealtimeServer() override;
  RealtimeServer(const RealtimeServer&) = delete;
  RealtimeServer& operator=(const RealtimeServer&) = delete;

  // The exchange's change observer (SimExchange::on_change): under the exchange's lock, so that
  // changes reach the connections in the exchange's order, after the task running now.
  void changed(std::string_view table, std::string_view action, const stoploss::Value& row);

  bool wants(const HttpRequest& request) const override;
  std::optional<HttpAnswer> take(const HttpRequest& request, boost::asio::ip::tcp::socket& socket,
                                 Message& message) override;

  // Any thread.
  void fault(FeedFault fault, std::chrono::milliseconds length);
  void set_faults(FeedFaults faults);

 private:
  class Session;
  struct Change;

  // Why an authKeyExpires (or a handshake's api-* headers) is refused, if it is.
  std::optional<std::string> auth_refusal(std::string_view key, std::string_view expires,
                                          std::string_view signature);
  std::chrono::milliseconds delay() const;
  void publish(const std::shared_ptr<const Change>& change);
  std::vector<std::shared_ptr<Session>> open_sessions() const;
  // Ends the session that has held no subscription for the longest, to make room for a new one;
  // false when every session holds one.
  bool end_idlest_session();

  const Settings settings_;
  const WithExchange with_exchange_;
  const Post post_;
  const stoploss::Value prototypes_;  // a full row of each table, to type a partial's fields
  std::uint64_t changes_ = 0;         // under the exchange's lock
  mutable std::mutex faults_mutex_;
  FeedFaults faults_;
  int refuse_next_ = 0;
  // On the listener's thread:
  std::map<const Session*, std::weak_ptr<Session>> sessions_;
  std::chrono::steady_clock::time_point stalled_until_{};
};

}  // namespace sim
