#include "Core/sim/sim_server.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <ranges>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "Core/auth/signature.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"
#include "Core/sim/exchange_errors.hpp"
#include "Core/sim/http_listener.hpp"
#include "Core/utils/unix_time.hpp"

namespace sim {
namespace {

using stoploss::RecordList;
using stoploss::Value;

constexpr std::string_view kBadSignature = "Signature not valid.";

// A request the exchange would not take as it is written; answered 400.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Answer {
  int status = 200;
  std::string body;
  long long retry_after = 0;           // seconds; 0 sends no Retry-After
  std::chrono::milliseconds delay{0};  // before the answer leaves
};

Answer rate_limited(long long retry_after) {
  return {429,
          error_body(fmt::format("Rate limit exceeded, retry in {} seconds.", retry_after),
                     "RateLimitError"),
          retry_after};
}

// Requests per fixed one-minute window, the window starting at its first request.
class RateWindow {
 public:
  struct Use {
    bool allowed;
    int remaining;
    long long reset;  // UNIX seconds of the window's end
  };

  explicit RateWindow(int limit) : limit_(limit) {}

  int limit() const { return limit_; }

  Use take(long long now) {
    if (now >= end_) {
      end_ = now + 60;
      used_ = 0;
    }
    const bool allowed = used_ < limit_;
    if (allowed) ++used_;
    return {allowed, std::max(0, limit_ - used_), end_};
  }

 private:
  int limit_;
  int used_ = 0;
  long long end_ = 0;
};

class FaultDraw {
 public:
  FaultDraw(std::uint64_t seed, const ServerFaults& chances)
      : chances_(chances), generator_(seed) {}

  void script(ServerFault fault, std::string route) {
    scripted_.push_back({fault, std::move(route)});
  }

  // The fault of a request on `route` ("VERB /api/v1/path").
  std::optional<ServerFault> next(const std::string& route) {
    const auto scripted = std::find_if(scripted_.begin(), scripted_.end(), [&](const auto& s) {
      return s.route.empty() || s.route == route;
    });
    if (scripted != scripted_.end()) {
      const ServerFault fault = scripted->fault;
      scripted_.erase(scripted);
      return fault;
    }
    // From the top 53 bits, so that a seed gives the same faults with every standard library.
    const double draw = static_cast<double>(generator_() >> 11) * 0x1.0p-53;
    const std::array<std::pair<ServerFault, double>, 4> kinds{{
        {ServerFault::kOverload, chances_.overload},
        {ServerFault::kRateLimited, chances_.rate_limited},
        {ServerFault::kStall, chances_.stall},
        {ServerFault::kTruncated, chances_.truncated},
    }};
    double bound = 0;
    for (const auto& [fault, chance] : kinds) {
      bound += chance;
      if (draw < bound) return fault;
    }
    return std::nullopt;
  }

 private:
  ServerFaults chances_;
  std::mt19937_64 generator_;
  struct Scripted {
    ServerFault fault;
    std::string route;  // empty: any
  };
  std::deque<Scripted> scripted_;
};

// Why the request's credentials are refused, if they are.
std::optional<std::string> refusal(const HttpRequest& req, const ServerSettings& settings,
                                   long long now) {
  const std::string key = req.header("api-key");
  if (key.empty() || key != settings.key) return "This key is disabled.";
  const std::string expires_text = req.header("api-expires");
  const char* const end = expires_text.data() + expires_text.size();
  long long expires = 0;
  const auto [read_to, error] = std::from_chars(expires_text.data(), end, expires);
  if (error != std::errc{} || read_to != end) return std::string(kBadSignature);
  if (expires < now) return "This request has expired - `expires` is in the past.";
  if (expires - now > kMaxExpiresAhead.count()) {
    return fmt::format(
        "This request's expiry is too far ahead - `expires` must be within {} seconds of now.",
        kMaxExpiresAhead.count());
  }
  const std::string expected =
      auth::signature(settings.secret, req.method, req.target, expires, req.body);
  if (!auth::same_signature(req.header("api-signature"), expected)) {
    return std::string(kBadSignature);
  }
  return std::nullopt;
}

// Orders the server answered with: the exchange forgets filled and cancelled ones, while a
// cancel answer reports their state.
class OrderLedger {
 public:
  void note(const Value& order) {
    const auto id = order.find("orderID");
    if (id != order.end() && id->is_string()) seen_[id->get<std::string>()] = order;
  }

