#pragma once

// Hh functions of Kou's model: Hh_{-1}(x) = exp(-x^2/2) and, for n >= 0,
// Hh_n(x) = integral of Hh_{n-1} from x to infinity.

#include <cfloat>
#include <cmath>

#include "literal/normal_cdf.hpp"

namespace dexpjump {

inline constexpr double sqrt_two_pi = 2.5066282746310002;

inline double Hh_minus_one(double x) { return std::exp(-0.5 * x * x); }

// sqrt(2 pi) Phi(-x) with Phi in complement form: exactly 0 for x above about 8.3.
inline double Hh_zero(double x) { return tarnwick::literal::normal_cdf(-x) * sqrt_two_pi; }

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
// computed once. Returns Hh_{-1}(x), which the error bound starts from as well.
inline double Hh_table(int last_order, double x, double* table) {
    const double minus_one = Hh_minus_one(x);
    double two_below = minus_one;
    table[0] = Hh_zero(x);
    for (int order = 1; order <= last_order; ++order) {
        table[order] = Hh_step(two_below, table[order - 1], x, order);
        two_below = table[order - 1];
    }
    return minus_one;
}

// bound[i] >= |error of table[i]| / ulp, from the table and minus_one = Hh_{-1}(x): the recursion run on absolute values, started
// from Hh_0's absolute accuracy (the normal function in complement form resolves it only
// to about sqrt(2 pi) ulps of 1). For x <= 0 every step adds positive terms and the bound
// stays near the value; for x > 0 the forward recursion subtracts, its errors grow like
// x^i / i!, and so does the bound. Above x of about 8.3 the complement form gives exactly
// 0, short by no more than the true value, below exp(-x^2/2) / x; once that exponential
// leaves the normal range, the caller says whether what is lost matters
// (lost_matters: the bound is infinite) or is below the result's resolution whatever
// multiplies it.
inline void Hh_error_table(int last_order, double x, double minus_one, const double* table,
                           double* bound, bool lost_matters) {
    double two_below = minus_one;
    double zeroth_error = 1.0;
    if (x > 0) {
        if (two_below >= DBL_MIN)
            zeroth_error = std::fmin(1.0, (table[0] + two_below / x) / DBL_EPSILON);
        else
            zeroth_error = lost_matters ? INFINITY : 0.0;
    }
    bound[0] = table[0] + sqrt_two_pi * zeroth_error;
    const double size = std::fabs(x);
    for (int order = 1; order <= last_order; ++order) {
        bound[order] = (two_below + size * bound[order - 1]) / order + std::fabs(table[order]);
        two_below = bound[order - 1];
    }
}

}  // namespace dexpjump
