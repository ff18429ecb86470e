// Values decoded from raw bytes through every record conversion and lookup. Only KeyError,
// TypeError and ValueError may escape them, each must agree with an independent reading of
// its documented behaviour, and the text form of a number must read back as that number.
#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"
#include "fuzz_check.hpp"

namespace {

using stoploss::Value;

constexpr int kMaxDepth = 3;
constexpr std::size_t kMaxElements = 4;
constexpr std::string_view kBlanks = " \t\n\r\f\v";

enum class Outcome { kReturned, kKeyError, kTypeError, kValueError };

template <class Call>
Outcome outcome(std::string_view name, Call&& call) {
  try {
    call();
    return Outcome::kReturned;
  } catch (const stoploss::KeyError&) {
    return Outcome::kKeyError;
  } catch (const stoploss::TypeError&) {
    return Outcome::kTypeError;
  } catch (const stoploss::ValueError&) {
    return Outcome::kValueError;
  } catch (const std::exception& failure) {
    fuzz::unexpected_failure(name, failure);
  }
}

// For messages: a value holding text that is not UTF-8 still shows.
std::string shown(const Value& value) {
  return value.dump(-1, ' ', false, Value::error_handler_t::replace);
}

// Texts made of the characters of numbers reach the number readers far more often than
// arbitrary bytes do.
std::string numeric_text(FuzzedDataProvider& input) {
  constexpr std::string_view kAlphabet = " \t+-.0123456789eE";
  std::string text(input.ConsumeIntegralInRange<std::size_t>(0, 24), ' ');
  for (char& c : text) {
    c = kAlphabet[input.ConsumeIntegralInRange<std::size_t>(0, kAlphabet.size() - 1)];
  }
  return text;
}

Value decode(FuzzedDataProvider& input, int depth) {
  switch (input.ConsumeIntegralInRange(0, depth < kMaxDepth ? 8 : 6)) {
    case 0:
      return input.ConsumeBool() ? Value(input.ConsumeBool()) : Value();
    case 1:
      return input.ConsumeIntegral<std::int64_t>();
    case 2:
      return input.ConsumeIntegral<std::uint64_t>();
    case 3:  // any bit pattern: NaN, infinities, subnormals and negative zero included
      return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
    case 4:
      return input.ConsumeRandomLengthString(64);
    case 5:
      return numeric_text(input);
    case 6:
      return " " + stoploss::to_text(std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>()));
    case 7: {
      Value list = Value::array();
      const auto size = input.ConsumeIntegralInRange<std::size_t>(0, kMaxElements);
      for (std::size_t i = 0; i < size; ++i) list.push_back(decode(input, depth + 1));
      return list;
    }
    default: {
      Value record = Value::object();
      const auto size = input.ConsumeIntegralInRange<std::size_t>(0, kMaxElements);
      for (std::size_t i = 0; i < size; ++i) {
        record[input.ConsumeRandomLengthString(12)] = decode(input, depth + 1);
      }
      return record;
    }
  }
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::size_t skip_digits(std::string_view text, std::size_t i) {
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  return i;
}

// sign? (digits ('.' digits?)? | '.' digits) (('e' | 'E') sign? digits)?
bool is_decimal(std::string_view text) {
  std::size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  const std::size_t whole = skip_digits(text, i);
  std::size_t end = whole;
  if (end < text.size() && text[end] == '.') end = skip_digits(text, end + 1);
  if (whole == i && end <= whole + 1) return false;
  if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
    std::size_t exponent = end + 1;
    if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
    end = skip_digits(text, exponent);
    if (end == exponent) return false;
  }
  return end == text.size();
}

bool is_integer_text(std::string_view text) {
  const std::size_t start = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
  return start < text.size() && skip_digits(text, start) == text.size();
}

bool same_double(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
         (std::isnan(a) && std::isnan(b));
}

void check_number_text(double number) {
  std::string text;
  fuzz::expect(outcome("to_text", [&] { text = stoploss::to_text(number); }) == Outcome::kReturned,
               "to_text of a number failed");
  double back = 0;
  const Outcome read = outcome("to_float", [&] { back = stoploss::to_float(Value(text)); });
  if (std::isfinite(number)) {
    fuzz::expect(read == Outcome::kReturned && same_double(back, number),
                 "to_float of to_text does not give the number back", text);
    return;
  }
  const char* expected = std::isnan(number) ? "nan" : number > 0 ? "inf" : "-inf";
  fuzz::expect(text == expected, "to_text of a number that is not finite", text);
  fuzz::expect(read == Outcome::kValueError, "to_float read a text that is not finite", text);
}

void check_integer_text(long long number, const std::string& text) {
  long long back = 0;
  fuzz::expect(
      outcome("to_int", [&] { back = stoploss::to_int(Value(text)); }) == Outcome::kReturned &&
          back == number,
      "to_int of to_text does not give the integer back", text);
}

