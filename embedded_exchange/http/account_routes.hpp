#pragma once

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

// The account's REST routes beyond its orders and margin: its trades, its user, fees and wallet
// history, funding, and the terms of its positions. Each answers from the request's fields.

// GET /execution and /execution/tradeHistory: the account's trades, as a listing.
stoploss::Value executions(SimExchange& exchange, const stoploss::Value& fields);
stoploss::Value user(SimExchange& exchange, const stoploss::Value& fields);
// GET /user/commission: each contract's maker and taker fee.
stoploss::Value commission(SimExchange& exchange, const stoploss::Value& fields);
// GET /user/walletHistory: the deposit the account starts with (nothing is ever settled).
stoploss::Value wallet_history(SimExchange& exchange, const stoploss::Value& fields);
// GET /funding: none is ever charged, so the listing is empty.
stoploss::Value funding(SimExchange& exchange, const stoploss::Value& fields);

// POST /position/leverage (0 for cross margin, else up to 1 / the contract's initMargin),
// /position/isolate (`enabled`, false for cross margin), /position/riskLimit and
// /position/transferMargin (`amount`, to an isolated position): the position record after the
// change.
stoploss::Value leverage(SimExchange& exchange, const stoploss::Value& fields);
stoploss::Value isolate(SimExchange& exchange, const stoploss::Value& fields);
stoploss::Value risk_limit(SimExchange& exchange, const stoploss::Value& fields);
stoploss::Value transfer_margin(SimExchange& exchange, const stoploss::Value& fields);

}  // namespace sim
