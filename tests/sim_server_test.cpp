// The embedded exchange over loopback HTTP as a REST client sees it: routes, signatures, rate
// limits and faults, and clients that try to hold the server up.
#include "Core/sim/sim_server.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Core/auth/signature.hpp"
#include "Core/sim/price_feed.hpp"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using sim::ServerFault;
using std::chrono::milliseconds;
using stoploss::Value;

const std::string kKey = "key-1";
const std::string kSecret = "secret-1";
const std::string kOrder = "/api/v1/order";
const std::string kInstrument = "/api/v1/instrument?symbol=XBTUSD";
constexpr milliseconds kWait{2000};  // the longest any read waits

long long unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

sim::ServerSettings settings(int rate_limit = 120, sim::ServerFaults faults = {},
                             std::uint64_t seed = 7) {
  return {kKey, kSecret, seed, faults, rate_limit};
}

std::string stop(double stopPx, long long orderQty, const std::string& symbol = "XBTUSD") {
  return Value{{"symbol", symbol},
               {"orderQty", orderQty},
               {"stopPx", stopPx},
               {"ordType", "Stop"},
               {"execInst", "LastPrice,ReduceOnly"},
               {"text", "sl"},
               {"clOrdLinkID", "link-1"}}
      .dump();
}

struct Signing {
  std::string key = kKey;  // empty: not signed
  std::string secret = kSecret;
  long long expires_in = 60;
  std::string content_type = "application/json";
};

std::string request_text(const std::string& verb, const std::string& target,
                         const std::string& body, const Signing& signing = {}) {
  http::request<http::string_body> req;
  req.method_string(verb);
  req.target(target);
  req.set(http::field::host, "127.0.0.1");
  req.set(http::field::content_type, signing.content_type);
  if (!signing.key.empty()) {
    const long long expires = unix_now() + signing.expires_in;
    req.set("api-key", signing.key);
    req.set("api-expires", std::to_string(expires));
    req.set("api-signature", auth::signature(signing.secret, verb, target, expires, body));
  }
  req.body() = body;
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

  std::string header(const char* name) const { return std::string(response[name]); }
};

// One loopback connection. Writes ignore failures (a server may close on a hostile client
// mid-write): what the client then hears tells.
class Connection {
 public:
  explicit Connection(int port) {
    socket_.connect({asio::ip::make_address_v4("127.0.0.1"), static_cast<std::uint16_t>(port)});
  }

  void send(const std::string& bytes) {
    boost::system::error_code ignored;
    asio::write(socket_, asio::buffer(bytes), ignored);
  }

  Heard read(milliseconds wait = kWait) {
    const auto start = std::chrono::steady_clock::now();
    http::response_parser<http::string_body> parser;
    std::optional<boost::system::error_code> ended;
    http::async_read(socket_, buffer_, parser,
                     [&](const boost::system::error_code& ec, std::size_t) { ended = ec; });
    io_.restart();
    io_.run_for(wait);
    Heard heard;
    heard.took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    if (!ended) {
      socket_.cancel();
      io_.restart();
      io_.run();
    } else if (*ended) {
      heard.status = kClosed;
    } else {
      heard.response = parser.release();
      heard.status = heard.response.result_int();
    }
    return heard;
  }

 private:
  asio::io_context io_;
  asio::ip::tcp::socket socket_{io_};
  boost::beast::flat_buffer buffer_;
};

// XBTUSD and ETHUSD served on a free loopback port, and a client that signs what it sends.
struct Loopback {
  explicit Loopback(const sim::ServerSettings& served = settings()) : server(exchange, served) {
    exchange.list(sim::xbtusd(10000));
    exchange.list(sim::ethusd(1000));
    port = server.start();
  }

  Heard send(const std::string& verb, const std::string& target, const std::string& body = "",
             const Signing& signing = {}, milliseconds wait = kWait) {
    Connection connection(port);
    connection.send(request_text(verb, target, body, signing));
    return connection.read(wait);
  }