std::string check_to_text(const Value& value) {
  std::string text;
  fuzz::expect(outcome("to_text", [&] { text = stoploss::to_text(value); }) == Outcome::kReturned,
               "to_text failed", [&] { return shown(value); });
  switch (value.type()) {
    case Value::value_t::string:
      fuzz::expect(text == value.get_ref<const std::string&>(), "to_text changed a text", text);
      break;
    case Value::value_t::boolean:
      fuzz::expect(text == (value.get<bool>() ? "True" : "False"), "to_text of a truth value");
      break;
    case Value::value_t::null:
      fuzz::expect(text == "None", "to_text of null", text);
      break;
    case Value::value_t::number_float:
      check_number_text(value.get<double>());
      break;
    case Value::value_t::number_integer:
      fuzz::expect(text == std::to_string(value.get<std::int64_t>()), "to_text of an integer");
      check_integer_text(value.get<std::int64_t>(), text);
      break;
    case Value::value_t::number_unsigned:
      fuzz::expect(text == std::to_string(value.get<std::uint64_t>()), "to_text of an integer");
      break;
    default: {
      const Value back = Value::parse(text, nullptr, false);
      // Texts that are not UTF-8 are written with replacement characters, so two keys of a
      // record may read back as one.
      fuzz::expect(back.type() == value.type() && back.size() <= value.size() &&
                       (back.size() == value.size() || value.is_object()),
                   "to_text of a record or list does not read back as JSON", text);
    }
  }
  return text;
}

void check_text_to_float(const std::string& original, double number, Outcome result) {
  const std::string text(trimmed(original));
  if (!is_decimal(text)) {
    fuzz::expect(result == Outcome::kValueError, "to_float read a text that is not a decimal",
                 original);
    return;
  }
  errno = 0;
  const double expected = std::strtod(text.c_str(), nullptr);
  const bool range_error = errno == ERANGE;
  const bool agrees = result == Outcome::kReturned && number == expected;
  if (!std::isfinite(expected)) {
    fuzz::expect(result == Outcome::kValueError, "to_float read a number out of range", original);
  } else if (range_error) {
    // Underflow: a reader may give the nearest value or refuse it.
    fuzz::expect(agrees || result == Outcome::kValueError, "to_float misread a tiny number",
                 original);
  } else {
    fuzz::expect(agrees, "to_float misread a decimal text", original);
  }
}

void check_to_float(const Value& value) {
  double number = 0;
  const Outcome result = outcome("to_float", [&] { number = stoploss::to_float(value); });
  if (value.is_number()) {
    fuzz::expect(result == Outcome::kReturned && same_double(number, value.get<double>()),
                 "to_float of a number", [&] { return shown(value); });
  } else if (value.is_string()) {
    check_text_to_float(value.get_ref<const std::string&>(), number, result);
  } else {
    fuzz::expect(result == Outcome::kTypeError, "to_float of a value that is neither",
                 [&] { return shown(value); });
  }
}

// The integer to_int must give for `value`, or nothing when it must refuse with ValueError.
std::optional<long long> expected_int(const Value& value) {
  constexpr auto kMax = std::numeric_limits<long long>::max();
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(kMax)) return std::nullopt;
    return static_cast<long long>(number);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  if (value.is_number_float()) {
    const double cut = std::trunc(value.get<double>());
    if (!(cut >= -kLimit && cut < kLimit)) return std::nullopt;
    return static_cast<long long>(cut);
  }
  const auto& text = value.get_ref<const std::string&>();
  if (!is_integer_text(text)) return std::nullopt;
  errno = 0;
  const long long number = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return std::nullopt;
  return number;
}

void check_to_int(const Value& value) {
  long long number = 0;
  const Outcome result = outcome("to_int", [&] { number = stoploss::to_int(value); });
  if (!value.is_number() && !value.is_string()) {
    fuzz::expect(result == Outcome::kTypeError, "to_int of a value that is neither",
                 [&] { return shown(value); });
    return;
  }
  const auto expected = expected_int(value);
  if (!expected) {
    fuzz::expect(result == Outcome::kValueError, "to_int took what it must refuse",
                 [&] { return shown(value); });
    return;
  }
  fuzz::expect(result == Outcome::kReturned && number == *expected, "to_int misread",
               [&] { return shown(value); });
  check_integer_text(number, stoploss::to_text(Value(number)));
}

void check_truthy(const Value& value) {
  bool truth = false;
  fuzz::expect(outcome("truthy", [&] { truth = stoploss::truthy(value); }) == Outcome::kReturned,
               "truthy failed", [&] { return shown(value); });
  bool expected = false;
  if (value.is_boolean()) {
    expected = value.get<bool>();
  } else if (value.is_number()) {
    expected = value.get<double>() != 0;
  } else if (value.is_string()) {
    expected = !value.get_ref<const std::string&>().empty();
  } else if (value.is_structured()) {
    expected = !value.empty();
  }
  fuzz::expect(truth == expected, "truthy", [&] { return shown(value); });
}

