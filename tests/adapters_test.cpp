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
#include "Core/utils/host_components.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "embedded_exchange/in_process/in_process_host.hpp"
#include "embedded_exchange/in_process/in_process_transport.hpp"
#include "exchange/rest/rest_components.hpp"
#include "row_name.hpp"

namespace {

using stoploss::RecordList;
using stoploss::Value;

// The collaborators a row calls, from a host's table.
struct Calls {
  explicit Calls(const stoploss::ComponentTable& table)
      : orders(table.find<stoploss::QuorCalls>("QuorCalls")),
        amend(table.find<stoploss::Amend_bulk>("Amend_bulk")),
        cancel(table.find<stoploss::Cancel_bulk>("Cancel_bulk")),
        bitmex(table.find<stoploss::Bitmex_Wrapper>("Bitmex_Wrapper")) {}
  std::shared_ptr<stoploss::QuorCalls> orders;
  std::shared_ptr<stoploss::Amend_bulk> amend;
  std::shared_ptr<stoploss::Cancel_bulk> cancel;
  std::shared_ptr<stoploss::Bitmex_Wrapper> bitmex;
};
// A row's calls over the book's two stops; what it returns is part of its outcome.
using Act = std::function<std::string(Calls&, const RecordList& book)>;

// What a row came to: what it returned, or the failure's kind and the exchange's words without
// the URL (one adapter names the embedded host, the other a loopback port).
std::string ended(const Act& act, Calls calls, const RecordList& book) {
  try {
    return act(calls, book);
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
    {"a stop the market would trigger is refused in the exchange's words",
     [](Calls& c, auto&) { return c.orders->STOP_order("XBTUSD", 10500, -100, {}).dump(); },
     "HTTPError (exchange: \"Stop price would trigger immediately\")",
     {9000, 8000}},
    {"a bulk amend stops at the first refusal, the amendments before it made",
     [](Calls& c, const RecordList& book) {
       c.amend->orders("XBTUSD", {amendment(book[0], 8500), amendment(book[1], 8000.3),
                                  amendment(book[1], 7000)});
       return "";
     },
     "HTTPError (exchange: \"Invalid stopPx tickSize\")",
     {8500, 8000}},
    {"a bulk cancel returns with what it could not cancel left in the list",
     [](Calls& c, const RecordList& book) {
       RecordList to_cancel = {book[0], {{"orderID", "no-such-order"}}, book[1]};
       c.cancel->orders("XBTUSD", to_cancel, true);
       return to_cancel.front()["orderID"].get<std::string>();
     },
     "no-such-order",
     {}},
    {"the pair's stops cleaned up",
     [](Calls& c, auto&) {
       c.orders->CLEAN_Stops("XBTUSD");
       return "";
     },
     "",
     {}},
    {"an instrument the exchange does not list",
     [](Calls& c, auto&) { return c.bitmex->instrument("NOSUCH").dump(); },
     "KeyError: the exchange lists no instrument NOSUCH",
     {9000, 8000}},
};

// The exchange of each row: XBTUSD at 10000 with sell stops at 9000 and 8000.
void stock(sim::SimExchange& exchange) {
  exchange.list(sim::xbtusd(10000, 1));
  for (const double price : {9000, 8000}) exchange.place_stop("XBTUSD", price, -100, {}, "");
}

class BothAdapters : public testing::TestWithParam<Case> {};

TEST_P(BothAdapters, EndAlikeInProcessAndOverHttp) {
  const Case& c = GetParam();
  sim::SimExchange in_process;
  stock(in_process);
  sim::InProcessHost host(in_process, {.log = std::make_shared<utils::SilentLog>()});
  EXPECT_EQ(ended(c.act, Calls(host.components()), in_process.open_orders("XBTUSD")), c.outcome);
  EXPECT_EQ(in_process.stop_prices("XBTUSD"), c.after);

  sim::SimExchange served;
  stock(served);
  sim::SimServer server(served, {.key = "k", .secret = "s"});
  rest::RestClient client({.base_url = "http://127.0.0.1:" + std::to_string(server.start())},
                          auth::Credentials{"k", "s"});
  auto table = rest::rest_components(client, {.log = std::make_shared<utils::SilentLog>()});
  RecordList book;
  server.with_exchange([&](sim::SimExchange& e) { book = e.open_orders("XBTUSD"); });
  EXPECT_EQ(ended(c.act, Calls(table), book), c.outcome);
  server.stop();
  EXPECT_EQ(served.stop_prices("XBTUSD"), c.after);
}
INSTANTIATE_TEST_SUITE_P(Adapters, BothAdapters, testing::ValuesIn(kCases),
                         row_names(kCases, &Case::what));

// Every try fails at a fault rate of 1: an overload and a refused connection before the exchange
// acts, a lost answer after it (the stop stands).
TEST(Adapters, InProcessFaultsAreThoseOfAConnection) {
  sim::SimExchange exchange(3, {.rate = 1});
  exchange.list(sim::xbtusd(10000));
  sim::ExchangeService service(exchange, {.key = "k", .secret = "s"});
  rest::RestClient client({.max_retries = 0}, auth::Credentials{"k", "s"}, {}, {},
                          std::make_unique<sim::InProcessTransport>(service, exchange, "sim"));
  std::map<std::string, std::set<bool>> acted;  // by the failure's reason
  const Value stop = {{"symbol", "XBTUSD"}, {"side", "Sell"}, {"orderQty", 100}, {"stopPx", 9000}};
  for (int i = 0; i < 40; ++i) {
    std::string reason;
    try {
      client.send("POST", "/order", stop);
    } catch (const std::exception& failure) {
      reason = failure.what();
    }
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
