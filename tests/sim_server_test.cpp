// The embedded exchange served over loopback as its clients see it: the REST routes, signatures,
// rate limits and faults, clients that try to hold the server up, and the realtime feed.
#include "embedded_exchange/http/sim_server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Core/utils/unix_time.hpp"
#include "embedded_exchange/http/rate_limits.hpp"
#include "exchange/auth/signature.hpp"
#include "row_name.hpp"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using sim::ServerFault;
using std::chrono::milliseconds;
using stoploss::Value;

const std::string kKey = "key-1", kSecret = "secret-1";
const std::string kOrder = "/api/v1/order", kInstrument = "/api/v1/instrument?symbol=XBTUSD";
constexpr milliseconds kWait{1000};  // the longest any read waits

sim::ServerSettings settings(int rate_limit = 120) {
  sim::ServerSettings served{.key = kKey, .secret = kSecret, .rate_limit = rate_limit};
  served.faults.stall_for = milliseconds(400);
  served.realtime.queued_bytes = 64 << 10;
  return served;
}

std::string stop(double stopPx, long long orderQty, const std::string& symbol = "XBTUSD",
                 const std::string& clOrdID = "") {
  return Value{{"symbol", symbol},   {"orderQty", orderQty}, {"stopPx", stopPx},
               {"clOrdID", clOrdID}, {"ordType", "Stop"},    {"execInst", "LastPrice,ReduceOnly"}}
      .dump();
}

struct Signing {
  std::string key = kKey;  // empty: not signed
  std::string secret = kSecret;
  long long expires_in = 60;
};

std::string request_text(const std::string& verb, const std::string& target,
                         const std::string& body, const Signing& signing = {}) {
  http::request<http::string_body> req{http::string_to_verb(verb), target, 11, body};
  req.set(http::field::host, "127.0.0.1");
  req.set(http::field::content_type, "application/json");
  if (!signing.key.empty()) {
    const long long expires = utils::unix_now() + signing.expires_in;
    req.set("api-key", signing.key);
    req.set("api-expires", std::to_string(expires));
    req.set("api-signature", auth::signature(signing.secret, verb, target, expires, body));
  }
  req.prepare_payload();
  std::ostringstream text;
  text << req;
  return text.str();
}

constexpr int kNoAnswer = -1;  // nothing within the wait
constexpr int kClosed = 0;     // closed by the server without an answer

struct Heard {
  int status = kNoAnswer;
  http::response<http::string_body> response;
  milliseconds took{0};
};

// One loopback connection. Writes ignore failures (a server may close on a hostile client
// mid-write): what the client then hears tells.
class Connection {
 public:
  explicit Connection(int port) {
    socket_.connect({asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)});
  }

  void send(const std::string& bytes) {
    boost::system::error_code ignored;
    asio::write(socket_, asio::buffer(bytes), ignored);
  }

  Heard read(milliseconds wait = kWait) {
    const auto start = std::chrono::steady_clock::now();
    http::response_parser<http::string_body> parser;
    std::optional<boost::system::error_code> ended;
    http::async_read(socket_, buffer_, parser, [&](auto ec, std::size_t) { ended = ec; });
    io_.restart();
    io_.run_for(wait);
    Heard heard;
    if (ended) heard.status = *ended ? kClosed : static_cast<int>(parser.get().result_int());
    if (heard.status > 0) heard.response = parser.release();
    heard.took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    if (!ended) socket_.cancel();
    io_.restart();
    io_.run();
    return heard;
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
  beast::flat_buffer buffer_;
};

// XBTUSD at 10000 and ETHUSD at 1000 served on a free loopback port.
struct Loopback {
  explicit Loopback(const sim::ServerSettings& served = settings()) : server(exchange, served) {
    exchange.list(sim::xbtusd(10000));
    exchange.list(sim::ethusd(1000));
    port = server.start();
  }

  Heard send(const std::string& verb, const std::string& target, const std::string& body = "",
             const Signing& signing = {}) {
    return raw(request_text(verb, target, body, signing));
  }
  // What a client that sent `bytes` on a connection of its own hears.
  Heard raw(const std::string& bytes) {
    Connection client(port);
    client.send(bytes);
    return client.read();
  }

