#pragma once

#include <cfloat>
#include <cmath>

namespace tarnwick::literal {

inline constexpr double sqrt_two = 1.4142135623730951;

// Standard normal distribution function in complement form, 1 - erfc(y / sqrt(2)) / 2.
// The upper tail is subtracted from one, so the lower tail is lost: the result is
// exactly 0 below y of about -8.3 and near 0 it has absolute, not relative, accuracy.
// Every literal price is built on this form; do not replace it by erfc(-y / sqrt(2)) / 2.
inline double normal_cdf(double y) { return 1.0 - std::erfc(y / sqrt_two) * 0.5; }

// The error of the normal function in complement form, in ulps of 1: one ulp in
// general, but no more than the value itself (plus the true value, below
// exp(-y^2/2) / (|y| sqrt(2 pi)) for y < 0) deep in the lower tail, where the form
// rounds to exactly 0 or to a tiny multiple of 2^-53.
inline double normal_cdf_error_ulps(double y, double value) {
    if (!(y < 0) || value >= DBL_EPSILON) return 1.0;
    const double tail = std::exp(-0.5 * y * y) / (-y * 2.5066282746310002);
    return std::fmin(1.0, (value + tail) / DBL_EPSILON);
}

// The same function with relative accuracy in the lower tail as well, for the
// evaluations that replace a literal one where that one is not accurate.
inline double normal_cdf_both_tails(double y) { return 0.5 * std::erfc(-y / sqrt_two); }

}  // namespace tarnwick::literal
