#pragma once

#include <optional>

namespace app::trail {

// How far behind the market the stop trails: a price distance, or a percentage of the last price.
struct Distance {
  double value = 0;
  bool percent = false;
  bool operator==(const Distance&) const = default;
};

// The stop a position wants: last price - distance for a long, + distance for a short, on the
// tick away from the market (never closer than the distance), and never moved back: a long's stop
// only rises, a short's only falls. A stop already standing for the position can be adopted: the
// wanted stop is then never looser than it. A flat position, or one that changed side, starts
// afresh.
class Ratchet {
 public:
  explicit Ratchet(Distance distance);

  // The stop wanted for `position` contracts (positive long) at `last_price` on a `tick`;
  // nothing when flat or when no stop above 0 trails a long that far yet.
  std::optional<double> wanted(long long position, double last_price, double tick);
  // Takes `stop`, standing for a position on `side` (1 long, -1 short), as the stop to keep when
  // it is tighter than the one held.
  void adopt(int side, double stop);

 private:
  void take_side(int side);
  // The tighter of the stop held and `stop`.
  void tighten(double stop);

  Distance distance_{};
  int side_ = 0;  // of the position the stop belongs to
  std::optional<double> stop_{};
};

}  // namespace app::trail
