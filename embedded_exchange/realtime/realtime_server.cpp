#include "embedded_exchange/realtime/realtime_server.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <limits>
#include <ranges>
#include <utility>

#include "Core/utils/unix_time.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/engine/market_data.hpp"
#include "embedded_exchange/engine/sim_account.hpp"
#include "embedded_exchange/engine/table_changes.hpp"
#include "embedded_exchange/http/key_check.hpp"
#include "embedded_exchange/realtime/realtime_messages.hpp"
#include "exchange/auth/refusals.hpp"

namespace sim {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;
using stoploss::RecordList;
using stoploss::Value;

constexpr std::string_view kPath = "/realtime";

std::string json_text(const Value& message) {
  return message.dump(-1, ' ', false, Value::error_handler_t::replace);
}

// The newest trades, executions or buckets a partial holds.
constexpr std::size_t kHistoryRows = 100;

// A full row of each table, from an exchange of its own.
Value prototype_rows() {
  SimExchange scratch;
  scratch.list(xbtusd(9000, 1));
  const Value order = scratch.place({{"symbol", "XBTUSD"},
                                     {"side", "Buy"},
                                     {"orderQty", 1},
                                     {"price", 8000.5},
                                     {"ordType", "Limit"}});
  scratch.place({{"symbol", "XBTUSD"}, {"side", "Buy"}, {"orderQty", 1}, {"ordType", "Market"}});
  const std::string now = scratch.clock().timestamp();
  const Value level = scratch.order_book("XBTUSD", 1).front();
  return {{"order", order},
          {"position", position_records(scratch, now).front()},
          {"instrument", instrument_record(scratch.instrument("XBTUSD"), now)},
          {"execution", scratch.executions().front()},
          {"margin", margin_record(scratch, "XBt", now)},
          {"quote", quote_record(scratch.instrument("XBTUSD"), now)},
          {"trade", scratch.tape().front().record},
          {"tradeBin1m",
           trade_buckets(scratch.tape(), std::chrono::minutes(1), true, scratch.clock()).front()},
          {"orderBookL2", level},
          {"orderBookL2_25", level}};
}

// The rows `make` gives for each listed contract the topic names (all when it names none), in
// symbol order.
template <typename Make>
RecordList per_contract(SimExchange& exchange, const Topic& topic, const Make& make) {
  RecordList rows;
  for (const auto& [symbol, listed] : exchange.instruments()) {
    if (topic.symbol && symbol != *topic.symbol) continue;
    for (Value& row : make(listed)) rows.push_back(std::move(row));
  }
  return rows;
}

// The table's current rows for `topic`, all symbols' when it names none; nullopt when the topic
// names no listed symbol.
std::optional<RecordList> current_rows(SimExchange& exchange, const Topic& topic) {
  if (topic.symbol && !exchange.instruments().contains(*topic.symbol)) return std::nullopt;
  const std::string now = exchange.clock().timestamp();
  const std::string_view table = topic.table;
  RecordList rows;
  if (table == "order") {
    rows = exchange.orders({.symbol = topic.symbol,
                            .filter = {{"open", true}},
                            .count = std::numeric_limits<int>::max()});
  } else if (table == "position") {
    rows = position_records(exchange, now);
  } else if (table == "margin") {
    rows = {margin_record(exchange, "XBt", now), margin_record(exchange, "USDt", now)};
  } else if (table == "execution") {
    rows = exchange.executions();
  } else if (table == "trade") {
    const auto& tape = exchange.tape();  // long: read from the newest back
    for (auto trade = tape.rbegin(); trade != tape.rend() && rows.size() < kHistoryRows; ++trade) {
      if (!topic.symbol || trade->record["symbol"] == *topic.symbol) rows.push_back(trade->record);
    }
    std::ranges::reverse(rows);
  } else if (table == "tradeBin1m") {
    rows = trade_buckets(exchange.tape(), std::chrono::minutes(1), false, exchange.clock());
  } else if (table == "quote") {
    rows = per_contract(exchange, topic,
                        [&](const SimInstrument& c) { return RecordList{quote_record(c, now)}; });
  } else if (table.starts_with("orderBookL2")) {
    const int depth = table == "orderBookL2_25" ? SimExchange::kNearestLevels : 0;
    rows = per_contract(exchange, topic, [&](const SimInstrument& c) {
      return exchange.order_book(c.symbol, depth);
    });
  } else {
    rows = per_contract(exchange, topic, [&](const SimInstrument& c) {
      return RecordList{instrument_record(c, now)};
    });
  }
  std::erase_if(rows, [&](const Value& row) {
    return topic.symbol && row.value("symbol", std::string()) != *topic.symbol;
  });
  const bool history = table == "execution" || table == "trade" || table == "tradeBin1m";
  if (history && rows.size() > kHistoryRows) rows.erase(rows.begin(), rows.end() - kHistoryRows);
  return rows;
}

Value filter_of(const Topic& topic) {
  Value filter = Value::object();
  if (is_private(topic.table)) filter["account"] = SimExchange::kAccount;
  if (topic.symbol) filter["symbol"] = *topic.symbol;
  return filter;
}

// The topics of a connection URL's ?subscribe=a,b.
std::vector<std::string> url_topics(const HttpRequest& request) {
  std::vector<std::string> topics;
  const std::string listed = request.param("subscribe").value_or("");
  for (const auto part : std::views::split(std::string_view(listed), ',')) {
    if (!std::ranges::empty(part)) topics.emplace_back(part.begin(), part.end());
  }
  return topics;
}

}  // namespace

