#pragma once

// The standard normal distribution: density, distribution function with relative accuracy
// in both tails, and its inverse.

#include <cmath>

#include "special/erfc.hpp"

namespace tarnwick::special {

inline constexpr double inverse_sqrt_two_pi = 0.39894228040143267794;
inline constexpr double sqrt_two_pi = 2.5066282746310005024;
inline constexpr double inverse_sqrt_two = 0.70710678118654752440;

inline double normal_pdf(double z) { return inverse_sqrt_two_pi * std::exp(-0.5 * z * z); }

// Phi(z) = erfc(-z / sqrt(2)) / 2: erfc keeps relative accuracy for large arguments, so
// the lower tail is accurate down to underflow (1 - Phi(-z) would lose it below z ~ -8).
// The upper tail is 1 - (tiny), accurate in absolute terms, which is all a value near one
// can carry.
inline double normal_cdf(double z) { return 0.5 * erfc(-z * inverse_sqrt_two); }

// Inverse of Phi for 0 < p < 1. A rational approximation in sqrt(-2 ln p) (Hastings' form,
// absolute error below 5e-4) gives a start close enough that two Halley steps on
// Phi(z) - p reach double precision: each step cubes the relative error. One step leaves
// about 1e-10, enough where the result only starts an iteration. The lower tail is solved
// as it is; p > 1/2 uses the symmetry Phi^-1(p) = -Phi^-1(1 - p).
inline double inverse_normal_cdf(double p, int halley_steps = 2) {
    if (!(p > 0.0)) return p == 0.0 ? -HUGE_VAL : std::nan("");
    if (!(p < 1.0)) return p == 1.0 ? HUGE_VAL : std::nan("");
    if (p > 0.5) return -inverse_normal_cdf(1.0 - p, halley_steps);
    const double u = std::sqrt(-2.0 * std::log(p));
    double z = -(u - (2.515517 + u * (0.802853 + u * 0.010328)) /
                         (1.0 + u * (1.432788 + u * (0.189269 + u * 0.001308))));
    for (int step = 0; step < halley_steps; ++step) {
        // Newton's correction (Phi(z) - p) / phi(z). Far out, 1/phi(z) overflows before
        // Phi(z) - p underflows; there it is (1 - p / Phi(z)) times Phi(z) / phi(z), the
        // latter sqrt(pi/2) erfcx(-z / sqrt(2)) without overflow.
        const double ratio = z > -30.0
            ? (normal_cdf(z) - p) * sqrt_two_pi * std::exp(0.5 * z * z)
            : (1.0 - p / normal_cdf(z)) * (0.5 * sqrt_two_pi) * erfcx(-z * inverse_sqrt_two);
        z -= ratio / (1.0 + 0.5 * z * ratio);
    }
    return z;
}

}  // namespace tarnwick::special
