#include "ratchet.hpp"

#include <algorithm>
#include <cmath>

namespace app::trail {

Ratchet::Ratchet(Distance distance) : distance_(distance) {}

void Ratchet::take_side(int side) {
  if (side != side_) stop_.reset();
  side_ = side;
}

void Ratchet::tighten(double stop) {
  stop_ = !stop_ ? stop : side_ > 0 ? std::max(*stop_, stop) : std::min(*stop_, stop);
}

void Ratchet::adopt(int side, double stop) {
  take_side(side);
  tighten(stop);
}

std::optional<double> Ratchet::wanted(long long position, double last_price, double tick) {
  const int side = position > 0 ? 1 : position < 0 ? -1 : 0;
  take_side(side);
  if (side == 0) return std::nullopt;
  const double distance = distance_.percent ? last_price * distance_.value / 100 : distance_.value;
  const double steps = (last_price - side * distance) / tick;
  // A hair of tolerance, so that 9000 - 100 on a 0.5 tick stays 8900 whatever the binary digits.
  const double on_tick = (side > 0 ? std::floor(steps + 1e-9) : std::ceil(steps - 1e-9)) * tick;
  // A stop at 0 or below cannot stand (and a price of 0 asks the module to remove the stops).
  if (on_tick <= 0) return stop_;
  tighten(on_tick);
  return stop_;
}

}  // namespace app::trail