  Value answer(const std::string& verb, const std::string& target, const std::string& body = "") {
    const Heard heard = send(verb, target, body);
    EXPECT_EQ(heard.status, 200) << verb << ' ' << target << ": " << heard.response.body();
    return heard.status == 200 ? Value::parse(heard.response.body()) : Value();
  }

  std::vector<double> stop_prices(const std::string& symbol = "XBTUSD") {
    std::vector<double> prices;
    server.with_exchange([&](sim::SimExchange& e) { prices = e.stop_prices(symbol); });
    return prices;
  }

  sim::SimExchange exchange;
  sim::SimServer server;
  int port = 0;
};

TEST(SimServerRoutes, InstrumentListsTheSymbolOrNothing) {
  Loopback net;
  const Value listed = net.answer("GET", kInstrument);
  ASSERT_EQ(listed.size(), 1u);
  const Value expected = Value::parse(R"({"symbol":"XBTUSD","state":"Open","tickSize":0.5,
      "lotSize":100,"maxOrderQty":10000000,"multiplier":-100000000,"isInverse":true,
      "lastPrice":10000,"impactMidPrice":10000})");
  for (const auto& [key, value] : expected.items()) {
    EXPECT_EQ(listed[0][key], value) << key;
  }
  EXPECT_EQ(net.answer("GET", "/api/v1/instrument?symbol=NOPE"), Value::array());
}

TEST(SimServerRoutes, PlaceListAndAmendOverHttp) {
  Loopback net;
  const Value placed = net.answer("POST", kOrder, stop(9000, -100));
  EXPECT_EQ(placed["side"], "Sell");
  EXPECT_EQ(placed["clOrdLinkID"], "link-1");
  const std::string id = placed["orderID"];
  EXPECT_EQ(net.answer("GET", kOrder + "?symbol=XBTUSD&filter=%7B%22open%22%3Atrue%7D"),
            Value::array({placed}));
  EXPECT_EQ(net.answer("GET", kOrder + "?symbol=ETHUSD"), Value::array());

  const Value amended = net.answer("PUT", kOrder, Value{{"orderID", id}, {"stopPx", 9100}}.dump());
  EXPECT_EQ(amended["stopPx"], 9100);
  EXPECT_EQ(amended["orderQty"], 100);  // left out: kept
  EXPECT_EQ(net.stop_prices(), std::vector<double>{9100});
}

TEST(SimServerRoutes, CancelAnswersEachIdByItsState) {
  Loopback net;
  std::vector<std::string> ids;
  for (const double stopPx : {9000, 8000, 7000}) {
    ids.push_back(net.answer("POST", kOrder, stop(stopPx, -100))["orderID"]);
  }
  net.answer("DELETE", kOrder, Value{{"orderID", ids[2]}}.dump());
  net.answer("POST", kOrder, R"({"symbol":"XBTUSD","orderQty":100,"ordType":"Market"})");
  net.server.with_exchange([](sim::SimExchange& e) { e.set_price("XBTUSD", 8500); });
  ids.push_back("no-such-order");

  const Value answer = net.answer("DELETE", kOrder, Value{{"orderID", ids}}.dump());
  ASSERT_EQ(answer.size(), 4u);
  EXPECT_EQ(answer[0]["error"], "Unable to cancel order due to existing state: Filled");
  EXPECT_EQ(answer[1]["ordStatus"], "Canceled");
  EXPECT_FALSE(answer[1].contains("error"));
  EXPECT_EQ(answer[1]["stopPx"], 8000);
  EXPECT_EQ(answer[2]["error"], "Unable to cancel order due to existing state: Canceled");
  EXPECT_EQ(answer[3], Value({{"orderID", "no-such-order"}, {"error", "Not found"}}));
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(answer[i]["orderID"], ids[i]);
  EXPECT_TRUE(net.stop_prices().empty());
}

// Whether `answer` holds every field of `expected`, a list element by element.
bool holds(const Value& answer, const Value& expected) {
  if (expected.is_array()) {
    if (!answer.is_array() || answer.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (!holds(answer[i], expected[i])) return false;
    }
    return true;
  }
  if (!expected.is_object()) return answer == expected;
  return std::ranges::all_of(expected.items(), [&](const auto& item) {
    return answer.is_object() && answer.contains(item.key()) &&
           holds(answer[item.key()], item.value());
  });
}

