// Conversions and lookups on exchange records, and the failure kinds they raise.
// Every suite is named `records` so `ctest -R records` selects this whole file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"
#include "row_name.hpp"

namespace stoploss {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr long long kMax = std::numeric_limits<long long>::max();
constexpr long long kMin = std::numeric_limits<long long>::min();

// The kind of failure `call` raised, or "returned" when it raised none.
template <class Call>
std::string outcome(Call&& call) {
  try {
    call();
  } catch (const std::exception& failure) {
    return std::string(failure_kind(failure));
  }
  return "returned";
}

// Expects `convert` to raise `kind` for each of `inputs`.
template <class Convert>
void expect_rejected(Convert convert, const std::vector<Value>& inputs, const std::string& kind) {
  for (const Value& input : inputs) {
    EXPECT_EQ(outcome([&] { convert(input); }), kind) << input.dump();
  }
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string nested_records(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += R"({"ordType":)";
  return text + "1" + std::string(depth, '}');
}

struct JsonCase {
  const char* what;
  std::string text;
  std::string kind;  // "returned" when the document is taken
};
const JsonCase kJson[] = {
    {"a listing as the exchange sends it", R"([{"orderID":"a","stopPx":9000.5}])", "returned"},
    {"nesting at the limit", nested(kMaxJsonDepth), "returned"},
    {"one level past the limit", nested(kMaxJsonDepth + 1), "ValueError"},
    {"records at the limit", nested_records(kMaxJsonDepth), "returned"},
    {"records past the limit", nested_records(kMaxJsonDepth + 1), "ValueError"},
    {"100k levels, as a hostile peer sends", nested(100000), "ValueError"},
    {"brackets and escaped quotes inside texts do not nest",
     R"({"a":"\"[[[[)" + std::string(100, '[') + R"(\\","b":[1]})", "returned"},
    {"nesting past the limit after a text with brackets",
     R"(["\\[",)" + nested(kMaxJsonDepth) + "]", "ValueError"},
    {"not JSON", "<html>", "ValueError"},
    {"cut short", R"({"error":{"message":)", "ValueError"},
    {"number out of range", "[1e400]", "ValueError"},
};

class ParseJson : public testing::TestWithParam<JsonCase> {};

TEST_P(ParseJson, RefusesWhatIsNotSafeToRead) {
  EXPECT_EQ(outcome([] { parse_json(GetParam().text); }), GetParam().kind);
}
INSTANTIATE_TEST_SUITE_P(records, ParseJson, testing::ValuesIn(kJson),
                         row_names(kJson, &JsonCase::what));

TEST(records, FailuresEchoOnlyAnExcerptOfABadText) {
  const std::string huge(1 << 20, 'x');
  for (const auto& convert :
       {+[](const Value& v) { to_float(v); }, +[](const Value& v) { to_int(v); }}) {
    try {
      convert(Value(huge));
      ADD_FAILURE() << "a text of letters converted";
    } catch (const ValueError& failure) {
      EXPECT_LT(std::string(failure.what()).size(), 200u);
    }
  }
}

TEST(records, ToFloatReadsNumbersAndDecimalTexts) {
  const std::vector<std::pair<Value, double>> cases = {
      {42, 42.0},     {-3, -3.0},         {2.5, 2.5},        {"9000.5", 9000.5},
      {" 12 ", 12.0}, {"\t7.25\n", 7.25}, {"-1e3", -1000.0}, {"+5", 5.0},
      {"1E2", 100.0}, {".5", 0.5},        {"5.", 5.0},       {"-0.25e-2", -0.0025}};
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(to_float(input), expected) << input.dump();
  }
}

TEST(records, ToFloatRejectsWhatIsNotADecimalNumber) {
  const auto convert = [](const Value& input) { return to_float(input); };
  expect_rejected(convert,
                  {"nan", "inf", "-inf", "Infinity", "abc", "", "   ", "1.2.3", "0x10", "1e", "e5",
                   ".", "1 2", "12abc", "--1"},
                  "ValueError");
  expect_rejected(convert, {nullptr, true, false, Value::array({1}), Value::object()}, "TypeError");
}

TEST(records, ToIntCutsTowardZeroAndReadsSignedDigits) {
  const std::vector<std::pair<Value, long long>> cases = {
      {12, 12},  {-5, -5},  {std::uint64_t{5}, 5}, {12.9, 12}, {-12.9, -12},
      {0.99, 0}, {"+7", 7}, {"-42", -42},          {"007", 7}, {"-0", 0}};
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(to_int(input), expected) << input.dump();
  }
  EXPECT_EQ(to_int("9223372036854775807"), kMax);
  EXPECT_EQ(to_int("-9223372036854775808"), kMin);
  EXPECT_EQ(to_int(-9223372036854775808.0), kMin);
}

