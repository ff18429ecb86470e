#include "exchange/rest/rest_components.hpp"

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

// The exchange as the collaborators reach it: REST, and the live feed when there is one and
// it is up.
struct Exchange {
  RestClient& client;
  std::shared_ptr<LiveFeed> feed;
  std::shared_ptr<FeedReconciler> reconciler;  // with the feed

  bool feed_up() const { return feed && feed->up(); }

  // POST, PUT or DELETE; the orders the exchange answers go to the feed at once, so that a
  // listing from it shows them before the feed's own message of them arrives.
  Value write(std::string_view verb, std::string_view path, const Value& body) const {
    Value answer = client.send(verb, path, body);
    if (!feed) return answer;
    const auto applied = [this](const Value& order) {
      feed->apply(order);
      reconciler->check_written(order);
    };
    if (answer.is_object()) applied(answer);
    if (answer.is_array()) {
      for (const Value& order : answer) {
        if (order.is_object() && !order.contains("error")) applied(order);
      }
    }
    return answer;
  }
};

// Instrument records: from the live feed while it is up, otherwise over REST at most once per
// `ttl` for each pair.
class Instruments {
 public:
  Instruments(std::shared_ptr<const Exchange> exchange, std::chrono::milliseconds ttl)
      : exchange_(std::move(exchange)), ttl_(ttl) {}

  std::shared_ptr<const Value> of(const std::string& pair) {
    if (exchange_->feed_up()) {
      if (auto live = exchange_->feed->instrument(pair)) return live;
    }
    auto& entry = cache_[pair];
    if (!entry.record || Clock::now() - entry.fetched > ttl_) {
      const Value listing = exchange_->client.get("/instrument", {{"symbol", pair}});
      if (!listing.is_array() || listing.empty()) {
        throw stoploss::KeyError("the exchange lists no instrument " + pair);
      }
      entry = {std::make_shared<const Value>(listing.front()), Clock::now()};
    }
    return entry.record;
  }

 private:
  struct Entry {
    std::shared_ptr<const Value> record;
    Clock::time_point fetched;
  };
  std::shared_ptr<const Exchange> exchange_;
  std::chrono::milliseconds ttl_;
  std::map<std::string, Entry, std::less<>> cache_;
};

class RestBitmex final : public stoploss::Bitmex_Wrapper {
 public:
  RestBitmex(std::shared_ptr<const Exchange> exchange, std::shared_ptr<Instruments> instruments)
      : exchange_(std::move(exchange)), instruments_(std::move(instruments)) {}
  Value ReturnTicker(const std::string& pair) override {
    return stoploss::field(*instruments_->of(pair), "tickSize");
  }
  Value instrument(const std::string& pair) override { return *instruments_->of(pair); }
  // Without a feed the listings come straight from REST: nothing to wait for.
  bool WS_Status() override { return !exchange_->feed || exchange_->feed->up(); }

 private:
  std::shared_ptr<const Exchange> exchange_;
  std::shared_ptr<Instruments> instruments_;
};

class RestRiskManager final : public stoploss::RiskManager {
 public:
  explicit RestRiskManager(std::shared_ptr<Instruments> instruments)
      : instruments_(std::move(instruments)) {}
  Value get_portfolio(const std::string& pair) override {
    const auto listed = instruments_->of(pair);
    return {{"symbol", pair}, {"impactMidPrice", stoploss::field(*listed, "impactMidPrice")}};
  }

 private:
  std::shared_ptr<Instruments> instruments_;
};

class RestQuorCalls final : public stoploss::QuorCalls {
 public:
  explicit RestQuorCalls(std::shared_ptr<const Exchange> exchange)
      : exchange_(std::move(exchange)) {}
  Value toNearest(double price, double step) override {
    return utils::nearest_multiple(price, step);
  }
  void CLEAN_Stops(const std::string& pair) override {
    exchange_->write("DELETE", "/order/all", {{"symbol", pair}, {"filter", {{"ordType", "Stop"}}}});
  }
  // From the feed while it is up, unless forced or due to be compared with the exchange; a
  // feed that is down or in doubt never shows a stop that is not there: the listing then comes
  // from REST. A REST listing made while the feed is up is compared with it.
  Value open_orders(const std::string& pair, std::optional<bool> Force) override {
    const auto shown = exchange_->feed_up() ? exchange_->feed->open_orders(pair) : nullptr;
    if (shown && !Force.value_or(false) && !exchange_->reconciler->due(pair)) return Value(*shown);
    Value listing = exchange_->client.get(
        "/order", {{"symbol", pair}, {"filter", R"({"open":true})"}, {"count", "500"}});
    if (shown) exchange_->reconciler->compare(pair, listing, shown);
    return listing;
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
    return exchange_->write("POST", "/order", order);
  }

 private:
  std::shared_ptr<const Exchange> exchange_;
};

class RestAmendBulk final : public stoploss::Amend_bulk {
 public:
  explicit RestAmendBulk(std::shared_ptr<const Exchange> exchange)
      : exchange_(std::move(exchange)) {}
  void orders(const std::string& /*pair*/, const RecordList& to_amend) override {
    const RestClient::CallDeadline call(exchange_->client);  // every PUT within one deadline
    for (const Value& amendment : to_amend) {
      exchange_->write(
          "PUT", "/order",
          {{"orderID", stoploss::field(amendment, "orderID")},
           {"stopPx", stoploss::to_float(stoploss::field(amendment, "stopPx"))},
           {"orderQty", magnitude(stoploss::to_int(stoploss::field(amendment, "orderQty")))}});
    }
  }

 private:
  std::shared_ptr<const Exchange> exchange_;
};

class RestCancelBulk final : public stoploss::Cancel_bulk {
 public:
  explicit RestCancelBulk(std::shared_ptr<const Exchange> exchange)
      : exchange_(std::move(exchange)) {}
  void orders(const std::string& /*pair*/, RecordList& to_cancel, bool /*Quiet*/) override {
    Value ids = Value::array();
    for (const Value& entry : to_cancel) {
      const Value& id = stoploss::field(entry, "orderID");
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    const Value answer = exchange_->write("DELETE", "/order", {{"orderID", ids}});
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
  std::shared_ptr<const Exchange> exchange_;
};

}  // namespace

stoploss::ComponentTable rest_components(RestClient& client, const RestHostOptions& options) {
  const auto exchange = std::make_shared<const Exchange>(
      Exchange{client, options.feed,
               options.feed ? std::make_shared<FeedReconciler>(
                                  options.feed, options.log, options.reconcile_every, options.clock)
                            : nullptr});
  auto instruments = std::make_shared<Instruments>(exchange, options.instrument_ttl);
  return stoploss::component_table(
      {.sleep = options.sleep ? options.sleep : std::make_shared<utils::RealSleep>(),
       .get_dir = std::make_shared<utils::InstallDir>(options.install_dir),
       .bitmex = std::make_shared<RestBitmex>(exchange, instruments),
       .house_log = options.log,
       .quor_calls = std::make_shared<RestQuorCalls>(exchange),
       .module_handler = std::make_shared<utils::Registry>(),
       .risk_manager = std::make_shared<RestRiskManager>(instruments),
       .amend_bulk = std::make_shared<RestAmendBulk>(exchange),
       .cancel_bulk = std::make_shared<RestCancelBulk>(exchange)});
}

}  // namespace rest