// Each row on a book of stops a (XBTUSD 9000), b (XBTUSD 8000) and c (ETHUSD 900), placed in
// that order.
TEST(SimServerRoutes, AnswerAsTheExchangeDoes) {
  struct Case {
    const char* what;
    std::string verb, target, body;
    Signing signing;
    Value expected;  // fields the answer holds
    std::vector<double> xbtusd_stops;
    std::size_t open_after;  // open orders of every pair
  };
  const Signing form{.content_type = "application/x-www-form-urlencoded"};
  const Case cases[] = {
      {"a form body places an order",
       "POST",
       kOrder,
       "symbol=XBTUSD&side=Sell&orderQty=100&stopPx=7500&ordType=Stop&execInst=LastPrice%"
       "2CReduceOnly",
       form,
       {{"orderQty", 100}, {"stopPx", 7500}, {"execInst", "LastPrice,ReduceOnly"}},
       {9000, 8000, 7500},
       4},
      {"PUT by origClOrdID amends that order",
       "PUT",
       kOrder,
       R"({"origClOrdID":"b","stopPx":8100})",
       {},
       {{"clOrdID", "b"}, {"stopPx", 8100}},
       {9000, 8100},
       3},
      {"DELETE by clOrdID cancels that order",
       "DELETE",
       kOrder,
       R"({"clOrdID":"a"})",
       {},
       Value::array({{{"clOrdID", "a"}, {"ordStatus", "Canceled"}}}),
       {8000},
       2},
      {"GET /order filters, reverses and counts",
       "GET",
       kOrder + "?filter=%7B%22ordType%22%3A%22Stop%22%7D&reverse=true&count=2",
       "",
       {},
       Value::array({{{"clOrdID", "c"}}, {{"clOrdID", "b"}}}),
       {9000, 8000},
       3},
      {"DELETE /order/all with a symbol and filter leaves other pairs",
       "DELETE",
       kOrder + "/all",
       R"({"symbol":"XBTUSD","filter":{"ordType":"Stop"}})",
       {},
       Value::array({{{"clOrdID", "a"}}, {{"clOrdID", "b"}, {"ordStatus", "Canceled"}}}),
       {},
       1},
      {"DELETE /order/all without a symbol cancels every pair's",
       "DELETE",
       kOrder + "/all",
       "",
       {},
       Value::array({{{"clOrdID", "a"}}, {{"clOrdID", "b"}}, {{"clOrdID", "c"}}}),
       {},
       0},
      {"GET /instrument with columns answers those, the symbol and the time",
       "GET",
       kInstrument + "&columns=%5B%22lastPrice%22%5D",
       "",
       {.key = ""},
       Value::array({{{"symbol", "XBTUSD"}, {"lastPrice", 10000}}}),
       {9000, 8000},
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Loopback net;
    for (const auto& [id, stopPx, symbol] :
         {std::tuple{"a", 9000, "XBTUSD"}, {"b", 8000, "XBTUSD"}, {"c", 900, "ETHUSD"}}) {
      Value order = Value::parse(stop(stopPx, -100, symbol));
      order["clOrdID"] = id;
      net.answer("POST", kOrder, order.dump());
    }
    const Heard heard = net.send(c.verb, c.target, c.body, c.signing);
    ASSERT_EQ(heard.status, 200) << heard.response.body();
    const Value answer = Value::parse(heard.response.body());
    EXPECT_TRUE(holds(answer, c.expected)) << answer.dump();
    if (c.target.find("columns") != std::string::npos) {
      EXPECT_EQ(answer[0].size(), 3u) << answer.dump();  // lastPrice, symbol, timestamp
    }
    EXPECT_EQ(net.stop_prices(), c.xbtusd_stops);
    std::size_t open = 0;
    net.server.with_exchange([&](sim::SimExchange& e) {
      open = e.orders({.filter = {{"open", true}}}).size();
    });
    EXPECT_EQ(open, c.open_after);
  }
}

// The account after a market buy of 1000 at 10000.5 and the price down to 9000: every route is
// signed but /wallet/assets, and answers the fields a client reads.
TEST(SimServerAccount, RoutesAnswerTheRealFieldsToASignedRequest) {
  struct Case {
    std::string target;
    bool is_public;
    Value expected;  // fields of the record, or of the list's first
  };
  const Case cases[] = {
      {"/api/v1/position",
       false,
       {{"symbol", "XBTUSD"}, {"currentQty", 1000}, {"isOpen", true}, {"currency", "XBt"}}},
      {"/api/v1/position?filter=%7B%22isOpen%22%3Afalse%7D", false, nullptr},
      {"/api/v1/user/margin", false, {{"currency", "XBt"}, {"amount", 100000000}}},
      {"/api/v1/user/margin?currency=all", false, {{"currency", "XBt"}}},
      {"/api/v1/user/wallet?currency=XBt",
       false,
       {{"currency", "XBt"}, {"deposited", 100000000}, {"amount", 100000000}}},
      {"/api/v1/wallet/assets",
       true,
       {{"asset", "XBT"}, {"currency", "XBt"}, {"scale", 8}, {"isMarginCurrency", true}}},
  };
  Loopback net;
  net.answer("POST", kOrder, R"({"symbol":"XBTUSD","side":"Buy","orderQty":1000})");
  net.server.with_exchange([](sim::SimExchange& e) { e.set_price("XBTUSD", 9000); });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const Value answer = net.answer("GET", c.target);
    const Value record = answer.is_array() && !answer.empty() ? answer[0] : answer;
    if (c.expected.is_null()) {
      EXPECT_EQ(answer, Value::array());
    } else {
      EXPECT_TRUE(holds(record, c.expected)) << answer.dump();
    }
    EXPECT_EQ(net.send("GET", c.target, "", {.key = ""}).status, c.is_public ? 200 : 401);
  }
  const Value margin = net.answer("GET", "/api/v1/user/margin");
  const long long unrealised = margin["unrealisedPnl"];
  EXPECT_LT(unrealised, 0);
  EXPECT_EQ(margin["marginBalance"], margin["walletBalance"].get<long long>() + unrealised);
  EXPECT_GT(margin["maintMargin"], 0);
  EXPECT_EQ(margin["availableMargin"], margin["marginBalance"].get<long long>() -
                                           margin["maintMargin"].get<long long>() -
                                           margin["initMargin"].get<long long>());
  // Closed at market: the loss is realised into the wallet.
  net.answer("POST", kOrder, R"({"symbol":"XBTUSD","ordType":"Market","execInst":"Close"})");
  const Value closed = net.answer("GET", "/api/v1/user/margin");
  const Value position = net.answer("GET", "/api/v1/position")[0];
  EXPECT_EQ(position["currentQty"], 0);
  EXPECT_LT(closed["realisedPnl"], 0);
  EXPECT_EQ(closed["realisedPnl"], position["realisedPnl"]);
  EXPECT_EQ(closed["unrealisedPnl"], 0);
  EXPECT_EQ(closed["walletBalance"], 100000000 + closed["realisedPnl"].get<long long>());
  EXPECT_EQ(net.answer("GET", "/api/v1/user/wallet")["amount"], closed["walletBalance"]);
}

