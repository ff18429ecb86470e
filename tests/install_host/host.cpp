// Links the installed module and its ready-made collaborators: a load without collaborators
// names the first one missing, and a request over the REST collaborators to an exchange that
// is not there fails as the module sorts it.
#include <Core/Modules/stop_loss.hpp>
#include <Core/collaborators/failures.hpp>
#include <Core/utils/host_components.hpp>
#include <Core/utils/serial_host.hpp>
#include <exchange/rest/rest_components.hpp>
#include <iostream>
#include <string>

int main() {
  namespace StopLoss = Modules::StopLoss;
  stoploss::ComponentTable empty;
  try {
    StopLoss::load(empty);
    return 1;
  } catch (const stoploss::ImportError& error) {
    if (std::string(error.what()) != "cannot import name sleep") return 1;
  }
  // Port 9 on loopback: nothing listens, every try is refused.
  rest::RestClient client({.base_url = "http://127.0.0.1:9", .max_retries = 0},
                          auth::Credentials{"key", "secret"});
  auto host = rest::rest_components(client, {.log = std::make_shared<utils::SilentLog>()});
  StopLoss::load(host);
  StopLoss::ARM(std::make_shared<StopLoss::Aux>(std::vector<std::string>{"XBTUSD"}));
  try {
    utils::SerialHost().request("XBTUSD", 9000.0);
  } catch (const std::exception& failure) {
    std::cout << StopLoss::MODULEPRINT << ' ' << failure.what() << '\n';
    return std::string(failure.what()).find(stoploss::kMaxRetriesHit) == 0 ? 0 : 1;
  }
  return 1;
}
