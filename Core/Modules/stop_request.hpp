#pragma once

#include <optional>
#include <string>

#include "Core/Modules/bindings.hpp"
#include "Core/Modules/stop_manager.hpp"
#include "Core/collaborators/record.hpp"

namespace Modules::StopLoss {

// One stop request of a manager: its steps, in the order they run, over the request's
// working values. Lives for one request.
class StopRequest {
 public:
  StopRequest(Aux& manager, const Bindings& bound, const std::string& PAIR,
              const stoploss::Value& Price, const CallOptions& options);

  std::optional<bool> run();

 private:
  // The request ends here with `result`.
  struct Ending {
    std::optional<bool> result;
  };

  std::optional<Ending> take_request_price();
  void take_market_snapshot();

  Aux& manager_;
  const Bindings& bound_;
  const CallOptions& options_;

  const std::string& PAIR;
  stoploss::Value Price;
  std::string TEXT;
  stoploss::Value REQPRICE;
  double wanted_price_ = 0;  // REQPRICE as a floating-point number

  stoploss::Value Instrument;
  stoploss::RecordList Stop_OrdersHIT;
  stoploss::RecordList FoundBuy_stops;
  stoploss::RecordList FoundSell_Stops;
  stoploss::RecordList to_amend;
  stoploss::RecordList to_cancel;
  stoploss::Value orders;
  double Midprice = 0;
  std::string SIDE;
  long long Quantity = 0;
};

}  // namespace Modules::StopLoss
