#include <fmt/format.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "common/guarding_flags.hpp"
#include "common/option_checks.hpp"
#include "common/output_files.hpp"
#include "common/pair_check.hpp"
#include "common/stop_signals.hpp"
#include "embedded_exchange/http/loopback_exchange.hpp"
#include "exchange/net/exchange_url.hpp"
#include "guard/guard_loop.hpp"
#include "trail/live_venue.hpp"
#include "trail/terminal.hpp"
#include "trail/trail_report.hpp"

namespace app {
namespace {

using trail::Clock;

struct TrailOptions {
  std::string pair;
  GuardingFlags flags;
  bool follow = false;
  bool exit_when_flat = false;
  bool remove_on_exit = false;
  std::string exchange;
  std::optional<std::filesystem::path> credentials_file;
  std::optional<std::filesystem::path> out;
  long long position = 1000;
  bool feed_refused = false;
};

constexpr double kWalkVolatility = 0.001;               // of the embedded price, per step
constexpr std::chrono::milliseconds kTick{50};          // between two looks at the market
constexpr std::chrono::milliseconds kStatusEvery{250};  // between two redraws of the status

// The module's warnings and critical messages, as lines of their own; its info is left out.
class TrailLog final : public stoploss::HouseLog {
 public:
  explicit TrailLog(trail::Terminal& terminal) : terminal_(terminal) {}
  void info_log(const std::string&, int) override {}
  void info_warn(const std::string& message, std::optional<int>) override {
    terminal_.line(trail::clock_text() + "  log warning: " + message);
  }
  void info_critical(const std::string& message, int) override {
    terminal_.line(trail::clock_text() + "  log critical: " + message);
  }

