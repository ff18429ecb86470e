#include "embedded_exchange/engine/market_data.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "embedded_exchange/engine/position.hpp"

namespace sim {

using stoploss::Value;

Value trade_record(const SimInstrument& contract, std::string_view side, long long size,
                   double price, std::string_view tickDirection, const std::string& trdMatchID,
                   const std::string& timestamp) {
  const double value = std::abs(contract_value(contract, size, price));
  return {{"timestamp", timestamp},
          {"symbol", contract.symbol},
          {"side", side},
          {"size", size},
          {"price", price},
          {"tickDirection", tickDirection},
          {"trdMatchID", trdMatchID},
          {"grossValue", std::llround(value)},
          {"trdType", "Regular"}};
}

stoploss::RecordList trade_buckets(const std::deque<PublicTrade>& trades, std::chrono::seconds bin,
                                   bool partial, const SimClock& clock) {
  const double seconds = static_cast<double>(bin.count());
  const double now = clock.now();
  // By symbol, then by the bucket's end.
  std::map<std::pair<std::string, double>, Value> buckets;
  for (const PublicTrade& trade : trades) {
    const double end = (std::floor(trade.at / seconds) + 1) * seconds;
    if (!partial && end > now) continue;
    const Value& t = trade.record;
    const double price = t["price"].get<double>();
    const long long size = t["size"].get<long long>();
    Value& bucket = buckets[{t["symbol"].get<std::string>(), end}];
    if (bucket.is_null()) {
      bucket = {{"timestamp", clock.timestamp(end)},
                {"symbol", t["symbol"]},
                {"open", price},
                {"high", price},
                {"low", price},
                {"trades", 0},
                {"volume", 0},
                {"turnover", 0},
                {"priced", 0.0}};
    }
    bucket["high"] = std::max(bucket["high"].get<double>(), price);
    bucket["low"] = std::min(bucket["low"].get<double>(), price);
    bucket["close"] = price;
    bucket["lastSize"] = size;
    bucket["trades"] = bucket["trades"].get<long long>() + 1;
    bucket["volume"] = bucket["volume"].get<long long>() + size;
    bucket["turnover"] = bucket["turnover"].get<long long>() + t["grossValue"].get<long long>();
    bucket["priced"] = bucket["priced"].get<double>() + price * static_cast<double>(size);
  }
  stoploss::RecordList listed;
  for (auto& [key, bucket] : buckets) {
    bucket["vwap"] = bucket["priced"].get<double>() / bucket["volume"].get<double>();
    bucket.erase("priced");
    listed.push_back(std::move(bucket));
  }
  std::ranges::stable_sort(listed, {},
                           [](const Value& b) { return b["timestamp"].get<std::string>(); });
  return listed;
}

Value quote_record(const SimInstrument& contract, const std::string& timestamp) {
  const long long size = contract.lotSize * 10;
  return {{"timestamp", timestamp},
          {"symbol", contract.symbol},
          {"bidSize", size},
          {"bidPrice", contract.lastPrice - contract.tickSize},
          {"askPrice", contract.lastPrice + contract.tickSize},
          {"askSize", size}};
}

Value book_level(const SimInstrument& contract, int contract_number, std::string_view side,
                 double price, long long size, const std::string& timestamp) {
  return {{"symbol", contract.symbol},
          {"id", 100000000LL * (contract_number + 1) - std::llround(price / contract.tickSize)},
          {"side", side},
          {"size", size},
          {"price", price},
          {"timestamp", timestamp}};
}

namespace {

// Takes the last row out of `rows`: a list of it, empty when there was none.
Value last_of(Value& rows) {
  Value last = Value::array();
  if (rows.empty()) return last;
  last.push_back(std::move(rows.back()));
  rows.erase(rows.size() - 1);
  return last;
}

}  // namespace

std::vector<BookMessage> book_changes(const stoploss::RecordList& before,
                                      const stoploss::RecordList& after) {
  const auto key = [](const Value& level) {
    return std::pair(level["id"].get<long long>(), level["side"].get<std::string>());
  };
  // The lowest ask, or 0 without one.
  const auto best_ask = [](const stoploss::RecordList& levels) {
    double best = 0;
    for (const Value& level : levels) {
      if (level["side"] == "Sell") best = level["price"].get<double>();  // asks come highest first
    }
    return best;
  };
  const bool up = best_ask(after) >= best_ask(before);
  std::vector<BookMessage> messages;
  for (const std::string_view side : {up ? "Sell" : "Buy", up ? "Buy" : "Sell"}) {
    std::map<std::pair<long long, std::string>, const Value*> was;
    for (const Value& level : before) {
      if (level["side"] == side) was.emplace(key(level), &level);
    }
    Value inserted = Value::array(), updated = Value::array(), deleted = Value::array();
    for (const Value& level : after) {
      if (level["side"] != side) continue;
      const auto found = was.find(key(level));
      if (found == was.end()) {
        inserted.push_back(level);
        continue;
      }
      if ((*found->second)["size"] != level["size"]) updated.push_back(level);
      was.erase(found);
    }
    for (const auto& [id, level] : was) {
      deleted.push_back({{"symbol", (*level)["symbol"]},
                         {"id", (*level)["id"]},
                         {"side", (*level)["side"]},
                         {"price", (*level)["price"]}});
    }
    const auto send = [&](std::string_view action, Value& rows) {
      if (!rows.empty()) messages.push_back({action, std::move(rows)});
    };
    Value last_gone = last_of(deleted), last_new = last_of(inserted);
    send("delete", deleted);
    send("insert", inserted);
    send("update", updated);
    send("delete", last_gone);
    send("insert", last_new);
  }
  return messages;
}

}  // namespace sim
