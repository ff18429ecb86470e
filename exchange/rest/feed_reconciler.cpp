#include "exchange/rest/feed_reconciler.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <set>

namespace rest {
namespace {

using stoploss::Value;

// 8800 and 8800.0 alike, as either side may write a number.
std::string text_of(const Value& value) {
  return value.is_number() ? fmt::format("{}", value.get<double>()) : value.dump();
}

// How an open order reads on either side: its ID, stop price and size; nothing once closed.
std::optional<std::string> shown(const Value& order) {
  if (!order.is_object() || !order.contains("orderID")) return std::nullopt;
  // Statuses after which an order never works again (the feed's tables drop such rows).
  const Value status = order.value("ordStatus", Value());
  if (status == "Filled" || status == "Canceled" || status == "Rejected") return std::nullopt;
  return text_of(order.at("orderID")) + " at " + text_of(order.value("stopPx", Value())) + " x" +
         text_of(order.value("orderQty", Value()));
}

std::set<std::string> shown_all(const stoploss::RecordList& orders) {
  std::set<std::string> all;
  for (const Value& order : orders) {
    if (auto text = shown(order)) all.insert(std::move(*text));
  }
  return all;
}

// The entries of `side` that `other` lacks, as "a, b", or "none".
std::string only_in(const std::set<std::string>& side, const std::set<std::string>& other) {
  std::string text;
  for (const std::string& entry : side) {
    if (!other.contains(entry)) text += (text.empty() ? "" : ", ") + entry;
  }
  return text.empty() ? "none" : text;
}

}  // namespace

FeedReconciler::FeedReconciler(std::shared_ptr<LiveFeed> feed,
                               std::shared_ptr<stoploss::HouseLog> log,
                               std::chrono::milliseconds every, SteadyClock clock)
    : feed_(std::move(feed)),
      log_(std::move(log)),
      every_(every),
      clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      started_(clock_()) {}

bool FeedReconciler::due(std::string_view pair) const {
  const auto next = next_.find(pair);
  return clock_() >= (next == next_.end() ? started_ + every_ : next->second);
}

void FeedReconciler::compare(const std::string& pair, const Value& listing,
                             const std::shared_ptr<const stoploss::RecordList>& before) {
  next_[pair] = clock_() + every_;
  if (!listing.is_array()) return;  // the module sees it refused as it came
  const auto exchange = shown_all(stoploss::items(listing));
  if (shown_all(*before) == exchange) return;
  const auto after = feed_->open_orders(pair);
  if (!after) return;  // down meanwhile: nothing more is read from it
  const auto feed = shown_all(*after);
  if (feed == exchange) return;
  const std::string why =
      "the feed's open orders of " + pair + " differ from the exchange's: only in the feed " +
      only_in(feed, exchange) + "; only on the exchange " + only_in(exchange, feed);
  log_->info_warn(why + "; listings over REST until the feed is subscribed afresh", {});
  feed_->resubscribe(why);
}

void FeedReconciler::check_written(const Value& order) {
  const auto symbol = order.find("symbol");
  if (symbol == order.end() || !symbol->is_string() || !order.contains("orderID")) return;
  const std::string& pair = symbol->get_ref<const std::string&>();
  const auto rows = feed_->open_orders(pair);
  if (!rows) return;
  const auto row = std::find_if(rows->begin(), rows->end(), [&order](const Value& held) {
    return held.value("orderID", Value()) == order.at("orderID");
  });
  const auto held = row == rows->end() ? std::nullopt : shown(*row);
  if (held != shown(order)) next_[pair] = clock_();
}

}  // namespace rest
