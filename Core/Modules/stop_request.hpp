#pragma once

#include <optional>
#include <string>
#include <vector>

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

  // How a choice among stops is made: the entry whose stopPx is `better` than the best
  // so far, starting from `start`; of equal prices the earliest.
  struct Choice {
    long long start;
    bool (*better)(const stoploss::Value&, const stoploss::Value&);
  };

  // The log texts of a failed bulk call: the exchange's "Invalid ordStatus", another HTTP
  // failure, any other failure.
  struct BulkFailureTexts {
    const char* invalid_status;
    const char* other_http;
    const char* other;
    const char* console_line;  // written before the "Invalid ordStatus" warning, if any
  };

  // How a bulk call ended: it returned, it failed, or it met the stop-order limit and the
  // pair's stops were removed.
  enum class BulkOutcome { kSent, kFailed, kStopsRemoved };

  std::optional<Ending> take_request_price();
  void take_market_snapshot();
  void scan_stops();
  bool is_matching_stop(const stoploss::Value& order) const;
  void sort_matching_stop(const stoploss::Value& order);
  std::optional<Ending> keep_placed_stop();
  void plan_amendments();
  void plan_amendment(const char* block, const stoploss::RecordList& stops, const Choice& choice);
  std::optional<Ending> submit_plan();
  bool placement_gate_open() const;
  std::optional<Ending> place_stop();
  void handle_placement_failure(const std::exception& failure);
  std::optional<bool> verify();
  bool listing_shows_stop();

  BulkOutcome cancel_in_bulk(const BulkFailureTexts& texts);
  BulkOutcome handle_bulk_failure(const std::exception& failure, const BulkFailureTexts& texts);
  stoploss::Value stop_record(const stoploss::Value& source) const;
  stoploss::Value amend_record(const stoploss::Value& source) const;
  stoploss::Value order_record(const stoploss::Value& orderID, stoploss::Value stopPx,
                               stoploss::Value orderQty) const;
  void warn(const char* message_template, const char* failure_text);

  Aux& manager_;
  const Bindings& bound_;
  const CallOptions& options_;

  const std::string& PAIR;
  const stoploss::Value& Price;
  std::string TEXT;
  stoploss::Value REQPRICE;
  double wanted_price_ = 0;  // REQPRICE as a floating-point number

  stoploss::Value Instrument;
  // The first matching stop at the wanted price: the record itself, within `orders`, which
  // stays until the verification cycle lists anew.
  std::vector<const stoploss::Value*> Stop_OrdersHIT;
  stoploss::RecordList FoundBuy_stops;
  stoploss::RecordList FoundSell_Stops;
  stoploss::RecordList to_amend;
  stoploss::RecordList to_cancel;
  stoploss::Value orders;
  double Midprice = 0;
  long long contracts_ = 0;  // the pair's stop size for this request
  std::string SIDE;
  long long Quantity = 0;
};

}  // namespace Modules::StopLoss