  std::vector<double> stop_prices() {
    std::vector<double> prices;
    server.with_exchange([&](sim::SimExchange& e) { prices = e.stop_prices("XBTUSD"); });
    return prices;
  }

  sim::SimExchange exchange;
  sim::SimServer server;
  int port = 0;
};

// Every field of `pattern` is in `got` with the same value, a null one absent from it; lists
// element by element.
bool matches(const Value& got, const Value& pattern) {
  if (!pattern.is_structured()) return got == pattern;
  if (got.type() != pattern.type() || (got.is_array() && got.size() != pattern.size())) {
    return false;
  }
  std::size_t i = 0;
  for (const auto& [key, wanted] : pattern.items()) {
    if (got.is_array()     ? !matches(got[i++], wanted)
        : wanted.is_null() ? got.contains(key)
                           : !got.contains(key) || !matches(got[key], wanted)) {
      return false;
    }
  }
  return true;
}

// The exchange's error body with `message`.
std::string error_text(const std::string& message) {
  return Value{{"error", {{"message", message}}}}.dump();
}

// Each row sends one request, after any fault it scripts, to a book of a market buy m of 1000 and
// stops a (XBTUSD 9000), b (XBTUSD 8000) and c (ETHUSD 900): the answer's status, the fields it
// holds (empty: not JSON) and the XBTUSD stops left. The next request is answered.
struct RouteCase {
  const char* what;
  std::string request, body;
  int status;
  std::vector<double> stops;
  std::string answer;
  Signing signing = {};
  std::optional<ServerFault> fault = {};
};
const std::vector<double> kept = {9000, 8000}, none;
const std::vector<double> moved = {9000, 8100}, b_left = {8000}, placed = {9000, 8000, 7000};
const std::string post = "POST " + kOrder, deleted = "DELETE " + kOrder + "/all";
const std::string any_error = R"({"error":{}})";
const Signing signed_, bad_secret{.secret = "other"}, past{.expires_in = -5},
    other_key{.key = "other"};
