#include "exchange/feed/feed_client.hpp"

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "Core/collaborators/failures.hpp"
#include "Core/utils/unix_time.hpp"
#include "exchange/feed/feed_messages.hpp"
#include "exchange/net/exchange_url.hpp"
#include "exchange/net/tls_context.hpp"

namespace feed {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using asio::use_awaitable;
using PlainSocket = websocket::stream<beast::tcp_stream>;
using TlsSocket = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

constexpr std::string_view kPing = "ping";
constexpr std::size_t kKeptBuffer = 1 << 20;  // a larger buffer is let go after its message

std::string ms(std::chrono::milliseconds duration) {
  return std::to_string(duration.count()) + " ms";
}

// One session's connection, shared by its reader and its watchdog so that neither outlives it.
template <class Socket>
struct Link {
  template <class... Layers>
  explicit Link(asio::io_context& io, Layers&... layers)
      : resolver(io), ws(io, layers...), timer(io) {}

  tcp::resolver resolver;
  Socket ws;
  asio::steady_timer timer;
  Clock::time_point deadline{};
  bool ready = false;    // authenticated and every partial in
  bool pinged = false;   // "ping" sent since the last message
  bool writing = false;  // a ping on its way: websocket writes must not overlap
  bool over = false;
  std::string reason{};  // why the watchdog dropped it

  void drop(std::string why) {
    if (reason.empty()) reason = std::move(why);
    resolver.cancel();
    beast::get_lowest_layer(ws).close();
  }
};

struct Outcome {
  bool was_up = false;
  std::string reason{};
};

}  // namespace

class FeedClient::Impl {
 public:
  Impl(FeedSettings settings, auth::Credentials credentials)
      : settings_(std::move(settings)),
        credentials_(std::move(credentials)),
        origin_(rest::parse_exchange_url(settings_.base_url)),
        tables_(settings_.tables, settings_.pairs, settings_.limits),
        topics_(tables_.topics()) {
    if (origin_.tls) tls_.emplace(rest::exchange_tls_context(settings_.ca_file));
  }

  ~Impl() { stop(); }

