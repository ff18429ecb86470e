// Names for the rows of a table run as a parameterised test, so that a row shows by its own words
// in the test's name and runs alone under --gtest_filter.
#pragma once

#include <cctype>
#include <functional>
#include <sstream>
#include <string>

// The name generator of INSTANTIATE_TEST_SUITE_P over `table`: each row by its `text` (a field of
// it or a function of it) in letters, digits and single underscores, "a file others can read" as
// "a_file_others_can_read" ("none" for a text without either); a name an earlier row has taken
// gets the row's index added.
template <class Table, class Text>
auto row_names(const Table& table, Text text) {
  return [&table, text](const auto& info) {
    const auto name_of = [&text](const auto& row) {
      std::ostringstream words;
      words << std::invoke(text, row) << ' ';
      std::string name;
      for (const unsigned char c : words.str()) {
        if (std::isalnum(c)) name += static_cast<char>(c);
        if (!std::isalnum(c) && !name.empty() && name.back() != '_') name += '_';
      }
      return name.empty() ? "none" : name.substr(0, name.size() - 1);
    };
    const std::string name = name_of(info.param);
    for (std::size_t i = 0; i < info.index; ++i)
      if (name_of(std::begin(table)[i]) == name) return name + "_" + std::to_string(info.index);
    return name;
  };
}
