// The realtime feed client against a scripted websocket server of the test's own on 127.0.0.1:
// the way up, refusals, silence, drops and hostile messages, each followed by a fresh session.
#include "Core/ws/feed_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Core/auth/signature.hpp"
#include "Core/utils/unix_time.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using stoploss::Value;

const auth::Credentials kCredentials{"test-key", "test-secret"};
constexpr milliseconds kPingAfter{150};
constexpr milliseconds kStaleAfter{400};
constexpr milliseconds kConnectDeadline{600};
constexpr std::size_t kMaxMessage = 128 << 10;  // room for 100k levels of nesting

// One accepted connection, read in the background so that a script can wait with a deadline.
class Peer {
 public:
  Peer(asio::io_context& io, tcp::socket socket) : io_(io), ws_(std::move(socket)) {}

  bool accept() {
    bool done = false;
    beast::error_code failed;
    ws_.async_accept([&](const beast::error_code& error) { done = true, failed = error; });
    run_until([&] { return done; }, milliseconds(1000));
    if (!done || failed) return false;
    arm();
    return true;
  }

  // The next message, or none within `within` or once the client closed.
  std::optional<std::string> read(milliseconds within = milliseconds(1000)) {
    run_until([&] { return !inbox_.empty() || closed_; }, within);
    if (inbox_.empty()) return std::nullopt;
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    const Value command = Value::parse(text, nullptr, false);
    heard_.push_back(text == "ping" ? text : command.is_object() ? command.value("op", "?") : "?");
    return text;
  }

  void send(const Value& message) { send_text(message.dump()); }
  void send_text(const std::string& text) {
    bool done = false;
    ws_.async_write(asio::buffer(text),
                    [&](const beast::error_code&, std::size_t) { done = true; });
    run_until([&] { return done; }, milliseconds(1000));
    last_send_ = Clock::now();
  }

  // Answers "ping" with "pong" (or not) until `within` passed or the client left.
  void converse(milliseconds within, bool answer = true) {
    const Clock::time_point end = Clock::now() + within;
    while (Clock::now() < end && !closed_) {
      const auto text = read(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
      if (text == "ping" && answer) send_text("pong");
    }
  }

  void close() {
    beast::get_lowest_layer(ws_).close();
    run_until([&] { return closed_; }, milliseconds(1000));
  }

  const std::vector<std::string>& heard() const { return heard_; }
  Clock::time_point last_send() const { return last_send_; }

 private:
  void arm() {
    ws_.async_read(buffer_, [this](const beast::error_code& error, std::size_t) {
      if (error) {
        closed_ = true;
        return;
      }
      inbox_.push_back(beast::buffers_to_string(buffer_.data()));
      buffer_.consume(buffer_.size());
      arm();
    });
  }

  template <class Done>
  void run_until(Done done, milliseconds within) {
    const Clock::time_point end = Clock::now() + within;
    while (!done() && Clock::now() < end) {
      if (io_.stopped()) io_.restart();
      io_.run_one_until(end);
    }
  }

  asio::io_context& io_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<std::string> inbox_;
  bool closed_ = false;
  std::vector<std::string> heard_;
  Clock::time_point last_send_ = Clock::now();
};

using Script = std::function<void(Peer&)>;

// Serves each connection with the next script (the last one serves every later connection), one
// connection at a time, on a thread of its own.
class ScriptedFeed {
 public:
  explicit ScriptedFeed(std::vector<Script> scripts)
      : scripts_(std::move(scripts)), acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedFeed() {
    stopping_ = true;
    thread_.join();
  }

  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }
  // What the client sent on each connection so far: op names and "ping".
  std::vector<std::vector<std::string>> heard() const {
    const std::lock_guard lock(mutex_);
    return heard_;
  }
  Clock::time_point first_last_send() const {
    const std::lock_guard lock(mutex_);
    return first_last_send_;
  }

  bool stopping() const { return stopping_; }

 private:
  void serve() {
    for (std::size_t n = 0; !stopping_;) {
      tcp::socket socket(io_);
      bool accepted = false;
      acceptor_.async_accept(socket, [&](const beast::error_code& error) { accepted = !error; });
      io_.restart();
      io_.run_for(milliseconds(50));
      if (!accepted) {
        acceptor_.cancel();
        io_.restart();
        io_.run();
        if (!accepted) continue;
      }
      Peer peer(io_, std::move(socket));
      if (!peer.accept()) continue;
      scripts_[std::min(n++, scripts_.size() - 1)](peer);
      peer.close();
      const std::lock_guard lock(mutex_);
      heard_.push_back(peer.heard());
      if (n == 1) first_last_send_ = peer.last_send();
    }
  }

