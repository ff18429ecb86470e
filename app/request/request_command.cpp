#include <fmt/format.h>
#include <fmt/ranges.h>

#include <iostream>
#include <memory>
#include <thread>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/utils/rounding.hpp"
#include "commands.hpp"
#include "common/option_checks.hpp"
#include "common/pair_check.hpp"
#include "embedded_exchange/http/loopback_exchange.hpp"
#include "exchange/auth/credentials.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/net/exchange_url.hpp"
#include "exchange/rest/rest_components.hpp"

namespace app {
namespace {

namespace StopLoss = Modules::StopLoss;

struct RequestOptions {
  std::string pair;
  std::string price;
  bool verification = false;
  bool replace = false;
  std::optional<std::string> clid;
  std::optional<std::string> text;
  bool clean_stops = false;
  std::string exchange;
  std::optional<std::filesystem::path> credentials_file;
  bool no_feed = false;
};

// How long the feed may take to come up before the request goes over REST alone.
constexpr std::chrono::seconds kFeedWait{5};

// The module's log, printed as it comes.
class PrintedLog final : public stoploss::HouseLog {
 public:
  void info_log(const std::string& message, int /*level*/) override { print("info", message); }
  void info_warn(const std::string& message, std::optional<int> /*level*/) override {
    print("warning", message);
  }
  void info_critical(const std::string& message, int /*level*/) override {
    print("critical", message);
  }

 private:
  static void print(const char* level, const std::string& message) {
    std::cout << "log " << level << ": " << message << '\n';
  }
};

std::string result_text(const std::optional<bool>& result) {
  if (!result) return "nothing";
  return *result ? "true" : "false";
}

// The realtime feed for the pair, up, or none (with the reason printed) when it is not wanted or
// does not come up in time.
std::shared_ptr<feed::FeedClient> live_feed(const RequestOptions& options, const std::string& url,
                                            const auth::Credentials& credentials) {
  if (options.no_feed) return nullptr;
  auto feed = std::make_shared<feed::FeedClient>(
      feed::FeedSettings{.base_url = url, .pairs = {options.pair}}, credentials);
  feed->start();
  const auto deadline = std::chrono::steady_clock::now() + kFeedWait;
  while (!feed->up() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (feed->up()) return feed;
  std::cout << "feed: not up within " << kFeedWait.count() << " s (" << feed->last_error()
            << "); going over REST alone\n";
  return nullptr;
}

int send_request(const RequestOptions& options, rest::RestClient& client,
                 const std::shared_ptr<feed::FeedClient>& feed) {
  const std::uint64_t heard = feed ? feed->counters().messages : 0;
  // The module's bindings outlive this function; the feed must not: it is stopped and freed
  // here, before the process ends and OpenSSL with it. The collaborators only borrow it.
  const std::shared_ptr<rest::LiveFeed> borrowed(std::shared_ptr<void>(), feed.get());
  auto host =
      rest::rest_components(client, {.log = std::make_shared<PrintedLog>(), .feed = borrowed});
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{options.pair}));
  int status = 0;
  try {
    const auto result = StopLoss::Call(
        options.pair, options.price,
        {.CLID = options.clid,
         .Verification = options.verification,
         .REPLACE = options.replace,
         .Text = options.text ? std::optional<stoploss::Value>(*options.text) : std::nullopt,
         .CleanStops = options.clean_stops});
    std::cout << "result: " << result_text(result) << '\n';
    status = result == true ? 0 : 1;
  } catch (const std::exception& failure) {
    std::cout << "failed: " << stoploss::failure_kind(failure) << ": " << failure.what() << '\n';
    status = 3;
  }
  int requests = 0;
  for (const auto& [route, count] : client.requests()) {
    std::cout << fmt::format("http {:>3}  {}\n", count, route);
    requests += count;
  }
  std::cout << fmt::format("http requests: {}", requests);
  if (feed) std::cout << fmt::format(", feed messages: {}", feed->counters().messages - heard);
  std::cout << (feed ? "" : " (no feed)") << '\n';
  const auto& limit = client.rate_limit();
  if (limit.limit >= 0) {
    std::cout << fmt::format("rate limit: {} of {} left\n", limit.remaining, limit.limit);
  }
  return status;
}

// Refuses, before anything is sent, a price above 0 that rounds to 0 on the pair's tick: the
// module would take it for a request to remove every stop of the pair. Asks on a client of its
// own, so that the requests printed are the stop request's.
void check_price(const RequestOptions& options, const std::string& url) {
  rest::RestClient client({.base_url = url}, std::nullopt);
  const stoploss::Value instrument = active_instrument(client, options.pair);
  const double price = stoploss::to_float(options.price);
  const double tick = stoploss::to_float(stoploss::field(instrument, "tickSize"));
  if (price > 0 && utils::nearest_multiple(price, tick) == 0) {
    throw std::invalid_argument(fmt::format(
        "price {} rounds to 0 on {}'s tick of {}, which would remove every stop (give 0 for that)",
        options.price, options.pair, tick));
  }
}

int run_request(const RequestOptions& options) {
  if (!options.exchange.empty()) {
    rest::parse_exchange_url(options.exchange);  // before anything is read or sent
    const auto credentials = auth::load_credentials(options.credentials_file);
    if (!credentials) {
      std::cerr << "stoploss request: no credentials: set BITMEX_API_KEY and BITMEX_API_SECRET or "
                   "pass --credentials FILE\n";
      return 2;
    }
    check_price(options, options.exchange);
    rest::RestClient client({.base_url = options.exchange}, credentials);
    return send_request(options, client, live_feed(options, options.exchange, *credentials));
  }
  sim::LoopbackExchange embedded;
  check_price(options, embedded.url());
  rest::RestClient client({.base_url = embedded.url()}, embedded.credentials());
  std::cout << fmt::format("embedded exchange on {} (XBTUSD at 9000, ETHUSD at 2000)\n",
                           embedded.url());
  const int status =
      send_request(options, client, live_feed(options, embedded.url(), embedded.credentials()));
  embedded.server().with_exchange([&](sim::SimExchange& book) {
    std::cout << fmt::format("stops on the book: {}\n",
                             fmt::join(book.stop_prices(options.pair), ", "));
  });
  return status;
}

}  // namespace