  Value cancelled(Value order) {
    order["ordStatus"] = "Canceled";
    note(order);
    return order;
  }

  // The answer for an id that is not open. An order seen before and not cancelled over HTTP
  // left the book by a fill.
  Value not_open(const std::string& id) {
    const auto seen = seen_.find(id);
    if (seen == seen_.end()) return {{"orderID", id}, {"error", "Not found"}};
    Value& order = seen->second;
    if (order.value("ordStatus", Value()) != "Canceled") order["ordStatus"] = "Filled";
    Value answer = order;
    answer["error"] =
        "Unable to cancel order due to existing state: " + order["ordStatus"].get<std::string>();
    return answer;
  }

 private:
  std::map<std::string, Value, std::less<>> seen_;
};

Value json_body(const HttpRequest& req) {
  Value body = stoploss::parse_json(req.body);
  if (!body.is_object()) throw BadRequest("The request body must be a JSON object");
  return body;
}

std::string symbol_param(const HttpRequest& req) {
  std::optional<std::string> symbol = req.param("symbol");
  if (!symbol) throw BadRequest("symbol is required");
  return std::move(*symbol);
}

// A filter given as a JSON object or as the text of one.
Value filter_of(const Value& given) {
  Value filter =
      given.is_string() ? stoploss::parse_json(given.get_ref<const std::string&>()) : given;
  if (!filter.is_object()) throw BadRequest("filter must be a JSON object");
  return filter;
}

bool matches(const Value& order, const Value& filter) {
  for (const auto& [key, wanted] : filter.items()) {
    const auto found = order.find(key);
    if (found == order.end() || *found != wanted) return false;
  }
  return true;
}

bool names(std::string_view list, std::string_view token) {
  for (const auto part : std::views::split(list, ',')) {
    if (std::string_view(part.begin(), part.end()) == token) return true;
  }
  return false;
}

std::vector<std::string> order_ids(const Value& given) {
  if (given.is_string()) return {given.get<std::string>()};
  return given.get<std::vector<std::string>>();
}

// The exchange's instrument and order routes: each answers a record or a list, or throws
// what the exchange refuses.
class OrderRoutes {
 public:
  explicit OrderRoutes(SimExchange& exchange) : exchange_(exchange) {}

  Value instrument(const HttpRequest& req) {
    const std::string symbol = symbol_param(req);
    Value listing = Value::array();
    try {
      const SimInstrument& listed = exchange_.instrument(symbol);
      listing.push_back({{"symbol", listed.symbol},
                         {"tickSize", listed.tickSize},
                         {"maxOrderQty", listed.maxOrderQty},
                         {"lastPrice", listed.lastPrice},
                         {"impactMidPrice", listed.impactMidPrice}});
    } catch (const stoploss::HTTPError&) {
      // Not listed: the exchange answers an empty list.
    }
    return listing;
  }

  Value open_orders(const HttpRequest& req) {
    const std::string symbol = symbol_param(req);
    const std::optional<std::string> given = req.param("filter");
    Value filter = given ? filter_of(Value(*given)) : Value::object();
    filter.erase("open");  // the exchange keeps open orders only
    Value listing = Value::array();
    for (const Value& order : exchange_.open_orders(symbol)) {
      ledger_.note(order);
      if (matches(order, filter)) listing.push_back(order);
    }
    return listing;
  }

  Value place(const HttpRequest& req) {
    const Value body = json_body(req);
    if (body.value("ordType", std::string()) != "Stop") {
      throw BadRequest("This exchange takes ordType Stop only");
    }
    const std::string exec = body.value("execInst", std::string());
    if (!names(exec, "LastPrice") || !names(exec, "ReduceOnly")) {
      throw BadRequest("execInst must hold LastPrice and ReduceOnly");
    }
    std::optional<std::string> link;
    if (const auto found = body.find("clOrdLinkID"); found != body.end()) {
      link = found->get<std::string>();
    }
    const Value order = exchange_.place_stop(stoploss::field(body, "symbol").get<std::string>(),
                                             stoploss::to_float(stoploss::field(body, "stopPx")),
                                             stoploss::to_int(stoploss::field(body, "orderQty")),
                                             link, body.value("text", std::string()));
    ledger_.note(order);
    return order;
  }

