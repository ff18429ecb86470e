#include "exchange_bindings.hpp"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

#include "Core/utils/host_components.hpp"
#include "embedded_exchange/http/loopback_exchange.hpp"
#include "exchange/auth/credentials.hpp"
#include "exchange/feed/feed_client.hpp"
#include "exchange/rest/rest_components.hpp"
#include "python_collaborators.hpp"

namespace py = pybind11;

namespace stoploss_python {
namespace {

// How long the feed may take to come up before the collaborators go over REST alone.
constexpr std::chrono::seconds kFeedWait{5};

// What the collaborators over an exchange need to outlive them; they go first.
struct Connection {
  std::unique_ptr<rest::RestClient> client;
  std::unique_ptr<feed::FeedClient> feed;
  stoploss::ComponentTable table;
};

py::dict rest_components(const std::string& exchange_url,
                         const std::optional<std::filesystem::path>& credentials_file,
                         const std::optional<std::string>& key,
                         const std::optional<std::string>& secret,
                         const std::vector<std::string>& pairs) {
  if (key.has_value() != secret.has_value()) {
    throw std::invalid_argument("give both key and secret, or neither");
  }
  const std::optional<auth::Credentials> credentials =
      key ? auth::Credentials{*key, *secret} : auth::load_credentials(credentials_file);
  if (!credentials) {
    throw std::invalid_argument(
        "no credentials: give key and secret, a credentials file, or set BITMEX_API_KEY and "
        "BITMEX_API_SECRET");
  }
  auto connection = std::make_shared<Connection>();
  connection->client =
      std::make_unique<rest::RestClient>(rest::RestSettings{.base_url = exchange_url}, credentials);
  if (!pairs.empty()) {
    connection->feed = std::make_unique<feed::FeedClient>(
        feed::FeedSettings{.base_url = exchange_url, .pairs = pairs}, *credentials);
  }
  const std::shared_ptr<rest::LiveFeed> borrowed(connection, connection->feed.get());
  connection->table = rest::rest_components(
      *connection->client,
      {.log = std::make_shared<utils::SilentLog>(), .feed = connection->feed ? borrowed : nullptr});
  if (connection->feed) {
    const py::gil_scoped_release released;
    connection->feed->start();
    const auto deadline = std::chrono::steady_clock::now() + kFeedWait;
    while (!connection->feed->up() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  py::dict ready = ready_collaborators(connection->table, connection);
  ready["HouseLog"] = py::module_::import("stoploss").attr("Log")();
  return ready;
}

}  // namespace

void add_exchange_bindings(py::module_& module) {
  module.def("rest_components", &rest_components, py::arg("exchange_url"),
             py::arg("credentials_file") = py::none(), py::kw_only(), py::arg("key") = py::none(),
             py::arg("secret") = py::none(), py::arg("pairs") = std::vector<std::string>{},
             "The ready-made collaborators over the exchange's REST API as a dict by name, with "
             "a HouseLog over Python's logging; replace any of them before load(). With pairs, "
             "listings and instruments of those pairs come from the realtime feed while it is "
             "up. Credentials: key and secret, a file, or BITMEX_API_KEY and BITMEX_API_SECRET.");

  using sim::LoopbackExchange;
  py::class_<LoopbackExchange>(module, "EmbeddedExchange",
                               "The embedded exchange served on a loopback port (REST and "
                               "realtime feed), XBTUSD at 9000 and ETHUSD at 2000.")
      .def(py::init<>())
      .def_property_readonly("url", &LoopbackExchange::url)
      .def_property_readonly("key", [](const LoopbackExchange& e) { return e.credentials().key; })
      .def_property_readonly("secret",
                             [](const LoopbackExchange& e) { return e.credentials().secret; })
      .def(
          "set_price",
          [](LoopbackExchange& e, const std::string& pair, double price) {
            e.server().with_exchange([&](sim::SimExchange& x) { x.set_price(pair, price); });
          },
          py::arg("pair"), py::arg("price"), "Moves the pair's last price; stops may trigger.")
      .def(
          "stops",
          [](LoopbackExchange& e, const std::string& pair) {
            std::vector<double> stops;
            e.server().with_exchange([&](sim::SimExchange& x) { stops = x.stop_prices(pair); });
            return stops;
          },
          py::arg("pair"), "The stop prices of the pair's open stop orders.")
      .def(
          "open_position",
          [](LoopbackExchange& e, long long contracts, const std::string& pair) {
            sim::open_position(e.server(), pair, contracts);
          },
          py::arg("contracts"), py::arg("pair") = "XBTUSD",
          "Buys (negative: sells) contracts at market.");
}

}  // namespace stoploss_python
