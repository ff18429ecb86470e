#pragma once

#include <memory>
#include <string>

#include "Core/collaborators/HouseLog.hpp"
#include "Core/collaborators/component_table.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

struct SimHostOptions {
  std::string install_dir = "/opt/bot";
  std::shared_ptr<stoploss::HouseLog> log{};  // where the module's log goes (required)
  bool real_pauses = false;                   // wait for pauses instead of simulating them
};

// Every collaborator of the module over `exchange` as a host over the real exchange has them: the
// REST collaborators (rest_components) over a client whose requests the exchange's REST service
// answers in this process (in_process_transport.hpp: the exchange's FaultSettings drawn for each
// try, tries repeated as over the network) and, when the FaultSettings let the feed go down, a
// live feed that shows the exchange's own book and instruments while it is up. Pauses, the
// client's waits between tries included, move the exchange's clock on (or are waited, with
// real_pauses). The time spent in requests, pauses and the log is added to exchange.busy().
// `exchange` must outlive it.
class InProcessHost {
 public:
  InProcessHost(SimExchange& exchange, SimHostOptions options);
  ~InProcessHost();
  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  // The collaborators, to load the module with; they need this host to live.
  stoploss::ComponentTable& components();

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace sim