const Signing thirty_years{.expires_in = 30LL * 365 * 24 * 3600}, unsigned_{.key = ""};
const RouteCase kRoutes[] = {
    {"PUT by origClOrdID amends only what it names", "PUT " + kOrder,
     R"({"origClOrdID":"b","stopPx":8100})", 200, moved,
     R"({"clOrdID":"b","stopPx":8100,"orderQty":100})"},
    {"DELETE answers each order by its state", "DELETE " + kOrder,
     R"({"clOrdID":["m","a","a","x"]})", 200, b_left,
     R"([{"clOrdID":"m","error":"Unable to cancel order due to existing state: Filled"},
         {"clOrdID":"a","ordStatus":"Canceled","error":null},
         {"clOrdID":"a","error":"Unable to cancel order due to existing state: Canceled"},
         {"clOrdID":"x","error":"Not found"}])"},
    {"GET /order of a symbol, open only, newest first",
     "GET " + kOrder + "?symbol=XBTUSD&filter=%7B%22open%22%3Atrue%7D&reverse=true", "", 200, kept,
     R"([{"clOrdID":"b"},{"clOrdID":"a"}])"},
    {"/order/all with a symbol and filter", deleted,
     R"({"symbol":"XBTUSD","filter":{"ordType":"Stop"}})", 200, none,
     R"([{"clOrdID":"a"},{"clOrdID":"b"}])"},
    {"GET /position", "GET /api/v1/position", "", 200, kept,
     R"([{"symbol":"XBTUSD","currentQty":1000,"avgEntryPrice":10000.5}])"},
    {"orderQty -2^63", post, stop(9000, std::numeric_limits<long long>::min()), 400, kept,
     error_text("Invalid orderQty")},
    {"a body that is not JSON", post, "{not json", 400, kept, any_error},
    {"a filter nested 100k deep", deleted,
     R"({"filter":)" + std::string(100000, '[') + std::string(100000, ']') + "}", 400, kept,
     any_error},
    {"a bad signature", post, stop(7000, -100), 401, kept, error_text("Signature not valid."),
     bad_secret},
    {"an expired request: 400, as the exchange answers it", post, stop(7000, -100), 400, kept,
     any_error, past},
    {"an expiry 30 years ahead", post, stop(7000, -100), 401, kept, any_error, thirty_years},
    {"an unknown key", post, stop(7000, -100), 401, kept, error_text("Invalid API Key."),
     other_key},
    {"a truncated answer", post, stop(7000, -100), 200, placed, "", signed_,
     ServerFault::kTruncated},
    {"an unsigned request for the position", "GET /api/v1/position", "", 401, kept, any_error,
     unsigned_},
    {"the market buy's trade, a taker's", "GET /api/v1/execution/tradeHistory", "", 200, kept,
     R"([{"clOrdID":"m","execType":"Trade","side":"Buy","lastQty":1000,"lastPx":10000.5,
          "lastLiquidityInd":"RemovedLiquidity","commission":0.0005,"execCost":-9999500,
          "execComm":5000}])"},
    {"no trade after its time", "GET /api/v1/execution?startTime=2026-01-02", "", 200, kept, "[]"},
    {"a symbol in lower case, the contract's fees, margins and interest",
     "GET /api/v1/instrument?symbol=xbtusd", "", 200, kept,
     R"([{"symbol":"XBTUSD","makerFee":0.0005,"takerFee":0.0005,"initMargin":0.01,
          "maintMargin":0.005,"riskLimit":20000000000,"openInterest":1000,
          "underlyingToSettleMultiplier":-100000000}])"},
    {"the indices alone", "GET /api/v1/instrument/indices", "", 200, kept,
     R"([{"symbol":".BETH"},{"symbol":".BXBT"}])"},
    {"orders paged, with the columns named",
     "GET " + kOrder + "?start=1&count=2&columns=%5B%22stopPx%22%5D", "", 200, kept,
     R"([{"symbol":"XBTUSD","stopPx":9000,"clOrdID":null},{"stopPx":8000,"clOrdID":null}])"},
    {"leverage 5 isolates the position at 5x", "POST /api/v1/position/leverage",
     R"({"symbol":"XBTUSD","leverage":5})", 200, kept,
     R"({"symbol":"XBTUSD","leverage":5,"crossMargin":false,"currentQty":1000,"posMargin":1999900})"},
    {"isolate not enabled: cross margin", "POST /api/v1/position/isolate",
     R"({"symbol":"XBTUSD","enabled":false})", 200, kept, R"({"crossMargin":true,"leverage":100})"},
    {"leverage past the contract's 100x", "POST /api/v1/position/leverage",
     R"({"symbol":"XBTUSD","leverage":100.5})", 400, kept, error_text("Invalid leverage")},
    {"margin moved to an isolated position", "POST /api/v1/position/transferMargin",
     R"({"symbol":"XBTUSD","amount":1000})", 200, kept, R"({"posMargin":1000950})"},
    {"closePosition sells the whole position at market", "POST " + kOrder + "/closePosition",
     R"({"symbol":"XBTUSD"})", 200, kept,
     R"({"side":"Sell","orderQty":1000,"ordStatus":"Filled","execInst":"Close"})"},
    {"an unknown timeInForce", post,
     R"({"symbol":"XBTUSD","orderQty":100,"price":9000,"timeInForce":"Forever"})", 400, kept,
     error_text("Invalid timeInForce")},
    {"a hidden limit keeps its displayQty of 0", post,
     R"({"symbol":"XBTUSD","orderQty":100,"price":9000,"displayQty":0})", 200, kept,
     R"({"ordStatus":"New","displayQty":0,"timeInForce":"GoodTillCancel"})"},
    {"a negative cancelAllAfter", "POST " + kOrder + "/cancelAllAfter", R"({"timeout":-1})", 400,
     kept, error_text("Invalid timeout")},
    {"the book one level deep", "GET /api/v1/orderBook/L2?symbol=XBTUSD&depth=1", "", 200, kept,
     R"([{"side":"Sell","price":10000.5,"size":1000},{"side":"Buy","price":9999.5}])"},
    {"the tape and its minute not yet ended",
     "GET /api/v1/trade/bucketed?binSize=1m&partial=true&symbol=XBTUSD", "", 200, kept,
     R"([{"open":10000.5,"close":10000.5,"trades":1,"volume":1000}])"},
    {"the tape: the market buy", "GET /api/v1/trade?symbol=XBTUSD", "", 200, kept,
     R"([{"side":"Buy","size":1000,"price":10000.5}])"},
    {"a bin the exchange has not", "GET /api/v1/trade/bucketed?binSize=2m", "", 400, kept,
     error_text("binSize is invalid")},
    {"the quote a tick either side", "GET /api/v1/quote?symbol=XBTUSD", "", 200, kept,
     R"([{"bidPrice":9999.5,"askPrice":10000.5}])"},
    {"each contract's fees", "GET /api/v1/user/commission", "", 200, kept,
     R"({"XBTUSD":{"makerFee":0.0005,"takerFee":0.0005},"ETHUSD":{"takerFee":0.0005}})"},
    {"the deposit the account starts with", "GET /api/v1/user/walletHistory", "", 200, kept,
     R"([{"transactType":"Deposit","amount":100000000,"currency":"XBt"}])"},
};