struct RealtimeServer::Change {
  std::uint64_t number = 0;
  std::string table;
  std::string text;  // the message
  std::string symbol;
};

// One client's websocket: the handshake, then its commands and subscriptions, every message it
// is sent going out in order through one queue.
class RealtimeServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(RealtimeServer& server, asio::ip::tcp::socket socket, bool authenticated)
      : server_(server),
        ws_(std::move(socket)),
        send_timer_(ws_.get_executor()),
        read_timer_(ws_.get_executor()),
        stall_timer_(ws_.get_executor()),
        authenticated_(authenticated),
        idle_since_(Clock::now()) {}
  ~Session() { server_.sessions_.erase(this); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void start(UpgradeHandler::Message message, std::vector<std::string> topics) {
    server_.sessions_.emplace(this, weak_from_this());
    handshake_ = std::move(message);
    ws_.read_message_max(server_.settings_.limits.message);
    ws_.set_option(open_timeouts());
    if (Clock::now() < server_.stalled_until_) stall();
    ws_.async_accept(
        handshake_, [self = shared_from_this(), topics = std::move(topics)](const error_code& ec) {
          if (ec) return self->end();
          const auto& limits = self->server_.settings_.limits;
          self->send(welcome_message(static_cast<long long>(
              limits.sessions - std::min(limits.sessions, self->server_.sessions_.size()))));
          if (!topics.empty()) {
            Value args = Value::array();
            for (const std::string& topic : topics) args.push_back(topic);
            self->command({{"op", "subscribe"}, {"args", std::move(args)}});
          }
          self->read();
        });
  }

  void publish(const Change& change) {
    for (const auto& [topic, subscription] : subscriptions_) {
      if (subscription.topic.table != change.table || change.number <= subscription.since ||
          (subscription.topic.symbol && *subscription.topic.symbol != change.symbol)) {
        continue;
      }
      return queue(change.text);
    }
  }

  // Sends and reads nothing, and pings no more, until the server's stall ends.
  void stall() {
    ws_.set_option(websocket::stream_base::timeout{server_.settings_.limits.handshake,
                                                   websocket::stream_base::none(), false});
    stall_timer_.expires_at(server_.stalled_until_);
    stall_timer_.async_wait([weak = weak_from_this()](const error_code& ec) {
      const auto self = weak.lock();
      if (ec || !self) return;
      if (Clock::now() < self->server_.stalled_until_) return self->stall();
      self->ws_.set_option(self->open_timeouts());
      self->pump();
    });
  }

  // Since when the session has held no subscription (it is sent nothing); nullopt while it holds
  // one.
  std::optional<Clock::time_point> idle_since() const { return idle_since_; }

  // Ends the connection as a network failure would: no close frame. It no longer counts as open.
  void end() {
    if (ended_) return;
    ended_ = true;
    server_.sessions_.erase(this);
    error_code ignored;
    beast::get_lowest_layer(ws_).shutdown(asio::socket_base::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close(ignored);
    send_timer_.cancel();
    read_timer_.cancel();
    stall_timer_.cancel();
  }

 private:
  struct Subscription {
    Topic topic;
    std::uint64_t since = 0;  // changes up to this one are in the partial
  };
  struct Outgoing {
    Clock::time_point due;
    std::string text;
  };
  // Why a topic is refused.
  struct Refusal {
    int status;
    std::string error;
  };

  websocket::stream_base::timeout open_timeouts() const {
    const auto& limits = server_.settings_.limits;
    return {limits.handshake, limits.idle, true};
  }

  void read() {
    if (ended_) return;
    if (Clock::now() < server_.stalled_until_) {
      read_timer_.expires_at(server_.stalled_until_);
      read_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
        if (!ec) self->read();
      });
      return;
    }
    ws_.async_read(in_, [self = shared_from_this()](const error_code& ec, std::size_t) {
      if (ec) return self->end();
      const std::string text = beast::buffers_to_string(self->in_.data());
      self->in_.consume(self->in_.size());
      self->receive(text);
      self->read();
    });
  }

  void receive(const std::string& text) {
    if (text == "ping") return queue("pong");
    if (text == "help") return send(help_message());
    Value request;
    try {
      request = stoploss::parse_json(text);
    } catch (const std::exception&) {
      return send(
          error_message(400, "Unable to parse request: " + stoploss::excerpt(text), Value(text)));
    }
    command(request);
  }

  void command(const Value& request) {
    const auto op = request.is_object() ? request.find("op") : request.end();
    const std::string name = op != request.end() && op->is_string() ? op->get<std::string>() : "";
    const auto args = request.is_object() ? request.find("args") : request.end();
    const bool many = args != request.end() && args->is_array();
    const Value one = many || args == request.end() ? Value::array() : Value::array({*args});
    const Value& listed = many ? *args : one;  // not copied: it may be long
    if (name == "authKeyExpires") return authenticate(request, listed);
    if (name == "help") return send(help_message());
    if (name == "subscribe" || name == "unsubscribe") {
      if (listed.empty()) return send(error_message(400, "No topics given to " + name, request));
      return each_topic(request, name == "subscribe", listed);
    }
    send(error_message(400, "Unknown or unsupported command: " + stoploss::excerpt(name), request));
  }

  // Subscribes to (or unsubscribes from) each topic in turn. The topics refused share one error,
  // the first one's, counting the others: a long list of bad topics costs one message.
  void each_topic(const Value& request, bool subscribing, const Value& topics) {
    std::optional<Refusal> first;
    std::size_t refused = 0;
    for (const Value& topic : topics) {
      std::optional<Refusal> refusal;
      if (!topic.is_string()) {
        refusal = Refusal{400, "Topics must be strings"};
      } else {
        const auto& name = topic.get_ref<const std::string&>();
        refusal = subscribing ? subscribe(request, name) : unsubscribe(request, name);
      }
      if (refusal && refused++ == 0) first = std::move(refusal);
    }
    if (!first) return;
    if (refused > 1) first->error += fmt::format(" (and {} more topics refused)", refused - 1);
    send(error_message(first->status, first->error, request));
  }

  void authenticate(const Value& request, const Value& args) {
    if (authenticated_) return send(error_message(400, "Already authenticated", request));
    if (args.size() != 3 || !args[0].is_string() || !args[2].is_string() ||
        !(args[1].is_number_integer() || args[1].is_string())) {
      return send(error_message(
          400, "authKeyExpires needs an API key, an expiry (UNIX seconds) and a signature",
          request));
    }
    const std::string expires = args[1].is_string() ? args[1].get<std::string>() : args[1].dump();
    const std::optional<std::string> refused = server_.auth_refusal(
        args[0].get_ref<const std::string&>(), expires, args[2].get_ref<const std::string&>());
    if (refused) return send(error_message(401, *refused, request));
    authenticated_ = true;
    send(success_message(request));
  }

  std::optional<Refusal> subscribe(const Value& request, const std::string& name) {
    const Topic topic = read_topic(name);
    if (!is_table(topic.table)) {
      return Refusal{400, "Unknown table: " + stoploss::excerpt(topic.table)};
    }
    if (is_private(topic.table) && !authenticated_) {
      return Refusal{
          401, "User requested an account-locked subscription but no authorization is provided."};
    }
    if (subscriptions_.contains(name)) {
      return Refusal{400, "You are already subscribed to this topic: " + stoploss::excerpt(name)};
    }
    std::optional<RecordList> rows;
    std::uint64_t since = 0;
    server_.with_exchange_([&](SimExchange& exchange) {
      since = server_.changes_;
      rows = current_rows(exchange, topic);
    });
    if (!rows) return Refusal{400, "Unknown symbol: " + stoploss::excerpt(*topic.symbol)};
    subscriptions_.emplace(name, Subscription{topic, since});
    idle_since_.reset();
    send(success_message(request, "subscribe", name));
    send(
        partial_message(topic.table, filter_of(topic), *rows, server_.prototypes_.at(topic.table)));
    return std::nullopt;
  }

  std::optional<Refusal> unsubscribe(const Value& request, const std::string& name) {
    if (subscriptions_.erase(name) == 0) {
      return Refusal{400, "You are not subscribed to this topic: " + stoploss::excerpt(name)};
    }
    if (subscriptions_.empty()) idle_since_ = Clock::now();
    send(success_message(request, "unsubscribe", name));
    return std::nullopt;
  }

  void send(const Value& message) { queue(json_text(message)); }

  void queue(std::string text) {
    if (ended_) return;
    queued_bytes_ += text.size();
    if (queued_bytes_ > server_.settings_.limits.queued_bytes) return end();  // it does not read
    out_.push_back({Clock::now() + server_.delay(), std::move(text)});
    pump();
  }

  void pump() {
    if (busy_ || ended_ || out_.empty()) return;
    busy_ = true;
    const Clock::time_point ready = std::max(out_.front().due, server_.stalled_until_);
    if (ready > Clock::now()) {
      send_timer_.expires_at(ready);
      send_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
        self->busy_ = false;
        if (!ec) self->pump();
      });
      return;
    }
    ws_.text(true);
    ws_.async_write(asio::buffer(out_.front().text),
                    [self = shared_from_this()](const error_code& ec, std::size_t) {
                      self->busy_ = false;
                      if (ec) return self->end();
                      self->queued_bytes_ -= self->out_.front().text.size();
                      self->out_.pop_front();
                      self->pump();
                    });
  }

  RealtimeServer& server_;
  websocket::stream<asio::ip::tcp::socket> ws_;
  UpgradeHandler::Message handshake_;
  asio::steady_timer send_timer_;
  asio::steady_timer read_timer_;
  asio::steady_timer stall_timer_;
  beast::flat_buffer in_;
  std::deque<Outgoing> out_;
  std::size_t queued_bytes_ = 0;  // of out_
  std::map<std::string, Subscription, std::less<>> subscriptions_;
  bool authenticated_ = false;
  std::optional<Clock::time_point> idle_since_;
  bool busy_ = false;  // writing, or waiting to
  bool ended_ = false;
};

