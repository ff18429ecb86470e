// The embedded exchange's realtime feed at /realtime as a websocket client sees it: one row per
// case, what the client does and what must arrive.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Core/auth/signature.hpp"
#include "Core/sim/sim_server.hpp"
#include "Core/utils/unix_time.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using std::chrono::milliseconds;
using stoploss::Value;

const std::string kKey = "key-1";
const std::string kSecret = "secret-1";
constexpr milliseconds kWait{1000};  // the longest any read waits
const std::string kStop =
    R"({"symbol":"XBTUSD","side":"Sell","orderQty":100,"stopPx":8900,"ordType":"Stop","execInst":"LastPrice"})";

// Every field of `pattern` is in `got` with the same value, a null one absent from it; lists
// element by element.
bool matches(const Value& got, const Value& pattern) {
  if (pattern.is_object()) {
    if (!got.is_object()) return false;
    for (const auto& [key, wanted] : pattern.items()) {
      if (wanted.is_null() ? got.contains(key) : !got.contains(key) || !matches(got[key], wanted)) {
        return false;
      }
    }
    return true;
  }
  if (pattern.is_array()) {
    if (!got.is_array() || got.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < got.size(); ++i) {
      if (!matches(got[i], pattern[i])) return false;
    }
    return true;
  }
  return got == pattern;
}

// A feed client on a fresh exchange served at 127.0.0.1, and signed REST calls beside it.
class Feed {
 public:
  Feed() : server_(exchange_, settings()) {
    exchange_.list(sim::xbtusd(9000));
    port_ = server_.start();
    beast::get_lowest_layer(ws_).connect({asio::ip::make_address("127.0.0.1"), port()});
    bool open = false;
    ws_.async_handshake("127.0.0.1", "/realtime", [&](beast::error_code ec) { open = !ec; });
    until([&] { return open; });
    if (open) read();
  }

  sim::SimServer& server() { return server_; }
  void send(const std::string& text) { ws_.write(asio::buffer(text)); }

  // The next message within kWait; nullopt when none came.
  std::optional<std::string> next(milliseconds wait = kWait) {
    until([&] { return !inbox_.empty() || closed_; }, wait);
    if (inbox_.empty()) return std::nullopt;
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    return text;
  }
  bool closed(milliseconds wait = kWait) {
    until([&] { return closed_; }, wait);
    return closed_;
  }

  // A signed REST call; "{id}" in the body stands for the last orderID answered. Answers the
  // status; `answered` tells when the answer has come.
  void rest(const std::string& verb, const std::string& target, std::string body) {
    if (const auto at = body.find("{id}"); at != std::string::npos) body.replace(at, 4, order_id_);
    auto req = std::make_shared<http::request<http::string_body>>(http::string_to_verb(verb),
                                                                  target, 11, body);
    const long long expires = utils::unix_now() + 60;
    req->set(http::field::host, "127.0.0.1");
    req->set(http::field::content_type, "application/json");
    req->set("api-key", kKey);
    req->set("api-expires", std::to_string(expires));
    req->set("api-signature", auth::signature(kSecret, verb, target, expires, body));
    req->prepare_payload();
    rest_status_ = 0;
    rest_.emplace(io_);
    rest_->connect({asio::ip::make_address("127.0.0.1"), port()});
    http::async_write(*rest_, *req, [this, req](beast::error_code ec, std::size_t) {
      if (ec) return;
      http::async_read(*rest_, rest_buffer_, answer_, [this](beast::error_code read, std::size_t) {
        rest_status_ = read ? -1 : answer_.result_int();
        const Value body = stoploss::parse_json(answer_.body());
        if (rest_status_ == 200 && body.is_object()) order_id_ = body.value("orderID", order_id_);
        answer_ = {};
      });
    });
  }
  int rest_status(milliseconds wait = kWait) {
    until([&] { return rest_status_ != 0; }, wait);
    return rest_status_;
  }
  int rest_status_now() const { return rest_status_; }

 private:
  static sim::ServerSettings settings() {
    sim::ServerSettings s;
    s.key = kKey;
    s.secret = kSecret;
    s.faults.stall_for = milliseconds(400);
    return s;
  }
  unsigned short port() const { return static_cast<unsigned short>(port_); }

  void read() {
    ws_.async_read(in_, [this](beast::error_code ec, std::size_t) {
      if (ec) {
        closed_ = true;
        return;
      }
      inbox_.push_back(beast::buffers_to_string(in_.data()));
      in_.consume(in_.size());
      read();
    });
  }

