#include <fmt/format.h>

#include <csignal>
#include <iostream>
#include <memory>

#include "Core/auth/credentials.hpp"
#include "Core/sim/sim_server.hpp"
#include "commands.hpp"
#include "option_checks.hpp"

namespace app {
namespace {

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 0;
  std::optional<std::filesystem::path> credentials_file;
  std::uint64_t seed = 1;
  sim::ServerFaults faults;
  int rate_limit = 120;
};

// Serves until SIGINT or SIGTERM.
int serve(const ServeOptions& options) {
  const auto credentials = auth::load_credentials(options.credentials_file);
  if (!credentials) {
    std::cerr << "stoploss serve-sim: no credentials to check requests against: set "
                 "BITMEX_API_KEY and BITMEX_API_SECRET or pass --credentials FILE\n";
    return 2;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before the server's threads start

  sim::SimExchange exchange(options.seed);
  exchange.list(sim::xbtusd(9000));
  exchange.list(sim::ethusd(2000));
  sim::SimServer server(exchange, {.key = credentials->key,
                                   .secret = credentials->secret,
                                   .seed = options.seed,
                                   .faults = options.faults,
                                   .rate_limit = options.rate_limit});
  const int port = server.start(options.host, options.port);
  std::cout << fmt::format(
                   "serving the embedded exchange on http://{}:{} (XBTUSD at 9000, ETHUSD at "
                   "2000); stop with Ctrl-C",
                   options.host, port)
            << std::endl;
  int received = 0;
  sigwait(&stop_signals, &received);
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
      "Serve the embedded exchange over HTTP with the exchange's REST routes, signed requests "
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
  const auto chance = finite_number() & CLI::Range(0.0, 1.0);
  cli->add_option("--overload", options->faults.overload, "chance of a 503")->check(chance);
  cli->add_option("--rate-limited", options->faults.rate_limited, "chance of a 429")->check(chance);
  cli->add_option("--stall", options->faults.stall, "chance of an answer held back")->check(chance);
  cli->add_option("--truncated", options->faults.truncated, "chance of a body cut short")
      ->check(chance);
  return {cli, [options] { return serve(*options); }};
}

}  // namespace app
