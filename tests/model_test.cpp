// Random books, requests and exchange faults, each case reproducible from its seed: after every
// request the exchange's book, not the module's own account, must keep the module's promises.
// A failing case prints its seed and a scenario that `stoploss replay` runs to reproduce it.
// STOPLOSS_MODEL_SEEDS=N runs N cases instead of the default.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/Sleep.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/sim/sim_components.hpp"
#include "Core/sim/sim_exchange.hpp"
#include "Core/utils/rounding.hpp"
#include "replay/replay.hpp"
#include "replay/scenario.hpp"

namespace {

namespace StopLoss = Modules::StopLoss;
using stoploss::RecordList;
using stoploss::Value;

constexpr long long kContracts = 9999999;         // maxOrderQty - 1 on both listed pairs
constexpr long long kFallbackContracts = 999999;  // a pair the manager could not size
constexpr std::uint64_t kBaseSeed = 0x5'70b1'0550;
constexpr int kDefaultCases = 1500;
constexpr int kReplayedCases = 40;
// A verification cycle lists the book at most 31 times; a request beyond these ran away.
constexpr long long kExchangeCallBound = 45;
constexpr int kCollaboratorCallBudget = 600;

// Failures of these reach the caller by design; those of every other operation are handled.
constexpr std::array<std::string_view, 5> kUnguarded = {
    "Bitmex_Wrapper.ReturnTicker", "QuorCalls.toNearest", "RiskManager.get_portfolio",
    "QuorCalls.open_orders", "Bitmex_Wrapper.WS_Status"};
constexpr std::array<std::string_view, 5> kScanFields = {"ordType", "symbol", "orderQty", "stopPx",
                                                         "side"};

// Thrown by the journal when a request runs away; not a std::exception, so that no guard of the
// module can swallow it.
struct RunawayRequest {};

Value raise_of(const std::exception& failure) {
  Value raise = {{"kind", stoploss::failure_kind(failure)}, {"text", failure.what()}};
  if (const auto* http = dynamic_cast<const stoploss::HTTPError*>(&failure)) {
    raise["status"] = http->response().status_code;
    raise["body"] = http->response().body;
  }
  return raise;
}

// Every answer of the collaborators in a case, by operation in the replay's names, and the
// failures they raised during the current request.
class Journal {
 public:
  struct Raised {
    std::string operation;
    std::exception_ptr failure;
  };

  void start_request() {
    raised_.clear();
    injected_.clear();
    calls_ = 0;
  }
  // The next call of `operation` in this request fails with `failure` before it is passed on.
  void inject(const std::string& operation, std::exception_ptr failure) {
    injected_[operation] = std::move(failure);
  }
  void count_call() {
    if (++calls_ > kCollaboratorCallBudget) throw RunawayRequest{};
  }

  template <class Action>
  Value through(const std::string& operation, Action action) {
    count_call();
    try {
      if (const auto found = injected_.find(operation); found != injected_.end()) {
        const std::exception_ptr failure = found->second;
        injected_.erase(found);
        std::rethrow_exception(failure);
      }
      Value answer = action();
      answers_[operation].push_back({{"return", answer}});
      return answer;
    } catch (const std::exception& failure) {
      answers_[operation].push_back({{"raise", raise_of(failure)}});
      raised_.push_back({operation, std::current_exception()});
      throw;
    }
  }
  Value& last_answer(const std::string& operation) { return answers_[operation].back(); }

  const Value& answers() const { return answers_; }
  const std::vector<Raised>& raised() const { return raised_; }

 private:
  Value answers_ = Value::object();
  std::vector<Raised> raised_;
  std::map<std::string, std::exception_ptr> injected_;
  int calls_ = 0;
};

template <class Contract>
class Journaled : public Contract {
 public:
  Journaled(std::shared_ptr<Contract> inner, std::shared_ptr<Journal> journal)
      : inner_(std::move(inner)), journal_(std::move(journal)) {}