  Value amend(const HttpRequest& req) {
    const Value body = json_body(req);
    const std::string id = stoploss::field(body, "orderID").get<std::string>();
    const std::optional<Value> current = exchange_.open_order(Value(id));
    // A field left out keeps its value, as on the exchange.
    const auto amended = [&](std::string_view key) -> const Value& {
      return body.contains(key) || !current ? stoploss::field(body, key)
                                            : stoploss::field(*current, key);
    };
    exchange_.amend(RecordList{
        Value{{"orderID", id}, {"stopPx", amended("stopPx")}, {"orderQty", amended("orderQty")}}});
    const std::optional<Value> order = exchange_.open_order(Value(id));
    if (!order) {
      throw std::runtime_error("Order " + id +
                               " was amended on a symbol never named over HTTP: list it first");
    }
    ledger_.note(*order);
    return *order;
  }

  Value cancel(const HttpRequest& req) {
    const std::vector<std::string> ids = order_ids(stoploss::field(json_body(req), "orderID"));
    std::vector<std::optional<Value>> records;
    RecordList left;
    for (const std::string& id : ids) {
      records.push_back(exchange_.open_order(Value(id)));
      left.push_back(Value{{"orderID", id}});
    }
    try {
      exchange_.cancel(left);
    } catch (const stoploss::HTTPError&) {
      // The ids still in `left` were not open; each gets its own error below.
    }
    Value answer = Value::array();
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const bool refused = std::ranges::any_of(
          left, [&](const Value& entry) { return entry.at("orderID") == ids[i]; });
      answer.push_back(refused
                           ? ledger_.not_open(ids[i])
                           : ledger_.cancelled(records[i].value_or(Value{{"orderID", ids[i]}})));
    }
    return answer;
  }

  Value cancel_all(const HttpRequest& req) {
    const Value body = json_body(req);
    const std::string symbol = stoploss::field(body, "symbol").get<std::string>();
    const auto filter = body.find("filter");
    if (filter != body.end() && filter_of(*filter) != Value{{"ordType", "Stop"}}) {
      throw BadRequest(R"(This exchange cancels with the filter {"ordType":"Stop"} only)");
    }
    const RecordList before = exchange_.open_orders(symbol);
    exchange_.cancel_stops(symbol);
    const RecordList after = exchange_.open_orders(symbol);
    Value cancelled = Value::array();
    for (const Value& order : before) {
      if (std::ranges::find(after, order) == after.end()) {
        cancelled.push_back(ledger_.cancelled(order));
      }
    }
    return cancelled;
  }

 private:
  SimExchange& exchange_;
  OrderLedger ledger_;
};

using Route = Value (OrderRoutes::*)(const HttpRequest&);

// Whether a failure comes from what the request holds rather than from the server.
bool invalid_input(const std::exception& failure) {
  const std::string_view kind = stoploss::failure_kind(failure);
  return kind == "KeyError" || kind == "TypeError" || kind == "ValueError" ||
         dynamic_cast<const BadRequest*>(&failure) ||
         dynamic_cast<const Value::exception*>(&failure);
}

Answer act(OrderRoutes& routes, Route route, const HttpRequest& req) {
  try {
    return {200, (routes.*route)(req).dump(-1, ' ', false, Value::error_handler_t::replace)};
  } catch (const stoploss::HTTPError& refused) {
    return {refused.response().status_code, refused.response().body};
  } catch (const std::exception& failure) {
    const bool invalid = invalid_input(failure);
    return {invalid ? 400 : 500,
            error_body(failure.what(), invalid ? "ValidationError" : "HTTPError")};
  }
}

struct RouteOf {
  std::string_view method;
  std::string_view path;
  Route route;
};

constexpr std::array<RouteOf, 6> kRoutes{{
    {"GET", "/api/v1/instrument", &OrderRoutes::instrument},
    {"GET", "/api/v1/order", &OrderRoutes::open_orders},
    {"POST", "/api/v1/order", &OrderRoutes::place},
    {"PUT", "/api/v1/order", &OrderRoutes::amend},
    {"DELETE", "/api/v1/order", &OrderRoutes::cancel},
    {"DELETE", "/api/v1/order/all", &OrderRoutes::cancel_all},
}};

HttpAnswer json_answer(int status, std::string body) {
  return {status, {{"Content-Type", "application/json"}}, std::move(body)};
}

}  // namespace

