#pragma once

namespace utils {

// The multiple of `step` nearest to `price` (halves away from zero), without the binary noise
// of the product: 39001 * 0.05 is 1950.05, not 1950.0500000000002.
double nearest_multiple(double price, double step);

// Whether `price` is a whole multiple of `step`, up to that noise.
bool on_step(double price, double step);

}  // namespace utils