  std::vector<Script> scripts_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::vector<std::string>> heard_;
  Clock::time_point first_last_send_{};
  std::thread thread_;
};

Value welcome() {
  return {{"info", "Welcome to the BitMEX Realtime API."},
          {"version", "test"},
          {"docs", "https://www.bitmex.com/app/wsAPI"},
          {"limit", {{"remaining", 39}}}};
}

// Whether `message` authenticates as the exchange checks it.
bool authentic(const Value& message) {
  const Value args = message.value("args", Value::array());
  if (message.value("op", "") != "authKeyExpires" || args.size() != 3 || !args[1].is_number()) {
    return false;
  }
  const long long expires = args[1].get<long long>();
  return args[0] == kCredentials.key && expires > utils::unix_now() &&
         args[2] == auth::signature(kCredentials.secret, "GET", "/realtime", expires, "");
}

Value refusal(int status, const char* error, const Value& request) {
  return {{"status", status}, {"error", error}, {"meta", Value::object()}, {"request", request}};
}

// Welcome, authentication, subscription acknowledged and a partial for every topic, the order
// table holding one order `id`; false when the client did not do its part.
bool serve_partials(Peer& peer, const char* id, const char* refuse_subscription = nullptr) {
  peer.send(welcome());
  const auto auth = peer.read();
  if (!auth || !authentic(Value::parse(*auth, nullptr, false))) return false;
  peer.send({{"success", true}, {"request", Value::parse(*auth)}});
  const auto subscribe = peer.read();
  if (!subscribe) return false;
  const Value request = Value::parse(*subscribe, nullptr, false);
  if (refuse_subscription) {
    peer.send(refusal(400, refuse_subscription, request));
    return false;
  }
  for (const Value& topic : request.value("args", Value::array())) {
    peer.send({{"success", true}, {"subscribe", topic}, {"request", request}});
    const std::string name = topic.get<std::string>();
    const std::string table = name.substr(0, name.find(':'));
    Value data = Value::array();
    if (table == "order") {
      data.push_back({{"orderID", id},
                      {"symbol", "XBTUSD"},
                      {"ordStatus", "New"},
                      {"timestamp", "2026-12-06T19:29:57.100Z"}});
    } else if (table == "instrument") {
      data.push_back({{"symbol", "XBTUSD"}, {"tickSize", 0.5}, {"lotSize", 100}});
    }
    const Value keys = table == "order"        ? Value{"orderID"}
                       : table == "instrument" ? Value{"symbol"}
                                               : Value{"account", "symbol"};
    peer.send({{"table", table},
               {"action", "partial"},
               {"keys", keys},
               {"filter", {{"symbol", "XBTUSD"}}},
               {"data", data}});
  }
  return true;
}

// Serves the partials, lets the feed be seen up for a while, then does `after`.
Script then(std::function<void(Peer&)> after) {
  return [after](Peer& peer) {
    if (!serve_partials(peer, "first")) return;
    peer.converse(milliseconds(100));
    after(peer);
  };
}

struct LinkCase {
  const char* what;
  Script first;       // the first connection; every later one is served and kept
  bool up_first;      // whether the feed came up on the first connection
  const char* heard;  // what the client sent on the first connection
  const char* error;  // in last_error() once the first connection ended
};

const LinkCase kLinks[] = {
    {"served, then closed: up, then again with a fresh partial", then([](Peer&) {}), true,
     "authKeyExpires subscribe", "End of file"},
    {"authentication refused: down, the exchange's text kept",
     [](Peer& peer) {
       peer.send(welcome());
       const auto auth = peer.read();
       if (auth) peer.send(refusal(401, "Invalid API Key.", Value::parse(*auth)));
       peer.converse(milliseconds(300));
     },
     false, "authKeyExpires", "401 Invalid API Key. (authKeyExpires)"},
    {"subscription refused: down, the exchange's text kept",
     [](Peer& peer) {
       serve_partials(peer, "first", "Unknown or expired table: position:XBTUSD");
       peer.converse(milliseconds(300));
     },
     false, "authKeyExpires subscribe", "400 Unknown or expired table"},
    {"silent once up: pinged, then down within the staleness bound",
     then([](Peer& peer) { peer.converse(milliseconds(1000), false); }), true,
     "authKeyExpires subscribe ping", "nothing heard for 400 ms"},
    {"notices but no partials: dropped at the connect deadline",
     [](Peer& peer) {
       peer.send(welcome());
       peer.read();
       for (int i = 0; i < 12 && peer.read(milliseconds(100)) == std::nullopt; ++i) {
         peer.send({{"info", "still here"}});
       }
     },
     false, "authKeyExpires", "not up within 600 ms"},
    {"a message over the size bound: dropped", then([](Peer& peer) {
       peer.send_text(std::string(kMaxMessage + 1, ' '));
       peer.converse(milliseconds(300));
     }),
     true, "authKeyExpires subscribe", "exceeded"},
    {"a message that is not JSON: dropped", then([](Peer& peer) {
       peer.send_text("{\"table\":");
       peer.converse(milliseconds(300));
     }),
     true, "authKeyExpires subscribe", "unreadable message: not JSON"},
    {"JSON nested 100k deep: dropped", then([](Peer& peer) {
       peer.send_text(std::string(100000, '['));
       peer.converse(milliseconds(300));
     }),
     true, "authKeyExpires subscribe", "nested deeper than"},
};

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

