#include "guard_service.hpp"

#include "trail/live_venue.hpp"

namespace app::guard {
namespace {

using stoploss::Value;

std::string result_name(const trail::Sent& sent) {
  return !sent.failure.empty() ? "failed"
         : !sent.result        ? "nothing"
         : *sent.result        ? "true"
                               : "false";
}

Value rule_fields(const Rule& rule) {
  return {{rule.distance.percent ? "percent" : "distance", rule.distance.value},
          {"min_interval", rule.min_interval.count() / 1000.0}};
}

}  // namespace

GuardService::GuardService(GuardConfig config, std::set<std::string> tradable,
                           rest::RestClient& client, feed::FeedClient& feed,
                           trail::LiveModule& module, Events& events, GuardSettings settings)
    : config_(std::move(config)),
      tradable_(std::move(tradable)),
      client_(client),
      feed_(feed),
      module_(module),
      events_(events),
      settings_(settings) {
  for (const auto& [pair, rule] : config_.pairs) guard(pair, rule);
}

void GuardService::guard(const std::string& pair, const Rule& rule) {
  if (!tradable_.contains(pair)) {
    events_.event(
        "failure",
        {{"pair", pair}, {"failure", "not a contract the exchange lists as active: not guarded"}});
    return;
  }
  loop_.add(pair, std::make_unique<trail::LiveVenue>(pair, module_, client_, feed_),
            settings_for(rule));
  rules_[pair] = rule;
  Value fields = rule_fields(rule);
  fields["pair"] = pair;
  events_.event("guard", std::move(fields));
}

trail::TrailSettings GuardService::settings_for(const Rule& rule) const {
  return {.distance = rule.distance,
          .min_interval = rule.min_interval,
          .feed_wait = settings_.feed_wait,
          .rest_every = settings_.rest_every};
}

// With a default rule: the account's open positions, from the feed, or over REST once the feed
// has been down for the feed wait.
void GuardService::look_for_positions(Clock::time_point now) {
  if (!config_.default_rule) {
    looked_ = true;
    return;
  }
  std::optional<stoploss::RecordList> rows;
  if (feed_.up()) {
    feed_down_since_.reset();
    if (const auto shown = feed_.positions("")) rows = *shown;
  } else {
    if (!feed_down_since_) feed_down_since_ = now;
    if (now - *feed_down_since_ >= settings_.feed_wait &&
        (!last_rest_look_ || now - *last_rest_look_ >= settings_.rest_every)) {
      last_rest_look_ = now;
      try {
        rows = stoploss::items(client_.get("/position", {}));
      } catch (const std::exception& failure) {
        events_.event("failure",
                      {{"during", "looking for positions over REST"}, {"failure", failure.what()}});
      }
    }
  }
  if (!rows) return;
  looked_ = true;
  for (const Value& row : *rows) {
    const auto symbol = row.find("symbol");
    const auto quantity = row.find("currentQty");
    if (symbol == row.end() || !symbol->is_string() || quantity == row.end() ||
        !quantity->is_number_integer() || quantity->get<long long>() == 0) {
      continue;
    }
    const std::string pair = symbol->get<std::string>();
    if (loop_.guards(pair) || !tradable_.contains(pair)) continue;
    if (const auto rule = config_.rule_for(pair)) guard(pair, *rule);
  }
}

std::vector<PairStep> GuardService::tick(Clock::time_point now) {
  look_for_positions(now);
  const rest::RateLimit& budget = client_.rate_limit();
  std::vector<PairStep> steps = loop_.tick(now, {.limit = budget.limit,
                                                 .remaining = budget.remaining,
                                                 .second_remaining = budget.remaining_1s});
  for (const PairStep& step : steps) {
    report(step);
    const bool ended =
        step.step.event == trail::Event::kClosed || step.step.event == trail::Event::kFlat;
    // A pair guarded by the default rule is let go once its position is closed.
    if (ended && !config_.pairs.contains(step.pair)) {
      loop_.remove(step.pair);
      rules_.erase(step.pair);
      events_.event("release", {{"pair", step.pair}});
    }
  }
  return steps;
}

void GuardService::report(const PairStep& step) {
  const trail::Step& s = step.step;
  if (s.rest_look && !s.rest_look->empty()) {
    events_.event("failure", {{"pair", step.pair},
                              {"during", "reading the market over REST"},
                              {"failure", *s.rest_look}});
  }
  for (const auto& tidy : {s.tidy, s.cleanup}) {
    if (tidy && !tidy->failure.empty()) {
      events_.event("failure", {{"pair", step.pair},
                                {"during", "cleaning up the guard's stops"},
                                {"failure", tidy->failure}});
    } else if (tidy && !tidy->cancelled.empty()) {
      events_.event("cleanup", {{"pair", step.pair}, {"cancelled", tidy->cancelled}});
    }
  }
  if (s.request) {
    const trail::Sent& sent = s.request->sent;
    Value fields = {{"pair", step.pair},
                    {"last_price", s.request->last_price},
                    {"stop", s.request->wanted},
                    {"result", result_name(sent)},
                    {"http_requests", sent.http_requests},
                    {"seconds", sent.seconds}};
    if (!sent.failure.empty()) fields["failure"] = sent.failure;
    events_.event("request", std::move(fields));
  }
  if (s.event == trail::Event::kClosed) {
    Value fields = {{"pair", step.pair}};
    if (s.triggered) fields["triggered"] = *s.triggered;
    events_.event("close", std::move(fields));
  }
}

void GuardService::reload(GuardConfig config) {
  if (config.exchange != config_.exchange || config.credentials != config_.credentials) {
    throw ConfigError(
        "exchange: the exchange and its credentials are kept while running; "
        "restart the service to change them");
  }
  for (const std::string& pair : loop_.pairs()) {
    const std::optional<Rule> rule = config.rule_for(pair);
    if (!rule) {
      loop_.remove(pair);
      rules_.erase(pair);
      events_.event("release", {{"pair", pair}});
    } else if (*rule != rules_.at(pair)) {
      guard(pair, *rule);  // a new session, which adopts the stop standing
    }
  }
  config_ = std::move(config);
  for (const auto& [pair, rule] : config_.pairs) {
    if (!loop_.guards(pair)) guard(pair, rule);
  }
  events_.event("reload", {{"pairs", loop_.pairs()}});
}

void GuardService::finish(Clock::time_point now) {
  for (const std::string& pair : loop_.pairs()) {
    const trail::Ending ending = loop_.session(pair).finish(false, now);
    report({.pair = pair, .step = ending.last});
    if (ending.tidy) report({.pair = pair, .step = {.tidy = ending.tidy}});
  }
}

bool GuardService::all_protected() const {
  if (!looked_) return false;
  for (const std::string& pair : loop_.pairs()) {
    const trail::TrailSession& session = loop_.session(pair);
    const auto position = session.market().position;
    if (!position || (*position != 0 && !session.protects())) return false;
  }
  return true;
}

GuardMetrics GuardService::metrics() const {
  GuardMetrics metrics{.budget_limit = client_.rate_limit().limit,
                       .budget_remaining = client_.rate_limit().remaining,
                       .feed_up = feed_.up()};
  if (const auto limited = client_.statuses().find(429); limited != client_.statuses().end()) {
    metrics.rate_limited = limited->second;
  }
  const std::uint64_t connections = feed_.counters().connections;
  metrics.feed_reconnects = connections > 1 ? connections - 1 : 0;
  for (const std::string& pair : loop_.pairs()) {
    const trail::TrailSession& session = loop_.session(pair);
    const trail::Market& market = session.market();
    const trail::Totals& totals = session.totals();
    const long long position = market.position.value_or(0);
    PairMetrics& shown = metrics.pairs[pair];
    shown = {.position = position,
             .last_price = market.last_price,
             .wanted = session.wanted(),
             .exposed_seconds = totals.exposed_seconds,
             .requests = totals.results,
             .http_requests = totals.http_requests};
    if (market.stops) shown.standing = trail::tightest_guard(*market.stops, position > 0 ? 1 : -1);
    metrics.protection_seconds.insert(metrics.protection_seconds.end(),
                                      totals.protection_seconds.begin(),
                                      totals.protection_seconds.end());
  }
  return metrics;
}

}  // namespace app::guard