  void start() {
    if (thread_.joinable() || stopped_) throw std::logic_error("the feed was already started");
    asio::co_spawn(io_, run(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }

  void stop() {
    stopped_ = true;
    ready_ = false;
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  bool up() const {
    const Clock::time_point heard{Clock::duration(last_heard_.load())};
    return ready_ && Clock::now() - heard < settings_.stale_after;
  }

  Snapshot rows(std::string_view table, std::string_view pair) const {
    const std::lock_guard lock(mutex_);
    return tables_.rows(table, pair);
  }

  bool apply(const stoploss::Value& record) {
    const std::lock_guard lock(mutex_);
    return tables_.apply_order(record);
  }

  void resubscribe(std::string why) {
    ready_ = false;
    resubscribing_ = true;
    asio::post(io_, [this, why = std::move(why)]() mutable {
      if (drop_session_) drop_session_("subscribing afresh: " + std::move(why));
    });
  }

  FeedCounters counters() const {
    return {messages_.load(), pongs_.load(), pings_.load(), connections_.load(), drops_.load()};
  }

  std::string last_error() const {
    const std::lock_guard lock(mutex_);
    return last_error_;
  }

 private:
  asio::awaitable<void> run() {
    asio::steady_timer pause(io_);
    std::chrono::milliseconds wait = settings_.backoff;
    for (;;) {
      Outcome outcome;
      if (tls_) {
        outcome = co_await session(std::make_shared<Link<TlsSocket>>(io_, *tls_));
      } else {
        outcome = co_await session(std::make_shared<Link<PlainSocket>>(io_));
      }
      ready_ = false;
      ++drops_;
      {
        const std::lock_guard lock(mutex_);
        if (resubscribing_.exchange(false)) {
          tables_ = FeedTables(settings_.tables, settings_.pairs, settings_.limits);
        } else {
          tables_.clear();
        }
        last_error_ = std::move(outcome.reason);
      }
      if (outcome.was_up) wait = settings_.backoff;
      pause.expires_after(wait);
      beast::error_code ignored;
      co_await pause.async_wait(asio::redirect_error(use_awaitable, ignored));
      wait = std::min(wait * 2, settings_.max_backoff);
    }
  }

  template <class Socket>
  asio::awaitable<Outcome> session(std::shared_ptr<Link<Socket>> link) {
    Outcome outcome;
    try {
      link->deadline = Clock::now() + settings_.connect_deadline;
      heard();
      drop_session_ = [weak = std::weak_ptr(link)](std::string why) {
        if (const auto held = weak.lock()) held->drop(std::move(why));
      };
      asio::co_spawn(io_, watch(link), asio::detached);
      co_await converse(*link);
    } catch (const std::exception& failure) {
      outcome.reason = link->reason.empty() ? failure.what() : link->reason;
    }
    outcome.was_up = link->ready;
    drop_session_ = nullptr;
    link->over = true;
    link->timer.cancel();
    beast::get_lowest_layer(link->ws).close();
    co_return outcome;
  }

  // Connects and reads until the connection fails or is dropped; throws why.
  template <class Socket>
  asio::awaitable<void> converse(Link<Socket>& link) {
    Socket& ws = link.ws;
    const auto addresses =
        co_await link.resolver.async_resolve(origin_.host, origin_.port, use_awaitable);
    co_await beast::get_lowest_layer(ws).async_connect(addresses, use_awaitable);
    if constexpr (std::is_same_v<Socket, TlsSocket>) {
      beast::error_code not_ip;
      asio::ip::make_address(origin_.host, not_ip);
      // Server name indication takes a host name only, never an address.
      if (not_ip &&
          !SSL_set_tlsext_host_name(ws.next_layer().native_handle(), origin_.host.c_str())) {
        throw std::runtime_error("cannot set the TLS server name");
      }
      ws.next_layer().set_verify_callback(ssl::host_name_verification(origin_.host));
      co_await ws.next_layer().async_handshake(ssl::stream_base::client, use_awaitable);
    }
    ws.read_message_max(settings_.max_message_bytes);
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& request) { request.set("User-Agent", "stoploss"); }));
    co_await ws.async_handshake(origin_.authority, "/realtime", use_awaitable);
    ++connections_;
    ws.text(true);
    enum class Phase { kWelcome, kAuthorizing, kSubscribed } phase = Phase::kWelcome;
    beast::flat_buffer buffer;
    for (;;) {
      buffer.consume(buffer.size());
      if (buffer.capacity() > kKeptBuffer) buffer.shrink_to_fit();
      co_await ws.async_read(buffer, use_awaitable);
      heard();
      link.pinged = false;
      ++messages_;
      const std::string_view text(static_cast<const char*>(buffer.data().data()), buffer.size());
      if (text == "pong") {
        ++pongs_;
        continue;
      }
      stoploss::Value message;
      try {
        message = stoploss::parse_json(text);
      } catch (const stoploss::ValueError& unreadable) {
        throw FeedError(std::string("unreadable message: ") + unreadable.what());
      }
      switch (classify(message)) {
        case Reply::kWelcome:
          if (phase != Phase::kWelcome) break;
          phase = Phase::kAuthorizing;
          co_await send(ws, auth_message(credentials_,
                                         utils::unix_now() + settings_.auth_expires_after.count()));
          break;
        case Reply::kAuthorized:
          if (phase != Phase::kAuthorizing) break;
          phase = Phase::kSubscribed;
          co_await send(ws, subscribe_message(topics_));
          break;
        case Reply::kRefused:
          throw FeedError("refused: " + refusal_text(message));
        case Reply::kTable: {
          const std::lock_guard lock(mutex_);
          tables_.apply(message);
          if (phase == Phase::kSubscribed && !link.ready && tables_.complete()) {
            link.ready = true;
            ready_ = true;
          }
          break;
        }
        case Reply::kSubscribed:
        case Reply::kOther:
          break;
      }
    }
  }

