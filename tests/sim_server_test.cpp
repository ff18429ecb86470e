// The embedded exchange over loopback HTTP as a REST client sees it: routes, signatures, rate
// limit and faults.
#include "Core/sim/sim_server.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Core/auth/signature.hpp"

namespace {

using sim::ServerFault;
using stoploss::Value;

const std::string kKey = "key-1";
const std::string kSecret = "secret-1";
const std::string kOrder = "/api/v1/order";
const std::string kInstrument = "/api/v1/instrument?symbol=XBTUSD";

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
  std::string key = kKey;
  std::string secret = kSecret;
  long long expires_in = 60;
};

// XBTUSD and ETHUSD served on a free loopback port, and a client that signs what it sends.
struct Loopback {
  explicit Loopback(const sim::ServerSettings& served = settings()) : server(exchange, served) {
    exchange.list(sim::xbtusd(10000));
    exchange.list(sim::ethusd(1000));
    port = server.start();
  }

  httplib::Result send(const std::string& verb, const std::string& target,
                       const std::string& body = "", const Signing& signing = {},
                       int read_timeout_ms = 2000) {
    const long long expires = unix_now() + signing.expires_in;
    httplib::Request req;
    req.method = verb;
    req.path = target;
    req.body = body;
    req.headers = {{"api-key", signing.key},
                   {"api-expires", std::to_string(expires)},
                   {"api-signature", auth::signature(signing.secret, verb, target, expires, body)},
                   {"Content-Type", "application/json"}};
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(0, read_timeout_ms * 1000);
    return client.send(req);
  }

  Value answer(const std::string& verb, const std::string& target, const std::string& body = "") {
    const httplib::Result result = send(verb, target, body);
    if (!result) {
      ADD_FAILURE() << verb << ' ' << target << ": no answer";
      return nullptr;
    }
    EXPECT_EQ(result->status, 200) << verb << ' ' << target << ": " << result->body;
    return Value::parse(result->body);
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
  EXPECT_EQ(net.answer("GET", kInstrument), Value::parse(R"([{"symbol":"XBTUSD","tickSize":0.5,
      "maxOrderQty":10000000,"lastPrice":10000,"impactMidPrice":10000}])"));
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
  EXPECT_EQ(amended["orderQty"], -100);  // left out: kept
  EXPECT_EQ(net.stop_prices(), std::vector<double>{9100});
}