RealtimeServer::RealtimeServer(Settings settings, WithExchange with_exchange, Post post)
    : settings_(std::move(settings)),
      with_exchange_(std::move(with_exchange)),
      post_(std::move(post)),
      prototypes_(prototype_rows()),
      faults_(settings_.faults) {}

RealtimeServer::~RealtimeServer() = default;

void RealtimeServer::changed(std::string_view table, std::string_view action, const Value& row) {
  auto change = std::make_shared<Change>(
      Change{.number = ++changes_,
             .table = std::string(table),
             .text = json_text(table_message(table, action, row)),
             .symbol = (row.is_array() ? row.front() : row).value("symbol", std::string())});
  post_([this, change = std::shared_ptr<const Change>(std::move(change))] { publish(change); });
}

std::vector<std::shared_ptr<RealtimeServer::Session>> RealtimeServer::open_sessions() const {
  std::vector<std::shared_ptr<Session>> open;
  for (const auto& [key, weak] : sessions_) {
    if (auto session = weak.lock()) open.push_back(std::move(session));
  }
  return open;  // a session that ends while they are used leaves sessions_, not this list
}

void RealtimeServer::publish(const std::shared_ptr<const Change>& change) {
  for (const auto& session : open_sessions()) session->publish(*change);
}

bool RealtimeServer::end_idlest_session() {
  const auto open = open_sessions();
  auto idle = open | std::views::filter([](const auto& s) { return s->idle_since().has_value(); });
  const auto idlest =
      std::ranges::min_element(idle, {}, [](const auto& s) { return *s->idle_since(); });
  if (idlest == idle.end()) return false;
  (*idlest)->end();
  return true;
}