class SimServer::Impl {
 public:
  Impl(SimExchange& exchange, ServerSettings settings)
      : exchange_(exchange),
        settings_(std::move(settings)),
        routes_(exchange),
        signed_rate_(settings_.rate_limit),
        unsigned_rate_(settings_.unsigned_rate_limit),
        faults_(settings_.seed, settings_.faults),
        listener_(
            settings_.http, [this](const HttpRequest& req) { return serve(req); },
            [](int status, std::string_view message) {
              return json_answer(status, error_body(message, "HTTPError"));
            }) {}

  ~Impl() { stop(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  int start(const std::string& host, int port) { return listener_.start(host, port); }

  void stop() { listener_.stop(); }

  void fail_next(ServerFault fault, std::string route) {
    const std::lock_guard lock(mutex_);
    faults_.script(fault, std::move(route));
  }

  std::map<std::string, int> requests() const {
    const std::lock_guard lock(mutex_);
    return counts_;
  }

  void reset_counts() {
    const std::lock_guard lock(mutex_);
    counts_.clear();
  }

  void with_exchange(const std::function<void(SimExchange&)>& use) {
    const std::lock_guard lock(mutex_);
    use(exchange_);
  }

 private:
  // On the listener's thread.
  HttpAnswer serve(const HttpRequest& req) {
    const auto route = std::ranges::find_if(
        kRoutes, [&](const RouteOf& r) { return r.method == req.method && r.path == req.path(); });
    if (route == kRoutes.end()) {
      HttpAnswer missing = json_answer(404, error_body("Not Found", "HTTPError"));
      missing.delay = settings_.latency;
      return missing;
    }
    const std::lock_guard lock(mutex_);
    ++counts_[req.method + " " + std::string(req.path())];
    const long long now = utils::unix_now();
    // Only a request signed with the key draws on the key's budget.
    const std::optional<std::string> refused = refusal(req, settings_, now);
    RateWindow& window = refused ? unsigned_rate_ : signed_rate_;
    const RateWindow::Use use = window.take(now);
    const Answer answer = respond(req, route->route, use, refused, now);

    HttpAnswer http = json_answer(answer.status, answer.body);
    http.headers.insert(http.headers.end(),
                        {{"x-ratelimit-limit", std::to_string(window.limit())},
                         {"x-ratelimit-remaining", std::to_string(use.remaining)},
                         {"x-ratelimit-reset", std::to_string(use.reset)}});
    if (answer.retry_after > 0) {
      http.headers.emplace_back("Retry-After", std::to_string(answer.retry_after));
    }
    http.delay = answer.delay + settings_.latency;
    return http;
  }

  Answer respond(const HttpRequest& req, Route route, const RateWindow::Use& use,
                 const std::optional<std::string>& refused, long long now) {
    if (!use.allowed) return rate_limited(std::max(1LL, use.reset - now));
    if (refused) return {401, error_body(*refused, "HTTPError")};
    const std::optional<ServerFault> fault =
        faults_.next(req.method + " " + std::string(req.path()));
    if (fault == ServerFault::kOverload) {
      return {503, error_body(kOverloaded, "HTTPError")};
    }
    if (fault == ServerFault::kRateLimited) return rate_limited(1);
    Answer answer = act(routes_, route, req);
    if (fault == ServerFault::kTruncated) answer.body.resize(answer.body.size() / 2);
    if (fault == ServerFault::kStall) answer.delay = settings_.faults.stall_for;
    return answer;
  }

  SimExchange& exchange_;
  const ServerSettings settings_;
  OrderRoutes routes_;
  RateWindow signed_rate_;
  RateWindow unsigned_rate_;
  FaultDraw faults_;
  std::map<std::string, int> counts_;
  mutable std::mutex mutex_;
  HttpListener listener_;  // last: stopped before what its handler uses goes
};

SimServer::SimServer(SimExchange& exchange, ServerSettings settings)
    : impl_(std::make_unique<Impl>(exchange, std::move(settings))) {}

SimServer::~SimServer() = default;

int SimServer::start(const std::string& host, int port) { return impl_->start(host, port); }

void SimServer::stop() { impl_->stop(); }

void SimServer::fail_next(ServerFault fault, std::string route) {
  impl_->fail_next(fault, std::move(route));
}

std::map<std::string, int> SimServer::requests() const { return impl_->requests(); }

void SimServer::reset_counts() { impl_->reset_counts(); }

void SimServer::with_exchange(const std::function<void(SimExchange&)>& use) {
  impl_->with_exchange(use);
}

}  // namespace sim
