#pragma once

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

// The public market data routes, from the embedded market's tape, quote and book
// (SimExchange::tape, order_book): each answers from the request's fields.

// GET /orderBook/L2: `symbol` (required) and `depth` (25 by default, 0 for all).
stoploss::Value order_book(SimExchange& exchange, const stoploss::Value& fields);
// GET /trade: the tape, as a listing.
stoploss::Value trades(SimExchange& exchange, const stoploss::Value& fields);
// GET /trade/bucketed: `binSize` 1m, 5m, 1h or 1d, `partial` for the bucket not yet ended.
stoploss::Value trade_buckets(SimExchange& exchange, const stoploss::Value& fields);
// GET /quote: each contract's best bid and ask now.
stoploss::Value quotes(SimExchange& exchange, const stoploss::Value& fields);

}  // namespace sim
