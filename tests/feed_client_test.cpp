// The realtime feed client against a scripted websocket server of the test's own on 127.0.0.1:
// the way up, refusals, silence, drops and hostile messages, each followed by a fresh session.
#include "exchange/feed/feed_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "loopback_acceptor.hpp"
#include "row_name.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using stoploss::Value;

const auth::Credentials kCredentials{"test-key", "test-secret"};
constexpr milliseconds kStaleAfter{400};
constexpr std::size_t kMaxMessage = 128 << 10;  // room for 100k levels of nesting

// One accepted connection. Every wait ends once the client goes, as it does at the latest when
// the test stops it.
struct Peer {
  beast::websocket::stream<tcp::socket> ws;
  std::string heard;  // what the client sent: op names, and text that is not JSON ("ping")
  Clock::time_point last_send;

  std::optional<std::string> read() {
    beast::flat_buffer buffer;
    beast::error_code error;
    ws.read(buffer, error);
    if (error) return std::nullopt;
    const std::string text = beast::buffers_to_string(buffer.data());
    const Value command = Value::parse(text, nullptr, false);
    heard += (heard.empty() ? "" : " ") + (command.is_object() ? command.value("op", "?") : text);
    return text;
  }
  bool send(const std::string& text) {
    beast::error_code error;
    ws.write(asio::buffer(text), error);
    last_send = Clock::now();
    return !error;
  }
  // A notice every 50 ms for `lasting`, or until the client goes: the feed is not silent.
  void chat(milliseconds lasting) {
    for (auto end = Clock::now() + lasting; Clock::now() < end && send(R"({"info":"hi"})");) {
      std::this_thread::sleep_for(milliseconds(50));
    }
  }
  void until_gone() {
    while (read()) {
    }
  }
};

using Script = std::function<void(Peer&)>;

// Serves the n-th connection with scripts[n], every one past the last with the last, one at a
// time, on a thread of its own; keeps when each connection came, what the client sent on the
// first and when the server last spoke on it.
struct ScriptedFeed {
  explicit ScriptedFeed(std::vector<Script> scripts)
      : server([this, scripts = std::move(scripts)](LoopbackAcceptor::Socket socket) {
          std::size_t n = 0;  // this connection's number, from 1
          {
            const std::lock_guard lock(mutex);
            came.push_back(Clock::now());
            n = came.size();
          }
          Peer peer{beast::websocket::stream<tcp::socket>(std::move(socket)), "", Clock::now()};
          beast::error_code error;
          peer.ws.accept(error);
          if (error) return;
          scripts[std::min(n, scripts.size()) - 1](peer);
          const std::lock_guard lock(mutex);
          if (n == 1) first_peer = {peer.heard, peer.last_send};
        }) {}

  std::mutex mutex;
  std::vector<Clock::time_point> came;
  std::pair<std::string, Clock::time_point> first_peer;  // what it heard, when it last spoke
  LoopbackAcceptor server;                               // last: serves once the rest is in place
};

const std::string kWelcome = R"({"info":"Welcome to the BitMEX Realtime API.","version":"t"})";

// Welcome, authentication (with `refusal` if any) and a partial for every topic subscribed to,
// the order table holding one order `id`; false when the client did not do its part.
bool serve_partials(Peer& peer, const char* id, const char* refusal = nullptr) {
  peer.send(kWelcome);
  const auto auth = peer.read();
  if (!auth) return false;
  const Value request = Value::parse(*auth, nullptr, false);
  peer.send((refusal ? Value{{"status", 401}, {"error", refusal}, {"request", request}}
                     : Value{{"success", true}, {"request", request}})
                .dump());
  const auto subscribe = refusal ? std::nullopt : peer.read();
  if (!subscribe) return false;
  for (const Value& topic :
       Value::parse(*subscribe, nullptr, false).value("args", Value::array())) {
    const std::string table =
        topic.get<std::string>().substr(0, topic.get<std::string>().find(':'));
    const Value order = {{"orderID", id}, {"symbol", "XBTUSD"}, {"ordStatus", "New"}};
    peer.send(Value{{"table", table},
                    {"action", "partial"},
                    {"keys", {table == "order" ? "orderID" : "symbol"}},
                    {"filter", {{"symbol", "XBTUSD"}}},
                    {"data", table == "order" ? Value::array({order}) : Value::array()}}
                  .dump());
  }
  return true;
}

// Serves the partials, lets the feed be seen up for a while, then sends `text` (none: falls
// silent) and reads until the client goes.
Script then(std::optional<std::string> text) {
  return [text](Peer& peer) {
    if (!serve_partials(peer, "first")) return;
    peer.chat(milliseconds(100));
    if (text) peer.send(*text);
    peer.until_gone();
  };
}

