// Names for the rows of a table run as a parameterised test, so that a row shows by its own words
// in the test's name and runs alone under --gtest_filter.
#pragma once

#include <cctype>
#include <cstddef>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

// "a file others can read" as "a_file_others_can_read": letters, digits and single underscores;
// "none" for a text without either.
template <class Text>
std::string row_name(const Text& text) {
  std::ostringstream words;
  words << text;
  std::string name;
  for (const unsigned char c : words.str()) {
    if (std::isalnum(c)) name += static_cast<char>(c);
    if (!std::isalnum(c) && !name.empty() && name.back() != '_') name += '_';
  }
  if (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "none" : name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P over `table`, naming each row by `text` (a field
// of it or a function of it); a name an earlier row has taken gets the row's index added.
template <class Table, class Text>
auto row_names(const Table& table, Text text) {
  return [&table, text](const auto& info) {
    const auto name_of = [&text](const auto& row) { return row_name(std::invoke(text, row)); };
    const std::string name = name_of(info.param);
    for (std::size_t earlier = 0; earlier < info.index; ++earlier) {
      if (name_of(std::begin(table)[earlier]) == name)
        return name + "_" + std::to_string(info.index);
    }
    return name;
  };
}
