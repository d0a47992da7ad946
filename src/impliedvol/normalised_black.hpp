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

#include "special/erfc.hpp"
#include "special/normal_distribution.hpp"

namespace tarnwick::impliedvol {

using special::erfcx;
using special::inverse_sqrt_two;
using special::inverse_sqrt_two_pi;
using special::sqrt_two_pi;
namespace erfc_detail = special::erfc_detail;

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

// With h = x/s and t = s/2, every term of b and its complement carries the factor
// E = e^{-(h^2 + t^2)/2}, and db/ds = E / sqrt(2 pi): the Mills ratios take the place of the
// distribution function, as e^{x/2} Phi(h + t) = (db/ds) Y(h + t) and
// e^{-x/2} Phi(h - t) = (db/ds) Y(h - t). So b and its vega cost one exponential and two
// erfcx, and E's own rounding, (h^2 + t^2) eps / 2 relative, scales b as a whole (no
// cancellation amplifies it); it is divided by about h^2 on its way into s where h^2 is large,
// and by about t^2 where t^2 is.
//
// One term of b, factor Phi(z) = (db/ds) Y(z) with factor e^{x/2} or e^{-x/2}. Near z = 0,
// where erfcx would need an exponential of its own, Cody's erf is taken with the factor
// instead: its argument is below 0.47 there, so its rounding moves Phi by under an ulp. The
// other term then keeps E's rounding, (h^2 + t^2) eps / 2 of itself, no longer common to
// both; where the two cancel, t and |h| are both small, so it stays a few ulps of b.
inline double scaled_normal_cdf(double z, double vega, double factor) {
    const double y = -z * inverse_sqrt_two;
    if (y < erfc_detail::small) return 0.5 * factor * (1.0 - erfc_detail::erf_small(y));
    return 0.5 * sqrt_two_pi * vega * erfc_detail::erfcx_above_small(y);
}

// b / (db/ds) = Y(h + t) - Y(h - t) for small t. The difference cancels, and the plain formula
// cancels as well when x is small too; the odd Taylor series in t of the difference has only
// positive terms, since Y^(n)(h) = int_0^inf u^n e^{hu - u^2/2} du > 0:
//     Y(h + t) - Y(h - t) = 2 sum_k Y^(2k+1)(h) t^(2k+1) / (2k+1)!.
// The derivatives follow from Y' = 1 + hY by Y^(n+1) = h Y^(n) + n Y^(n-1). For h < 0 that
// recurrence subtracts, losing about h^2 relative per step, but each loss is paid back by
// the factor t^2 / h^2 of its term: term k is off by about eps (h t)^(2k) of the first,
// so for t < 0.1 and |x| = 2 |h| t <= 2 the sum stays within a few ulps, and the loss of
// h^2 eps in Y' itself is divided by about h^2 again on its way into s. Seven terms reach
// double precision at t = 0.1 (the eighth is below 1e-19 relative), fewer are needed the
// more negative h is.
inline double mills_difference_small_t(double h, double t) {
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
    return 2.0 * sum;
}

// b and db/ds at one s, sharing E.
struct BlackAndVega {
    double b, vega;
};

inline double vega_at(double h, double t) { return inverse_sqrt_two_pi * std::exp(-0.5 * (h * h + t * t)); }

// b from h, t and its vega, for 0 < s < inf. Where the series does not reach, below the
// inflection point (h + t <= 0), the difference of two Mills ratios at non-positive
// arguments: a relative change eps of the argument moves Y(z) by about eps relative at
// most, where Phi(z) would move by eps z^2, and the cancellation of Y(h + t) - Y(h - t)
// costs about 4 eps / |x| relative to s db/ds, small where |x| is not (the series covers
// small |x|). Above it, e^{x/2} less the complement, a sum of two positive terms no larger
// than b there (b >= e^{x/2} / 2 for large |x|; for small |x| and t >= 0.1 the bound exceeds
// b by a factor 12 at most), so the subtraction costs a few ulps of b.
inline double black_from_terms(const Moneyness& m, double h, double t, double vega) {
    if (t < 0.1 && h * t >= -1.0) return vega * mills_difference_small_t(h, t);
    if (h + t <= 0.0) {
        return scaled_normal_cdf(h + t, vega, m.half_exp) - scaled_normal_cdf(h - t, vega, m.minus_half_exp);
    }
    return m.half_exp - (scaled_normal_cdf(-h - t, vega, m.half_exp) + scaled_normal_cdf(h - t, vega, m.minus_half_exp));
}

inline BlackAndVega normalised_black_and_vega(const Moneyness& m, double s) {
    const double h = m.h(s);
    const double t = 0.5 * s;
    const double vega = vega_at(h, t);
    if (!(s > 0.0)) return {0.0, vega};
    if (std::isinf(s)) return {m.half_exp, 0.0};
    return {black_from_terms(m, h, t, vega), vega};
}

inline double normalised_black(const Moneyness& m, double s) { return normalised_black_and_vega(m, s).b; }

// e^{x/2} - b(x, s) = e^{x/2} Phi(-h - t) + e^{-x/2} Phi(h - t) and db/ds: above the
// inflection point the sum of two positive terms, accurate where b approaches its bound and
// the difference would cancel; below it b <= e^{x/2} / 2, so e^{x/2} - b loses nothing.
inline BlackAndVega normalised_black_complement_and_vega(const Moneyness& m, double s) {
    const double h = m.h(s);
    const double t = 0.5 * s;
    const double vega = vega_at(h, t);
    if (!(s > 0.0)) return {m.half_exp, vega};
    if (std::isinf(s)) return {0.0, 0.0};
    if (h + t > 0.0) {
        return {scaled_normal_cdf(-h - t, vega, m.half_exp) + scaled_normal_cdf(h - t, vega, m.minus_half_exp), vega};
    }
    return {m.half_exp - black_from_terms(m, h, t, vega), vega};
}

inline double normalised_black_complement(const Moneyness& m, double s) {
    return normalised_black_complement_and_vega(m, s).b;
}

// db/ds = e^{x/2} phi(x/s + s/2) = phi(0) e^{-(h^2 + t^2) / 2}.
inline double normalised_vega(const Moneyness& m, double s) { return vega_at(m.h(s), 0.5 * s); }

// (d^2b/ds^2) / (db/ds) = x^2 / s^3 - s / 4 and (d^3b/ds^3) / (db/ds), which is that squared
// plus its own derivative -3 x^2 / s^4 - 1/4: the Householder steps' curvature terms.
struct VegaLogDerivatives {
    double second;
    double third;
};

// They only shape the higher-order factor of a step, so 1/s is taken once and multiplied by:
// a division costs the work of several multiplications.
inline VegaLogDerivatives vega_log_derivatives(const Moneyness& m, double s) {
    const double h = m.h(s);
    const double inverse_s = 1.0 / s;
    const double h2_over_s = h * h * inverse_s;
    const double second = h2_over_s - 0.25 * s;
    return {second, second * second - 3.0 * h2_over_s * inverse_s - 0.25};
}

}  // namespace tarnwick::impliedvol