Command add_request_command(CLI::App& app) {
  auto* cli = app.add_subcommand(
      "request",
      "Send one stop request over the exchange's REST API and its realtime feed: to the embedded "
      "exchange, served on loopback, by default, or to --exchange URL with credentials from "
      "BITMEX_API_KEY and BITMEX_API_SECRET or --credentials FILE (readable by its owner only). "
      "Prints the log, the result, the HTTP requests made and the feed messages heard. Exit "
      "status 0 for true, 1 for false or nothing, 3 when the request failed.");
  auto options = std::make_shared<RequestOptions>();
  cli->add_option("PAIR", options->pair, "pair symbol, such as XBTUSD")->required();
  cli->add_option("PRICE", options->price, "stop price; 0 removes the pair's stops")
      ->required()
      ->check(stop_price());
  cli->add_flag("--verification", options->verification, "verification mode");
  cli->add_flag("--replace", options->replace, "remove the pair's stops first");
  cli->add_option("--clid", options->clid, "link identifier of a new stop (clOrdLinkID)")
      ->check(utf8_text());
  cli->add_option("--text", options->text, "text of a new stop")->check(utf8_text());
  cli->add_flag("--clean-stops", options->clean_stops, "a price of 0 does not remove the stops");
  cli->add_option("--exchange", options->exchange,
                  "exchange base URL, such as https://testnet.bitmex.com");
  cli->add_option("--credentials", options->credentials_file,
                  "file with the API key and secret on two lines");
  cli->add_flag("--no-feed", options->no_feed,
                "list orders and instruments over REST only, without the realtime feed");
  return {cli, [options] { return run_request(*options); }};
}

}  // namespace app
