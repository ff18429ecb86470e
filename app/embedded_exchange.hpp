#pragma once

#include <memory>
#include <string>

#include "Core/auth/credentials.hpp"
#include "Core/sim/sim_server.hpp"

namespace app {

// The embedded exchange served on a loopback port for one run, as the commands start it when no
// --exchange is given: XBTUSD at 9000 and ETHUSD at 2000, with credentials made up for the run.
class EmbeddedExchange {
 public:
  EmbeddedExchange();
  EmbeddedExchange(const EmbeddedExchange&) = delete;
  EmbeddedExchange& operator=(const EmbeddedExchange&) = delete;

  const std::string& url() const { return url_; }
  const auth::Credentials& credentials() const { return credentials_; }
  sim::SimServer& server() { return *server_; }

 private:
  sim::SimExchange exchange_;
  auth::Credentials credentials_;
  std::unique_ptr<sim::SimServer> server_;
  std::string url_;
};

// A market order of `contracts` (negative sells), as any client would send it.
void open_position(sim::SimServer& server, const std::string& pair, long long contracts);

}  // namespace app
