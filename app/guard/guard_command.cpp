#include <fmt/format.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <set>

#include "commands.hpp"
#include "common/guarding_flags.hpp"
#include "common/option_checks.hpp"
#include "common/position_option.hpp"
#include "embedded_exchange/http/loopback_exchange.hpp"
#include "exchange/auth/credentials.hpp"
#include "guard/guard_service.hpp"
#include "guard/metrics_server.hpp"
#include "guard/service_notify.hpp"
#include "trail/terminal.hpp"
#include "trail/trail_report.hpp"

namespace app {
namespace {

using guard::Clock;

struct GuardOptions {
  std::optional<std::filesystem::path> config_file;
  std::vector<std::string> pairs;
  bool all = false;
  GuardingFlags flags;
  std::string exchange;
  std::optional<std::filesystem::path> credentials;
  std::optional<std::string> metrics;
  std::optional<std::filesystem::path> log_file;
  std::vector<std::string> positions;  // opened on the embedded exchange
  bool check = false;
};

const std::vector<std::string> kEmbeddedPositions = {"XBTUSD:1000", "ETHUSD:-500", "ETHUSDT:2000",
                                                     "SOLUSDT:-3000"};
constexpr double kWalkVolatility = 0.001;               // of each embedded price, per step
constexpr std::chrono::milliseconds kTick{50};          // between two turns of the loop
constexpr std::chrono::milliseconds kStatusEvery{250};  // between two redraws of the status

std::chrono::milliseconds milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The config the flags give: --pair (repeatable) and --all with one rule.
guard::GuardConfig config_of_flags(const GuardOptions& options) {
  guard::GuardConfig config{.exchange = options.exchange,
                            .credentials = options.credentials,
                            .metrics = options.metrics,
                            .log_file = options.log_file};
  const guard::Rule rule{
      .distance = {.value = options.flags.distance.value_or(options.flags.percent.value_or(1)),
                   .percent = !options.flags.distance.has_value()},
      .min_interval = milliseconds(options.flags.min_interval)};
  for (const std::string& pair : options.pairs) config.pairs[pair] = rule;
  // With neither, the embedded exchange's positions are all guarded.
  if (options.all || (options.pairs.empty() && options.exchange.empty()))
    config.default_rule = rule;
  guard::check_config(config);
  return config;
}

// The module's warnings and critical messages: a line each, and an event.
class GuardHouseLog final : public stoploss::HouseLog {
 public:
  GuardHouseLog(trail::Terminal& terminal, guard::Events& events)
      : terminal_(terminal), events_(events) {}
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string& message, std::optional<int>) override {
    say("warning", message);
  }
  void info_critical(const std::string& message, int) override { say("critical", message); }

