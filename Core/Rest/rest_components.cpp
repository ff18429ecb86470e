#include "Core/Rest/rest_components.hpp"

#include <algorithm>
#include <map>

#include "Core/collaborators/Amend_bulk.hpp"
#include "Core/collaborators/Bitmex_Wrapper.hpp"
#include "Core/collaborators/Cancel_bulk.hpp"
#include "Core/collaborators/QuorCalls.hpp"
#include "Core/collaborators/RiskManager.hpp"
#include "Core/collaborators/failures.hpp"
#include "Core/utils/host_components.hpp"
#include "Core/utils/rounding.hpp"

namespace rest {
namespace {

using stoploss::RecordList;
using stoploss::Value;
using Clock = std::chrono::steady_clock;

// The size the exchange takes, with the side apart: |n| for any long long.
unsigned long long magnitude(long long n) {
  const auto bits = static_cast<unsigned long long>(n);
  return n < 0 ? 0 - bits : bits;
}

// Instrument records, fetched at most once per `ttl` for each pair.
class Instruments {
 public:
  Instruments(RestClient& client, std::chrono::milliseconds ttl) : client_(client), ttl_(ttl) {}

  const Value& of(const std::string& pair) {
    auto& entry = cache_[pair];
    if (entry.record.is_null() || Clock::now() - entry.fetched > ttl_) {
      const Value listing = client_.get("/instrument", {{"symbol", pair}});
      if (!listing.is_array() || listing.empty()) {
        throw stoploss::KeyError("the exchange lists no instrument " + pair);
      }
      entry = {listing.front(), Clock::now()};
    }
    return entry.record;
  }

 private:
  struct Entry {
    Value record;
    Clock::time_point fetched;
  };
  RestClient& client_;
  std::chrono::milliseconds ttl_;
  std::map<std::string, Entry, std::less<>> cache_;
};

class RestBitmex final : public stoploss::Bitmex_Wrapper {
 public:
  explicit RestBitmex(std::shared_ptr<Instruments> instruments)
      : instruments_(std::move(instruments)) {}
  Value ReturnTicker(const std::string& pair) override {
    return stoploss::field(instruments_->of(pair), "tickSize");
  }
  Value instrument(const std::string& pair) override { return instruments_->of(pair); }
  bool WS_Status() override { return true; }

 private:
  std::shared_ptr<Instruments> instruments_;
};

class RestRiskManager final : public stoploss::RiskManager {
 public:
  explicit RestRiskManager(std::shared_ptr<Instruments> instruments)
      : instruments_(std::move(instruments)) {}
  Value get_portfolio(const std::string& pair) override {
    const Value& listed = instruments_->of(pair);
    return {{"symbol", pair}, {"impactMidPrice", stoploss::field(listed, "impactMidPrice")}};
  }

 private:
  std::shared_ptr<Instruments> instruments_;
};

class RestQuorCalls final : public stoploss::QuorCalls {
 public:
  explicit RestQuorCalls(RestClient& client) : client_(client) {}
  Value toNearest(double price, double step) override {
    return utils::nearest_multiple(price, step);
  }
  void CLEAN_Stops(const std::string& pair) override {
    client_.send("DELETE", "/order/all", {{"symbol", pair}, {"filter", {{"ordType", "Stop"}}}});
  }
  Value open_orders(const std::string& pair, std::optional<bool> /*Force*/) override {
    return client_.get("/order",
                       {{"symbol", pair}, {"filter", R"({"open":true})"}, {"count", "500"}});
  }
  Value STOP_order(const std::string& pair, const Value& stopPx, long long orderQty,
                   const stoploss::StopOrderOptions& options) override {
    // The exchange takes a positive quantity and the side.
    Value order = {{"symbol", pair},
                   {"side", orderQty < 0 ? "Sell" : "Buy"},
                   {"orderQty", magnitude(orderQty)},
                   {"stopPx", stoploss::to_float(stopPx)},
                   {"ordType", "Stop"},
                   {"execInst", "LastPrice,ReduceOnly"},
                   {"text", options.Text}};
    if (options.clOrdLinkID) order["clOrdLinkID"] = *options.clOrdLinkID;
    return client_.send("POST", "/order", order);
  }

 private:
  RestClient& client_;
};

class RestAmendBulk final : public stoploss::Amend_bulk {
 public:
  explicit RestAmendBulk(RestClient& client) : client_(client) {}
  void orders(const std::string& /*pair*/, const RecordList& to_amend) override {
    for (const Value& amendment : to_amend) {
      client_.send(
          "PUT", "/order",
          {{"orderID", stoploss::field(amendment, "orderID")},
           {"stopPx", stoploss::to_float(stoploss::field(amendment, "stopPx"))},
           {"orderQty", magnitude(stoploss::to_int(stoploss::field(amendment, "orderQty")))}});
    }
  }

 private:
  RestClient& client_;
};

class RestCancelBulk final : public stoploss::Cancel_bulk {
 public:
  explicit RestCancelBulk(RestClient& client) : client_(client) {}
  void orders(const std::string& /*pair*/, RecordList& to_cancel, bool /*Quiet*/) override {
    Value ids = Value::array();
    for (const Value& entry : to_cancel) {
      const Value& id = stoploss::field(entry, "orderID");
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    const Value answer = client_.send("DELETE", "/order", {{"orderID", ids}});
    std::vector<Value> cancelled;
    for (const Value& order : stoploss::items(answer)) {
      if (order.is_object() && !order.contains("error") &&
          order.value("ordStatus", "") == "Canceled") {
        cancelled.push_back(stoploss::field(order, "orderID"));
      }
    }
    std::erase_if(to_cancel, [&cancelled](const Value& entry) {
      return std::find(cancelled.begin(), cancelled.end(), entry.at("orderID")) != cancelled.end();
    });
  }

 private:
  RestClient& client_;
};

}  // namespace

stoploss::ComponentTable rest_components(RestClient& client, const RestHostOptions& options) {
  auto instruments = std::make_shared<Instruments>(client, options.instrument_ttl);
  return stoploss::component_table(
      {.sleep = options.sleep ? options.sleep : std::make_shared<utils::RealSleep>(),
       .get_dir = std::make_shared<utils::InstallDir>(options.install_dir),
       .bitmex = std::make_shared<RestBitmex>(instruments),
       .house_log = options.log,
       .quor_calls = std::make_shared<RestQuorCalls>(client),
       .module_handler = std::make_shared<utils::Registry>(),
       .risk_manager = std::make_shared<RestRiskManager>(instruments),
       .amend_bulk = std::make_shared<RestAmendBulk>(client),
       .cancel_bulk = std::make_shared<RestCancelBulk>(client)});
}

}  // namespace rest
