#pragma once

#include <any>

namespace stoploss {

// The host's registry of module objects, by slot number.
class ModuleHandler {
 public:
  virtual ~ModuleHandler() = default;

  // Keeps `object` under `slot`.
  virtual void Store(int slot, std::any object) = 0;
  // The object last stored under `slot`; an empty std::any when there is none.
  virtual std::any SERVE(int slot) = 0;
};

}  // namespace stoploss
