#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace stoploss {

// An exchange record keyed by the exchange's field names, or any value found in one.
using Value = nlohmann::json;
// A list of records; the bulk collaborators receive the request's own list.
using RecordList = Value::array_t;

// How deeply lists and records may nest in a document read from outside. The exchange sends
// two or three levels; anything far deeper is refused before it can exhaust the stack of
// whatever walks it later.
constexpr int kMaxJsonDepth = 64;

// Reads a JSON document from outside (an exchange answer, an error body, a file). Throws
// ValueError for a text that is not JSON, nests deeper than kMaxJsonDepth or holds a number
// out of range. Never recurses: any input is safe to read.
Value parse_json(std::string_view text);

// At most the first `limit` characters of `text`, marked when cut: a bad field is echoed in
// a failure's text without copying all of it.
std::string excerpt(std::string_view text, std::size_t limit = 60);

// Text form: a text as it is; an integer as digits; a floating-point number in its
// shortest round-trip form ("9000.5", "9000.0", "1e+16"); "nan", "inf", "-inf";
// "True", "False" and "None"; records and lists as compact JSON.
std::string to_text(const Value& value);
std::string to_text(double number);

// Whether the text form of `value` contains `needle`. Allocates nothing for a text.
bool text_contains(const Value& value, std::string_view needle);

// A number, or a text that reads wholly as a decimal number (blanks around it allowed).
// Throws TypeError for any other kind of value, ValueError for a text that does not read.
double to_float(const Value& value);

// A number cut toward zero, or a text of an optional sign and digits.
// Throws TypeError for any other kind of value, ValueError for a text that does not read
// or a number out of range.
long long to_int(const Value& value);

// Truth value: null, false, zero, the empty text, list and record are false.
bool truthy(const Value& value);

// The field `key` of `record`. Throws KeyError when it is missing and TypeError when
// `record` is not a record.
const Value& field(const Value& record, std::string_view key);

// The elements of a list. Throws TypeError when `value` is not a list.
const RecordList& items(const Value& value);

// Ordering is defined between numbers only: anything else throws TypeError.
bool greater(const Value& a, const Value& b);
bool less(const Value& a, const Value& b);
// Equality: numbers by value (100 equals 100.0; integers exactly, whatever their sign type;
// NaN equals nothing), everything else as Value compares it ("100" equals no number).
bool equal(const Value& a, const Value& b);

}  // namespace stoploss