// A walk applied every few ms through the server's lock; stop() ends it at once.
TEST(SimServerPriceFeed, MovesTheMarketAtItsPaceAndStopsPromptly) {
  Loopback net;
  sim::PriceFeed feed(
      [walk = std::make_shared<sim::RandomWalk>(10000, 0.5, 0.01, 3)]() -> std::optional<double> {
        return walk->next();
      },
      [&net](double price) {
        net.server.with_exchange([price](sim::SimExchange& e) { e.set_price("XBTUSD", price); });
      },
      milliseconds(2));
  feed.start();
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (feed.steps() < 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  const auto stopping = std::chrono::steady_clock::now();
  feed.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - stopping, milliseconds(100));
  ASSERT_GE(feed.steps(), 5);
  sim::RandomWalk again(10000, 0.5, 0.01, 3);
  double last = 0;
  for (long long i = 0; i < feed.steps(); ++i) last = again.next();
  EXPECT_EQ(net.answer("GET", kInstrument)[0]["lastPrice"], last);
}

struct Refused {
  std::string body;
  int status;
  std::string message;  // empty: any message
};

class RefusedPlacement : public testing::TestWithParam<Refused> {};

TEST_P(RefusedPlacement, AnswersTheRefusalAndPlacesNothing) {
  Loopback net;
  const Heard heard = net.send("POST", kOrder, GetParam().body);
  ASSERT_EQ(heard.status, GetParam().status);
  const Value error = Value::parse(heard.response.body()).at("error");
  if (!GetParam().message.empty()) {
    EXPECT_EQ(error.at("message"), GetParam().message);
  }
  EXPECT_TRUE(net.stop_prices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RefusedPlacement,
    testing::Values(Refused{stop(10500, -100), 400, "Stop price would trigger immediately"},
                    Refused{stop(9000, -100, "NOPE"), 400, "Invalid symbol"},
                    Refused{R"({"symbol":"XBTUSD","side":"Sell","orderQty":-100,"stopPx":9000})",
                            400, "Invalid orderQty"},
                    Refused{R"({"symbol":"XBTUSD","side":"Sell","orderQty":150,"stopPx":9000})",
                            400, "Order quantity must be a multiple of lot size: 100"},
                    Refused{R"({"symbol":"XBTUSD","side":"Sell","orderQty":100,"stopPx":9000.3})",
                            400, "Invalid stopPx tickSize"},
                    Refused{"{not json", 400, ""}));

struct BadCredentials {
  Signing signing;
  std::string message;
};

class Unauthorized : public testing::TestWithParam<BadCredentials> {};

TEST_P(Unauthorized, Gets401AndDoesNothing) {
  Loopback net;
  const Heard heard = net.send("POST", kOrder, stop(9000, -100), GetParam().signing);
  ASSERT_EQ(heard.status, 401);
  EXPECT_EQ(Value::parse(heard.response.body()),
            Value({{"error", {{"message", GetParam().message}, {"name", "HTTPError"}}}}));
  EXPECT_TRUE(net.stop_prices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Signing, Unauthorized,
    testing::Values(BadCredentials{{kKey, "other-secret", 60}, "Signature not valid."},
                    BadCredentials{{kKey, kSecret, -5},
                                   "This request has expired - `expires` is in the past."},
                    BadCredentials{{"other-key", kSecret, 60}, "Invalid API Key."}));

TEST(SimServerRateLimit, CountsDownThenRefusesWithRetryAfter) {
  Loopback net(settings(3));
  for (int remaining = 2; remaining >= 0; --remaining) {
    const Heard heard = net.send("GET", kInstrument);
    ASSERT_EQ(heard.status, 200);
    EXPECT_EQ(heard.header("x-ratelimit-limit"), "3");
    EXPECT_EQ(heard.header("x-ratelimit-remaining"), std::to_string(remaining));
    // Full again once the used requests are refilled, at 3 a minute.
    const long long reset = std::stoll(heard.header("x-ratelimit-reset"));
    EXPECT_NEAR(reset - unix_now(), (3 - remaining) * 20, 2);
  }
  const Heard refused = net.send("POST", kOrder, stop(9000, -100));
  ASSERT_EQ(refused.status, 429);
  EXPECT_EQ(refused.header("x-ratelimit-remaining"), "0");
  const long long retry = std::stoll(refused.header("Retry-After"));
  EXPECT_GE(retry, 1);
  EXPECT_LE(retry, 60);
  EXPECT_EQ(Value::parse(refused.response.body()).at("error").at("name"), "RateLimitError");
  EXPECT_TRUE(net.stop_prices().empty());
}

struct Scripted {
  ServerFault fault;
  int status;
  std::string message;
  bool placed;
};

class ScriptedFault : public testing::TestWithParam<Scripted> {};

TEST_P(ScriptedFault, HitsTheNextRequestOnly) {
  Loopback net;
  const Scripted& c = GetParam();
  net.server.fail_next(c.fault);
  const Heard heard = net.send("POST", kOrder, stop(9000, -100), {}, milliseconds(100));
  EXPECT_EQ(heard.status, c.status);
  const std::string& body = heard.response.body();
  if (c.status > 0 && c.message.empty()) {
    EXPECT_FALSE(Value::accept(body)) << body;
  } else if (c.status > 0) {
    EXPECT_EQ(Value::parse(body).at("error").at("message"), c.message);
  }
  // Answered at once even while a stalled answer is held back.
  EXPECT_EQ(net.send("GET", kInstrument, "", {}, milliseconds(250)).status, 200);
  EXPECT_EQ(net.stop_prices().size(), c.placed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScriptedFault,
    testing::Values(Scripted{ServerFault::kOverload, 503,
                             "The system is currently overloaded. Please try again later.", false},
                    Scripted{ServerFault::kRateLimited, 429,
                             "Rate limit exceeded, retry in 1 seconds.", false},
                    Scripted{ServerFault::kStall, kNoAnswer, "", true},
                    Scripted{ServerFault::kTruncated, 200, "", true}));

TEST(SimServerFaults, DrawnFaultsRepeatWithTheSeed) {
  const auto statuses = [](std::uint64_t seed) {
    Loopback net(settings(120, {.overload = 0.5}, seed));
    std::vector<int> seen;
    for (int i = 0; i < 16; ++i) seen.push_back(net.send("GET", kInstrument).status);
    return seen;
  };
  const std::vector<int> first = statuses(11);
  EXPECT_EQ(statuses(11), first);
  EXPECT_GT(std::ranges::count(first, 503), 0);
  EXPECT_GT(std::ranges::count(first, 200), 0);
}

TEST(SimServerCounts, ByVerbAndPathWhateverTheAnswer) {
  Loopback net;
  net.answer("GET", kOrder + "?symbol=XBTUSD");
  net.answer("POST", kOrder, stop(9000, -100));
  net.send("POST", kOrder, stop(9000, -100), {kKey, "other-secret", 60});
  EXPECT_EQ(net.server.requests(),
            (std::map<std::string, int>{{"GET /api/v1/order", 1}, {"POST /api/v1/order", 2}}));
  net.server.reset_counts();
  EXPECT_TRUE(net.server.requests().empty());
}

// Clients that try to hold the server up or break it, against short deadlines. Each row acts and
// returns what its probe heard and how long the probe took.
constexpr milliseconds kDeadline{500};
constexpr milliseconds kPrompt{250};
constexpr std::size_t kConnections = 32;

sim::ServerSettings hostile_settings() {
  sim::ServerSettings served = settings();
  served.faults.stall_for = milliseconds(10000);
  served.http.read_deadline = kDeadline;
  served.http.idle = kDeadline;
  served.http.connections = kConnections;
  return served;
}

Heard timed(const std::function<Heard()>& probe) {
  const auto start = std::chrono::steady_clock::now();
  Heard heard = probe();
  heard.took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  return heard;
}

// Connections that started a request and send one more header byte every 20 ms, never ending it.
class Drippers {
 public:
  Drippers(int port, int count) {
    for (int i = 0; i < count; ++i) {
      slow_.push_back(std::make_unique<Connection>(port));
      slow_.back()->send("GET " + kInstrument + " HTTP/1.1\r\nX-Slow: ");
    }
    drip_ = std::jthread([this](const std::stop_token& stopped) {
      while (!stopped.stop_requested()) {
        for (const auto& connection : slow_) connection->send("a");
        std::this_thread::sleep_for(milliseconds(20));
      }
    });
  }

 private:
  std::vector<std::unique_ptr<Connection>> slow_;
  std::jthread drip_;  // last: stopped before the connections go
};

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct HostileCase {
  const char* what;
  std::function<Heard(Loopback&)> act;
  int status;           // what the probe hears
  milliseconds within;  // and how soon
};

const HostileCase kHostile[] = {
    {"a body beyond the limit is refused before it is read",
     [](Loopback& net) {
       Connection client(net.port);
       return timed([&] {
         client.send("POST " + kOrder + " HTTP/1.1\r\nContent-Length: 629145600\r\n\r\n" +
                     std::string(64 << 10, '{'));
         return client.read();
       });
     },
     413, kPrompt},
    {"a header beyond the limit is refused",
     [](Loopback& net) {
       Connection client(net.port);
       client.send("GET " + kInstrument + " HTTP/1.1\r\nX-Big: " + std::string(20 << 10, 'a') +
                   "\r\n\r\n");
       return timed([&] { return client.read(); });
     },
     431, kPrompt},
    {"16 clients dripping header bytes hold up no signed request",
     [](Loopback& net) {
       const Drippers drippers(net.port, 16);
       return timed([&] { return net.send("GET", kInstrument); });
     },
     200, kPrompt},
    {"a connection that sends nothing is closed after the read deadline",
     [](Loopback& net) {
       Connection client(net.port);
       return timed([&] { return client.read(); });
     },
     kClosed, kDeadline + kPrompt},
    {"a kept-alive connection left idle is closed after the idle time",
     [](Loopback& net) {
       Connection client(net.port);
       client.send(request_text("GET", kInstrument, ""));
       EXPECT_EQ(client.read().status, 200);
       return timed([&] { return client.read(); });
     },
     kClosed, kDeadline + kPrompt},
    {"a connection beyond the cap is closed at once",
     [](Loopback& net) {
       std::vector<std::unique_ptr<Connection>> open;
       for (std::size_t i = 0; i < kConnections; ++i) {
         open.push_back(std::make_unique<Connection>(net.port));
       }
       Connection client(net.port);
       return timed([&] { return client.read(); });
     },
     kClosed, kPrompt},
    {"a filter nested 100k deep is refused",
     [](Loopback& net) {
       return timed([&] {
         return net.send("DELETE", kOrder + "/all",
                         R"({"symbol":"XBTUSD","filter":)" + nested(100000) + "}");
       });
     },
     400, kPrompt},
    {"an expiry 30 years ahead is refused",
     [](Loopback& net) {
       const long long thirty_years = 30LL * 365 * 24 * 3600;
       return timed([&] {
         return net.send("POST", kOrder, stop(9000, -100), {kKey, kSecret, thirty_years});
       });
     },
     401, kPrompt},
    {"unsigned requests that use up their budget leave the key's alone",
     [](Loopback& net) {
       for (int sent = 0; sent < 200; ++sent) {
         if (net.send("GET", kInstrument, "", {.key = ""}).status == 429) break;
       }
       return timed([&] { return net.send("GET", kInstrument); });
     },
     200, kPrompt},
    {"orderQty -2^63 is refused",
     [](Loopback& net) {
       return timed([&] {
         return net.send("POST", kOrder, stop(9000, std::numeric_limits<long long>::min()));
       });
     },
     400, kPrompt},
    {"stop() ends at once with slow clients connected and an answer held back",
     [](Loopback& net) {
       const Drippers drippers(net.port, 4);
       const Connection silent(net.port);
       Connection stalled(net.port);
       net.server.fail_next(ServerFault::kStall);
       stalled.send(request_text("GET", kInstrument, ""));
       EXPECT_EQ(stalled.read(milliseconds(50)).status, kNoAnswer);
       return timed([&] {
         net.server.stop();
         return stalled.read();
       });
     },
     kClosed, kPrompt},
};

TEST(SimServerHostileClients, HoldUpNoOtherClientAndBreakNothing) {
  for (const HostileCase& c : kHostile) {
    SCOPED_TRACE(c.what);
    Loopback net(hostile_settings());
    const Heard heard = c.act(net);
    EXPECT_EQ(heard.status, c.status) << heard.response.body();
    EXPECT_LE(heard.took, c.within);
    if (heard.status >= 400) {  // the exchange's error body
      EXPECT_TRUE(Value::parse(heard.response.body()).at("error").at("message").is_string());
    }
    EXPECT_TRUE(net.stop_prices().empty());
  }
}

}  // namespace
