#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Core/collaborators/record.hpp"

namespace sim {

// The messages of the exchange's realtime feed (/realtime), as the exchange words them.

// A subscription topic: "order:XBTUSD" or "order".
struct Topic {
  std::string table;
  std::optional<std::string> symbol{};
};
Topic read_topic(std::string_view topic);
// Whether `table` needs an authenticated connection.
bool is_private(std::string_view table);

stoploss::Value welcome_message(long long remaining);
// The replies to a command echo its request as it came, or an excerpt of its text when that is
// longer than kMostEchoed (exchange_errors.hpp): a reply never copies a large request.
// The answer to a command that succeeded: {"success":true, [what: topic,] "request":...}.
stoploss::Value success_message(const stoploss::Value& request, std::string_view what = {},
                                std::string_view topic = {});
stoploss::Value error_message(int status, std::string_view error, const stoploss::Value& request);
stoploss::Value help_message();
// A table's rows for one subscription; `prototype` is a full row of the table, to type its fields.
stoploss::Value partial_message(std::string_view table, stoploss::Value filter,
                                const stoploss::RecordList& rows, const stoploss::Value& prototype);
// An insert, update or delete of one row, or of a list of rows as they are.
stoploss::Value table_message(std::string_view table, std::string_view action,
                              const stoploss::Value& row);

}  // namespace sim
