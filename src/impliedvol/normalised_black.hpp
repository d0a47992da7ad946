#pragma once

// The normalised Black function of an out-of-the-money call and what the implied-volatility
// iteration needs of it: its complement to the upper bound, its vega and the log-derivatives
// of the vega.
//
// With the forward F, strike K, discount factor D, x = ln(F / K) and total volatility
// s = sigma sqrt(T), a Black call costs D sqrt(F K) b(x, s) with
//     b(x, s) = e^{x/2} Phi(x/s + s/2) - e^{-x/2} Phi(x/s - s/2).
// Calls and puts of either moneyness reduce to the out-of-the-money call, x <= 0, by
// put-call parity and the symmetry b(-x, s) = b(x, s) - (e^{x/2} - e^{-x/2}); only that
// case is evaluated here. There 0 <= b < e^{x/2}.

#include <cmath>

#include "impliedvol/erfcx.hpp"
#include "impliedvol/normal_distribution.hpp"

namespace tarnwick::impliedvol {

// x <= 0 with the two exponentials every evaluation at this moneyness needs.
struct Moneyness {
    double x;
    double half_exp;        // e^{x/2}: the upper bound of b
    double minus_half_exp;  // e^{-x/2}

    explicit Moneyness(double x_) : x(x_), half_exp(std::exp(0.5 * x_)), minus_half_exp(1.0 / half_exp) {}

    // x / s, taken as 0 at the money also for s = 0 (where 0 / 0 would be NaN).
    double h(double s) const { return x == 0.0 ? 0.0 : x / s; }
};

// Y(z) = Phi(z) / phi(z) for z <= 0, a Mills ratio: sqrt(pi / 2) erfcx(-z / sqrt(2)).
inline double mills_ratio(double z) { return 0.5 * sqrt_two_pi * erfcx(-z * inverse_sqrt_two); }

// With h = x/s and t = s/2, b = phi(h) e^{-t^2/2} (Y(h + t) - Y(h - t)). For small t the
// difference cancels, and the plain formula cancels as well when x is small too; the odd
// Taylor series in t of the difference has only positive terms, since
// Y^(n)(h) = int_0^inf u^n e^{hu - u^2/2} du > 0:
//     Y(h + t) - Y(h - t) = 2 sum_k Y^(2k+1)(h) t^(2k+1) / (2k+1)!.
// The derivatives follow from Y' = 1 + hY by Y^(n+1) = h Y^(n) + n Y^(n-1). For h < 0 that
// recurrence subtracts, losing about h^2 relative per step, but each loss is paid back by
// the factor t^2 / h^2 of its term: term k is off by about eps (h t)^(2k) of the first,
// so for t < 0.1 and |x| = 2 |h| t <= 2 the sum stays within a few ulps, and the loss of
// h^2 eps in Y' itself is divided by about h^2 again on its way into s. Seven terms reach
// double precision at t = 0.1 (the eighth is below 1e-19 relative), fewer are needed the
// more negative h is.
inline double normalised_black_small_t(double h, double t) {
    const double y = mills_ratio(h);
    double previous = y;
    double current = 1.0 + h * y;  // Y'(h)
    const double t2 = t * t;
    double coefficient = t;  // t^n / n!
    double sum = coefficient * current;
    for (int n = 1; n < 13; n += 2) {
        const double even = h * current + n * previous;     // Y^(n+1)
        const double odd = h * even + (n + 1) * current;    // Y^(n+2)
        coefficient *= t2 / ((n + 1) * (n + 2));
        sum += coefficient * odd;
        previous = even;
        current = odd;
    }
    return 2.0 * inverse_sqrt_two_pi * std::exp(-0.5 * (h * h + t * t)) * sum;
}

// Outside the series' range, deep below the inflection point, the difference of Mills
// ratios. The plain formula would be worse there: the rounding of h = x/s moves both
// Phi(h + t) and Phi(h - t) by about eps |h| phi, which is eps |h| / s relative to
// s db/ds (the scale on which an implied volatility sees an error of b), thousands of ulps
// when |x| >> s^2. Y(z) instead changes only by about eps relative for a relative change
// eps of z; the prefactor's rounding, (h^2 + t^2) eps / 2 relative, is divided by about
// h^2 on its way into s, and the cancellation of Y(h + t) - Y(h - t) costs about
// 4 eps / |x| relative to s db/ds, small where |x| is not (the series covers small |x|).
inline double normalised_black_mills(double h, double t) {
    return inverse_sqrt_two_pi * std::exp(-0.5 * (h * h + t * t)) * (mills_ratio(h + t) - mills_ratio(h - t));
}

// Elsewhere the two terms of the formula as they stand, two erfc and no exp: with
// |h| <= 64 s their error stays below 64 eps relative to s db/ds.
inline double normalised_black(const Moneyness& m, double s) {
    if (!(s > 0.0)) return 0.0;
    if (std::isinf(s)) return m.half_exp;
    const double h = m.h(s);
    const double t = 0.5 * s;
    if (t < 0.1 && h * t >= -1.0) return normalised_black_small_t(h, t);
    if (h < -64.0 * s) return normalised_black_mills(h, t);
    return m.half_exp * normal_cdf(h + t) - m.minus_half_exp * normal_cdf(h - t);
}

// e^{x/2} - b(x, s) = e^{x/2} Phi(-h - t) + e^{-x/2} Phi(h - t): a sum of two positive
// terms, accurate where b approaches its bound and the difference would cancel.
inline double normalised_black_complement(const Moneyness& m, double s) {
    if (!(s > 0.0)) return m.half_exp;
    if (std::isinf(s)) return 0.0;
    const double h = m.h(s);
    const double t = 0.5 * s;
    return m.half_exp * normal_cdf(-h - t) + m.minus_half_exp * normal_cdf(h - t);
}

// db/ds = e^{x/2} phi(x/s + s/2) = phi(0) e^{-(h^2 + t^2) / 2}.
inline double normalised_vega(const Moneyness& m, double s) {
    const double h = m.h(s);
    const double t = 0.5 * s;
    return inverse_sqrt_two_pi * std::exp(-0.5 * (h * h + t * t));
}

// (d^2b/ds^2) / (db/ds) = x^2 / s^3 - s / 4 and (d^3b/ds^3) / (db/ds), which is that squared
// plus its own derivative -3 x^2 / s^4 - 1/4: the Householder steps' curvature terms.
struct VegaLogDerivatives {
    double second;
    double third;
};

inline VegaLogDerivatives vega_log_derivatives(const Moneyness& m, double s) {
    const double h = m.h(s);
    const double h2_over_s = h * h / s;
    const double second = h2_over_s - 0.25 * s;
    return {second, second * second - 3.0 * h2_over_s / s - 0.25};
}

}  // namespace tarnwick::impliedvol
