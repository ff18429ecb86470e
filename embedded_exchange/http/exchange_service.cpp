#include "embedded_exchange/http/exchange_service.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <random>
#include <string_view>
#include <utility>

#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"
#include "Core/utils/unix_time.hpp"
#include "embedded_exchange/engine/exchange_errors.hpp"
#include "embedded_exchange/http/key_check.hpp"
#include "embedded_exchange/http/rate_limits.hpp"
#include "embedded_exchange/http/sim_routes.hpp"

namespace sim {
namespace {

using stoploss::Value;

struct Answer {
  int status = 200;
  std::string body;
  long long retry_after = 0;           // seconds; 0 sends no Retry-After
  std::chrono::milliseconds delay{0};  // before the answer leaves
};

double precise_unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

Answer rate_limited(long long retry_after) {
  return {429,
          error_body(fmt::format("Rate limit exceeded, retry in {} seconds.", retry_after),
                     "RateLimitError"),
          retry_after};
}

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
std::optional<KeyRefusal> refusal(const HttpRequest& req, const ServerSettings& settings,
                                  long long now) {
  const std::string key = req.header("api-key");
  const std::string expires = req.header("api-expires");
  const std::string signature = req.header("api-signature");
  return signature_refusal({.key = key,
                            .expires = expires,
                            .signature = signature,
                            .verb = req.method,
                            .path = req.target,
                            .body = req.body},
                           settings.key, settings.secret, now);
}

// Whether a failure comes from what the request holds rather than from the server.
bool invalid_input(const std::exception& failure) {
  const std::string_view kind = stoploss::failure_kind(failure);
  return kind == "KeyError" || kind == "TypeError" || kind == "ValueError" ||
         dynamic_cast<const BadRequest*>(&failure) ||
         dynamic_cast<const Value::exception*>(&failure);
}

Answer act(SimExchange& exchange, const ExchangeRoute& route, const HttpRequest& req) {
  try {
    exchange.cancel_when_due();
    return {200, route.answer(exchange, request_fields(req))
                     .dump(-1, ' ', false, Value::error_handler_t::replace)};
  } catch (const Refusal& refused) {
    return {refused.status, error_body(refused.what(), refused.name)};
  } catch (const std::exception& failure) {
    const bool invalid = invalid_input(failure);
    return {invalid ? 400 : 500,
            error_body(echo_excerpt(failure.what()), invalid ? "ValidationError" : "HTTPError")};
  }
}

}  // namespace

HttpAnswer json_answer(int status, std::string body) {
  return {status, {{"Content-Type", "application/json"}}, std::move(body)};
}

class ExchangeService::Impl {
 public:
  Impl(SimExchange& exchange, const ServerSettings& settings)
      : exchange_(exchange),
        settings_(settings),
        rate_limits_({.per_minute = settings_.rate_limit,
                      .unsigned_per_minute = settings_.unsigned_rate_limit,
                      .orders_per_second = settings_.orders_per_second}),
        faults_(settings_.seed, settings_.faults) {}

  HttpAnswer serve(const HttpRequest& req) {
    const ExchangeRoute* route = find_route(req.method, req.path());
    if (route == nullptr) {
      HttpAnswer missing = json_answer(404, error_body("Not Found", "HTTPError"));
      missing.delay = settings_.latency;
      return missing;
    }
    ++counts_[req.method + " " + std::string(req.path())];
    const long long now = utils::unix_now();
    // Only a request signed with the key draws on the key's budget.
    // A public route takes a request that sends no key, as the exchange does.
    const bool anonymous = route->is_public && req.header("api-key").empty();
    const std::optional<KeyRefusal> refused =
        anonymous ? std::nullopt : refusal(req, settings_, now);
    const bool order_route = req.method != "GET" && req.path().starts_with("/api/v1/order");
    const RateLimits::Use use =
        rate_limits_.take(refused || anonymous ? std::string() : req.header("api-key"), order_route,
                          precise_unix_now());
    const Answer answer = respond(req, *route, use, refused);

    HttpAnswer http = json_answer(answer.status, answer.body);
    http.headers.insert(http.headers.end(),
                        {{"x-ratelimit-limit", std::to_string(use.limit)},
                         {"x-ratelimit-remaining", std::to_string(use.remaining)},
                         {"x-ratelimit-reset", std::to_string(use.reset)}});
    if (use.remaining_1s) {
      http.headers.emplace_back("x-ratelimit-remaining-1s", std::to_string(*use.remaining_1s));
    }
    if (answer.retry_after > 0) {
      http.headers.emplace_back("Retry-After", std::to_string(answer.retry_after));
    }
    http.delay = answer.delay + settings_.latency;
    return http;
  }

  Answer respond(const HttpRequest& req, const ExchangeRoute& route, const RateLimits::Use& use,
                 const std::optional<KeyRefusal>& refused) {
    if (!use.allowed) return rate_limited(use.retry_after);
    if (refused) return {refused->status, error_body(refused->message, "HTTPError")};
    const std::optional<ServerFault> fault =
        faults_.next(req.method + " " + std::string(req.path()));
    if (fault == ServerFault::kOverload) {
      return {503, error_body(kOverloaded, "HTTPError")};
    }
    if (fault == ServerFault::kRateLimited) return rate_limited(1);
    Answer answer = act(exchange_, route, req);
    if (fault == ServerFault::kTruncated) answer.body.resize(answer.body.size() / 2);
    if (fault == ServerFault::kStall) answer.delay = settings_.faults.stall_for;
    return answer;
  }

  SimExchange& exchange_;
  const ServerSettings settings_;
  RateLimits rate_limits_;
  FaultDraw faults_;
  std::map<std::string, int> counts_;
};

ExchangeService::ExchangeService(SimExchange& exchange, const ServerSettings& settings)
    : impl_(std::make_unique<Impl>(exchange, settings)) {}

ExchangeService::~ExchangeService() = default;

HttpAnswer ExchangeService::serve(const HttpRequest& req) { return impl_->serve(req); }

void ExchangeService::fail_next(ServerFault fault, std::string route) {
  impl_->faults_.script(fault, std::move(route));
}

const std::map<std::string, int>& ExchangeService::requests() const { return impl_->counts_; }

void ExchangeService::reset_counts() { impl_->counts_.clear(); }

}  // namespace sim