 private:
  void say(const char* level, const std::string& message) {
    terminal_.line(trail::clock_text() + "  log " + level + ": " + message);
    events_.event("log", {{"level", level}, {"message", message}});
  }
  trail::Terminal& terminal_;
  guard::Events& events_;
};

std::set<std::string> active_symbols(rest::RestClient& client) {
  std::set<std::string> symbols;
  const stoploss::Value listing = client.get("/instrument/active", {});
  for (const stoploss::Value& instrument : stoploss::items(listing)) {
    const auto symbol = instrument.find("symbol");
    if (symbol != instrument.end() && symbol->is_string()) symbols.insert(*symbol);
  }
  return symbols;
}

std::string step_line(const guard::PairStep& step) {
  const trail::Step& s = step.step;
  if (s.request) return step.pair + "  " + trail::request_line(*s.request);
  if (s.event == trail::Event::kClosed) {
    return fmt::format("{}  {}  position closed{}", trail::clock_text(), step.pair,
                       s.triggered ? fmt::format(": the stop at {} triggered", *s.triggered) : "");
  }
  return {};
}

std::string status_text(const guard::GuardService& service, const guard::GuardMetrics& metrics) {
  int open = 0;
  for (const auto& [pair, shown] : metrics.pairs) open += shown.position != 0 ? 1 : 0;
  return fmt::format("{} pairs guarded, {} open, {}; feed {}; budget {}/{}", metrics.pairs.size(),
                     open, service.all_protected() ? "all protected" : "not all protected yet",
                     metrics.feed_up ? "up" : "down", metrics.budget_remaining,
                     metrics.budget_limit);
}

// Runs until SIGINT or SIGTERM (or the duration); SIGHUP reads the config file again.
int guard_account(const GuardOptions& options, guard::GuardConfig config, const sigset_t& signals,
                  const std::string& url, const auth::Credentials& credentials) {
  rest::RestClient client({.base_url = url}, credentials);
  trail::Terminal terminal(std::cout, isatty(STDOUT_FILENO) == 1);
  std::unique_ptr<guard::Events> events =
      config.log_file ? std::unique_ptr<guard::Events>(std::make_unique<guard::JsonLinesLog>(
                            *config.log_file, config.log_max_bytes, config.log_files))
                      : std::make_unique<guard::NoEvents>();
  std::optional<guard::MetricsServer> metrics_server;
  if (config.metrics) metrics_server.emplace(guard::parse_loopback_endpoint(*config.metrics));
  const std::optional<std::string> config_metrics = config.metrics;
  const std::set<std::string> tradable = active_symbols(client);
  std::vector<std::string> feed_pairs;
  if (!config.default_rule) {
    for (const auto& [pair, rule] : config.pairs) feed_pairs.push_back(pair);
  }
  feed::FeedClient feed({.base_url = url, .pairs = feed_pairs}, credentials);
  feed.start();
  trail::LiveModule module({tradable.begin(), tradable.end()}, client, feed,
                           std::make_shared<GuardHouseLog>(terminal, *events));
  guard::GuardService service(std::move(config), tradable, client, feed, module, *events,
                              {.feed_wait = milliseconds(options.flags.feed_wait)});
  guard::ServiceNotify notify;
  events->event("start", {{"pairs", service.guarded()}, {"tradable", tradable.size()}});
  terminal.line(fmt::format(
      "guarding {} on {}{}; Ctrl-C ends it, leaving every stop standing",
      service.guarded().empty() ? std::string("every open position")
                                : fmt::format("{}", fmt::join(service.guarded(), ", ")),
      url, metrics_server ? fmt::format("; metrics on http://{}/metrics", *config_metrics) : ""));
  const auto started = Clock::now();
  auto status_due = started;
  std::string reason = "interrupted";
  for (;;) {
    const auto now = Clock::now();
    if (options.flags.duration > 0 && now - started >= milliseconds(options.flags.duration)) {
      reason = "duration reached";
      break;
    }
    for (const guard::PairStep& step : service.tick(now)) {
      if (const std::string line = step_line(step); !line.empty()) terminal.line(line);
    }
    const guard::GuardMetrics metrics = service.metrics();
    if (metrics_server) metrics_server->publish(guard::prometheus_text(metrics));
    if (service.all_protected()) notify.ready(status_text(service, metrics));
    if (metrics.feed_up) notify.alive(now);
    if (now >= status_due) {
      terminal.status(status_text(service, metrics));
      status_due = now + kStatusEvery;
    }
    const timespec wait{.tv_sec = 0, .tv_nsec = kTick.count() * 1000000};
    const int signal = sigtimedwait(&signals, nullptr, &wait);
    if (signal == SIGHUP && options.config_file) {
      try {
        service.reload(guard::read_config(*options.config_file));
        terminal.line(trail::clock_text() + "  config read again: guarding " +
                      fmt::format("{}", fmt::join(service.guarded(), ", ")));
      } catch (const guard::ConfigError& error) {
        terminal.line(trail::clock_text() +
                      "  config refused, the one running kept: " + error.what());
        events->event("reload", {{"refused", error.what()}});
      }
    } else if (signal == SIGINT || signal == SIGTERM) {
      break;
    }
  }
  notify.stopping();
  terminal.end_status();
  service.finish(Clock::now());
  events->event("stop", {{"reason", reason}});
  std::cout << "ended: " << reason << '\n';
  for (const auto& [pair, shown] : service.metrics().pairs) {
    std::cout << fmt::format("{}: position {}, stop {}, exposed {:.2f} s\n", pair, shown.position,
                             shown.standing ? fmt::format("{}", *shown.standing) : "none",
                             shown.exposed_seconds);
  }
  return 0;
}

// Signals held for sigtimedwait: the stop signals and SIGHUP. Before any thread starts.
sigset_t block_guard_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

int run_guard(const GuardOptions& options) {
  guard::GuardConfig config;
  try {
    config =
        options.config_file ? guard::read_config(*options.config_file) : config_of_flags(options);
  } catch (const guard::ConfigError& error) {
    std::cerr << "stoploss guard: "
              << (options.config_file ? "config " + options.config_file->string() + ": " : "")
              << error.what() << '\n';
    return 2;
  }
  if (options.check) {
    std::cout << "config usable: " << config.pairs.size() << " pairs listed, "
              << (config.default_rule ? "a default rule for any other position"
                                      : "no other position guarded")
              << '\n';
    return 0;
  }
  const sigset_t signals = block_guard_signals();
  if (!config.exchange.empty()) {
    const auto credentials = auth::load_credentials(config.credentials);
    if (!credentials) {
      std::cerr << "stoploss guard: no credentials: set BITMEX_API_KEY and BITMEX_API_SECRET or "
                   "give credentials = FILE (--credentials FILE)\n";
      return 2;
    }
    const std::string url = config.exchange;
    return guard_account(options, std::move(config), signals, url, *credentials);
  }
  sim::LoopbackExchange embedded;
  for (const std::string& position :
       options.positions.empty() ? kEmbeddedPositions : options.positions) {
    const OpenPosition open = parse_position(position);
    sim::open_position(embedded.server(), open.symbol, open.contracts);
  }
  const auto prices =
      sim::walk_every_price(embedded.server(), kWalkVolatility, options.flags.walk_seed,
                            std::chrono::milliseconds(options.flags.pace_ms));
  std::cout << fmt::format(
      "embedded exchange on {}: every price on a random walk every {} ms; positions {}\n",
      embedded.url(), options.flags.pace_ms,
      fmt::join(options.positions.empty() ? kEmbeddedPositions : options.positions, ", "));
  const std::string url = embedded.url();
  return guard_account(options, std::move(config), signals, url, embedded.credentials());
}

}  // namespace

