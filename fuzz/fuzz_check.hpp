#pragma once

// A broken property aborts with a message, which libFuzzer reports as a crash together with
// the input that broke it.

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>

namespace fuzz {

// How deeply `text` nests lists and records, or nothing when it is not JSON. Read with a SAX
// handler of its own, apart from the project's reader it checks.
inline std::optional<int> json_depth(std::string_view text) {
  struct Depth : nlohmann::json_sax<nlohmann::json> {
    int now = 0;
    int most = 0;
    bool open() {
      most = std::max(most, ++now);
      return true;
    }
    bool close() {
      --now;
      return true;
    }
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return open(); }
    bool key(string_t&) override { return true; }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
      return false;
    }
  } depth;
  if (!nlohmann::json::sax_parse(text, &depth)) return std::nullopt;
  return depth.most;
}

// Whether the project's reader must refuse `text`: not JSON, or nested past its limit.
inline bool unreadable_json(std::string_view text, int limit) {
  const std::optional<int> depth = json_depth(text);
  return !depth || *depth > limit;
}

[[noreturn]] inline void fault(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "\n==== property broken: %.*s\n", static_cast<int>(what.size()),
               what.data());
  if (!detail.empty()) {
    std::fprintf(stderr, "==== %.*s\n", static_cast<int>(detail.size()), detail.data());
  }
  std::abort();
}

inline void expect(bool holds, std::string_view what) {
  if (!holds) fault(what);
}

// `detail` is a text, or a function making one: that is called only once the property broke,
// so costly details cost nothing while it holds.
template <class Detail>
void expect(bool holds, std::string_view what, Detail&& detail) {
  if (holds) return;
  if constexpr (std::is_invocable_v<Detail>) {
    fault(what, std::string(detail()));
  } else {
    fault(what, detail);
  }
}

// The dynamic type and text of a failure, for reporting one that should not have escaped.
inline std::string describe(const std::exception& failure) {
  const char* mangled = typeid(failure).name();
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  return std::string(status == 0 ? name.get() : mangled) + ": " + failure.what();
}

[[noreturn]] inline void unexpected_failure(std::string_view where, const std::exception& failure) {
  fault(std::string(where) + " raised a failure it must not", describe(failure));
}

}  // namespace fuzz