class Routes : public testing::TestWithParam<RouteCase> {};

TEST_P(Routes, AnswerAndRefuseAsTheExchangeDoes) {
  const RouteCase& c = GetParam();
  Loopback net;
  for (const std::string& order :
       {std::string(R"({"symbol":"XBTUSD","side":"Buy","orderQty":1000,"clOrdID":"m"})"),
        stop(9000, -100, "XBTUSD", "a"), stop(8000, -100, "XBTUSD", "b"),
        stop(900, -100, "ETHUSD", "c")}) {
    ASSERT_EQ(net.send("POST", kOrder, order).status, 200);
  }
  if (c.fault) net.server.fail_next(*c.fault);
  const std::size_t space = c.request.find(' ');
  const Heard heard =
      net.send(c.request.substr(0, space), c.request.substr(space + 1), c.body, c.signing);
  const std::string& body = heard.response.body();
  EXPECT_EQ(heard.status, c.status);
  EXPECT_TRUE(c.answer.empty() ? !Value::accept(body)
                               : matches(Value::parse(body), Value::parse(c.answer)))
      << body;
  EXPECT_EQ(net.stop_prices(), c.stops);
  EXPECT_EQ(net.send("GET", kInstrument).status, 200);
}
INSTANTIATE_TEST_SUITE_P(SimServerRoutes, Routes, testing::ValuesIn(kRoutes),
                         row_names(kRoutes, &RouteCase::what));

TEST(SimServerRateLimit, CountsDownThenRefusesWithRetryAfter) {
  Loopback net(settings(3));
  for (int remaining = 2; remaining >= 0; --remaining) {
    const Heard heard = net.send("GET", kInstrument);
    EXPECT_EQ(heard.response["x-ratelimit-remaining"], std::to_string(remaining));
    // Full again once the used requests are refilled, at 3 a minute.
    const long long reset = std::stoll(std::string(heard.response["x-ratelimit-reset"]));
    EXPECT_NEAR(reset - utils::unix_now(), (3 - remaining) * 20, 2);
  }
  const Heard refused = net.send("POST", kOrder, stop(9000, -100));
  EXPECT_EQ(refused.status, 429);
  EXPECT_NEAR(std::stoll(std::string(refused.response["Retry-After"])), 20, 2);  // one request back
  EXPECT_EQ(Value::parse(refused.response.body()).at("error").at("name"), "RateLimitError");
  EXPECT_TRUE(net.stop_prices().empty());
}

// The budgets on their own, at chosen times: 3 a minute per key, 2 for all unsigned requests
// together, 2 a second of a key's orders. Requests as key@seconds, "-" for unsigned and "*" after
// the key on an order route; "+" allowed, "-" refused.
TEST(SimServerRateLimit, BudgetsHoldWhatTheyHoldAndRefillContinuously) {
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"a key's minute budget, not shared with other keys", "k@0 k@0 k@0 k@0 b@0", "+++-+"},
      {"refilled at 3 a minute: one more after 20 s", "k@0 k@0 k@0 k@19 k@20.5", "+++-+"},
      {"unsigned requests have their own smaller budget", "-@0 -@0 -@0 k@0", "++-+"},
      {"order routes: two a second", "k*@0 k*@0.1 k*@0.2 k*@1.2", "++-+"},
      {"a refused order takes nothing from the minute budget", "k*@0 k*@0 k*@0 k@0", "++-+"}};
  for (const auto& [what, requests, expected] : cases) {
    sim::RateLimits limits({.per_minute = 3, .unsigned_per_minute = 2, .orders_per_second = 2});
    std::istringstream in(requests);
    std::string allowed;
    for (std::string request; in >> request;) {
      const std::size_t at = request.find('@');
      const bool order_route = request[at - 1] == '*';
      const std::string key = request.substr(0, at - (order_route ? 1 : 0));
      const double now = std::stod(request.substr(at + 1));
      allowed += limits.take(key == "-" ? "" : key, order_route, now).allowed ? '+' : '-';
    }
    EXPECT_EQ(allowed, expected) << what;
  }
}