bool RealtimeServer::wants(const HttpRequest& request) const { return request.path() == kPath; }

std::optional<HttpAnswer> RealtimeServer::take(const HttpRequest& request,
                                               asio::ip::tcp::socket& socket, Message& message) {
  const auto refuse = [](int status, std::string_view text, std::string_view name) {
    return HttpAnswer{status, {{"Content-Type", "application/json"}}, error_body(text, name)};
  };
  if (sessions_.size() >= settings_.limits.sessions && !end_idlest_session()) {
    return refuse(429, "Too many connections, try again later.", "RateLimitError");
  }
  // A client may authenticate in the handshake, with the api-* headers of a signed GET /realtime.
  const std::string key = request.header("api-key");
  if (!key.empty()) {
    if (auto refused =
            auth_refusal(key, request.header("api-expires"), request.header("api-signature"))) {
      return refuse(401, *refused, "HTTPError");
    }
  }
  const auto session = std::make_shared<Session>(*this, std::move(socket), !key.empty());
  session->start(std::move(message), url_topics(request));
  return std::nullopt;
}

std::optional<std::string> RealtimeServer::auth_refusal(std::string_view key,
                                                        std::string_view expires,
                                                        std::string_view signature) {
  {
    const std::lock_guard lock(faults_mutex_);
    if (faults_.refuse_auth || refuse_next_ > 0) {
      refuse_next_ = std::max(0, refuse_next_ - 1);
      return std::string(auth::kBadSignature);
    }
  }
  auto refused = signature_refusal(
      {.key = key, .expires = expires, .signature = signature, .verb = "GET", .path = kPath},
      settings_.key, settings_.secret, utils::unix_now());
  if (!refused) return std::nullopt;
  return std::move(refused->message);
}

std::chrono::milliseconds RealtimeServer::delay() const {
  const std::lock_guard lock(faults_mutex_);
  return faults_.delay;
}

void RealtimeServer::set_faults(FeedFaults faults) {
  const std::lock_guard lock(faults_mutex_);
  faults_ = faults;
}

void RealtimeServer::fault(FeedFault fault, std::chrono::milliseconds length) {
  if (fault == FeedFault::kRefuseAuth) {
    const std::lock_guard lock(faults_mutex_);
    ++refuse_next_;
    return;
  }
  post_([this, fault, length] {
    if (fault == FeedFault::kStall) {
      stalled_until_ = std::max(stalled_until_, Clock::now() + length);
    }
    for (const auto& session : open_sessions()) {
      if (fault == FeedFault::kDrop) session->end();
      if (fault == FeedFault::kStall) session->stall();
    }
  });
}

}  // namespace sim