  template <class Socket>
  asio::awaitable<void> send(Socket& ws, std::string text) {
    co_await ws.async_write(asio::buffer(text), use_awaitable);
  }

  // Sends "ping" after ping_after of silence once the feed is up, and drops the connection after
  // stale_after of silence, or when it is not up by the connect deadline.
  template <class Socket>
  asio::awaitable<void> watch(std::shared_ptr<Link<Socket>> link) {
    while (!link->over) {
      const Clock::time_point now = Clock::now();
      const Clock::time_point heard{Clock::duration(last_heard_.load())};
      if (!link->ready && now >= link->deadline) {
        link->drop("not up within " + ms(settings_.connect_deadline) +
                   " (connect, authenticate, subscribe, partials)");
        co_return;
      }
      if (now - heard >= settings_.stale_after) {
        link->drop("nothing heard for " + ms(settings_.stale_after));
        co_return;
      }
      if (link->ready && !link->pinged && !link->writing && now - heard >= settings_.ping_after) {
        link->pinged = true;
        link->writing = true;
        ++pings_;
        // Not awaited: a peer that stops reading must not stall the watchdog.
        link->ws.async_write(
            asio::buffer(kPing.data(), kPing.size()),
            [link](const beast::error_code&, std::size_t) { link->writing = false; });
      }
      Clock::time_point next = heard + settings_.stale_after;
      if (!link->ready) next = std::min(next, link->deadline);
      if (link->ready && !link->pinged) next = std::min(next, heard + settings_.ping_after);
      link->timer.expires_at(next);
      beast::error_code ignored;
      co_await link->timer.async_wait(asio::redirect_error(use_awaitable, ignored));
    }
  }

  void heard() { last_heard_ = Clock::now().time_since_epoch().count(); }

  const FeedSettings settings_;
  const auth::Credentials credentials_;
  const rest::ExchangeUrl origin_;
  std::optional<ssl::context> tls_;
  mutable std::mutex mutex_;
  mutable FeedTables tables_;  // guarded by mutex_; its snapshots are cached on reading
  const std::vector<std::string> topics_;
  std::string last_error_;                         // guarded by mutex_
  std::function<void(std::string)> drop_session_;  // the session's, on the feed's thread only
  std::atomic<bool> resubscribing_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<Clock::rep> last_heard_{0};
  std::atomic<std::uint64_t> messages_{0}, pongs_{0}, pings_{0}, connections_{0}, drops_{0};
  // Last but the thread: destroying it ends the sessions still pending, which use the above.
  asio::io_context io_;
  std::thread thread_;
};

FeedClient::FeedClient(FeedSettings settings, auth::Credentials credentials)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(credentials))) {}

FeedClient::~FeedClient() = default;

void FeedClient::start() { impl_->start(); }
void FeedClient::stop() { impl_->stop(); }
bool FeedClient::up() const { return impl_->up(); }
Snapshot FeedClient::open_orders(std::string_view pair) const { return impl_->rows("order", pair); }
Snapshot FeedClient::positions(std::string_view pair) const {
  return impl_->rows("position", pair);
}

std::shared_ptr<const stoploss::Value> FeedClient::instrument(std::string_view pair) const {
  Snapshot rows = impl_->rows("instrument", pair);
  if (!rows || rows->empty()) return nullptr;
  const stoploss::Value* row = &rows->front();
  return {std::move(rows), row};  // shares the snapshot's ownership
}

bool FeedClient::apply(const stoploss::Value& order_record) { return impl_->apply(order_record); }
void FeedClient::resubscribe(std::string why) { impl_->resubscribe(std::move(why)); }
FeedCounters FeedClient::counters() const { return impl_->counters(); }
std::string FeedClient::last_error() const { return impl_->last_error(); }

}  // namespace feed
