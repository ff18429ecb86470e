// The collaborators over the embedded exchange in this process and over loopback HTTP are one
// mapping to the exchange's requests with two transports: each row runs against both and must
// end alike, as its row says. The in-process transport's faults are those of a connection.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/failures.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "embedded_exchange/in_process/in_process_host.hpp"
#include "embedded_exchange/in_process/in_process_transport.hpp"
#include "exchange/rest/rest_components.hpp"

namespace {

using stoploss::RecordList;
using stoploss::Value;
using Act = std::function<std::string(stoploss::ComponentTable&, const RecordList& book)>;

class QuietLog final : public stoploss::HouseLog {
 public:
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string&, std::optional<int>) override {}
  void info_critical(const std::string&, int) override {}
};

template <class Contract>
std::shared_ptr<Contract> find(const stoploss::ComponentTable& table, const char* name) {
  return table.find<Contract>(name);
}

// What a call came to: "ok", or the failure's kind and the exchange's words, without the URL
// (one adapter names the embedded host, the other a loopback port).
std::string ended(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const std::exception& failure) {
    const std::string text = failure.what();
    const auto words = text.find("(exchange: ");
    return std::string(stoploss::failure_kind(failure)) +
           (words == std::string::npos ? ": " + text : " " + text.substr(words));
  }
}

Value amendment(const Value& order, double stopPx) {
  return {{"orderID", order["orderID"]}, {"stopPx", stopPx}, {"orderQty", -100}};
}

struct Case {
  const char* what;
  Act act;
  const char* outcome;
  std::vector<double> after;  // the stops standing, in book order
};

const Case kCases[] = {
    {"a listing of the open stops",
     [](auto& table, const RecordList&) {
       return std::to_string(
           find<stoploss::QuorCalls>(table, "QuorCalls")->open_orders("XBTUSD", true).size());
     },
     "2",
     {9000, 8000}},
    {"a stop placed",
     [](auto& table, const RecordList&) {
       return ended([&] {
         find<stoploss::QuorCalls>(table, "QuorCalls")->STOP_order("XBTUSD", 8500, -100, {});
       });
     },
     "ok",
     {9000, 8000, 8500}},
    {"a stop the market would trigger is refused in the exchange's words",
     [](auto& table, const RecordList&) {
       return ended([&] {
         find<stoploss::QuorCalls>(table, "QuorCalls")->STOP_order("XBTUSD", 10500, -100, {});
       });
     },
     "HTTPError (exchange: \"Stop price would trigger immediately\")",
     {9000, 8000}},
    {"a bulk amend stops at the first refusal, the amendments before it made",
     [](auto& table, const RecordList& book) {
       return ended([&] {
         find<stoploss::Amend_bulk>(table, "Amend_bulk")
             ->orders("XBTUSD", {amendment(book[0], 8500), amendment(book[1], 8000.3),
                                 amendment(book[1], 7000)});
       });
     },
     "HTTPError (exchange: \"Invalid stopPx tickSize\")",
     {8500, 8000}},
    {"a bulk cancel returns with what it could not cancel left in the list",
     [](auto& table, const RecordList& book) {
       RecordList to_cancel = {book[0], {{"orderID", "no-such-order"}}, book[1]};
       const std::string outcome = ended([&] {
         find<stoploss::Cancel_bulk>(table, "Cancel_bulk")->orders("XBTUSD", to_cancel, true);
       });
       return outcome + ", left " + std::to_string(to_cancel.size());
     },
     "ok, left 1",
     {}},
    {"the pair's stops cleaned up",
     [](auto& table, const RecordList&) {
       return ended([&] { find<stoploss::QuorCalls>(table, "QuorCalls")->CLEAN_Stops("XBTUSD"); });
     },
     "ok",
     {}},
    {"an instrument the exchange does not list",
     [](auto& table, const RecordList&) {
       return ended(
           [&] { find<stoploss::Bitmex_Wrapper>(table, "Bitmex_Wrapper")->instrument("NOSUCH"); });
     },
     "KeyError: the exchange lists no instrument NOSUCH",
     {9000, 8000}},
};

// The exchange of each row: XBTUSD at 10000 with sell stops at 9000 and 8000.
void stock(sim::SimExchange& exchange) {
  exchange.list(sim::xbtusd(10000, 1));
  for (const double price : {9000, 8000}) exchange.place_stop("XBTUSD", price, -100, {}, "");
}

TEST(Adapters, InProcessAndOverHttpEndAlike) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    sim::SimExchange in_process;
    stock(in_process);
    sim::InProcessHost host(in_process, {.log = std::make_shared<QuietLog>()});
    EXPECT_EQ(c.act(host.components(), in_process.open_orders("XBTUSD")), c.outcome);
    EXPECT_EQ(in_process.stop_prices("XBTUSD"), c.after);

    sim::SimExchange served;
    stock(served);
    sim::SimServer server(served, {.key = "k", .secret = "s"});
    rest::RestClient client({.base_url = "http://127.0.0.1:" + std::to_string(server.start())},
                            auth::Credentials{"k", "s"});
    auto table = rest::rest_components(client, {.log = std::make_shared<QuietLog>()});
    RecordList book;
    server.with_exchange([&](sim::SimExchange& e) { book = e.open_orders("XBTUSD"); });
    EXPECT_EQ(c.act(table, book), c.outcome);
    server.stop();
    EXPECT_EQ(served.stop_prices("XBTUSD"), c.after);
  }
}

// Every try fails at a fault rate of 1: an overload and a refused connection before the exchange
// acts, a lost answer after it (the stop stands).
TEST(Adapters, InProcessFaultsAreThoseOfAConnection) {
  sim::SimExchange exchange(3, {.rate = 1});
  exchange.list(sim::xbtusd(10000));
  sim::ExchangeService service(exchange, {.key = "k", .secret = "s"});
  rest::RestClient client({.max_retries = 0}, auth::Credentials{"k", "s"}, {}, {},
                          std::make_unique<sim::InProcessTransport>(service, exchange, "sim"));
  std::map<std::string, std::set<bool>> acted;  // by the failure's reason
  for (int i = 0; i < 40; ++i) {
    std::string reason = ended([&] {
      client.send("POST", "/order",
                  {{"symbol", "XBTUSD"},
                   {"side", "Sell"},
                   {"orderQty", 100},
                   {"stopPx", 9000},
                   {"ordType", "Stop"}});
    });
    for (const char* known : {"503 Service Unavailable", "connection refused", "Timed out"}) {
      if (reason.find(known) != std::string::npos) reason = known;
    }
    acted[reason].insert(!exchange.stop_prices("XBTUSD").empty());
    exchange.cancel_stops("XBTUSD");
  }
  EXPECT_EQ(acted, (std::map<std::string, std::set<bool>>{{"503 Service Unavailable", {false}},
                                                          {"connection refused", {false}},
                                                          {"Timed out", {true}}}));
}

}  // namespace
