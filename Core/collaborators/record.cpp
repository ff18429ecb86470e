#include "record.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <compare>
#include <limits>

#include "failures.hpp"

namespace stoploss {
namespace {

std::string_view kind_name(const Value& value) { return value.type_name(); }

std::string_view trim_blanks(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\f\v";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal number: sign, digits with at most one point (at least one digit), and an
// optional exponent. Rejects "nan", "inf" and hexadecimal forms that from_chars would take.
bool reads_as_decimal(std::string_view text) {
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t exponent_start = i;
    while (i < text.size() && is_digit(text[i])) ++i;
    if (i == exponent_start) return false;
  }
  return i == text.size();
}

double text_to_float(const std::string& original) {
  std::string_view text = trim_blanks(original);
  if (!reads_as_decimal(text)) {
    throw ValueError("could not convert text to a number: '" + excerpt(original) + "'");
  }
  if (text.front() == '+') text.remove_prefix(1);
  double number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc{} || end != text.data() + text.size() || !std::isfinite(number)) {
    throw ValueError("number out of range: '" + excerpt(original) + "'");
  }
  return number;
}

long long text_to_int(const std::string& text) {
  std::string_view digits = text;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '+' || negative)) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), is_digit)) {
    throw ValueError("could not convert text to an integer: '" + excerpt(text) + "'");
  }
  const std::string_view signed_digits = negative ? std::string_view(text) : digits;
  long long number = 0;
  const auto result =
      std::from_chars(signed_digits.data(), signed_digits.data() + signed_digits.size(), number);
  if (result.ec != std::errc{}) throw ValueError("integer out of range: '" + excerpt(text) + "'");
  return number;
}

// Whether arrays and objects in `text` nest deeper than `limit`, in one pass over its brackets
// outside strings: the parser then needs no callback, whose step at the end of each object
// looks through all of its parent's members (a list of n objects would cost n * n).
bool nests_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

}  // namespace

Value parse_json(std::string_view text) {
  if (nests_deeper_than(text, kMaxJsonDepth)) {
    throw ValueError("JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
  }
  try {
    return Value::parse(text);
  } catch (const Value::exception& error) {  // a syntax error, or a number out of range
    throw ValueError(std::string("not JSON: ") + error.what());
  }
}

std::string excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  return std::string(text.substr(0, limit)) + "...";
}

std::string to_text(double number) {
  if (std::isnan(number)) return "nan";
  if (std::isinf(number)) return number > 0 ? "inf" : "-inf";
  // Shortest round-trip digits, in plain notation for decimal exponents -4 to 15.
  std::array<char, 64> buffer{};
  const auto scientific =
      std::to_chars(buffer.begin(), buffer.end(), number, std::chars_format::scientific);
  std::string text(buffer.data(), scientific.ptr);
  const int exponent = std::stoi(text.substr(text.find('e') + 1));
  if (exponent < -4 || exponent >= 16) return text;
  const auto plain = std::to_chars(buffer.begin(), buffer.end(), number, std::chars_format::fixed);
  text.assign(buffer.data(), plain.ptr);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

std::string to_text(const Value& value) {
  switch (value.type()) {
    case Value::value_t::string:
      return value.get_ref<const std::string&>();
    case Value::value_t::number_float:
      return to_text(value.get<double>());
    case Value::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Value::value_t::null:
      return "None";
    default:
      return value.dump(-1, ' ', false, Value::error_handler_t::replace);
  }
}

bool text_contains(const Value& value, std::string_view needle) {
  if (value.is_string()) {
    return value.get_ref<const std::string&>().find(needle) != std::string::npos;
  }
  return to_text(value).find(needle) != std::string::npos;
}

double to_float(const Value& value) {
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) return text_to_float(value.get_ref<const std::string&>());
  throw TypeError("a number is required, not " + std::string(kind_name(value)));
}

long long to_int(const Value& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<unsigned long long>() >
            static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      throw ValueError("integer out of range: " + value.dump());
    }
    return value.get<long long>();
  }
  if (value.is_number_float()) {
    const double number = std::trunc(value.get<double>());
    // 2^63 is the first double beyond the range; -2^63 itself is in range.
    constexpr double kLimit = 9223372036854775808.0;
    if (!(number >= -kLimit && number < kLimit)) {
      throw ValueError("cannot convert " + to_text(value) + " to an integer");
    }
    return static_cast<long long>(number);
  }
  if (value.is_string()) return text_to_int(value.get_ref<const std::string&>());
  throw TypeError("an integer is required, not " + std::string(kind_name(value)));
}

bool truthy(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      return false;
    case Value::value_t::boolean:
      return value.get<bool>();
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
    case Value::value_t::number_float:
      return value.get<double>() != 0;
    case Value::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    default:
      return !value.empty();
  }
}

const Value& field(const Value& record, std::string_view key) {
  if (!record.is_object()) {
    throw TypeError("a record is required to read '" + std::string(key) + "', not " +
                    std::string(kind_name(record)));
  }
  const auto found = record.find(key);
  if (found == record.end()) throw KeyError("'" + std::string(key) + "'");
  return *found;
}

const RecordList& items(const Value& value) {
  if (!value.is_array()) {
    throw TypeError("a list is required, not " + std::string(kind_name(value)));
  }
  return value.get_ref<const RecordList&>();
}

namespace {

// How two numbers order. Integers compare exactly, an unsigned one above the signed range
// included; a float against anything compares as doubles (NaN is unordered).
std::partial_ordering compare_numbers(const Value& a, const Value& b) {
  if (a.is_number_float() || b.is_number_float()) return a.get<double>() <=> b.get<double>();
  if (a.is_number_unsigned() && b.is_number_unsigned()) {
    return a.get<unsigned long long>() <=> b.get<unsigned long long>();
  }
  if (a.is_number_unsigned() || b.is_number_unsigned()) {
    const bool a_unsigned = a.is_number_unsigned();
    const long long signed_side = (a_unsigned ? b : a).get<long long>();
    const auto unsigned_side = (a_unsigned ? a : b).get<unsigned long long>();
    const auto order = signed_side < 0
                           ? std::strong_ordering::greater
                           : unsigned_side <=> static_cast<unsigned long long>(signed_side);
    return a_unsigned ? order : 0 <=> order;
  }
  return a.get<long long>() <=> b.get<long long>();
}

std::partial_ordering ordered(const Value& a, const Value& b) {
  if (!a.is_number() || !b.is_number()) {
    throw TypeError("cannot order " + std::string(kind_name(a)) + " against " +
                    std::string(kind_name(b)));
  }
  return compare_numbers(a, b);
}

}  // namespace

bool greater(const Value& a, const Value& b) { return ordered(a, b) > 0; }

bool less(const Value& a, const Value& b) { return ordered(a, b) < 0; }

bool equal(const Value& a, const Value& b) {
  if (a.is_number() && b.is_number()) return compare_numbers(a, b) == 0;
  return a == b;
}

}  // namespace stoploss
