#pragma once

// The complementary error function erfc(y) and its scaled form erfcx(y) = exp(y^2) erfc(y),
// from W. J. Cody's rational Chebyshev approximations (Math. Comp. 23, 1969; the
// coefficients of his CALERF, designed for relative errors below 1e-18 on each interval).
//
// Both come from one rational function per interval: from y = 0.46875 on, Cody's
// approximations are of erfcx itself, so erfcx needs no exponential there and erfc needs
// one, exp(-y^2), taken with y^2 carried exactly as hi + lo (Dekker's product): exp of the
// rounded y^2 would be off by up to y^2 * 2^-53 relative, some 250 units in the last place
// near y = 26.
// Near zero the approximation is of erf(y) / y, which cancels nothing there. Negative
// arguments of erfc follow from erfc(-y) = 2 - erfc(y).

#include <cmath>

namespace tarnwick::special {

namespace erfc_detail {

inline constexpr double inverse_sqrt_pi = 0.56418958354775628695;

// Where Cody's approximations change: erf(y) / y below the first, erfcx(y) as a rational
// function of y up to the second, and y erfcx(y) as one of 1 / y^2 beyond.
inline constexpr double small = 0.46875;
inline constexpr double medium = 4.0;

// The polynomials are evaluated in Estrin's scheme, pairs of terms combined with powers of
// the variable, rather than by Horner's rule: the implied-volatility iteration waits on
// these values, and the scheme's dependency chain is about half as long (with 9
// coefficients, four multiply-add levels instead of eight). All coefficients are positive
// and so is the variable, so the order of the additions cancels nothing and either scheme
// stays within a few ulps.

// erf(y) for |y| <= 0.46875: y P(y^2) / Q(y^2), degrees 4 and 4.
inline double erf_small(double y) {
    const double z = y * y, z2 = z * z;
    const double p = (3.20937758913846947e3 + 3.77485237685302021e2 * z) +
                     (1.13864154151050156e2 + 3.16112374387056560e0 * z) * z2 + 1.85777706184603153e-1 * (z2 * z2);
    const double q = (2.84423683343917062e3 + 1.28261652607737228e3 * z) +
                     (2.44024637934444173e2 + 2.36012909523441209e1 * z) * z2 + z2 * z2;
    return y * p / q;
}

// erfcx(y) for 0.46875 <= y <= 4: P(y) / Q(y), degrees 8 and 8.
inline double erfcx_medium(double y) {
    const double y2 = y * y, y4 = y2 * y2;
    const double p = ((1.23033935479799725e3 + 2.05107837782607147e3 * y) +
                      (1.71204761263407058e3 + 8.81952221241769090e2 * y) * y2) +
                     ((2.98635138197400131e2 + 6.61191906371416295e1 * y) +
                      (8.88314979438837594e0 + 5.64188496988670089e-1 * y) * y2) * y4 +
                     2.15311535474403846e-8 * (y4 * y4);
    const double q = ((1.23033935480374942e3 + 3.43936767414372164e3 * y) +
                      (4.36261909014324716e3 + 3.29079923573345963e3 * y) * y2) +
                     ((1.62138957456669019e3 + 5.37181101862009858e2 * y) +
                      (1.17693950891312499e2 + 1.57449261107098347e1 * y) * y2) * y4 +
                     y4 * y4;
    return p / q;
}

// erfcx(y) for y >= 4: (1/sqrt(pi) - z P(z) / Q(z)) / y with z = 1/y^2, degrees 5 and 5.
// For y beyond 1e8, z underflows harmlessly and the leading term 1 / (y sqrt(pi)) is exact
// to rounding.
inline double erfcx_large(double y) {
    const double z = 1.0 / (y * y), z2 = z * z;
    const double p = ((6.58749161529837803e-4 + 1.60837851487422766e-2 * z) +
                      (1.25781726111229246e-1 + 3.60344899949804439e-1 * z) * z2) +
                     (3.05326634961232344e-1 + 1.63153871373020978e-2 * z) * (z2 * z2);
    const double q = ((2.33520497626869185e-3 + 6.05183413124413191e-2 * z) +
                      (5.27905102951428412e-1 + 1.87295284992346725e0 * z) * z2) +
                     (2.56852019228982242e0 + z) * (z2 * z2);
    return (inverse_sqrt_pi - z * p / q) / y;
}

// erfcx(y) for y >= 0.46875.
inline double erfcx_above_small(double y) { return y <= medium ? erfcx_medium(y) : erfcx_large(y); }

// exp(-y^2) with y^2 = hi + lo exactly (Dekker's product, with Veltkamp's split of y into
// two 26-bit halves): exp(-hi - lo) = exp(-hi) (1 - lo), as |lo| <= ulp(hi) / 2 leaves the
// next term below 2^-88. Valid while 2^27 y does not overflow, far beyond where exp(-y^2)
// underflows.
inline double exp_minus_square(double y) {
    const double hi = y * y;
    const double split = 134217729.0 * y;  // 2^27 + 1
    const double yh = split - (split - y);
    const double yl = y - yh;
    const double lo = ((yh * yh - hi) + 2.0 * yh * yl) + yl * yl;
    return std::exp(-hi) * (1.0 - lo);
}

}  // namespace erfc_detail

// erfc(y) for all y, to a few units in the last place relative (down to where it becomes
// subnormal, near y = 26.5; 0 from y = 27.3 on).
inline double erfc(double y) {
    using namespace erfc_detail;
    const double a = std::fabs(y);
    if (!(a >= small)) return 1.0 - erf_small(y);  // and NaN
    // Beyond 27.3, exp(-y^2) underflows to 0 (the cut also keeps infinities out of the split).
    const double tail = a < 27.5 ? exp_minus_square(a) * erfcx_above_small(a) : 0.0;
    return y > 0.0 ? tail : 2.0 - tail;
}

// erfcx(y) = exp(y^2) erfc(y) for y >= 0, to a few units in the last place relative.
inline double erfcx(double y) {
    using namespace erfc_detail;
    if (y >= small) return erfcx_above_small(y);
    // exp(y^2) <= 1.25 here, so the rounding of y^2 costs less than an ulp.
    return std::exp(y * y) * (1.0 - erf_small(y));  // and NaN
}

}  // namespace tarnwick::special
