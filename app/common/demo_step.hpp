#pragma once

#include <optional>
#include <string>
#include <vector>

namespace app {

// What one step of the demo did, its stop request if it made one, and what the exchange's book
// held afterwards.
struct DemoStep {
  int step = 0;
  double price = 0;            // the pair's last price when the request was made
  bool requested = true;       // false when the move left the position flat: nothing was asked
  double wanted = 0;           // the stop price asked for (before rounding to the tick)
  double rounded = 0;          // the wanted price on the tick, as the book should hold it
  std::optional<bool> result;  // true, false or nothing
  std::string failure;         // the failure's text when the request threw, else empty
  int exchange_calls = 0;      // calls the module made to the exchange collaborators
  std::vector<double> stops;   // stop prices of the pair's open stops afterwards
  double module_seconds = 0;   // the module's own time, collaborators excluded
  int faults = 0;              // faults the exchange injected during the request
  // The position protected: contracts held once the price moved (positive long), its average
  // entry price (nothing when flat), the stops the move triggered and, when one of them closed
  // the position, the price it closed at and the profit it realised (XBt).
  long long position = 0;
  std::optional<double> entry;
  int triggered = 0;
  std::optional<double> closed_at;
  double realised = 0;
  bool holds() const;  // exactly one stop, at `rounded`
};

}  // namespace app
