#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Core/collaborators/record.hpp"
#include "embedded_exchange/http/http_listener.hpp"

namespace sim {

// A request the exchange would not take as it is written; answered 400 ValidationError.
class BadRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The request's fields: the query's parameters, then the body's, a JSON object or a form
// (application/x-www-form-urlencoded), whose values are texts. The symbol in capitals.
stoploss::Value request_fields(const HttpRequest& req);

// A field as text (a number as its JSON text); nullopt when absent or null.
std::optional<std::string> field_text(const stoploss::Value& fields, std::string_view key);
// `filter`: an object of field values, sent as JSON or the JSON text of one; empty when absent.
stoploss::Value filter_of(const stoploss::Value& fields);
// `count` (1 to 500, 100 when absent), `reverse` (newest first), `start` (rows skipped).
int count_of(const stoploss::Value& fields);
bool reverse_of(const stoploss::Value& fields);
// A yes-or-no field (true, false, 1 or 0, as JSON, a form or a query gives it); `absent` when it
// is absent or null; a BadRequest for any other value.
bool flag_of(const stoploss::Value& fields, std::string_view key, bool absent);
std::size_t start_of(const stoploss::Value& fields);
// An id list as a JSON list, the JSON text of one, or comma-separated text.
std::vector<std::string> ids_of(const stoploss::Value& fields, std::string_view key);

// The records as GET answers them: those of the query's symbol, filter and time span
// (startTime, endTime on their timestamp), newest first with reverse, `start` rows skipped,
// `count` of them, and only the `columns` named (with symbol and timestamp) when named.
stoploss::Value listing(stoploss::RecordList records, const stoploss::Value& fields);

}  // namespace sim