 protected:
  std::shared_ptr<Contract> inner_;
  std::shared_ptr<Journal> journal_;
};

class JournaledBitmex final : public Journaled<stoploss::Bitmex_Wrapper> {
 public:
  using Journaled::Journaled;
  Value ReturnTicker(const std::string& pair) override {
    return journal_->through("Bitmex_Wrapper.ReturnTicker",
                             [&] { return inner_->ReturnTicker(pair); });
  }
  Value instrument(const std::string& pair) override {
    return journal_->through("Bitmex_Wrapper.instrument", [&] { return inner_->instrument(pair); });
  }
  bool WS_Status() override {
    return journal_->through("Bitmex_Wrapper.WS_Status", [&] { return Value(inner_->WS_Status()); })
        .get<bool>();
  }
};

class JournaledQuorCalls final : public Journaled<stoploss::QuorCalls> {
 public:
  using Journaled::Journaled;
  Value toNearest(double price, double step) override {
    return journal_->through("QuorCalls.toNearest", [&] { return inner_->toNearest(price, step); });
  }
  void CLEAN_Stops(const std::string& pair) override {
    journal_->through("QuorCalls.CLEAN_Stops", [&] {
      inner_->CLEAN_Stops(pair);
      return Value();
    });
  }
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    return journal_->through("QuorCalls.open_orders",
                             [&] { return inner_->open_orders(pair, Force); });
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    return journal_->through("QuorCalls.STOP_order",
                             [&] { return inner_->STOP_order(pair, stopPx, orderQty, options); });
  }
};

class JournaledAmend final : public Journaled<stoploss::Amend_bulk> {
 public:
  using Journaled::Journaled;
  void orders(const std::string& pair, const RecordList& to_amend) override {
    journal_->through("Amend_bulk.orders", [&] {
      inner_->orders(pair, to_amend);
      return Value();
    });
  }
};

class JournaledCancel final : public Journaled<stoploss::Cancel_bulk> {
 public:
  using Journaled::Journaled;
  void orders(const std::string& pair, RecordList& to_cancel, bool Quiet) override {
    journal_->through("Cancel_bulk.orders", [&] {
      inner_->orders(pair, to_cancel, Quiet);
      return Value();
    });
    if (to_cancel.empty()) journal_->last_answer("Cancel_bulk.orders")["remove"] = true;
  }
};

class JournaledRisk final : public Journaled<stoploss::RiskManager> {
 public:
  using Journaled::Journaled;
  Value get_portfolio(const std::string& pair) override {
    return journal_->through("RiskManager.get_portfolio",
                             [&] { return inner_->get_portfolio(pair); });
  }
};

// Pauses are no scripted operation of a scenario: only counted.
class JournaledSleep final : public Journaled<stoploss::Sleep> {
 public:
  using Journaled::Journaled;
  void sleep(double seconds) override {
    journal_->count_call();
    inner_->sleep(seconds);
  }
};

// Keeps the warnings and critical lines: a false result must have been explained.
class ReportLog final : public stoploss::HouseLog {
 public:
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string& message, std::optional<int>) override {
    reports_.push_back(message);
  }
  void info_critical(const std::string& message, int) override { reports_.push_back(message); }
  std::vector<std::string> take() { return std::exchange(reports_, {}); }

 private:
  std::vector<std::string> reports_;
};

// The module's console lines would drown the test's output; they are kept for a failure report.
class CapturedConsole {
 public:
  CapturedConsole() : previous_(std::cout.rdbuf(captured_.rdbuf())) {}
  ~CapturedConsole() { std::cout.rdbuf(previous_); }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;
  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* previous_;
};

template <class Contract, class Decorator>
void wrap(stoploss::ComponentTable& table, const std::string& name,
          const std::shared_ptr<Journal>& journal) {
  table.add<Contract>(name, std::make_shared<Decorator>(table.find<Contract>(name), journal));
}

class Dice {
 public:
  explicit Dice(std::uint64_t seed) : engine_(seed) {}
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  int between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(between(0, static_cast<int>(items.size()) - 1))];
  }
  std::size_t weighted(std::initializer_list<double> weights) {
    return std::discrete_distribution<std::size_t>(weights)(engine_);
  }

 private:
  std::mt19937_64 engine_;
};

// ---- the book: what the module finds and what the promises are read from ----

bool is_stop(const Value& order) {
  const auto type = order.find("ordType");
  return type != order.end() && stoploss::text_contains(*type, "Stop");
}