void check_text_contains(const Value& value, const std::string& text, std::string_view needle,
                         FuzzedDataProvider& input) {
  bool found = false;
  const auto contains = [&](std::string_view part) {
    fuzz::expect(outcome("text_contains", [&] { found = stoploss::text_contains(value, part); }) ==
                     Outcome::kReturned,
                 "text_contains failed", [&] { return shown(value); });
    return found;
  };
  fuzz::expect(contains(needle) == (text.find(needle) != std::string::npos),
               "text_contains disagrees with the text form", [&] { return shown(value); });
  const auto start = input.ConsumeIntegralInRange<std::size_t>(0, text.size());
  const auto length = input.ConsumeIntegralInRange<std::size_t>(0, text.size() - start);
  fuzz::expect(contains(std::string_view(text).substr(start, length)),
               "text_contains missed a part of the text form", [&] { return shown(value); });
}

void check_field(const Value& value, const std::string& key) {
  const Value* got = nullptr;
  const Outcome result = outcome("field", [&] { got = &stoploss::field(value, key); });
  if (!value.is_object()) {
    fuzz::expect(result == Outcome::kTypeError, "field of a value that is not a record");
    return;
  }
  const auto found = value.find(key);
  if (found == value.end()) {
    fuzz::expect(result == Outcome::kKeyError, "field found a missing key", key);
  } else {
    fuzz::expect(result == Outcome::kReturned && got == &*found, "field missed a key", key);
  }
}

void check_items(const Value& value) {
  const stoploss::RecordList* got = nullptr;
  const Outcome result = outcome("items", [&] { got = &stoploss::items(value); });
  if (value.is_array()) {
    fuzz::expect(result == Outcome::kReturned && got == &value.get_ref<const Value::array_t&>(),
                 "items of a list");
  } else {
    fuzz::expect(result == Outcome::kTypeError, "items of a value that is not a list");
  }
}

// Exact for two integers of either signedness; through double once a floating-point number
// takes part, as C++ compares them.
int expected_order(const Value& a, const Value& b) {
  if (a.is_number_float() || b.is_number_float()) {
    const double x = a.get<double>();
    const double y = b.get<double>();
    return x < y ? -1 : x > y ? 1 : 0;
  }
  const auto wide = [](const Value& v) {
    return v.is_number_unsigned() ? static_cast<__int128>(v.get<std::uint64_t>())
                                  : static_cast<__int128>(v.get<std::int64_t>());
  };
  return wide(a) < wide(b) ? -1 : wide(a) > wide(b) ? 1 : 0;
}

void check_order(const Value& a, const Value& b) {
  bool greater = false;
  bool less = false;
  const Outcome g = outcome("greater", [&] { greater = stoploss::greater(a, b); });
  const Outcome l = outcome("less", [&] { less = stoploss::less(a, b); });
  const auto pair = [&] { return shown(a) + " against " + shown(b); };
  if (!a.is_number() || !b.is_number()) {
    fuzz::expect(g == Outcome::kTypeError && l == Outcome::kTypeError,
                 "ordering a value that is not a number", pair);
    return;
  }
  fuzz::expect(g == Outcome::kReturned && l == Outcome::kReturned, "ordering numbers failed", pair);
  const int order = expected_order(a, b);
  fuzz::expect(greater == (order > 0) && less == (order < 0), "numbers ordered wrongly", pair);
}

void check_value(const Value& value, const std::string& needle, FuzzedDataProvider& input) {
  const std::string text = check_to_text(value);
  check_to_float(value);
  check_to_int(value);
  check_truthy(value);
  check_text_contains(value, text, needle, input);
  check_field(value, needle);
  check_items(value);
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) check_field(value, key);
  }
  if (value.is_structured()) {
    for (const Value& element : value) check_value(element, needle, input);
  }
}

}  // namespace

// Lists and records nested to any depth are read only within the nesting limit; what is read
// can be written back.
void check_nesting(FuzzedDataProvider& input) {
  // Mostly around the limit; now and then as deep as a hostile peer would send.
  const int depth = input.ConsumeIntegralInRange<int>(0, input.ConsumeBool() ? 200000 : 130);
  const bool records = input.ConsumeBool();
  std::string text;
  for (int i = 0; i < depth; ++i) text += records ? R"({"ordType":)" : "[";
  text += "0";
  text += std::string(static_cast<std::size_t>(depth), records ? '}' : ']');
  const auto read = outcome("parse_json", [&] { stoploss::to_text(stoploss::parse_json(text)); });
  const Outcome expected =
      depth <= stoploss::kMaxJsonDepth ? Outcome::kReturned : Outcome::kValueError;
  fuzz::expect(read == expected, "nesting refused past the limit and only there",
               [&] { return std::to_string(depth) + " levels"; });
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  check_nesting(input);
  const Value first = decode(input, 0);
  const Value second = decode(input, 0);
  const std::string needle = input.ConsumeRandomLengthString(16);
  check_value(first, needle, input);
  check_value(second, needle, input);
  check_order(first, second);
  check_order(second, first);
  check_order(first, first);
  return 0;
}
