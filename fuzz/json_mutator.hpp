#pragma once

// Structure-aware mutations for targets that read JSON. Byte mutations alone rarely turn a text
// into a number or drop one member while keeping the document valid, so half of the mutations
// edit the parsed document instead: a node replaced by a value of another kind or by a copy of
// another node, a member or element removed or added, a number nudged, a key renamed.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Core/collaborators/failures.hpp"
#include "Core/collaborators/record.hpp"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace fuzz {

namespace json_mutation {

using Json = nlohmann::json;
using Random = std::minstd_rand;

struct Nodes {
  std::vector<Json*> all;  // containers before their elements
  std::vector<std::string> keys;
};

inline void collect(Json& node, Nodes& nodes) {
  nodes.all.push_back(&node);
  if (node.is_object()) {
    for (auto& [key, member] : node.items()) nodes.keys.push_back(key);
  }
  if (node.is_structured()) {
    for (Json& element : node) collect(element, nodes);
  }
}

inline std::size_t below(Random& random, std::size_t bound) { return random() % bound; }

inline Json edge_value(Random& random) {
  const std::vector<Json> values = {nullptr,
                                    true,
                                    false,
                                    0,
                                    -1,
                                    1,
                                    std::numeric_limits<std::int64_t>::max(),
                                    std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::uint64_t>::max(),
                                    0.5,
                                    -0.0,
                                    1e308,
                                    9000.5,
                                    "",
                                    " 12 ",
                                    "9000.5",
                                    "nan",
                                    "abc",
                                    Json::array(),
                                    Json::object()};
  return values[below(random, values.size())];
}

inline void nudge(Json& number, Random& random) {
  if (number.is_number_float()) {
    const double x = number.get<double>();
    const double nudged[] = {x + 1, x - 1, -x, x * 10, x / 3, std::nextafter(x, 0.0)};
    number = nudged[below(random, std::size(nudged))];
  } else {
    // Through unsigned arithmetic: wrapping is wanted here.
    const auto x = number.is_number_unsigned()
                       ? number.get<std::uint64_t>()
                       : static_cast<std::uint64_t>(number.get<std::int64_t>());
    const std::uint64_t nudged[] = {x + 1, x - 1, 0 - x, x * 10, x / 3};
    number = static_cast<std::int64_t>(nudged[below(random, std::size(nudged))]);
  }
}

inline void mutate_text(Json& text, std::size_t max_size) {
  std::string bytes = text.get<std::string>();
  const std::size_t size = bytes.size();
  if (size >= max_size) return;
  bytes.resize(std::max(size * 2, std::size_t{16}));
  bytes.resize(LLVMFuzzerMutate(reinterpret_cast<std::uint8_t*>(bytes.data()), size,
                                std::min(bytes.size(), max_size)));
  text = std::move(bytes);
}

// One edit of one node of `document`.
inline void mutate(Json& document, Random& random, std::size_t max_size) {
  Nodes nodes;
  collect(document, nodes);
  Json& target = *nodes.all[below(random, nodes.all.size())];
  switch (below(random, 7)) {
    case 0:
      target = edge_value(random);
      return;
    case 1: {
      Json copy = *nodes.all[below(random, nodes.all.size())];
      target = std::move(copy);
      return;
    }
    case 2:
      if (target.is_array() && !target.empty()) {
        target.erase(below(random, target.size()));
      } else if (target.is_object() && !target.empty()) {
        target.erase(std::next(target.begin(), static_cast<long>(below(random, target.size()))));
      }
      return;
    case 3: {
      Json copy = *nodes.all[below(random, nodes.all.size())];
      if (target.is_array()) target.push_back(std::move(copy));
      if (target.is_object() && !nodes.keys.empty()) {
        target[nodes.keys[below(random, nodes.keys.size())]] = std::move(copy);
      }
      return;
    }
    case 4:
      if (target.is_number()) nudge(target, random);
      if (target.is_string()) mutate_text(target, max_size);
      return;
    case 5:
      if (target.is_object() && !target.empty() && !nodes.keys.empty()) {
        const auto member =
            std::next(target.begin(), static_cast<long>(below(random, target.size())));
        Json value = std::move(member.value());
        target.erase(member);
        target[nodes.keys[below(random, nodes.keys.size())]] = std::move(value);
      }
      return;
    default:
      target = Json::array({std::move(target)});
  }
}

// The document's text with one node wrapped in up to `room` / 2 arrays: nesting far deeper
// than the document could be built and written as a value here without exhausting the stack.
inline std::string deepened(Json& document, Random& random, std::size_t room) {
  Nodes nodes;
  collect(document, nodes);
  Json& target = *nodes.all[below(random, nodes.all.size())];
  const std::string inner = target.dump(-1, ' ', false, Json::error_handler_t::replace);
  const std::string marker = "\"\\u0001deep\"";
  target =
      "\x01"
      "deep";
  std::string text = document.dump(-1, ' ', false, Json::error_handler_t::replace);
  const std::size_t depth = std::min<std::size_t>(1 + below(random, 100000), room / 2);
  text.replace(text.find(marker), marker.size(),
               std::string(depth, '[') + inner + std::string(depth, ']'));
  return text;
}

}  // namespace json_mutation

// For LLVMFuzzerCustomMutator: edits the document when the input is JSON and `seed` says so,
// otherwise leaves the bytes to libFuzzer's own mutations.
inline std::size_t mutate_json(std::uint8_t* data, std::size_t size, std::size_t max_size,
                               unsigned seed) {
  json_mutation::Random random(seed);
  json_mutation::Json document;
  try {
    // Depth-limited, so that walking and writing the document here stays within the stack.
    document = stoploss::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const stoploss::ValueError&) {
    return LLVMFuzzerMutate(data, size, max_size);
  }
  if (random() % 2 == 0) return LLVMFuzzerMutate(data, size, max_size);
  std::string text;
  if (random() % 8 == 0) {
    text = json_mutation::deepened(document, random, max_size - std::min(max_size, size));
  } else {
    json_mutation::mutate(document, random, max_size);
    text = document.dump(-1, ' ', false, json_mutation::Json::error_handler_t::replace);
  }
  if (text.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::copy(text.begin(), text.end(), data);
  return text.size();
}

}  // namespace fuzz