// Clients that try to hold the server up or break it, against short deadlines. Each row acts and
// returns what its probe heard, timed.
constexpr milliseconds kDeadline{500}, kPrompt{250};
constexpr std::size_t kConnections = 32;

// `count` connections that started a request and never end it.
std::deque<Connection> half_sent(int port, std::size_t count) {
  std::deque<Connection> started;
  while (started.size() < count) {
    started.emplace_back(port).send("GET " + kInstrument + " HTTP/1.1\r\nX-Slow: ");
  }
  return started;
}

// What a row does, what its probe hears and how soon.
using HostileCase = std::tuple<const char*, std::function<Heard(Loopback&)>, int, milliseconds>;

const HostileCase kHostile[] = {
    {"a body beyond the limit is refused before it is read",
     [](Loopback& net) {
       return net.raw("POST " + kOrder + " HTTP/1.1\r\nContent-Length: 629145600\r\n\r\n" +
                      std::string(64 << 10, '{'));
     },
     413, kPrompt},
    {"a header beyond the limit is refused",
     [](Loopback& net) {
       return net.raw("GET / HTTP/1.1\r\nX-Big: " + std::string(20 << 10, 'a') + "\r\n\r\n");
     },
     431, kPrompt},
    {"as many clients as the cap, each with a request half sent, hold up no signed request",
     [](Loopback& net) {
       const auto started = half_sent(net.port, kConnections);
       return net.send("GET", kInstrument);
     },
     200, kPrompt},
    {"a connection that sends nothing is closed after the read deadline",
     [](Loopback& net) { return net.raw(""); }, kClosed, kDeadline + kPrompt},
    {"the cap held by idle kept-alive clients: a newcomer closes the longest idle, not the newest",
     [](Loopback& net) {
       std::deque<Connection> idle;
       while (idle.size() < kConnections) {
         idle.emplace_back(net.port).send(request_text("GET", kInstrument, ""));
         EXPECT_EQ(idle.back().read().status, 200);
       }
       Connection started(net.port);  // the request half sent, before the next newcomer's
       const std::string request = request_text("GET", kInstrument, "");
       started.send(request.substr(0, 20));
       EXPECT_EQ(net.send("GET", kInstrument).status, 200);
       started.send(request.substr(20));
       return started.read();
     },
     200, kWait},
    {"stop() ends at once with slow clients connected and an answer held back",
     [](Loopback& net) {
       const auto slow = half_sent(net.port, 4);
       Connection stalled(net.port);
       net.server.fail_next(ServerFault::kStall);
       stalled.send(request_text("GET", kInstrument, ""));
       EXPECT_EQ(stalled.read(milliseconds(50)).status, kNoAnswer);
       const auto start = std::chrono::steady_clock::now();
       net.server.stop();
       Heard heard = stalled.read();
       heard.took =
           std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
       return heard;
     },
     kClosed, kPrompt},
};

class HostileClients : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileClients, HoldUpNoOtherClientAndBreakNothing) {
  const auto& [what, act, status, within] = GetParam();
  sim::ServerSettings served = settings();
  served.faults.stall_for = milliseconds(10000);
  served.http.read_deadline = served.http.idle = kDeadline;
  served.http.connections = kConnections;
  Loopback net(served);
  const Heard heard = act(net);
  EXPECT_EQ(heard.status, status) << heard.response.body();
  EXPECT_LE(heard.took, within);
  if (heard.status >= 400) {  // the exchange's error body
    EXPECT_TRUE(Value::parse(heard.response.body()).at("error").at("message").is_string());
  }
}
INSTANTIATE_TEST_SUITE_P(SimServerHostileClients, HostileClients, testing::ValuesIn(kHostile),
                         row_names(kHostile, [](const HostileCase& c) { return std::get<0>(c); }));

