#pragma once

#include <span>
#include <string_view>

#include "Core/collaborators/record.hpp"

namespace sim {

// The tables of the realtime feed that the embedded exchange serves, and how a change of one
// of their rows reads on the feed.

// Whether the feed serves `table`: the account's "order", "position", "execution" and "margin";
// the market's "instrument", "quote", "trade", "tradeBin1m", "orderBookL2" and "orderBookL2_25".
bool is_table(std::string_view table);
// The fields that name a row of `table`; none for a table whose rows are only ever inserted
// ("quote", "trade", "tradeBin1m").
std::span<const std::string_view> table_keys(std::string_view table);

// The update the feed sends for a row that went from `before` to `after`: the keys, symbol,
// account and timestamp, and every field whose value changed; nothing (null) when no field did.
stoploss::Value changed_fields(std::string_view table, const stoploss::Value& before,
                               const stoploss::Value& after);

// The feed's type names of a row's fields ("guid", "symbol", "timestamp", "long", "float",
// "boolean"), as a partial lists them.
stoploss::Value field_types(const stoploss::Value& row);

}  // namespace sim
