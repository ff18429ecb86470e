#include <fmt/format.h>
#include <pthread.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "Core/collaborators/failures.hpp"
#include "commands.hpp"
#include "common/option_checks.hpp"
#include "common/position_option.hpp"
#include "common/price_path.hpp"
#include "common/stop_signals.hpp"
#include "embedded_exchange/engine/market_walk.hpp"
#include "embedded_exchange/engine/perpetuals.hpp"
#include "embedded_exchange/engine/price_feed.hpp"
#include "embedded_exchange/http/loopback_exchange.hpp"
#include "embedded_exchange/http/sim_server.hpp"
#include "exchange/auth/credentials.hpp"

namespace app {
namespace {

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  std::optional<std::filesystem::path> credentials_file;
  std::uint64_t seed = 1;
  sim::ServerFaults faults;
  int rate_limit = 120;
  std::uint64_t walk_seed = 1;
  std::string prices_file;
  int pace_ms = 500;
  bool frozen = false;
  std::vector<std::string> positions;
  double shock = 2;  // percent, on SIGUSR1
};

constexpr double kStart = 9000;
constexpr double kWalkVolatility = 0.001;  // per step

// How the market moves: XBTUSD along the file's prices, then the last held; or every listed price
// on `walk`. Nothing moves when frozen.
sim::PriceFeed::Move market_moves(const ServeOptions& options, sim::SimServer& server,
                                  std::shared_ptr<sim::MarketWalk> walk) {
  if (options.frozen) return [] { return false; };
  if (!options.prices_file.empty()) {
    return [path = sim::path_of(read_prices(options.prices_file)), &server] {
      const std::optional<double> price = path();
      if (price) {
        server.with_exchange([&](sim::SimExchange& e) { e.set_price("XBTUSD", *price); });
      }
      return price.has_value();
    };
  }
  return [walk, &server] {
    server.with_exchange([&](sim::SimExchange& e) { walk->step(e); });
    return true;
  };
}

// Serves until SIGINT or SIGTERM.
int serve(const ServeOptions& options) {
  const auto credentials = auth::load_credentials(options.credentials_file);
  if (!credentials) {
    std::cerr << "stoploss serve-sim: no credentials to check requests against: set "
                 "BITMEX_API_KEY and BITMEX_API_SECRET or pass --credentials FILE\n";
    return 2;
  }
  // Before the server's threads start: the stop signals, and SIGUSR1 for a shock.
  sigset_t signals = block_stop_signals();
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  sim::SimExchange exchange(options.seed, {}, sim::SimClock::wall());
  for (sim::SimInstrument& perpetual : sim::perpetuals()) exchange.list(std::move(perpetual));
  sim::SimServer server(exchange, {.key = credentials->key,
                                   .secret = credentials->secret,
                                   .seed = options.seed,
                                   .faults = options.faults,
                                   .rate_limit = options.rate_limit});
  std::shared_ptr<sim::MarketWalk> walk;
  server.with_exchange([&](sim::SimExchange& e) {
    walk = std::make_shared<sim::MarketWalk>(e, kWalkVolatility, options.walk_seed);
  });
  sim::PriceFeed::Move moves;
  try {
    moves = market_moves(options, server, walk);
  } catch (const PricePathError& error) {
    std::cerr << "stoploss serve-sim: " << error.what() << '\n';
    return 2;
  }
  try {
    for (const std::string& position : options.positions) {
      const OpenPosition open = parse_position(position);
      sim::open_position(server, open.symbol, open.contracts);
    }
  } catch (const stoploss::HTTPError& refused) {
    std::cerr << "stoploss serve-sim: --position: "
              << stoploss::parse_json(refused.response().body)
                     .at("error")
                     .at("message")
                     .get<std::string>()
              << '\n';
    return 2;
  }
  const int port = server.start(options.host, options.port);
  sim::PriceFeed feed(std::move(moves), std::chrono::milliseconds(options.pace_ms));
  if (!options.frozen) feed.start();
  std::cout << fmt::format(
                   "serving the embedded exchange on http://{0}:{1}, its realtime feed on "
                   "ws://{0}:{1}/realtime ({2} perpetuals, XBTUSD at {3}, {4}; positions: {5}); "
                   "stop with Ctrl-C, shock every price with SIGUSR1",
                   options.host, port, exchange.instruments().size(), kStart,
                   options.frozen ? "frozen"
                   : options.prices_file.empty()
                       ? fmt::format("every price on a walk moving every {} ms", options.pace_ms)
                       : fmt::format("XBTUSD along {} every {} ms", options.prices_file,
                                     options.pace_ms),
                   options.positions.empty()
                       ? "none"
                       : fmt::format("{}", fmt::join(options.positions, ", ")))
            << std::endl;
  for (int received = 0; sigwait(&signals, &received) == 0 && received == SIGUSR1;) {
    server.with_exchange([&](sim::SimExchange& e) { walk->shock(e, options.shock / 100); });
    std::cout << fmt::format("shock: every price moved {}%", options.shock) << std::endl;
  }
  feed.stop();
  server.stop();
  for (const auto& [route, count] : server.requests()) {
    std::cout << fmt::format("http {:>5}  {}\n", count, route);
  }
  return 0;
}

}  // namespace

Command add_serve_sim_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "serve-sim",
      "Serve the embedded exchange over HTTP with the exchange's REST routes and its realtime "
      "feed (a websocket at /realtime), signed requests "
      "(credentials from BITMEX_API_KEY and BITMEX_API_SECRET or --credentials FILE), rate-limit "
      "headers and optional faults, until interrupted.");
  auto options = std::make_shared<ServeOptions>();
  cli->add_option("--host", options->host, "address to listen on")->capture_default_str();
  cli->add_option("--port", options->port, "port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  cli->add_option("--credentials", options->credentials_file,
                  "file with the API key and secret on two lines");
  cli->add_option("--seed", options->seed, "seed of the faults")
      ->check(unsigned_64())
      ->capture_default_str();
  cli->add_option("--rate-limit", options->rate_limit, "requests per minute")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  cli->add_option("--walk-seed", options->walk_seed, "seed of the price walk")
      ->check(unsigned_64())
      ->capture_default_str();
  cli->add_option("--prices", options->prices_file,
                  "CSV file of prices (last field of each line) instead of the walk")
      ->check(CLI::ExistingFile);
  cli->add_option("--pace-ms", options->pace_ms, "time between price steps")
      ->check(CLI::Range(1, 3600000))
      ->capture_default_str();
  cli->add_option("--shock", options->shock,
                  "percent every price moves at once on SIGUSR1 (negative: down)")
      ->check(finite_number() & CLI::Range(-50.0, 50.0))
      ->capture_default_str();
  cli->add_flag("--frozen", options->frozen, "keep every price where it is listed")
      ->excludes(cli->get_option("--prices"));
  cli->add_option("--position", options->positions,
                  "SYMBOL:CONTRACTS bought (negative: sold) at market at the start, repeatable; "
                  "CONTRACTS alone for XBTUSD")
      ->check(position_text());
  const auto chance = finite_number() & CLI::Range(0.0, 1.0);
  cli->add_option("--overload", options->faults.overload, "chance of a 503")->check(chance);
  cli->add_option("--rate-limited", options->faults.rate_limited, "chance of a 429")->check(chance);
  cli->add_option("--stall", options->faults.stall, "chance of an answer held back")->check(chance);
  cli->add_option("--truncated", options->faults.truncated, "chance of a body cut short")
      ->check(chance);
  return {cli, [options] { return serve(*options); }};
}

}  // namespace app
