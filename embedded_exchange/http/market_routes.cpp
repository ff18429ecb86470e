#include "embedded_exchange/http/market_routes.hpp"

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include "embedded_exchange/engine/market_data.hpp"
#include "embedded_exchange/http/request_fields.hpp"

namespace sim {

using stoploss::Value;

Value order_book(SimExchange& exchange, const Value& fields) {
  const std::optional<std::string> symbol = field_text(fields, "symbol");
  if (!symbol) throw BadRequest("symbol must be sent");
  int depth = 25;
  if (const std::optional<std::string> given = field_text(fields, "depth")) {
    try {
      depth = static_cast<int>(stoploss::to_int(Value(*given)));
    } catch (const std::exception&) {
      depth = -1;  // refused below
    }
    if (depth < 0 || depth > 10000) throw BadRequest("depth is invalid");
  }
  return exchange.order_book(*symbol, depth);
}

Value trades(SimExchange& exchange, const Value& fields) {
  stoploss::RecordList tape;
  for (const PublicTrade& trade : exchange.tape()) tape.push_back(trade.record);
  return listing(std::move(tape), fields);
}

Value trade_buckets(SimExchange& exchange, const Value& fields) {
  using std::chrono::seconds;
  constexpr std::array<std::pair<std::string_view, seconds>, 4> kBins{
      {{"1m", seconds(60)}, {"5m", seconds(300)}, {"1h", seconds(3600)}, {"1d", seconds(86400)}}};
  const std::string size = field_text(fields, "binSize").value_or("");
  const auto bin = std::ranges::find(kBins, size, &std::pair<std::string_view, seconds>::first);
  if (bin == kBins.end()) throw BadRequest("binSize is invalid");
  return listing(sim::trade_buckets(exchange.tape(), bin->second, flag_of(fields, "partial", false),
                                    exchange.clock()),
                 fields);
}

Value quotes(SimExchange& exchange, const Value& fields) {
  stoploss::RecordList listed;
  for (const auto& [symbol, contract] : exchange.instruments()) {
    listed.push_back(quote_record(contract, exchange.clock().timestamp()));
  }
  return listing(std::move(listed), fields);
}

}  // namespace sim