 private:
  trail::Terminal& terminal_;
};

std::chrono::milliseconds milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// Waits up to `length` for a stop signal; whether one came.
bool stop_signal_within(const sigset_t& signals, std::chrono::milliseconds length) {
  const timespec wait{.tv_sec = 0, .tv_nsec = static_cast<long>(length.count()) * 1000000};
  return sigtimedwait(&signals, nullptr, &wait) > 0;
}

std::string closed_line(const trail::Market& market, const std::optional<double>& triggered) {
  std::string line = fmt::format("{}  position closed at last price {}: ", trail::clock_text(),
                                 market.last_price ? fmt::format("{}", *market.last_price) : "?");
  line += triggered ? fmt::format("the stop at {} triggered", *triggered)
                    : std::string("not by the stop (the market did not reach it)");
  return line;
}

// Follows the pair until a stop signal, the duration, or the position's close (without
// --follow); then leaves the last stop standing, or removes it with --remove-on-exit.
int trail_pair(const TrailOptions& options, const sigset_t& signals, rest::RestClient& client,
               feed::FeedClient& feed) {
  trail::Terminal terminal(std::cout, isatty(STDOUT_FILENO) == 1);
  trail::LiveModule module({options.pair}, client, feed, std::make_shared<TrailLog>(terminal));
  guard::GuardLoop loop;
  loop.add(
      options.pair, std::make_unique<trail::LiveVenue>(options.pair, module, client, feed),
      {.distance = {.value = options.flags.distance.value_or(options.flags.percent.value_or(0)),
                    .percent = options.flags.percent.has_value()},
       .min_interval = milliseconds(options.flags.min_interval),
       .feed_wait = milliseconds(options.flags.feed_wait)});
  trail::TrailSession& session = loop.session(options.pair);
  trail::Venue& venue = loop.venue(options.pair);
  terminal.line(
      fmt::format("trailing {} {} behind the last price; a request at most every {} s; "
                  "Ctrl-C ends it{}",
                  options.pair,
                  options.flags.percent ? fmt::format("{}%", *options.flags.percent)
                                        : fmt::format("{}", *options.flags.distance),
                  options.flags.min_interval,
                  options.remove_on_exit ? " and removes the stop" : ", leaving the stop"));
  const auto started = Clock::now();
  const auto duration = std::chrono::duration<double>(options.flags.duration);
  std::vector<trail::Sample> samples;
  bool feed_was_up = false;
  bool rest_look_said = false;  // since the feed was last up
  auto status_due = started;
  std::string reason = "interrupted";
  for (;;) {
    const auto now = Clock::now();
    if (options.flags.duration > 0 && now - started >= duration) {
      reason = "duration reached";
      break;
    }
    const trail::Step step = loop.tick(now, venue.budget()).front().step;
    const trail::Market& market = session.market();
    if (market.feed_up != feed_was_up) {
      feed_was_up = market.feed_up;
      terminal.line(trail::clock_text() +
                    (feed_was_up ? "  feed up" : "  feed down: " + feed.last_error()));
    }
    if (market.feed_up) rest_look_said = false;
    if (step.rest_look && (!rest_look_said || !step.rest_look->empty())) {
      terminal.line(
          trail::rest_look_line(options.pair, market, *step.rest_look, options.flags.feed_wait));
      rest_look_said = true;
    }
    if (step.tidy && step.event != trail::Event::kClosed) {
      if (const auto line = trail::doubt_line(*step.tidy)) terminal.line(*line);
    }
    if (step.cleanup) {
      if (const auto line = trail::cleanup_line(*step.cleanup)) terminal.line(*line);
    }
    if (step.request) terminal.line(trail::request_line(*step.request));
    if (options.out && market.last_price &&
        (session.wanted() || step.event == trail::Event::kClosed)) {
      samples.push_back(
          {.seconds = std::chrono::duration<double>(now - started).count(),
           .last_price = market.last_price,
           .wanted = session.wanted()  ? session.wanted()
                     : samples.empty() ? std::nullopt
                                       : samples.back().wanted,
           .stops = trail::prices(market.stops.value_or(std::vector<trail::BookStop>{})),
           .position = market.position.value_or(0),
           .entry = market.entry,
           .closed = step.event == trail::Event::kClosed});
    }
    if (step.event == trail::Event::kClosed) {
      terminal.line(closed_line(market, step.triggered));
      if (const auto line = trail::left_over_line(*step.tidy)) terminal.line(*line);
      if (!options.follow) {
        reason = "position closed";
        break;
      }
      terminal.line(trail::clock_text() + "  waiting for a new position (--follow)");
    }
    if (step.event == trail::Event::kFlat) {
      if (options.exit_when_flat) {
        reason = "flat position";
        break;
      }
      terminal.line(trail::clock_text() + "  no position in " + options.pair +
                    " to guard; waiting for one");
    }
    if (now >= status_due) {
      terminal.status(trail::status_line(options.pair, session, venue.budget()));
      status_due = now + kStatusEvery;
    }
    if (stop_signal_within(signals, kTick)) break;
  }
  terminal.end_status();
  std::cout << "ended: " << reason << '\n';
  const trail::Ending ending = session.finish(options.remove_on_exit, Clock::now());
  if (ending.last.tidy) {
    if (const auto line = trail::doubt_line(*ending.last.tidy)) std::cout << *line << '\n';
  }
  if (ending.last.request) std::cout << trail::request_line(*ending.last.request) << '\n';
  if (ending.tidy) std::cout << trail::ending_line(*ending.tidy, options.remove_on_exit) << '\n';
  trail::print_summary(session.totals(), std::cout);
  const bool read_over_rest = ending.tidy && ending.tidy->failure.empty();
  const auto stops = read_over_rest ? std::optional(ending.tidy->standing) : venue.market().stops;
  std::cout << "stops on the book: "
            << (!stops           ? "unknown (feed down)"
                : stops->empty() ? "none"
                                 : fmt::format("{}", fmt::join(trail::prices(*stops), ", ")))
            << '\n';
  if (options.out) {
    write_file(*options.out / "trail.csv",
               [&](std::ostream& out) { trail::write_trace_csv(samples, out); });
    write_file(*options.out / "trail.svg", [&](std::ostream& out) {
      trail::write_chart_svg(samples, "stoploss trail " + options.pair, out);
    });
    std::cout << "wrote " << (*options.out / "trail.csv").string() << " and "
              << (*options.out / "trail.svg").string() << '\n';
  }
  return 0;
}

feed::FeedSettings feed_settings(const TrailOptions& options, const std::string& url) {
  return {.base_url = url, .pairs = {options.pair}};
}

int run_trail(const TrailOptions& options) {
  if (options.out) make_folder(*options.out);
  const sigset_t signals = block_stop_signals();  // before any thread starts
  if (!options.exchange.empty()) {
    rest::parse_exchange_url(options.exchange);  // before anything is read or sent
    const auto credentials = auth::load_credentials(options.credentials_file);
    if (!credentials) {
      std::cerr << "stoploss trail: no credentials: set BITMEX_API_KEY and BITMEX_API_SECRET or "
                   "pass --credentials FILE\n";
      return 2;
    }
    rest::RestClient client({.base_url = options.exchange}, credentials);
    active_instrument(client, options.pair);
    feed::FeedClient feed(feed_settings(options, options.exchange), *credentials);
    feed.start();
    return trail_pair(options, signals, client, feed);
  }
  sim::LoopbackExchange embedded;
  rest::RestClient client({.base_url = embedded.url()}, embedded.credentials());
  active_instrument(client, options.pair);
  if (options.position != 0) sim::open_position(embedded.server(), options.pair, options.position);
  if (options.feed_refused) embedded.server().set_feed_faults({.refuse_auth = true});
  const auto prices =
      sim::walk_every_price(embedded.server(), kWalkVolatility, options.flags.walk_seed,
                            std::chrono::milliseconds(options.flags.pace_ms));
  std::cout << fmt::format(
      "embedded exchange on {}: every price on a random walk every {} ms, a position of {} "
      "contracts of {}\n",
      embedded.url(), options.flags.pace_ms, options.position, options.pair);
  feed::FeedClient feed(feed_settings(options, embedded.url()), embedded.credentials());
  feed.start();
  return trail_pair(options, signals, client, feed);
}

}  // namespace

Command add_trail_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "trail",
      "Guard a position with a trailing stop: follows the position and the last price on the "
      "realtime feed and keeps one reduce-only stop DISTANCE behind the price (below a long, above "
      "a short), moved only towards the market. On the embedded exchange with a moving price and "
      "an open position by default, or on --exchange URL with credentials from BITMEX_API_KEY and "
      "BITMEX_API_SECRET or --credentials FILE. Ctrl-C or SIGTERM ends it and leaves the stop "
      "standing. Prints a line per request, a status line on a terminal and a summary at the end; "
      "exit status 0.");
  auto options = std::make_shared<TrailOptions>();
  cli->add_option("PAIR", options->pair, "pair symbol, such as XBTUSD")->required();
  cli->add_flag("--follow", options->follow,
                "after the position closes, wait for a new one instead of exiting");
  cli->add_flag("--exit-when-flat", options->exit_when_flat,
                "exit when there is no position to guard");
  cli->add_flag("--remove-on-exit", options->remove_on_exit,
                "take the trail's stops down when ending (stops it did not place stay)");
  auto* exchange = cli->add_option("--exchange", options->exchange,
                                   "exchange base URL, such as https://testnet.bitmex.com");
  cli->add_option("--credentials", options->credentials_file,
                  "file with the API key and secret on two lines");
  add_guarding_flags(*cli, options->flags, exchange);
  cli->add_option("--out", options->out, "folder for the trace (trail.csv) and chart (trail.svg)");
  cli->add_option("--position", options->position,
                  "embedded exchange: contracts bought (negative: sold) at the start")
      ->check(CLI::Range(-10000000LL, 10000000LL))
      ->excludes(exchange)
      ->capture_default_str();
  cli->add_flag("--feed-refused", options->feed_refused,
                "embedded exchange: refuse the realtime feed's authentication, so that the feed "
                "never comes up")
      ->excludes(exchange);
  return {cli, [options] {
            if (!options->flags.distance && !options->flags.percent) {
              throw std::invalid_argument("give --distance or --percent");
            }
            return run_trail(*options);
          }};
}

}  // namespace app