Command add_guard_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "guard",
      "Guard every open position of an account with a trailing stop, unattended: the pairs and "
      "rules of a TOML config (--config FILE), or of --pair and --all with --distance or "
      "--percent. One realtime feed, one REST client and one request budget shared among the "
      "pairs, the most exposed first. On the embedded exchange with positions in several moving "
      "pairs by default, or on the config's exchange. SIGTERM ends it leaving every stop "
      "standing; SIGHUP reads the config again. Exit status 0, or 2 for a config it cannot use.");
  auto options = std::make_shared<GuardOptions>();
  auto* config = cli->add_option("--config", options->config_file, "TOML config file");
  auto* pair = cli->add_option("--pair", options->pairs, "pair to guard, repeatable");
  auto* all = cli->add_flag("--all", options->all, "guard every open position of the account");
  auto* exchange = cli->add_option("--exchange", options->exchange,
                                   "exchange base URL, such as https://testnet.bitmex.com");
  auto* credentials = cli->add_option("--credentials", options->credentials,
                                      "file with the API key and secret on two lines");
  auto* metrics = cli->add_option("--metrics", options->metrics,
                                  "serve Prometheus metrics on this loopback address:port");
  auto* log = cli->add_option("--log", options->log_file, "JSON-lines log file, rotated by size");
  const RuleOptions rule = add_guarding_flags(*cli, options->flags, exchange);
  for (auto* flag : {pair, all, rule.distance, rule.percent, rule.min_interval, exchange,
                     credentials, metrics, log}) {
    config->excludes(flag);
  }
  cli->add_flag("--check", options->check, "check the config, say what it guards, and exit");
  cli->add_option("--position", options->positions,
                  "embedded exchange: SYMBOL:CONTRACTS held at the start, repeatable (default: "
                  "XBTUSD:1000 ETHUSD:-500 ETHUSDT:2000 SOLUSDT:-3000)")
      ->check(position_text())
      ->excludes(exchange);
  return {cli, [options] { return run_guard(*options); }};
}

}  // namespace app