// The session every connection after the scripted ones gets: up, with order "second".
void serve_second(Peer& peer) {
  if (serve_partials(peer, "second")) peer.chat(milliseconds(5000));
}

void refuse_key(Peer& peer) {
  serve_partials(peer, "first", "Invalid API Key.");
  peer.until_gone();
}

struct LinkCase {
  const char* what;
  Script first;       // the first connection; every later one is served and kept
  bool up_first;      // whether the feed came up on the first connection
  const char* heard;  // what the client sent on the first connection
  const char* error;  // in last_error() once the first connections ended
  int times = 1;      // of the first connection's script, in a row
};

// With the first connections refused in a row, the waits before each next connection: the
// backoff doubling to its cap. A refused session and the next connection take under 150 ms.
const milliseconds kBackoffs[] = {milliseconds(100), milliseconds(200), milliseconds(200)};
constexpr milliseconds kSlack{150};

const LinkCase kLinks[] = {
    {"served, then closed: up, then again with a fresh partial",
     [](Peer& peer) {
       if (serve_partials(peer, "first")) peer.chat(milliseconds(100));
     },
     true, "authKeyExpires subscribe", "End of file"},
    {"authentication refused three times: down, the exchange's text kept", refuse_key, false,
     "authKeyExpires", "401 Invalid API Key. (authKeyExpires)", 3},
    {"silent once up: pinged, then down within the staleness bound", then(std::nullopt), true,
     "authKeyExpires subscribe ping", "nothing heard for 400 ms"},
    {"notices but no partials: dropped at the connect deadline",
     [](Peer& peer) {
       peer.send(kWelcome);
       peer.read();
       peer.chat(milliseconds(1200));
     },
     false, "authKeyExpires", "not up within 600 ms"},
    {"a message over the size bound: dropped", then(std::string(kMaxMessage + 1, ' ')), true,
     "authKeyExpires subscribe", "exceeded"},
    {"a message that is not JSON: dropped", then("{\"table\":"), true, "authKeyExpires subscribe",
     "unreadable message: not JSON"},
    {"JSON nested 100k deep: dropped", then(std::string(100000, '[')), true,
     "authKeyExpires subscribe", "nested deeper than"},
};

// The open orders' ids, or "none" before a partial.
std::string order_ids(const feed::FeedClient& feed) {
  const feed::Snapshot rows = feed.open_orders("XBTUSD");
  std::string ids = rows ? "" : "none";
  for (std::size_t i = 0; rows && i < rows->size(); ++i) ids += (*rows)[i].value("orderID", "?");
  return ids;
}

class FeedLinks : public testing::TestWithParam<LinkCase> {};

TEST_P(FeedLinks, ComeUpGoDownOnEveryFaultAndReconnect) {
  const LinkCase& c = GetParam();
  std::vector<Script> scripts(static_cast<std::size_t>(c.times), c.first);
  scripts.push_back(serve_second);
  ScriptedFeed server(scripts);
  feed::FeedClient feed({.base_url = "http://127.0.0.1:" + std::to_string(server.server.port()),
                         .pairs = {"XBTUSD"},
                         .connect_deadline = milliseconds(600),
                         .ping_after = milliseconds(150),
                         .stale_after = kStaleAfter,
                         .backoff = milliseconds(100),
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
  EXPECT_EQ(up_first, c.up_first);
  const auto [heard, last_send] = (std::lock_guard(server.mutex), server.first_peer);
  EXPECT_LT(down_after_first.value_or(last_send) - last_send, kStaleAfter + milliseconds(100));
  EXPECT_NE(feed.last_error().find(c.error), std::string::npos) << feed.last_error();
  const Clock::time_point stopping = Clock::now();
  feed.stop();
  EXPECT_LT(Clock::now() - stopping, milliseconds(200));
  EXPECT_FALSE(feed.up());
  EXPECT_EQ(heard, c.heard);
  if (c.times == 1) return;
  const std::vector<Clock::time_point> came = (std::lock_guard(server.mutex), server.came);
  ASSERT_EQ(came.size(), c.times + 1u);
  for (std::size_t i = 0; i + 1 < came.size(); ++i) {
    EXPECT_GE(came[i + 1] - came[i], kBackoffs[i]) << "before connection " << i + 2;
    EXPECT_LT(came[i + 1] - came[i], kBackoffs[i] + kSlack) << "before connection " << i + 2;
  }
}
INSTANTIATE_TEST_SUITE_P(FeedClient, FeedLinks, testing::ValuesIn(kLinks),
                         row_names(kLinks, &LinkCase::what));

}  // namespace