std::optional<double> stop_price(const Value& order) {
  const auto stopPx = order.find("stopPx");
  if (stopPx == order.end()) return std::nullopt;
  try {
    return stoploss::to_float(*stopPx);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

long long stops_in(const RecordList& book) {
  return std::count_if(book.begin(), book.end(), is_stop);
}

bool reduce_only_stop_at(const RecordList& book, double wanted) {
  return std::any_of(book.begin(), book.end(), [&](const Value& order) {
    const auto execInst = order.find("execInst");
    return is_stop(order) && execInst != order.end() &&
           stoploss::text_contains(*execInst, "ReduceOnly") && stop_price(order) == wanted;
  });
}

// A listed pair, its price step and the stop levels its book and requests are drawn from.
struct Market {
  std::string pair;
  double tick;
  std::vector<double> levels;  // below the starting price, then above it
  double start;
};

// Symbols whose orders sit on the book; XBTUSDT is never listed, only another pair's name.
const std::vector<std::string> kSymbols = {"XBTUSD", "ETHUSD", "XBTUSDT"};

Value stop_px_form(Dice& dice, double price) {
  switch (dice.weighted({75, 10, 8, 7})) {
    case 0:
      return price;
    case 1:
      return stoploss::to_text(price);
    case 2:
      return nullptr;
    default:
      return "n/a";
  }
}

class BookBuilder {
 public:
  BookBuilder(sim::SimExchange& exchange, Dice& dice) : exchange_(exchange), dice_(dice) {}

  void fill(const Market& market) {
    const int entries = dice_.between(0, 12);
    for (int i = 0; i < entries; ++i) add(market);
  }

 private:
  // Sell stops below the market and buy stops above it, as the exchange holds them; sometimes
  // the other way round.
  std::pair<double, long long> stop_level(const Market& market, long long size) {
    const bool sell = dice_.chance(0.65);
    const std::size_t half = market.levels.size() / 2;
    const bool proper_side = dice_.chance(0.9);
    const bool below = sell == proper_side;
    const std::size_t index =
        static_cast<std::size_t>(dice_.between(0, static_cast<int>(half) - 1));
    return {market.levels[below ? index : half + index], sell ? -size : size};
  }

  Value raw(const Market& market, const std::string& symbol, double price, long long quantity) {
    return {{"orderID", "raw-" + std::to_string(++raw_orders_)},
            {"clOrdID", ""},
            {"clOrdLinkID", ""},
            {"symbol", symbol},
            {"side", quantity > 0 ? "Buy" : "Sell"},
            {"orderQty", quantity},
            {"price", nullptr},
            {"stopPx", price},
            {"ordType", "Stop"},
            {"execInst", "LastPrice,ReduceOnly"},
            {"ordStatus", "New"},
            {"text", market.pair == symbol ? "" : "other pair"}};
  }

  void add(const Market& market) {
    const bool room = stops_in(exchange_.open_orders(market.pair)) <
                      static_cast<long long>(sim::SimExchange::kMaxStopOrders);
    const auto [price, quantity] = stop_level(market, kContracts);
    switch (dice_.weighted({30, 25, 15, 10, 10, 1.5})) {
      case 0:  // placed through the exchange: the module's own kind of stop
        try {
          exchange_.place_stop(market.pair, price, dice_.chance(0.85) ? quantity : quantity / 1000,
                               std::nullopt, "");
        } catch (const stoploss::HTTPError&) {
          // refused (full book or a stop that would trigger): the book stays as it is
        }
        return;
      case 1:
        if (room) exchange_.add_raw_order(module_sized(market, price, quantity));
        return;
      case 2:
        if (room) exchange_.add_raw_order(other_sized(market, price, quantity));
        return;
      case 3: {
        Value limit = raw(market, market.pair, price, quantity);
        limit["ordType"] = "Limit";
        limit["price"] = price;
        limit["stopPx"] = nullptr;
        limit["execInst"] = "";
        exchange_.add_raw_order(std::move(limit));
        return;
      }
      case 4:
        exchange_.add_raw_order(raw(market, dice_.pick(kSymbols), price, quantity));
        return;
      default: {  // a record the scan cannot read
        Value broken = module_sized(market, price, quantity);
        broken.erase(dice_.pick(
            std::vector<std::string>{"ordType", "orderQty", "stopPx", "side", "orderID"}));
        exchange_.add_raw_order(std::move(broken));
      }
    }
  }

  // Of the module's size, either sign, reduce-only as the module's own stops always are.
  Value module_sized(const Market& market, double price, long long quantity) {
    Value order = raw(market, market.pair, price, quantity);
    order["stopPx"] = stop_px_form(dice_, price);
    if (dice_.chance(0.1)) order["orderQty"] = static_cast<double>(quantity);
    if (dice_.chance(0.1)) order["orderQty"] = -quantity;
    if (dice_.chance(0.1)) order["side"] = quantity > 0 ? "Sell" : "Buy";
    if (dice_.chance(0.3)) order["ordType"] = "StopLimit";
    return order;
  }

  // The scan does not read execInst, so a stop of the module's size, the fallback size for a
  // pair the manager cannot size included, counts as the module's own: only stops of other
  // sizes go without ReduceOnly.
  Value other_sized(const Market& market, double price, long long quantity) {
    const long long size =
        dice_.pick(std::vector<long long>{100, 5000, kFallbackContracts, kContracts - 1});
    Value order = raw(market, market.pair, price, quantity > 0 ? size : -size);
    if (dice_.chance(0.1)) order["orderQty"] = stoploss::to_text(order["orderQty"]);
    if (size != kFallbackContracts && dice_.chance(0.5)) order["execInst"] = "LastPrice";
    return order;
  }

  sim::SimExchange& exchange_;
  Dice& dice_;
  int raw_orders_ = 0;
};

// ---- faults ----

stoploss::HTTPError http_error(int status, const std::string& reason, const std::string& path,
                               const std::string& body) {
  return {std::to_string(status) + (status < 500 ? " Client" : " Server") + " Error: " + reason +
              " for url: https://sim.bitmex.local/api/v1/" + path,
          {status, body}};
}

std::string error_body(const std::string& message) {
  return Value{{"error", {{"message", message}, {"name", "HTTPError"}}}}.dump();
}

std::exception_ptr failure_from(Dice& dice, const std::string& path) {
  switch (dice.weighted({20, 15, 15, 10, 15, 6, 5, 5, 4, 5})) {
    case 0:
      return std::make_exception_ptr(
          http_error(400, "Bad Request", path, error_body("Invalid ordStatus")));
    case 1:
      return std::make_exception_ptr(http_error(503, "Service Unavailable", path,
                                                error_body("The system is currently overloaded.")));
    case 2:
      return std::make_exception_ptr(std::runtime_error("Timed out waiting for " + path));
    case 3:
      return std::make_exception_ptr(
          std::runtime_error("Max retries hit. Reason: connection to " + path + " refused"));
    case 4:
      return std::make_exception_ptr(
          http_error(400, "Max Stop orders", path, error_body("Max number of stop orders")));
    case 5:  // an error body the module cannot decode
      return std::make_exception_ptr(
          http_error(502, "Bad Gateway", path, "<html><h1>502 Bad Gateway</h1></html>"));
    case 6:
      return std::make_exception_ptr(
          http_error(400, "Bad Request", path, R"({"error":{"name":"ValidationError"}})"));
    case 7:
      return std::make_exception_ptr(http_error(400, "Bad Request", path, R"(["not a record"])"));
    case 8:
      return std::make_exception_ptr(
          http_error(400, "Max Stop orders", path, error_body("Invalid ordStatus")));
    default:
      return std::make_exception_ptr(std::runtime_error("Max Stop orders: connection dropped"));
  }
}

// The failure kind decoding `body` as the exchange's error body raises, if any.
std::optional<std::string> undecodable_body_kind(const std::string& body) {
  const Value decoded = Value::parse(body, nullptr, false);
  if (decoded.is_discarded()) return "ValueError";
  if (!decoded.is_object()) return "TypeError";
  const auto error = decoded.find("error");
  if (error == decoded.end()) return "KeyError";
  if (!error->is_object()) return "TypeError";
  if (!error->contains("message")) return "KeyError";
  return std::nullopt;
}

// ---- one case ----

struct Request {
  std::string PAIR;
  Value Price;
  StopLoss::CallOptions options;
};

Value to_json(const Request& request) {
  const auto& options = request.options;
  return {{"PAIR", request.PAIR},
          {"Price", request.Price},
          {"CLID", options.CLID ? Value(*options.CLID) : Value()},
          {"Verification", options.Verification},
          {"REPLACE", options.REPLACE},
          {"Text", options.Text ? *options.Text : Value()},
          {"CleanStops", options.CleanStops}};
}

// What one request did, as the promises read it.
struct Observed {
  const Request& request;
  std::optional<double> wanted;  // none: the price is no finite number
  std::map<std::string, RecordList> before;
  std::map<std::string, RecordList> after{};
  std::optional<bool> result{};
  std::exception_ptr thrown{};
  bool ran_away = false;
  long long exchange_calls = 0;
  std::vector<Journal::Raised> raised{};
  std::vector<std::string> reports{};
};

template <std::size_t N>
bool one_of(const std::array<std::string_view, N>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string what_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return std::string(stoploss::failure_kind(error)) + ": " + error.what();
  }
}

// Where a failure that reached the caller came from, or why it should not have reached it.
struct FailureCause {
  bool allowed;
  std::string name;
};

FailureCause failure_cause(const Observed& seen) {
  bool max_stop_orders_met = false;
  for (const Journal::Raised& raised : seen.raised) {
    if (raised.failure == seen.thrown) {
      if (one_of(kUnguarded, raised.operation)) return {true, "unguarded call"};
      // The clean-up of REPLACE, or one made while a "Max Stop orders" failure is handled.
      if (raised.operation == "QuorCalls.CLEAN_Stops" &&
          (seen.request.options.REPLACE || max_stop_orders_met)) {
        return {true, "clean-up"};
      }
      return {false, "the failure of guarded " + raised.operation + " reached the caller"};
    }
    max_stop_orders_met |= what_of(raised.failure).find("Max Stop orders") != std::string::npos;
  }
  std::string kind;
  std::string text;
  try {
    std::rethrow_exception(seen.thrown);
  } catch (const std::exception& error) {
    kind = stoploss::failure_kind(error);
    text = error.what();
  }
  if (!seen.wanted && (kind == "ValueError" || kind == "TypeError")) return {true, "price"};
  for (const Value& order : seen.before.at(seen.request.PAIR)) {
    for (const std::string_view field : kScanFields) {
      if (!order.contains(field) && text == "'" + std::string(field) + "'") {
        return {true, "unusable record"};
      }
    }
  }
  for (const Journal::Raised& raised : seen.raised) {
    if (raised.operation != "Amend_bulk.orders" && raised.operation != "Cancel_bulk.orders") {
      continue;
    }
    try {
      std::rethrow_exception(raised.failure);
    } catch (const stoploss::HTTPError& http) {
      if (undecodable_body_kind(http.response().body) == kind) return {true, "error body"};
    } catch (const std::exception&) {
    }
  }
  return {false, "a failure no collaborator, record or price explains reached the caller"};
}

std::vector<std::string> broken_promises(const Observed& seen) {
  std::vector<std::string> broken;
  const std::string& pair = seen.request.PAIR;
  if (seen.ran_away) broken.push_back("the request ran away");
  if (seen.exchange_calls > kExchangeCallBound) {
    broken.push_back(std::to_string(seen.exchange_calls) + " exchange calls");
  }
  const long long found = stops_in(seen.before.at(pair));
  const long long left = stops_in(seen.after.at(pair));
  if (left > found + 1) {
    broken.push_back("found " + std::to_string(found) + " stops, left " + std::to_string(left));
  }
  for (const auto& [symbol, book] : seen.before) {
    if (symbol != pair && book != seen.after.at(symbol)) {
      broken.push_back("the orders of " + symbol + " changed");
    }
  }
  if (!seen.wanted && (seen.exchange_calls > 0 || !seen.thrown)) {
    broken.push_back("a price that is no finite number went past the conversion");
  }
  const bool clean_up = seen.wanted == 0.0 && !seen.request.options.CleanStops;
  if (seen.result == true && clean_up && left > 0) {
    broken.push_back("true for a removal, yet " + std::to_string(left) + " stops remain");
  }
  if (seen.result == true && !clean_up &&
      (!seen.wanted || !reduce_only_stop_at(seen.after.at(pair), *seen.wanted))) {
    broken.push_back("true, yet no reduce-only stop stands at the wanted price");
  }
  if (seen.result == false && seen.reports.empty()) {
    broken.push_back("false without a warning or critical line in the log");
  }
  if (seen.thrown) {
    if (const FailureCause cause = failure_cause(seen); !cause.allowed) {
      broken.push_back(cause.name + " (" + what_of(seen.thrown) + ")");
    }
  }
  return broken;
}

struct Counts {
  long long cases = 0;
  long long requests = 0;
  long long ended_true = 0;
  long long ended_false = 0;
  long long ended_nothing = 0;
  long long thrown = 0;
  std::map<std::string, long long> thrown_by_cause;
  long long faults = 0;
  long long broken_cases = 0;
};

class ModelCase {
 public:
  explicit ModelCase(std::uint64_t seed) : seed_(seed), dice_(seed) {
    const sim::FaultSettings faults{.rate = dice_.pick(std::vector<double>{0, 0, 0.02, 0.05, 0.15}),
                                    .feed_down_rate = dice_.pick(std::vector<double>{0, 0.2, 0.6})};
    exchange_ = std::make_unique<sim::SimExchange>(seed, faults);
    list_markets();
    table_ = sim::sim_components(*exchange_, {.log = log_});
    wrap<stoploss::Bitmex_Wrapper, JournaledBitmex>(table_, "Bitmex_Wrapper", journal_);
    wrap<stoploss::QuorCalls, JournaledQuorCalls>(table_, "QuorCalls", journal_);
    wrap<stoploss::Amend_bulk, JournaledAmend>(table_, "Amend_bulk", journal_);
    wrap<stoploss::Cancel_bulk, JournaledCancel>(table_, "Cancel_bulk", journal_);
    wrap<stoploss::RiskManager, JournaledRisk>(table_, "RiskManager", journal_);
    wrap<stoploss::Sleep, JournaledSleep>(table_, "sleep", journal_);
    StopLoss::load(table_);
    PairLIST_ = {"XBTUSD"};
    if (markets_.size() > 1 && dice_.chance(0.7)) PairLIST_.push_back("ETHUSD");
    StopLoss::ARM(std::make_shared<StopLoss::Aux>(PairLIST_));
  }

  // Runs the case's requests and checks each; a broken promise ends the case.
  std::vector<std::string> run(Counts& counts) {
    const int requests = dice_.between(1, 6);
    for (int i = 0; i < requests; ++i) {
      if (i > 0 && dice_.chance(0.3)) move_market();
      const Request& request = requests_.emplace_back(next_request());
      queue_faults();
      const std::vector<std::string> broken = check(request, counts);
      if (!broken.empty()) return broken;
    }
    return {};
  }

  Value scenario() const {
    Value requests = Value::array();
    for (const Request& request : requests_) requests.push_back(to_json(request));
    return {{"PairLIST", PairLIST_}, {"answers", journal_->answers()}, {"requests", requests}};
  }

  // How each request ended, as a replay transcript shows it.
  const std::vector<Value>& endings() const { return endings_; }
  bool ran_away() const { return ran_away_; }
  std::uint64_t seed() const { return seed_; }
  const std::string& console() const { return console_; }

 private:
  void list_markets() {
    const double xbt = utils::nearest_multiple(dice_.uniform(5000, 20000), 0.5);
    exchange_->list(sim::xbtusd(xbt, 1));
    markets_.push_back(market_of("XBTUSD", 0.5, xbt));
    if (dice_.chance(0.5)) {
      const double eth = utils::nearest_multiple(dice_.uniform(1000, 3000), 0.05);
      exchange_->list(sim::ethusd(eth));
      markets_.push_back(market_of("ETHUSD", 0.05, eth));
    }
    BookBuilder builder(*exchange_, dice_);
    for (const Market& market : markets_) builder.fill(market);
  }

  Market market_of(const std::string& pair, double tick, double price) {
    const double spacing = tick * dice_.pick(std::vector<double>{1, 2, 10, 100, 1000});
    Market market{pair, tick, {}, price};
    for (const int side : {-1, 1}) {
      for (int i = 1; i <= 6; ++i) {
        market.levels.push_back(utils::nearest_multiple(price + side * i * spacing, tick));
      }
    }
    return market;
  }

  void move_market() {
    const Market& market = dice_.pick(markets_);
    exchange_->set_price(market.pair, dice_.chance(0.5) ? market.start : dice_.pick(market.levels));
  }

  Value next_price(const Market& market) {
    const double level = dice_.pick(market.levels);
    switch (dice_.weighted({45, 15, 8, 8, 4, 5, 2, 3, 10})) {
      case 0:
        return level;
      case 1:  // off the step: rounds back to the level
        return level + market.tick * dice_.uniform(-0.45, 0.45);
      case 2:
        return stoploss::to_text(level + market.tick * dice_.uniform(-0.45, 0.45));
      case 3:
        return dice_.pick(std::vector<Value>{0, "0", 0.0, market.tick * 0.3});
      case 4:
        return exchange_->instrument(market.pair).lastPrice;
      case 5:
        return level * dice_.pick(std::vector<double>{0.5, 1.5});
      case 6:
        return -level;
      case 7:
        return dice_.pick(std::vector<Value>{"n/a", "nan", "1e999", ""});
      default:
        return requests_.empty() ? Value(level) : requests_.back().Price;
    }
  }

  Request next_request() {
    const Market& market = dice_.pick(markets_);
    Request request{market.pair, next_price(market), {}};
    auto& options = request.options;
    if (dice_.chance(0.3)) options.CLID = "pos-" + std::to_string(dice_.between(1, 99));
    options.Verification = dice_.chance(0.3);
    options.REPLACE = dice_.chance(0.1);
    if (dice_.chance(0.4)) options.Text = dice_.chance(0.5) ? Value("trail") : Value(42);
    options.CleanStops = dice_.chance(0.15);
    return request;
  }

  void queue_faults() {
    journal_->start_request();
    if (dice_.chance(0.35)) {
      const int count = dice_.between(1, 2);
      for (int i = 0; i < count; ++i) {
        static const std::vector<std::pair<std::string, std::string>> kOperations = {
            {"QuorCalls.STOP_order", "order"},
            {"Amend_bulk.orders", "order/bulk"},
            {"Cancel_bulk.orders", "order"},
            {"QuorCalls.CLEAN_Stops", "order/all"},
            {"Bitmex_Wrapper.instrument", "instrument"},
            {"QuorCalls.open_orders", "order"},
            {"RiskManager.get_portfolio", "instrument"}};
        const std::size_t which = dice_.weighted({3, 3, 3, 2, 1, 1, 1});
        const auto& [operation, path] = kOperations[which];
        exchange_->fail_next(operation, remember(failure_from(dice_, path)));
      }
    }
    if (dice_.chance(0.05)) {
      const std::string operation = dice_.pick(std::vector<std::string>{
          "Bitmex_Wrapper.ReturnTicker", "QuorCalls.toNearest", "Bitmex_Wrapper.WS_Status"});
      journal_->inject(operation, remember(std::make_exception_ptr(
                                      std::runtime_error("connection reset in " + operation))));
    }
  }

  std::exception_ptr remember(std::exception_ptr failure) {
    scripted_.push_back(failure);
    return failure;
  }

  std::map<std::string, RecordList> books() const {
    std::map<std::string, RecordList> books;
    for (const std::string& symbol : kSymbols) books[symbol] = exchange_->open_orders(symbol);
    return books;
  }

  std::optional<double> wanted(const Request& request) const {
    try {
      const double price = stoploss::to_float(request.Price);
      if (!std::isfinite(price)) return std::nullopt;
      return utils::nearest_multiple(price, exchange_->instrument(request.PAIR).tickSize);
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  std::vector<std::string> check(const Request& request, Counts& counts) {
    Observed seen{.request = request, .wanted = wanted(request), .before = books()};
    const long long calls_before = exchange_->calls();
    const long long random_faults_before = exchange_->faults_injected();
    {
      const CapturedConsole console;
      try {
        seen.result = StopLoss::Call(request.PAIR, request.Price, request.options);
      } catch (const std::exception&) {
        seen.thrown = std::current_exception();
      } catch (const RunawayRequest&) {
        seen.ran_away = ran_away_ = true;
      }
      console_ += console.text();
    }
    seen.exchange_calls = exchange_->calls() - calls_before;
    seen.after = books();
    seen.raised = journal_->raised();
    seen.reports = log_->take();
    tally(seen, exchange_->faults_injected() - random_faults_before, counts);
    return broken_promises(seen);
  }

  void tally(const Observed& seen, long long random_faults, Counts& counts) {
    ++counts.requests;
    counts.faults += random_faults;
    for (const Journal::Raised& raised : seen.raised) {
      counts.faults += std::count(scripted_.begin(), scripted_.end(), raised.failure);
    }
    Value failure;
    if (seen.thrown) {
      ++counts.thrown;
      ++counts.thrown_by_cause[failure_cause(seen).name];
      try {
        std::rethrow_exception(seen.thrown);
      } catch (const std::exception& error) {
        failure = {{"kind", stoploss::failure_kind(error)}, {"text", error.what()}};
      }
    } else if (seen.result) {
      ++(*seen.result ? counts.ended_true : counts.ended_false);
    } else if (!seen.ran_away) {
      ++counts.ended_nothing;
    }
    endings_.push_back(
        {{"result", seen.result ? Value(*seen.result) : Value()}, {"failure", failure}});
  }

  std::uint64_t seed_;
  Dice dice_;
  std::unique_ptr<sim::SimExchange> exchange_;
  std::shared_ptr<ReportLog> log_ = std::make_shared<ReportLog>();
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>();
  stoploss::ComponentTable table_;
  std::vector<Market> markets_;
  std::vector<std::string> PairLIST_;
  std::vector<Request> requests_;
  std::vector<Value> endings_;
  std::vector<std::exception_ptr> scripted_;
  std::string console_;
  bool ran_away_ = false;
};

// A scenario laid out as the scenario files are: one line per answer and per request.
std::string scenario_text(const Value& scenario) {
  const auto lines = [](const Value& list, const std::string& indent) {
    std::string text = "[\n";
    for (std::size_t i = 0; i < list.size(); ++i) {
      text += indent + "  " + list[i].dump() + (i + 1 < list.size() ? ",\n" : "\n");
    }
    return text + indent + "]";
  };
  std::string text = "{\n  \"PairLIST\": " + scenario.at("PairLIST").dump() + ",\n  \"answers\": {";
  const char* separator = "\n";
  for (const auto& [operation, answers] : scenario.at("answers").items()) {
    text += separator + ("    \"" + operation + "\": ") + lines(answers, "    ");
    separator = ",\n";
  }
  return text + "\n  },\n  \"requests\": " + lines(scenario.at("requests"), "  ") + "\n}\n";
}

int case_count() {
  const char* wanted = std::getenv("STOPLOSS_MODEL_SEEDS");
  const int asked = wanted ? std::atoi(wanted) : 0;
  return std::max(asked, kDefaultCases);
}

TEST(Model, EveryRequestOnARandomBookUnderFaultsKeepsThePromises) {
  const auto started = std::chrono::steady_clock::now();
  Counts counts;
  const int cases = case_count();
  for (int index = 0; index < cases && counts.broken_cases < 3; ++index) {
    ModelCase model(kBaseSeed + static_cast<std::uint64_t>(index));
    const std::vector<std::string> broken = model.run(counts);
    ++counts.cases;
    if (broken.empty()) continue;
    ++counts.broken_cases;
    std::string listing;
    for (const std::string& promise : broken) listing += "\n  - " + promise;
    ADD_FAILURE() << "seed " << model.seed() << ", request " << model.endings().size()
                  << " broke:" << listing << "\nconsole:\n"
                  << model.console() << "replay scenario (all requests of the case):\n"
                  << scenario_text(model.scenario());
  }
  const auto took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
  std::cout << "model: " << counts.cases << " cases, " << counts.requests << " requests checked ("
            << counts.ended_true << " true, " << counts.ended_false << " false, "
            << counts.ended_nothing << " nothing, " << counts.thrown << " failed:";
  for (const auto& [cause, count] : counts.thrown_by_cause)
    std::cout << " " << count << " " << cause;
  std::cout << "), " << counts.faults << " faults injected, " << took.count() << " s\n";
  // A generator that lets almost nothing through would check nothing.
  EXPECT_GT(counts.ended_true, counts.requests / 4);
  EXPECT_GT(counts.ended_false + counts.ended_nothing, 0);
  EXPECT_GT(counts.faults, counts.cases / 2);
}

// The scenario a failing case prints must reproduce it: replayed, every request of a case ends as
// it did against the exchange.
TEST(Model, RecordedScenarioReplaysEachRequestAlike) {
  int replayed = 0;
  for (int index = 0; index < kReplayedCases; ++index) {
    ModelCase model(kBaseSeed + static_cast<std::uint64_t>(index));
    Counts counts;
    model.run(counts);
    if (model.ran_away()) continue;
    const replay::Json transcript = replay::run(replay::parse_scenario(model.scenario()));
    const auto& requests = transcript.at("requests");
    ASSERT_EQ(requests.size(), model.endings().size()) << "seed " << model.seed();
    for (std::size_t i = 0; i < requests.size(); ++i) {
      const Value& live = model.endings()[i];
      EXPECT_EQ(Value::parse(requests[i].at("result").dump()), live.at("result"))
          << "seed " << model.seed() << " request " << i + 1;
      EXPECT_EQ(Value::parse(requests[i].at("failure").dump()), live.at("failure"))
          << "seed " << model.seed() << " request " << i + 1;
    }
    ++replayed;
  }
  EXPECT_GT(replayed, kReplayedCases / 2);
}

}  // namespace
