#include <fstream>
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "common/option_checks.hpp"
#include "common/output_files.hpp"
#include "common/price_path.hpp"
#include "common/report.hpp"
#include "demo/demo_run.hpp"
#include "demo/spdlog_house_log.hpp"

namespace app {
namespace {

struct DemoOptions {
  std::string pair = "XBTUSD";
  int steps = 1000;
  std::uint64_t seed = 1;
  double trail = 100;
  double fault_rate = 0.02;
  double feed_down_rate = 0.02;
  int latency_ms = 5;
  bool real_time = false;
  bool verification = false;
  std::string prices_file;
  std::string out = "demo-out";
};

int run_demo(const DemoOptions& options) {
  demo::DemoSettings settings;
  settings.pair = options.pair;
  settings.trail = options.trail;
  settings.seed = options.seed;
  settings.faults = {.rate = options.fault_rate,
                     .feed_down_rate = options.feed_down_rate,
                     .latency = std::chrono::milliseconds(options.latency_ms),
                     .real_latency = options.real_time};
  settings.real_pauses = options.real_time;
  settings.verification = options.verification;
  try {
    const double start = options.pair == "ETHUSD" ? 2000 : 9000;
    const double tick = options.pair == "ETHUSD" ? 0.05 : 0.5;
    settings.prices = options.prices_file.empty()
                          ? random_walk(start, tick, options.steps, 0.002, options.seed)
                          : read_prices(options.prices_file);
  } catch (const PricePathError& error) {
    std::cerr << "stoploss demo: " << error.what() << '\n';
    return 2;
  }
  const std::filesystem::path out = options.out;
  make_folder(out);
  const auto log = std::make_shared<demo::SpdlogHouseLog>((out / "stoploss.log").string());
  settings.log = log;

  std::cout << step_header() << '\n';
  const auto steps =
      demo::run_demo(settings, [](const DemoStep& step) { std::cout << step_line(step) << '\n'; });

  std::cout << '\n';
  print_summary(summarize(steps), std::cout);
  write_file(out / "trace.csv", [&](std::ostream& file) { write_trace_csv(steps, file); });
  write_file(out / "chart.svg", [&](std::ostream& file) {
    write_chart_svg(steps,
                    options.pair + " trailing stop, " + std::to_string(steps.size()) +
                        " steps, seed " + std::to_string(options.seed),
                    file);
  });
  if (!log->flush())
    throw std::runtime_error((out / "stoploss.log").string() + ": cannot be written");
  std::cout << "\nWrote " << (out / "trace.csv").string() << ", " << (out / "chart.svg").string()
            << " and " << (out / "stoploss.log").string() << '\n';
  return 0;
}

}  // namespace

Command add_demo_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "demo",
      "Trail a protective stop for a long position on the embedded exchange while the price "
      "moves and the exchange misbehaves: one stop request per price step while a position is "
      "open, one line per step, then a summary, a CSV trace, a chart (SVG) and the module's log.");
  auto options = std::make_shared<DemoOptions>();
  cli->add_option("--pair", options->pair, "XBTUSD or ETHUSD")
      ->check(CLI::IsMember({"XBTUSD", "ETHUSD"}))
      ->capture_default_str();
  cli->add_option("--steps", options->steps, "price steps of the random walk")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  cli->add_option("--seed", options->seed, "seed of the price walk and the faults")
      ->check(unsigned_64())
      ->capture_default_str();
  cli->add_option("--trail", options->trail, "distance of the stop below the highest price")
      ->check(finite_number() & CLI::PositiveNumber)
      ->capture_default_str();
  cli->add_option(
         "--fault-rate", options->fault_rate,
         "chance that a try of an exchange request meets a fault: a 503 (tried again), a refused "
         "connection, an answer lost after the exchange acted")
      ->check(finite_number() & CLI::Range(0.0, 1.0))
      ->capture_default_str();
  cli->add_option("--feed-down-rate", options->feed_down_rate,
                  "chance that the live feed reads as down")
      ->check(finite_number() & CLI::Range(0.0, 1.0))
      ->capture_default_str();
  cli->add_option("--latency-ms", options->latency_ms, "latency of each exchange call")
      ->check(CLI::Range(0, 10000))
      ->capture_default_str();
  cli->add_flag("--real-time", options->real_time,
                "wait for latency and pauses instead of simulating them");
  cli->add_flag("--verification", options->verification, "ask in verification mode");
  cli->add_option("--prices", options->prices_file,
                  "CSV file of prices (last field of each line) instead of the random walk")
      ->check(CLI::ExistingFile);
  cli->add_option("--out", options->out, "folder for the trace, the chart and the log")
      ->capture_default_str();
  return {cli, [options] { return run_demo(*options); }};
}

}  // namespace app