std::string order_ids(const ws::FeedClient& feed) {
  std::vector<std::string> ids;
  for (const Value& row : *feed.open_orders("XBTUSD")) ids.push_back(row.value("orderID", "?"));
  return joined(ids);
}

TEST(FeedClient, ComesUpGoesDownOnEveryFaultAndReconnects) {
  for (const LinkCase& c : kLinks) {
    SCOPED_TRACE(c.what);
    ScriptedFeed server({c.first, [](Peer& peer) {
                           if (serve_partials(peer, "second")) peer.converse(milliseconds(5000));
                         }});
    ws::FeedClient feed({.base_url = server.url(),
                         .pairs = {"XBTUSD"},
                         .connect_deadline = kConnectDeadline,
                         .ping_after = kPingAfter,
                         .stale_after = kStaleAfter,
                         .backoff = milliseconds(50),
                         .max_backoff = milliseconds(200),
                         .max_message_bytes = kMaxMessage},
                        kCredentials);
    feed.start();
    bool up_first = false;
    std::optional<Clock::time_point> down_after_first;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < give_up && !(feed.up() && order_ids(feed) == "second")) {
      const bool up = feed.up();
      if (up && order_ids(feed) == "first") up_first = true;
      if (!up && up_first && !down_after_first) down_after_first = Clock::now();
      std::this_thread::sleep_for(milliseconds(2));
    }
    EXPECT_TRUE(feed.up()) << "no fresh session";
    EXPECT_EQ(order_ids(feed), "second");
    const auto instrument = feed.instrument("XBTUSD");
    ASSERT_NE(instrument, nullptr);
    EXPECT_EQ(instrument->value("tickSize", 0.0), 0.5);
    EXPECT_EQ(up_first, c.up_first);
    if (down_after_first) {
      EXPECT_LT(*down_after_first - server.first_last_send(), kStaleAfter + milliseconds(100));
    }
    EXPECT_NE(feed.last_error().find(c.error), std::string::npos) << feed.last_error();
    EXPECT_GE(feed.counters().connections, 2u);
    const Clock::time_point stopping = Clock::now();
    feed.stop();
    EXPECT_LT(Clock::now() - stopping, milliseconds(200));
    EXPECT_FALSE(feed.up());
    const auto heard = server.heard();
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(joined(heard.front()), c.heard);
  }
}

TEST(FeedClient, AppliesRestAnswersButNeverAnOlderOne) {
  ScriptedFeed server({[](Peer& peer) {
    if (serve_partials(peer, "first")) peer.converse(milliseconds(3000));
  }});
  ws::FeedClient feed({.base_url = server.url(), .pairs = {"XBTUSD"}}, kCredentials);
  feed.start();
  for (int i = 0; i < 1000 && !feed.up(); ++i) std::this_thread::sleep_for(milliseconds(2));
  ASSERT_TRUE(feed.up());
  const auto answer = [](const char* id, const char* status, const char* time) {
    return Value{{"orderID", id}, {"symbol", "XBTUSD"}, {"ordStatus", status}, {"timestamp", time}};
  };
  const ws::Snapshot before = feed.open_orders("XBTUSD");
  EXPECT_TRUE(feed.apply(answer("placed", "New", "2026-12-06T19:29:58.000Z")));
  EXPECT_FALSE(feed.apply(answer("first", "New", "2026-12-06T19:29:57.000Z")));
  EXPECT_TRUE(feed.apply(answer("first", "Canceled", "2026-12-06T19:29:59.000Z")));
  EXPECT_EQ(order_ids(feed), "placed");
  EXPECT_EQ(before->size(), 1u) << "a snapshot handed out never changes";
}

}  // namespace
