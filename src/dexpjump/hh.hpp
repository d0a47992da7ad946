#pragma once

// Hh functions of Kou's model: Hh_{-1}(x) = exp(-x^2/2) and, for n >= 0,
// Hh_n(x) = integral of Hh_{n-1} from x to infinity.

#include <cmath>

#include "common/normal_cdf.hpp"

namespace dexpjump {

inline constexpr double sqrt_two_pi = 2.5066282746310002;

inline double Hh_minus_one(double x) { return std::exp(-0.5 * x * x); }

// sqrt(2 pi) Phi(-x) with Phi in complement form: exactly 0 for x above about 8.3.
inline double Hh_zero(double x) { return tarnwick::normal_cdf(-x) * sqrt_two_pi; }

// The three-term recursion n Hh_n = Hh_{n-2} - x Hh_{n-1}, for n >= 1.
inline double Hh_step(double two_below, double one_below, double x, int n) {
    return (two_below - x * one_below) / static_cast<double>(n);
}

// Hh_n(x) for n >= -1, each order built from the two below it.
inline double Hh(int n, double x) {
    double two_below = Hh_minus_one(x);
    if (n < 0) return two_below;
    double one_below = Hh_zero(x);
    for (int order = 1; order <= n; ++order) {
        const double next = Hh_step(two_below, one_below, x, order);
        two_below = one_below;
        one_below = next;
    }
    return one_below;
}

// table[i] = Hh_i(x) for i = 0 ... last_order: the same values as Hh(i, x), each order
// computed once.
inline void Hh_table(int last_order, double x, double* table) {
    double two_below = Hh_minus_one(x);
    table[0] = Hh_zero(x);
    for (int order = 1; order <= last_order; ++order) {
        table[order] = Hh_step(two_below, table[order - 1], x, order);
        two_below = table[order - 1];
    }
}

}  // namespace dexpjump