  void until(const std::function<bool()>& done, milliseconds wait = kWait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!done() && std::chrono::steady_clock::now() < end) {
      if (io_.stopped()) io_.restart();
      if (io_.run_one_until(end) == 0 && io_.stopped()) break;
    }
  }

  sim::SimExchange exchange_;
  sim::SimServer server_;
  int port_ = 0;
  asio::io_context io_;
  beast::websocket::stream<beast::tcp_stream> ws_{io_};
  beast::flat_buffer in_;
  std::deque<std::string> inbox_;
  bool closed_ = false;
  std::optional<beast::tcp_stream> rest_;
  beast::flat_buffer rest_buffer_;
  http::response<http::string_body> answer_;
  int rest_status_ = 0;
  std::string order_id_;
};

using Step = std::function<void(Feed&)>;

// The next message matches `pattern`: JSON whose fields are checked, or a text such as "pong".
Step expect(const std::string& pattern) {
  return [pattern](Feed& feed) {
    const std::optional<std::string> got = feed.next();
    ASSERT_TRUE(got) << "nothing arrived; wanted " << pattern;
    if (pattern.starts_with('{')) {
      EXPECT_TRUE(matches(stoploss::parse_json(*got), stoploss::parse_json(pattern)))
          << "got " << *got << "\nwanted " << pattern;
    } else {
      EXPECT_EQ(*got, pattern);
    }
  };
}
Step send(const std::string& text) {
  return [text](Feed& feed) { feed.send(text); };
}
Step auth(const std::string& key = kKey, const std::string& secret = kSecret,
          long long expires_in = 60) {
  return [=](Feed& feed) {
    const long long expires = utils::unix_now() + expires_in;
    feed.send(
        Value{{"op", "authKeyExpires"},
              {"args", {key, expires, auth::signature(secret, "GET", "/realtime", expires, "")}}}
            .dump());
  };
}
Step subscribe(const std::string& topic) {
  return send(Value{{"op", "subscribe"}, {"args", {topic}}}.dump());
}
Step rest(const std::string& verb, const std::string& body) {
  return [=](Feed& feed) {
    feed.rest(verb, "/api/v1/order", body);
    EXPECT_EQ(feed.rest_status(), 200);
  };
}
Step price(double to) {
  return [to](Feed& feed) {
    feed.server().with_exchange([to](sim::SimExchange& e) { e.set_price("XBTUSD", to); });
  };
}
Step fault(sim::FeedFault fault, milliseconds length = {}) {
  return [=](Feed& feed) { feed.server().feed_fault(fault, length); };
}
Step delayed(milliseconds by) {
  return [by](Feed& feed) { feed.server().set_feed_faults({.delay = by}); };
}
Step quiet(milliseconds wait = kWait) {
  return [wait](Feed& feed) {
    const auto got = feed.next(wait);
    EXPECT_FALSE(got) << "unexpected " << *got;
  };
}
Step closes() {
  return [](Feed& feed) { EXPECT_TRUE(feed.closed()); };
}
// The REST answer held back: the feed's insert of the same placement comes first.
Step feed_first() {
  return [](Feed& feed) {
    feed.server().fail_next(sim::ServerFault::kStall, "POST /api/v1/order");
    feed.rest("POST", "/api/v1/order", kStop);
    expect(R"({"table":"order","action":"insert","data":[{"stopPx":8900}]})")(feed);
    EXPECT_EQ(feed.rest_status_now(), 0);
    EXPECT_EQ(feed.rest_status(), 200);
  };
}

const std::string kAuthed = R"({"success":true,"request":{"op":"authKeyExpires"}})";
const std::string kOrderAck = R"({"success":true,"subscribe":"order:XBTUSD"})";
const std::string kNoOrders =
    R"({"table":"order","action":"partial","keys":["orderID"],"filter":{"account":100001,"symbol":"XBTUSD"},"data":[]})";
const std::string kOrderInsert =
    R"({"table":"order","action":"insert","data":[{"symbol":"XBTUSD","stopPx":8900,"ordStatus":"New","leavesQty":100,"price":null}]})";

struct FeedCase {
  const char* what;
  std::vector<Step> steps;
};