TEST(records, ToIntRejectsOtherTextsAndOutOfRangeNumbers) {
  const auto convert = [](const Value& input) { return to_int(input); };
  expect_rejected(convert,
                  {"12.5", " 12", "12 ", "-", "+", "", "1e3", "abc", "9223372036854775808",
                   "-9223372036854775809", 9223372036854775808.0, -1e19,
                   std::numeric_limits<std::uint64_t>::max(), kNan, kInf, -kInf},
                  "ValueError");
  expect_rejected(convert, {nullptr, true, Value::array()}, "TypeError");
}

TEST(records, ToTextWritesFloatsInShortestRoundTripForm) {
  // Each text is the expected form of the number it reads as.
  for (const std::string text : {"9000.5", "9000.0", "1e+16", "1000000000000000.0", "1e-05", "-0.0",
                                 "-2.5e-07", "5e-324", "1.7976931348623157e+308"}) {
    const double number = std::strtod(text.c_str(), nullptr);
    EXPECT_EQ(to_text(number), text);
    EXPECT_EQ(to_text(Value(number)), text);
  }
  EXPECT_EQ(to_text(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(to_text(Value(kNan)), "nan");
  EXPECT_EQ(to_text(Value(-kInf)), "-inf");
}

TEST(records, ToTextWritesOtherKinds) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {"9000.50", "9000.50"},
      {-7, "-7"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {true, "True"},
      {nullptr, "None"},
      {Value::object({{"a", 1}, {"b", Value::array({1.5, nullptr})}}), R"({"a":1,"b":[1.5,null]})"},
      {Value::array({"\xff"}), "[\"\xEF\xBF\xBD\"]"}};  // a text that is not UTF-8
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(to_text(input), expected) << input.dump();
  }
}

TEST(records, OrderingIsBetweenNumbersOnly) {
  struct Case {
    Value a, b;
    bool greater, less;
  };
  const std::vector<Case> cases = {{2, 1, true, false},
                                   {1, 2.5, false, true},
                                   {100, 100.0, false, false},
                                   {-1.5, -2, true, false},
                                   {std::uint64_t{3}, -4, true, false},
                                   // above the signed range: no wrap-around
                                   {std::uint64_t{1} << 63, 0, true, false},
                                   {-1, std::numeric_limits<std::uint64_t>::max(), false, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(greater(c.a, c.b), c.greater) << c.a << " > " << c.b;
    EXPECT_EQ(less(c.a, c.b), c.less) << c.a << " < " << c.b;
    EXPECT_EQ(equal(c.a, c.b), !c.greater && !c.less) << c.a << " == " << c.b;
  }
  const std::vector<std::pair<Value, Value>> unordered = {{"1", 1}, {1.5, nullptr}, {"a", "b"}};
  for (const auto& [a, b] : unordered) {
    EXPECT_EQ(outcome([&] { greater(a, b); }), "TypeError") << a << " > " << b;
    EXPECT_EQ(outcome([&] { less(a, b); }), "TypeError") << a << " < " << b;
  }
  EXPECT_FALSE(equal("100", 100));
  EXPECT_FALSE(equal(std::nan(""), std::nan("")));
}

}  // namespace
}  // namespace stoploss
