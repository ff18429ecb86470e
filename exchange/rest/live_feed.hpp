#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "Core/collaborators/record.hpp"

namespace rest {

// What the REST collaborators read from the exchange's realtime feed when the host has one
// (exchange/feed's FeedClient): listings and instruments without a request, and the answers of
// their own writes handed back so that the feed shows them at once. Thread-safe.
class LiveFeed {
 public:
  virtual ~LiveFeed() = default;

  // Whether the feed can be trusted now: connected, authenticated, holding every partial and
  // heard from recently. When it is not, the collaborators ask REST.
  virtual bool up() const = 0;
  // The pair's open orders in the exchange's order (null when the feed holds none).
  virtual std::shared_ptr<const stoploss::RecordList> open_orders(std::string_view pair) const = 0;
  // The pair's instrument record, or null.
  virtual std::shared_ptr<const stoploss::Value> instrument(std::string_view pair) const = 0;
  // An order record a REST write answered; never makes an older state win.
  virtual bool apply(const stoploss::Value& order_record) = 0;
  // The feed disagrees with the exchange (`why` says how): it must be down from now until it
  // holds fresh partials of every table.
  virtual void resubscribe(std::string why) = 0;
};

}  // namespace rest
