#pragma once

#include <cmath>

namespace tarnwick {

inline constexpr double sqrt_two = 1.4142135623730951;

// Standard normal distribution function in complement form, 1 - erfc(y / sqrt(2)) / 2.
// The upper tail is subtracted from one, so the lower tail is lost: the result is
// exactly 0 below y of about -8.3 and near 0 it has absolute, not relative, accuracy.
// Every literal price is built on this form; do not replace it by erfc(-y / sqrt(2)) / 2.
inline double normal_cdf(double y) { return 1.0 - std::erfc(y / sqrt_two) * 0.5; }

// The same function with relative accuracy in the lower tail as well, for the
// evaluations that replace a literal one where that one is not accurate.
inline double normal_cdf_both_tails(double y) { return 0.5 * std::erfc(-y / sqrt_two); }

}  // namespace tarnwick