TEST(SimServerRoutes, CancelAnswersEachIdByItsState) {
  Loopback net;
  std::vector<std::string> ids;
  for (const double stopPx : {9000, 8000, 7000}) {
    ids.push_back(net.answer("POST", kOrder, stop(stopPx, -100))["orderID"]);
  }
  net.answer("DELETE", kOrder, Value{{"orderID", ids[2]}}.dump());
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

TEST(SimServerRoutes, CancelAllTakesThePairsStopsOnly) {
  Loopback net;
  const Value first = net.answer("POST", kOrder, stop(9000, -100));
  const Value second = net.answer("POST", kOrder, stop(11000, 100));
  net.answer("POST", kOrder, stop(900, -10, "ETHUSD"));
  const Value cancelled =
      net.answer("DELETE", kOrder + "/all", R"({"symbol":"XBTUSD","filter":{"ordType":"Stop"}})");
  ASSERT_EQ(cancelled.size(), 2u);
  EXPECT_EQ(cancelled[0]["orderID"], first["orderID"]);
  EXPECT_EQ(cancelled[1]["orderID"], second["orderID"]);
  EXPECT_EQ(cancelled[1]["ordStatus"], "Canceled");
  EXPECT_TRUE(net.stop_prices().empty());
  EXPECT_EQ(net.stop_prices("ETHUSD"), std::vector<double>{900});
}

struct Refused {
  std::string body;
  int status;
  std::string message;  // empty: any message
};

class RefusedPlacement : public testing::TestWithParam<Refused> {};

TEST_P(RefusedPlacement, AnswersTheRefusalAndPlacesNothing) {
  Loopback net;
  const httplib::Result result = net.send("POST", kOrder, GetParam().body);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, GetParam().status);
  const Value error = Value::parse(result->body).at("error");
  if (!GetParam().message.empty()) {
    EXPECT_EQ(error.at("message"), GetParam().message);
  }
  EXPECT_TRUE(net.stop_prices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, RefusedPlacement,
    testing::Values(Refused{stop(10500, -100), 400, "Stop price would trigger immediately"},
                    Refused{stop(9000, -100, "NOPE"), 404, "Instrument not listed"},
                    Refused{R"({"symbol":"XBTUSD","orderQty":-100,"stopPx":9000})", 400, ""},
                    Refused{"{not json", 400, ""}));

struct BadCredentials {
  Signing signing;
  std::string message;
};

class Unauthorized : public testing::TestWithParam<BadCredentials> {};

TEST_P(Unauthorized, Gets401AndDoesNothing) {
  Loopback net;
  const httplib::Result result = net.send("POST", kOrder, stop(9000, -100), GetParam().signing);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 401);
  EXPECT_EQ(Value::parse(result->body),
            Value({{"error", {{"message", GetParam().message}, {"name", "HTTPError"}}}}));
  EXPECT_TRUE(net.stop_prices().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Signing, Unauthorized,
    testing::Values(BadCredentials{{kKey, "other-secret", 60}, "Signature not valid."},
                    BadCredentials{{kKey, kSecret, -5},
                                   "This request has expired - `expires` is in the past."},
                    BadCredentials{{"other-key", kSecret, 60}, "This key is disabled."}));

TEST(SimServerRateLimit, CountsDownThenRefusesWithRetryAfter) {
  Loopback net(settings(3));
  for (int remaining = 2; remaining >= 0; --remaining) {
    const httplib::Result result = net.send("GET", kInstrument);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value("x-ratelimit-limit"), "3");
    EXPECT_EQ(result->get_header_value("x-ratelimit-remaining"), std::to_string(remaining));
    const long long reset = std::stoll(result->get_header_value("x-ratelimit-reset"));
    EXPECT_GE(reset, unix_now() + 58);
    EXPECT_LE(reset, unix_now() + 60);
  }
  const httplib::Result refused = net.send("POST", kOrder, stop(9000, -100));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 429);
  EXPECT_EQ(refused->get_header_value("x-ratelimit-remaining"), "0");
  const long long retry = std::stoll(refused->get_header_value("Retry-After"));
  EXPECT_GE(retry, 1);
  EXPECT_LE(retry, 60);
  EXPECT_EQ(Value::parse(refused->body).at("error").at("name"), "RateLimitError");
  EXPECT_TRUE(net.stop_prices().empty());
}

struct Scripted {
  ServerFault fault;
  int status;  // 0: no answer within the client's read time-out
  std::string message;
  bool placed;
};

class ScriptedFault : public testing::TestWithParam<Scripted> {};

TEST_P(ScriptedFault, HitsTheNextRequestOnly) {
  Loopback net;
  const Scripted& c = GetParam();
  net.server.fail_next(c.fault);
  const httplib::Result result = net.send("POST", kOrder, stop(9000, -100), {}, 100);
  if (c.status == 0) {
    EXPECT_EQ(result.error(), httplib::Error::Read);
  } else {
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.message.empty()) {
      EXPECT_FALSE(Value::accept(result->body)) << result->body;
    } else {
      EXPECT_EQ(Value::parse(result->body).at("error").at("message"), c.message);
    }
  }
  // Answered at once even while a stalled answer is held back.
  const httplib::Result next = net.send("GET", kInstrument, "", {}, 250);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->status, 200);
  EXPECT_EQ(net.stop_prices().size(), c.placed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ScriptedFault,
    testing::Values(Scripted{ServerFault::kOverload, 503,
                             "The system is currently overloaded. Please try again later.", false},
                    Scripted{ServerFault::kRateLimited, 429,
                             "Rate limit exceeded, retry in 1 seconds.", false},
                    Scripted{ServerFault::kStall, 0, "", true},
                    Scripted{ServerFault::kTruncated, 200, "", true}));

TEST(SimServerFaults, DrawnFaultsRepeatWithTheSeed) {
  const auto statuses = [](std::uint64_t seed) {
    Loopback net(settings(120, {.overload = 0.5}, seed));
    std::vector<int> seen;
    for (int i = 0; i < 16; ++i) seen.push_back(net.send("GET", kInstrument)->status);
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

}  // namespace