// A websocket client of the realtime feed of a Loopback.
struct Feed : Loopback {
  Feed() {
    beast::get_lowest_layer(ws).connect(
        {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    ws.handshake("127.0.0.1", "/realtime");
    read();
  }

  void send(const std::string& text) {
    beast::error_code ignored;  // a dropped client hears that it was dropped
    ws.write(asio::buffer(text), ignored);
  }
  // The next message within `wait`; nullopt when none came.
  std::optional<std::string> next(milliseconds wait = kWait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (inbox.empty() && !closed && io.run_one_until(end) > 0) {
    }
    if (inbox.empty()) return std::nullopt;
    std::string text = std::move(inbox.front());
    inbox.pop_front();
    return text;
  }
  void read() {
    ws.async_read(buffer, [this](beast::error_code ec, std::size_t) {
      closed = closed || ec;
      if (ec) return;
      inbox.push_back(beast::buffers_to_string(buffer.data()));
      received += buffer.size();
      buffer.consume(buffer.size());
      read();
    });
  }

  asio::io_context io;
  beast::websocket::stream<beast::tcp_stream> ws{io};
  beast::flat_buffer buffer;
  std::deque<std::string> inbox;
  std::size_t received = 0;  // bytes
  bool closed = false;
  std::deque<beast::websocket::stream<beast::tcp_stream>> crowd;  // other clients, idle
};

const std::string kStop =
    R"({"symbol":"XBTUSD","side":"Sell","orderQty":100,"stopPx":8900,"ordType":"Stop"})";

// One step of a feed client: "> text" sends the text; "< text" expects the next message to be
// the text or, for JSON, to hold its fields; "auth" authenticates and expects the acknowledgement,
// "auth secret" signs with the secret, "sub topic" subscribes and expects the acknowledgement,
// "quiet ms" expects nothing for that long, "total bytes" that all heard, once the feed falls
// quiet, is at most that many bytes, "unread n" asks for n partials without reading them, "closed"
// expects the server to close the connection, "crowd" opens as many other idle connections as
// the server takes; the rest act on the exchange ("later s" moves its clock) or its server.
void step(Feed& feed, const std::string& line) {
  std::istringstream in(line);
  std::string verb, arg;
  in >> verb;
  std::getline(in >> std::ws, arg);
  if (verb == ">") {
    feed.send(arg);
  } else if (verb == "<") {
    const std::optional<std::string> got = feed.next();
    ASSERT_TRUE(got) << "nothing arrived; wanted " << arg;
    const bool json = arg.starts_with('{');
    EXPECT_TRUE(json ? matches(stoploss::parse_json(*got), Value::parse(arg)) : *got == arg)
        << "got " << *got << "\nwanted " << arg;
  } else if (verb == "auth") {
    const std::string secret = arg.empty() ? kSecret : arg;
    const long long expires = utils::unix_now() + 60;
    const std::string signature = auth::signature(secret, "GET", "/realtime", expires, "");
    feed.send(Value{{"op", "authKeyExpires"}, {"args", {kKey, expires, signature}}}.dump());
    if (arg.empty()) step(feed, R"(< {"success":true,"request":{"op":"authKeyExpires"}})");
  } else if (verb == "sub") {
    feed.send(Value{{"op", "subscribe"}, {"args", {arg}}}.dump());
    step(feed, "< " + Value{{"success", true}, {"subscribe", arg}}.dump());
  } else if (verb == "total" || verb == "closed") {
    while (feed.next(milliseconds(200))) {
    }
    EXPECT_TRUE(verb == "total" ? feed.received <= std::stoul(arg) : feed.closed)
        << feed.received << " bytes heard";
  } else if (verb == "unread") {
    for (int asked = 0; asked < std::stoi(arg); ++asked) {
      feed.send(R"({"op":"subscribe","args":["instrument"]})");
      feed.send(R"({"op":"unsubscribe","args":["instrument"]})");
    }
  } else if (verb == "crowd") {
    while (feed.crowd.size() < sim::RealtimeLimits{}.sessions) {
      auto& other = feed.crowd.emplace_back(feed.io);
      beast::error_code ec;
      other.next_layer().connect(
          {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(feed.port)}, ec);
      if (!ec) other.handshake("127.0.0.1", "/realtime", ec);
      EXPECT_FALSE(ec) << "connection " << feed.crowd.size() << ": " << ec.message();
    }
  } else if (verb == "quiet") {
    const auto got = feed.next(milliseconds(std::stoi(arg)));
    EXPECT_FALSE(got) << "unexpected " << *got;
  } else if (verb == "place" || verb == "amend" || verb == "cancel" || verb == "price" ||
             verb == "later") {
    feed.server.with_exchange([&](sim::SimExchange& e) {
      if (verb == "place") e.place(Value::parse(kStop));
      if (verb == "amend")
        e.amend_order({{"orderID", e.open_orders("XBTUSD")[0]["orderID"]}, {"stopPx", 8800}});
      if (verb == "cancel") e.cancel_stops("XBTUSD");
      if (verb == "price") e.set_price("XBTUSD", std::stod(arg));
      if (verb == "later") e.clock().advance(std::stod(arg));
    });
  } else if (verb == "stall") {
    feed.server.feed_fault(sim::FeedFault::kStall, milliseconds(std::stoi(arg)));
  } else if (verb == "post-held") {  // placed over REST, its answer held back
    feed.server.fail_next(ServerFault::kStall, "POST /api/v1/order");
    Connection client(feed.port);
    client.send(request_text("POST", kOrder, kStop));
    step(feed, R"(< {"table":"order","action":"insert","data":[{"stopPx":8900}]})");
    const Heard answer = client.read();
    EXPECT_EQ(answer.status, 200);
    EXPECT_GT(answer.took, milliseconds(100));  // still held back when the insert came
  } else {
    FAIL() << "no such step: " << line;
  }
}

const std::string kOrderInsert =
    R"(< {"table":"order","action":"insert","data":[{"symbol":"XBTUSD","stopPx":8900,"ordStatus":"New","leavesQty":100,"price":null}]})";

// A subscribe naming `count` unknown tables.
std::string unknown_topics(int count) {
  Value topics = Value::array();
  for (int topic = 0; topic < count; ++topic) topics.push_back("nosuch" + std::to_string(topic));
  return Value{{"op", "subscribe"}, {"args", topics}}.dump();
}

using FeedCase = std::pair<const char*, std::vector<std::string>>;  // a client's steps
const FeedCase kFeedCases[] = {
    {"auth with a bad signature",
     {"auth other", R"(< {"status":401,"error":"Signature not valid.","meta":{}})"}},
    {"private tables before auth",
     {R"(> {"op":"subscribe","args":["order:XBTUSD","execution","margin","position"]})",
      R"x(< {"status":401,"error":"User requested an account-locked subscription but no authorization is provided. (and 3 more topics refused)"})x"}},
    {"instrument: partial with the market, then updates",
     {"sub instrument:XBTUSD",
      R"(< {"table":"instrument","action":"partial","keys":["symbol"],"filter":{"symbol":"XBTUSD"},"data":[{"symbol":"XBTUSD","lastPrice":10000,"bidPrice":9999.5}]})",
      "price 9100",
      R"(< {"table":"instrument","action":"update","data":[{"symbol":"XBTUSD","lastPrice":9100,"askPrice":9100.5}]})"}},
    {"a placement inserts; an amendment and a cancel update",
     {"auth", "sub order",
      R"(< {"table":"order","action":"partial","keys":["orderID"],"filter":{"account":100001},"data":[]})",
      "place", kOrderInsert, "amend",
      R"(< {"table":"order","action":"update","data":[{"stopPx":8800,"symbol":"XBTUSD","side":null}]})",
      "cancel",
      R"(< {"table":"order","action":"update","data":[{"ordStatus":"Canceled","leavesQty":0}]})"}},
    {"the order partial holds the open stop; a triggered stop fills and opens the position",
     {"auth", "place", "sub order:XBTUSD",
      R"(< {"table":"order","action":"partial","data":[{"stopPx":8900,"ordStatus":"New"}]})",
      "sub position:XBTUSD",
      R"(< {"table":"position","action":"partial","keys":["account","symbol","currency"]})",
      "price 8850", R"(< {"table":"position","action":"insert","data":[{"currentQty":-100}]})",
      R"(< {"table":"order","action":"update","data":[{"ordStatus":"Filled","avgPx":8850}]})"}},
    {"a price move trades a lot, quotes a tick either side and moves the book a tick",
     {"sub trade:XBTUSD", R"(< {"table":"trade","action":"partial","keys":[],"data":[]})",
      "sub quote:XBTUSD",
      R"(< {"table":"quote","action":"partial","data":[{"bidPrice":9999.5,"askPrice":10000.5}]})",
      "sub orderBookL2_25:XBTUSD",
      R"(< {"table":"orderBookL2_25","action":"partial","keys":["symbol","id","side"]})",
      "price 10000.5",
      R"(< {"table":"trade","action":"insert","data":[{"side":"Buy","size":100,"price":10000.5,"tickDirection":"PlusTick"}]})",
      R"(< {"table":"quote","action":"insert","data":[{"bidPrice":10000,"askPrice":10001}]})",
      R"(< {"table":"orderBookL2_25","action":"update"})",
      R"(< {"table":"orderBookL2_25","action":"delete","data":[{"side":"Sell","price":10000.5}]})",
      R"(< {"table":"orderBookL2_25","action":"insert","data":[{"side":"Sell","price":10013,"size":25000}]})",
      R"(< {"table":"orderBookL2_25","action":"update"})",
      R"(< {"table":"orderBookL2_25","action":"delete","data":[{"side":"Buy","price":9987.5}]})",
      R"(< {"table":"orderBookL2_25","action":"insert","data":[{"side":"Buy","price":10000,"size":1000}]})"}},
    {"a triggered stop's fill is inserted as an execution; the margin follows",
     {"auth", "place", "sub execution:XBTUSD",
      R"(< {"table":"execution","action":"partial","keys":["execID"],"data":[]})", "sub margin",
      R"(< {"table":"margin","action":"partial","keys":["account","currency"],"data":[{"currency":"XBt"},{"currency":"USDt"}]})",
      "price 8850", R"(< {"table":"margin","action":"update","data":[{"currency":"XBt"}]})",
      R"(< {"table":"execution","action":"insert","data":[{"execType":"Trade","side":"Sell","lastQty":100,"lastPx":8850}]})",
      R"(< {"table":"margin","action":"update","data":[{"currency":"XBt"}]})"}},
    {"a minute's bucket is inserted when its contract next trades",
     {"sub tradeBin1m:XBTUSD", R"(< {"table":"tradeBin1m","action":"partial","data":[]})",
      "price 10100", "price 10050", "later 90", "quiet 100", "price 10200",
      R"(< {"table":"tradeBin1m","action":"insert","data":[{"timestamp":"2026-01-01T00:01:00.000Z","open":10100,"high":10100,"low":10050,"close":10050,"trades":2,"volume":200}]})"}},
    {"REST answer held back: the feed tells first",
     {"auth", "sub order:XBTUSD", R"(< {"action":"partial"})", "post-held"}},
    {"stalled: no pong until the stall ends", {"stall 500", "> ping", "quiet 300", "< pong"}},
    {"3,000 unknown topics: one short error",
     {"> " + unknown_topics(3000),
      R"x(< {"status":400,"error":"Unknown table: nosuch0 (and 2999 more topics refused)"})x",
      "total 1000"}},
    {"a client that reads nothing is dropped past the queue's bound", {"unread 500", "closed"}},
    {"the cap held by idle clients: a newcomer ends the longest idle, not a subscriber",
     {"sub instrument:XBTUSD", R"(< {"action":"partial"})", "crowd", "price 9100",
      R"(< {"table":"instrument","action":"update"})"}},
};

class FeedClients : public testing::TestWithParam<FeedCase> {};

TEST_P(FeedClients, WelcomesThenAnswersAsTheExchangeDoes) {
  Feed feed;
  step(feed, R"(< {"info":"Welcome to the BitMEX Realtime API.","version":"2.0.0"})");
  for (const std::string& line : GetParam().second) step(feed, line);
}
INSTANTIATE_TEST_SUITE_P(RealtimeFeed, FeedClients, testing::ValuesIn(kFeedCases),
                         row_names(kFeedCases, &FeedCase::first));

}  // namespace
