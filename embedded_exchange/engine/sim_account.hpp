#pragma once

#include <string>
#include <string_view>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/engine/sim_exchange.hpp"

namespace sim {

// The account of SimExchange as GET /user/margin, /user/wallet and /position answer it. Every
// contract listed settles in XBt; the account also holds an empty USDt wallet. Amounts are in the
// currency's smallest unit. The wallet is the deposit plus the realised profit (nothing is ever
// settled or withdrawn); positions hold their value at their leverage (and what was moved to an
// isolated one), open orders that can add to a position hold their value at that position's.

// The currencies the account holds: "XBt" and "USDt".
bool holds_currency(std::string_view currency);
stoploss::Value margin_record(const SimExchange& exchange, std::string_view currency,
                              const std::string& timestamp);
stoploss::Value wallet_record(const SimExchange& exchange, std::string_view currency,
                              const std::string& timestamp);
// One record per contract the account has traded.
stoploss::RecordList position_records(const SimExchange& exchange, const std::string& timestamp);

// GET /wallet/assets: the assets the exchange carries, as a client reads them to learn their units.
stoploss::Value asset_records();

}  // namespace sim
