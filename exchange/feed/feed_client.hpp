#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "exchange/auth/credentials.hpp"
#include "exchange/feed/feed_tables.hpp"
#include "exchange/rest/live_feed.hpp"

namespace feed {

struct FeedSettings {
  std::string base_url = "https://testnet.bitmex.com";  // as for REST; the feed is at /realtime
  std::vector<std::string> pairs{};  // none: every pair (each table subscribed whole)
  std::vector<std::string> tables{"order", "position", "instrument"};
  std::chrono::milliseconds connect_deadline{10000};  // from connecting to the last partial
  std::chrono::milliseconds ping_after{5000};         // silence after which "ping" is sent
  std::chrono::milliseconds stale_after{10000};  // silence after which the feed is down and dropped
  std::chrono::milliseconds backoff{500};        // the first wait before connecting again; doubles
  std::chrono::milliseconds max_backoff{30000};
  std::chrono::seconds auth_expires_after{10};  // validity of the authentication's signature
  std::size_t max_message_bytes = std::size_t{16} << 20;
  TableLimits limits{};
  std::string ca_file{};  // PEM certificates to trust instead of the system's, when set
};

struct FeedCounters {
  std::uint64_t messages = 0;  // every message received, "pong" included
  std::uint64_t pongs = 0;
  std::uint64_t pings = 0;        // sent
  std::uint64_t connections = 0;  // websocket handshakes made
  std::uint64_t drops = 0;        // sessions that ended, whatever the cause
};

// The exchange's realtime feed (wss:// for an https:// base URL, ws:// to a loopback http:// one)
// on a thread of its own: authenticated with authKeyExpires, subscribed to every table for every
// pair, kept alive with "ping" after ping_after of silence, dropped after stale_after of silence,
// a refusal, a message over max_message_bytes, one that is not JSON or nests too deep, or a table
// past its bound; then connected again after a backoff that doubles up to max_backoff, with fresh
// partials (the tables are cleared on every drop). Certificates and host names are verified as
// for REST. Nothing a peer sends ends the process or grows memory without bound.
// Every public function may be called from any thread; none waits on the network.
class FeedClient final : public rest::LiveFeed {
 public:
  // Throws std::invalid_argument for a base_url parse_exchange_url refuses.
  FeedClient(FeedSettings settings, auth::Credentials credentials);
  ~FeedClient();  // stops
  FeedClient(const FeedClient&) = delete;
  FeedClient& operator=(const FeedClient&) = delete;

  // Starts the feed's thread; throws std::logic_error when called twice.
  void start();
  // Ends the connection and the thread; returns promptly. The feed stays down.
  void stop();

  // True only while connected, authenticated, every table has its partial and the exchange was
  // heard from within stale_after.
  bool up() const override;

  // The pair's open orders in the exchange's order, with the REST API's field names; meaningful
  // while up(). A shared snapshot: no lock is held while the caller reads it.
  Snapshot open_orders(std::string_view pair) const override;
  // The pair's position rows; every pair's with "" when the feed has no pairs (every table whole).
  Snapshot positions(std::string_view pair) const;
  // The pair's instrument record, or null before its partial.
  std::shared_ptr<const stoploss::Value> instrument(std::string_view pair) const override;

  // An order record a REST write answered (placed, amended, cancelled), applied at once unless it
  // is older than what the feed holds (see FeedTables::apply_order). Returns whether it applied.
  bool apply(const stoploss::Value& order_record) override;

  // Down at once; the session ends (last_error() gives `why`) and the next one, after the first
  // backoff, starts from fresh partials with every row and remembered closed order forgotten.
  void resubscribe(std::string why) override;

  FeedCounters counters() const;
  // Why the latest session ended or was refused ("" until one did).
  std::string last_error() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace feed
