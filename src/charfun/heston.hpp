#pragma once

// Heston's stochastic variance, dv = kappa (theta - v) dt + xi sqrt(v) dW_v with
// d<W_v, W> = rho dt: ln E[e^{w X_T}] = kappa theta C(T) + v0 D(T), where D and C solve
//
//     D' = xi^2 D^2 / 2 - b D + m / 2,   C' = D,   D(0) = C(0) = 0,
//
// with b = kappa - rho xi w and m = w^2 - w: w enters only through (b, m). Here: their
// solution in a form without cancellation or branch jumps, its moment explosion (the strip
// of real w where it exists at T), and a bound of its modulus along a line.

#include <cmath>
#include <complex>
#include <limits>

#include "charfun/complex_expm1.hpp"
#include "taylor/dual.hpp"

namespace tarnwick::charfun::heston {

using complex = std::complex<double>;
using taylor::value_of;

// The solution below is written once for three number types: double (a real w whose
// discriminant is not negative, where every quantity is real: the lines' choice), complex
// (the integrand) and complex dual numbers (its gradient). These overloads give double the
// operations the other two have.
inline double size(double x) { return std::abs(x); }
inline double reciprocal(double x) { return 1.0 / x; }
inline double log1p(double y) { return std::log1p(y); }

// ln(1 + y) for complex y. Where |1 + y| is near 1 its log goes through the real log1p of
// |1 + y|^2 - 1 = 2 Re y + |y|^2, which keeps the digits that 1 + y would round away (the
// library's complex log does the same with an exact sum of squares, at many times the cost).
inline complex log1p(complex y) {
    const double x = y.real(), v = y.imag();
    const double norm_less_one = x * (2.0 + x) + v * v;
    const double modulus =
        std::abs(norm_less_one) < 0.5 ? 0.5 * std::log1p(norm_less_one) : 0.5 * std::log(std::norm(1.0 + y));
    return {modulus, std::atan2(v, 1.0 + x)};
}
template <int N>
taylor::Dual<N> log1p(const taylor::Dual<N>& y) {
    return taylor::chain(y, log1p(y.value), taylor::inverse(1.0 + y.value));
}

// |z| without a square root, for choosing between a series and a closed form.
inline double size(complex z) { return std::abs(z.real()) + std::abs(z.imag()); }

// 1 / z without the library's complex division (taylor/dual.hpp), for both number types.
inline complex reciprocal(complex z) { return taylor::inverse(z); }
template <int N>
taylor::Dual<N> reciprocal(const taylor::Dual<N>& z) {
    return 1.0 / z;
}

// c[0] + c[1] z + ... + c[n-1] z^(n-1) by Horner's rule.
template <class Z, int n>
Z polynomial(const Z& z, const double (&c)[n]) {
    Z r = Z(c[n - 1]);
    for (int i = n - 2; i >= 0; --i) r = r * z + c[i];
    return r;
}

// g(z) = (z - 1 + e^{-z}) / z = 1 - phi1(z), phi1(z) = (1 - e^{-z}) / z, which is z / 2 near
// 0: below |z| = 1/4 by its Taylor series to z^12 (the next term is under 1e-17), above as
// 1 - phi1, which then loses at most three bits.
template <class Z>
Z g(const Z& z, const Z& phi1) {
    static constexpr double c[] = {0.0,           1.0 / 2,         -1.0 / 6,        1.0 / 24,      -1.0 / 120,
                                   1.0 / 720,     -1.0 / 5040,     1.0 / 40320,     -1.0 / 362880, 1.0 / 3628800,
                                   -1.0 / 39916800, 1.0 / 479001600, -1.0 / 6227020800};
    if (size(value_of(z)) < 0.25) return polynomial(z, c);
    return 1.0 - phi1;
}

// h2(y) = (y - ln(1 + y)) / y^2, which is 1/2 near 0: below |y| = 1/20 by its series to y^11,
// above by the closed form, whose difference loses at most 40 times the rounding.
template <class Z>
Z h2(const Z& y) {
    static constexpr double c[] = {1.0 / 2, -1.0 / 3, 1.0 / 4,  -1.0 / 5,  1.0 / 6,  -1.0 / 7,
                                   1.0 / 8, -1.0 / 9, 1.0 / 10, -1.0 / 11, 1.0 / 12, -1.0 / 13};
    if (size(value_of(y)) < 0.05) return polynomial(y, c);
    return (y - log1p(y)) * reciprocal(y * y);
}

// D(T), C(T) and dD/dT.
template <class Z>
struct Solution {
    Z D, C, D_T;
};

// The Riccati solution for d = sqrt(b^2 - xi^2 m) (principal root, Re d >= 0, so e^{-dT}
// never grows), P = (1 - e^{-dT}) / d and beta = b - d:
//
//     D = m P / (2 + beta P),   dD/dT = 2 m e^{-dT} / (2 + beta P)^2,
//     C = (beta / xi^2) T g(dT) + 2 (y / xi)^2 h2(y),   y = beta P / 2,
//
// which is the familiar kappa theta / xi^2 (beta T - 2 ln((1 - G e^{-dT}) / (1 - G))),
// G = beta / (b + d), with the logarithm's argument written 1 + y and its first-order
// term moved into T g(dT) = T - P: no term is divided by d or xi^2, so xi -> 0, d -> 0 and
// T -> 0 lose nothing, and with Re d >= 0 the logarithm's argument never crosses its
// branch cut (checked against the Riccati equation integrated numerically along many
// lines). beta is formed as xi^2 m / (b + d) where b + d is the larger of b +- d: b - d
// itself cancels when xi^2 m is small against b^2.
template <class Z>
Solution<Z> solve(const Z& b, const Z& m, const Z& xi, double T) {
    using std::sqrt;
    using taylor::sqrt;
    using std::expm1;
    using charfun::expm1;
    using taylor::expm1;
    const Z xi2 = xi * xi;
    const Z d = sqrt(b * b - xi2 * m);
    const Z sum = b + d;
    const Z difference = b - d;
    // beta / xi^2 and beta.
    const bool stable = std::norm(value_of(sum)) >= std::norm(value_of(difference));
    const Z beta_x = stable ? m * reciprocal(sum) : difference * reciprocal(xi2);
    const Z beta = stable ? xi2 * beta_x : difference;
    const Z dT = d * T;
    // e^{-dT} - 1 and phi1(dT) = (1 - e^{-dT}) / dT, which expm1 gives to full accuracy.
    // Beyond Re dT = 40, e^{-dT} is below half an ulp of 1 and E is -1 (the far nodes of a
    // sum, spared expm1's three trigonometric calls).
    const Z E = std::real(value_of(dT)) > 40.0 ? Z(-1.0) : expm1(-dT);
    const Z phi1 = value_of(dT) == 0.0 ? Z(1.0) : -E * reciprocal(dT);
    const Z P = T * phi1;
    const Z r = reciprocal(2.0 + beta * P);
    const Z y = 0.5 * beta * P;
    const Z y_x = 0.5 * (xi * beta_x) * P;
    const Z D = m * P * r;
    return {D, beta_x * T * g(dT, phi1) + 2.0 * (y_x * y_x) * h2(y), 2.0 * m * (1.0 + E) * (r * r)};
}

// The moment explosion time of real w: the T at which E[e^{w X_T}] ceases to exist
// (infinite if never). Between the poles (m <= 0) moments never explode. Otherwise D
// grows to a finite fixed point if the quadratic xi^2 D^2 / 2 - b D + m / 2 has real roots
// and b > 0, and explodes otherwise: with real roots (Delta = b^2 - xi^2 m >= 0, b <= 0) at
// ln((|b| + d) / (|b| - d)) / d, and with complex ones (Delta < 0, d = sqrt(-Delta)) at
// 2 atan2(d, -b) / d, the time D = b / xi^2 + (d / xi^2) tan(...) takes to reach its pole.
inline double explosion_time(double b, double m, double xi) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    if (m <= 0.0) return infinity;
    const double delta = b * b - xi * xi * m;
    if (delta >= 0.0) {
        if (b > 0.0) return infinity;
        const double d = std::sqrt(delta);
        // |b| - d = xi^2 m / (|b| + d) without cancellation.
        const double gap = xi * xi * m / (d - b);
        return d > 0.0 ? std::log1p(2.0 * d / gap) / d : 2.0 / -b;
    }
    const double d = std::sqrt(-delta);
    return 2.0 * std::atan2(d, -b) / d;
}

// The edge of the strip on one side of the poles (direction +1: above w = 1, -1: below
// w = 0) at maturity T: the w where the explosion time falls to T. It decreases with |w|
// beyond the poles, so doubling brackets the edge and bisection closes in to a relative
// 1e-9; the inner end of the bracket is returned, so the edge never lies outside the strip.
// The caller keeps its lines a fifth of the way away from an edge.
template <class ExplosionTime>
double strip_edge(double direction, double T, ExplosionTime&& time) {
    const double pole = direction > 0.0 ? 1.0 : 0.0;
    double inner = pole;
    double outer = pole + direction;
    while (time(outer) > T) {
        inner = outer;
        outer = pole + 2.0 * (outer - pole);
        if (!(std::abs(outer) < 1e300)) return direction * std::numeric_limits<double>::infinity();
    }
    while (std::abs(outer - inner) > 1e-9 * std::abs(inner) + 1e-12) {
        const double mid = 0.5 * (inner + outer);
        if (time(mid) > T) inner = mid;
        else outer = mid;
    }
    return inner;
}

}  // namespace tarnwick::charfun::heston