const FeedCase kCases[] = {
    {"ping is answered pong", {send("ping"), expect("pong")}},
    {"auth with the key", {auth(), expect(kAuthed)}},
    {"auth with a bad signature",
     {auth(kKey, "other"), expect(R"({"status":401,"error":"Signature not valid.","meta":{}})")}},
    {"auth expired",
     {auth(kKey, kSecret, -5),
      expect(R"({"status":401,"error":"This request has expired - `expires` is in the past."})")}},
    {"auth expiring too far ahead", {auth(kKey, kSecret, 3600), expect(R"({"status":401})")}},
    {"auth with an unknown key",
     {auth("nobody"), expect(R"({"status":401,"error":"Invalid API Key."})")}},
    {"private table before auth",
     {subscribe("order:XBTUSD"),
      expect(R"({"status":401,"request":{"op":"subscribe","args":["order:XBTUSD"]}})"),
      send("ping"), expect("pong")}},
    {"unknown table",
     {subscribe("nothing:XBTUSD"), expect(R"({"status":400,"error":"Unknown table: nothing"})")}},
    {"unknown command",
     {send(R"({"op":"dance"})"), expect(R"({"status":400,"request":{"op":"dance"}})")}},
    {"instrument: ack, then partial with the market",
     {subscribe("instrument:XBTUSD"),
      expect(R"({"success":true,"subscribe":"instrument:XBTUSD","request":{"op":"subscribe"}})"),
      expect(
          R"({"table":"instrument","action":"partial","keys":["symbol"],"types":{"lastPrice":"float"},"filter":{"symbol":"XBTUSD"},"data":[{"symbol":"XBTUSD","lastPrice":9000,"bidPrice":8999.5}]})")}},
    {"order partial holds the open stop",
     {rest("POST", kStop), auth(), expect(kAuthed), subscribe("order:XBTUSD"), expect(kOrderAck),
      expect(
          R"({"table":"order","action":"partial","data":[{"stopPx":8900,"ordStatus":"New","side":"Sell"}]})")}},
    {"a placement inserts",
     {auth(), expect(kAuthed), subscribe("order:XBTUSD"), expect(kOrderAck), expect(kNoOrders),
      rest("POST", kStop), expect(kOrderInsert)}},
    {"an amendment updates",
     {auth(), expect(kAuthed), subscribe("order"), expect(R"({"subscribe":"order"})"),
      expect(R"({"action":"partial","filter":{"account":100001}})"), rest("POST", kStop),
      expect(kOrderInsert), rest("PUT", R"({"orderID":"{id}","stopPx":8800})"),
      expect(
          R"({"table":"order","action":"update","data":[{"stopPx":8800,"symbol":"XBTUSD","side":null,"ordType":null}]})")}},
    {"a cancel updates to Canceled",
     {auth(), expect(kAuthed), subscribe("order:XBTUSD"), expect(kOrderAck), expect(kNoOrders),
      rest("POST", kStop), expect(kOrderInsert), rest("DELETE", R"({"orderID":"{id}"})"),
      expect(
          R"({"table":"order","action":"update","data":[{"ordStatus":"Canceled","leavesQty":0}]})")}},
    {"a price move updates the instrument",
     {subscribe("instrument:XBTUSD"), expect(R"({"success":true})"),
      expect(R"({"action":"partial"})"), price(9100),
      expect(
          R"({"table":"instrument","action":"update","data":[{"symbol":"XBTUSD","lastPrice":9100,"markPrice":9100,"askPrice":9100.5,"impactBidPrice":9099.5}]})")}},
    {"a triggered stop fills; the position opens",
     {auth(), expect(kAuthed), rest("POST", kStop), subscribe("order:XBTUSD"), expect(kOrderAck),
      expect(R"({"action":"partial"})"), subscribe("position:XBTUSD"),
      expect(R"({"subscribe":"position:XBTUSD"})"),
      expect(
          R"({"table":"position","action":"partial","keys":["account","symbol","currency"],"data":[]})"),
      price(8850),
      expect(
          R"({"table":"position","action":"insert","data":[{"currentQty":-100,"symbol":"XBTUSD"}]})"),
      expect(
          R"({"table":"order","action":"update","data":[{"ordStatus":"Filled","triggered":"StopOrderTriggered","avgPx":8850,"cumQty":100}]})")}},
    {"after unsubscribe nothing comes",
     {subscribe("instrument:XBTUSD"), expect(R"({"success":true})"),
      expect(R"({"action":"partial"})"), send(R"({"op":"unsubscribe","args":"instrument:XBTUSD"})"),
      expect(R"({"success":true,"unsubscribe":"instrument:XBTUSD"})"), price(9100),
      quiet(milliseconds(300))}},
    {"REST answer held back: the feed tells first",
     {auth(), expect(kAuthed), subscribe("order:XBTUSD"), expect(kOrderAck), expect(kNoOrders),
      feed_first()}},
    {"dropped: the connection closes", {fault(sim::FeedFault::kDrop), closes()}},
    {"stalled: no pong until the stall ends",
     {fault(sim::FeedFault::kStall, milliseconds(1500)), send("ping"), quiet(), expect("pong")}},
    {"delayed: pong only after the delay",
     {delayed(milliseconds(600)), send("ping"), quiet(milliseconds(400)), expect("pong")}},
    {"auth refused by the fault",
     {fault(sim::FeedFault::kRefuseAuth), auth(), expect(R"({"status":401})"), auth(),
      expect(kAuthed)}},
};

TEST(RealtimeFeed, AnswersAsTheExchangeDoes) {
  for (const FeedCase& c : kCases) {
    SCOPED_TRACE(c.what);
    Feed feed;
    expect(
        R"({"info":"Welcome to the BitMEX Realtime API.","version":"2.0.0","docs":"https://www.bitmex.com/app/wsAPI"})")(
        feed);
    for (const Step& step : c.steps) step(feed);
  }
}

}  // namespace
