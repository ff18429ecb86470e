#pragma once

namespace stoploss {

// A blocking pause, bound by the module as `sleep`.
class Sleep {
 public:
  virtual ~Sleep() = default;

  virtual void sleep(double seconds) = 0;
};

}  // namespace stoploss
