#include "live_module.hpp"

#include <chrono>

#include "Core/Modules/stop_loss.hpp"
#include "Core/collaborators/failures.hpp"
#include "exchange/rest/rest_components.hpp"
#include "own_stops.hpp"

namespace app::trail {
namespace {

namespace StopLoss = Modules::StopLoss;

int requests_made(const rest::RestClient& client) {
  int total = 0;
  for (const auto& [route, count] : client.requests()) total += count;
  return total;
}

}  // namespace

LiveModule::LiveModule(const std::vector<std::string>& pairs, rest::RestClient& client,
                       feed::FeedClient& feed, std::shared_ptr<stoploss::HouseLog> log,
                       std::shared_ptr<stoploss::Sleep> sleep)
    : client_(client), log_(std::move(log)) {
  // The module's bindings outlive this object; they only borrow the feed.
  const std::shared_ptr<rest::LiveFeed> borrowed(std::shared_ptr<void>(), &feed);
  auto host =
      rest::rest_components(client_, {.log = log_, .sleep = std::move(sleep), .feed = borrowed});
  quor_calls_ = host.find<stoploss::QuorCalls>("QuorCalls");
  cancel_bulk_ = host.find<stoploss::Cancel_bulk>("Cancel_bulk");
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(pairs));
}

Sent LiveModule::send(const std::string& pair, double stop_price) {
  Sent sent;
  const int before = requests_made(client_);
  const auto started = std::chrono::steady_clock::now();
  try {
    sent.result =
        StopLoss::Call(pair, stop_price, {.Text = stoploss::Value(std::string(kTrailTag))});
  } catch (const std::exception& failure) {
    sent.failure = std::string(stoploss::failure_kind(failure)) + ": " + failure.what();
  }
  sent.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  sent.http_requests = requests_made(client_) - before;
  return sent;
}

}  // namespace app::trail
