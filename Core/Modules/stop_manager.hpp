#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Core/collaborators/record.hpp"

namespace Modules::StopLoss {

// The options of a stop request, in their documented order, with their defaults:
// Call("XBTUSD", 9000.5, {.Verification = true}).
struct CallOptions {
  std::optional<std::string> CLID{};  // link identifier of a new stop (clOrdLinkID); none: no link
  bool Verification = false;          // longer confirmation cycle and "Placed for" reports
  bool REPLACE = false;               // remove the pair's stops before anything else
  std::optional<stoploss::Value> Text{};  // text of a new stop; none: empty
  bool CleanStops = false;                // a price of 0 is then not a request to remove the stops
};

// The stop manager: the state kept between stop requests. One per host.
// Takes no lock: the host serialises the requests it sends to one manager.
class Aux {
 public:
  // Makes no exchange call. A pair listed twice gets one entry.
  explicit Aux(std::vector<std::string> PairLIST);

  // Makes sure one reduce-only stop for PAIR stands at Price rounded to the pair's step.
  // Price is a number or a text that reads as one; a price of 0 removes the pair's stops
  // unless options.CleanStops is set. Returns true when the stop stands (or the stops were
  // removed on request), false for a failure the manager reported through the log, and
  // nothing when the stop was not seen in the check cycle. Failures the manager does not
  // handle (a price that is not a finite number, an unusable exchange answer where none is
  // guarded) reach the caller; the module must be loaded first.
  std::optional<bool> Call(const std::string& PAIR, const stoploss::Value& Price,
                           const CallOptions& options = {});

  double API_REST_INTERVAL = 0.01;
  std::vector<std::string> PairLIST;
  // clOrdID of the last stop placed; "none" when a request ended true without placing one;
  // empty (unset) until either happens.
  std::optional<std::string> StopOrderclOrdID_Cache;
  // The last stop price recorded for a confirmed stop; the integer 0 at first.
  stoploss::Value LastSTOPRICE = 0;
  // Contract quantity of each pair's stops; 0 while not yet known.
  std::map<std::string, long long, std::less<>> SLCONTRACTS_List;
};

}  // namespace Modules::StopLoss
