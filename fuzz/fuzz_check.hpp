#pragma once

// A broken property aborts with a message, which libFuzzer reports as a crash together with
// the input that broke it.

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>

namespace fuzz {

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
