#include <fmt/format.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "Core/collaborators/failures.hpp"
#include "commands.hpp"
#include "common/option_checks.hpp"
#include "common/price_path.hpp"
#include "common/stop_signals.hpp"
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
  long long position = 0;
};

constexpr double kStart = 9000;
constexpr double kWalkVolatility = 0.001;  // per step

// The price path of XBTUSD: the file's prices, then the last held; or an endless walk.
sim::PriceFeed::Source price_path(const ServeOptions& options) {
  if (!options.prices_file.empty()) return sim::path_of(read_prices(options.prices_file));
  auto walk = std::make_shared<sim::RandomWalk>(kStart, sim::xbtusd(kStart).tickSize,
                                                kWalkVolatility, options.walk_seed);
  return [walk]() -> std::optional<double> { return walk->next(); };
}

// Serves until SIGINT or SIGTERM.
int serve(const ServeOptions& options) {
  const auto credentials = auth::load_credentials(options.credentials_file);
  if (!credentials) {
    std::cerr << "stoploss serve-sim: no credentials to check requests against: set "
                 "BITMEX_API_KEY and BITMEX_API_SECRET or pass --credentials FILE\n";
    return 2;
  }
  const sigset_t stop_signals = block_stop_signals();  // before the server's threads start

  sim::PriceFeed::Source path;
  try {
    if (!options.frozen) path = price_path(options);
  } catch (const PricePathError& error) {
    std::cerr << "stoploss serve-sim: " << error.what() << '\n';
    return 2;
  }
  sim::SimExchange exchange(options.seed, {}, sim::SimClock::wall());
  exchange.list(sim::xbtusd(kStart));
  exchange.list(sim::ethusd(2000));
  sim::SimServer server(exchange, {.key = credentials->key,
                                   .secret = credentials->secret,
                                   .seed = options.seed,
                                   .faults = options.faults,
                                   .rate_limit = options.rate_limit});
  try {
    if (options.position != 0) sim::open_position(server, "XBTUSD", options.position);
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
  // Moves XBTUSD; ETHUSD stays where it is listed.
  sim::PriceFeed feed(
      std::move(path),
      [&server](double price) {
        server.with_exchange([price](sim::SimExchange& e) { e.set_price("XBTUSD", price); });
      },
      std::chrono::milliseconds(options.pace_ms));
  if (!options.frozen) feed.start();
  std::cout << fmt::format(
                   "serving the embedded exchange on http://{0}:{1}, its realtime feed on "
                   "ws://{0}:{1}/realtime (XBTUSD at {2}, {3}; ETHUSD at 2000; position {4} "
                   "XBTUSD); stop with Ctrl-C",
                   options.host, port, kStart,
                   options.frozen ? "frozen"
                   : options.prices_file.empty()
                       ? fmt::format("a walk moving every {} ms", options.pace_ms)
                       : fmt::format("prices from {} every {} ms", options.prices_file,
                                     options.pace_ms),
                   options.position)
            << std::endl;
  int received = 0;
  sigwait(&stop_signals, &received);
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
  cli->add_flag("--frozen", options->frozen, "keep XBTUSD at 9000")
      ->excludes(cli->get_option("--prices"));
  cli->add_option("--position", options->position,
                  "contracts of XBTUSD bought (negative: sold) at market at the start")
      ->check(CLI::Range(-10000000LL, 10000000LL))
      ->capture_default_str();
  const auto chance = finite_number() & CLI::Range(0.0, 1.0);
  cli->add_option("--overload", options->faults.overload, "chance of a 503")->check(chance);
  cli->add_option("--rate-limited", options->faults.rate_limited, "chance of a 429")->check(chance);
  cli->add_option("--stall", options->faults.stall, "chance of an answer held back")->check(chance);
  cli->add_option("--truncated", options->faults.truncated, "chance of a body cut short")
      ->check(chance);
  return {cli, [options] { return serve(*options); }};
}

}  // namespace app
