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
using taylor::times;
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

// The principal square root (Re >= 0) of complex z from the real root t of (|z| + |x|) / 2,
// a sum without cancellation, and y / 2t for the other part: the library's csqrt scales
// its operand against overflow and underflow at several times the cost. Where |z|^2 could
// leave the normal range it is used after all.
inline complex root(complex z) {
    const double x = z.real(), y = z.imag();
    const double norm = x * x + y * y;
    if (!(norm > 1e-300 && norm < 1e300)) return std::sqrt(z);
    const double t = std::sqrt(0.5 * (std::sqrt(norm) + std::abs(x)));
    if (x >= 0.0) return {t, 0.5 * y / t};
    return {0.5 * std::abs(y) / t, std::copysign(t, y)};
}
inline double root(double x) { return std::sqrt(x); }
template <int N>
taylor::Dual<N> root(const taylor::Dual<N>& z) {
    return taylor::sqrt(z);
}

// e^z - 1: for complex z charfun::exp_less_one (complex_expm1.hpp).
using charfun::exp_less_one;
inline double exp_less_one(double x) { return std::expm1(x); }
template <int N>
taylor::Dual<N> exp_less_one(const taylor::Dual<N>& z) {
    return taylor::expm1(z);
}

// c[0] + c[1] z + ... + c[n-1] z^(n-1) by Horner's rule.
template <class Z, int n>
Z polynomial(const Z& z, const double (&c)[n]) {
    Z r = Z(c[n - 1]);
    for (int i = n - 2; i >= 0; --i) r = times(r, z) + c[i];
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
    return times(y - log1p(y), reciprocal(times(y, y)));
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
// itself cancels when xi^2 m is small against b^2. xi has its own type: a real one where
// only (b, m) are complex, which spares the products it enters their imaginary halves.
// Products of two Z are taylor::times (complex ones without the library's NaN tests).
template <class Z, class X>
Solution<Z> solve(const Z& b, const Z& m, const X& xi, double T) {
    const X xi2 = xi * xi;
    const Z d = root(times(b, b) - xi2 * m);
    const Z sum = b + d;
    const Z difference = b - d;
    // beta / xi^2 and beta.
    const bool stable = std::norm(value_of(sum)) >= std::norm(value_of(difference));
    const Z beta_x = stable ? times(m, reciprocal(sum)) : difference * reciprocal(xi2);
    const Z beta = stable ? xi2 * beta_x : difference;
    const Z dT = d * T;
    // e^{-dT} - 1 and phi1(dT) = (1 - e^{-dT}) / dT, which exp_less_one gives to full accuracy.
    // Beyond Re dT = 40, e^{-dT} is below half an ulp of 1 and E is -1 (the far nodes of a
    // sum, spared expm1's three trigonometric calls).
    const Z E = std::real(value_of(dT)) > 40.0 ? Z(-1.0) : exp_less_one(-dT);
    const Z phi1 = value_of(dT) == 0.0 ? Z(1.0) : times(-E, reciprocal(dT));
    const Z P = T * phi1;
    const Z r = reciprocal(2.0 + times(beta, P));
    const Z y = times(0.5 * beta, P);
    const Z y_x = times(0.5 * (xi * beta_x), P);
    const Z D = times(times(m, P), r);
    return {D, times(beta_x * T, g(dT, phi1)) + times(2.0 * times(y_x, y_x), h2(y)),
            times(times(2.0 * m, 1.0 + E), times(r, r))};
}

// The same solution for real (b, m) whose discriminant is negative, b^2 - xi^2 m =
// -delta^2 (a real w beyond the poles, as the lines' choice asks for): with d = i delta
// every complex factor above becomes a phase that cancels, and with phi = delta T / 2,
// S = 2 sin(phi) / delta = T sin(phi) / phi and y = b S / 2 - (1 - cos phi),
//
//     D = m S / (2 (1 + y)),   dD/dT = m / (2 (1 + y)^2),
//     C = (2 / xi^2) (b T (1 - sin(phi) / phi) / 2 + (1 - cos phi) + y^2 h2(y)),
//
// in real arithmetic at a fraction of the complex one's cost. 1 - sin(phi) / phi comes
// from its series below phi = 1/2 (to phi^16; the next term is under 1e-17 of it), and
// 1 - cos phi as sin^2 / (1 + cos) where cos >= 0, so that neither difference cancels.
// The moments explode before phi reaches pi or 1 + y reaches 0: beyond, NaN.
inline Solution<double> solve_oscillating(double b, double m, double xi, double T) {
    static constexpr double c[] = {0.0,          1.0 / 6,          -1.0 / 120,          1.0 / 5040,          -1.0 / 362880,
                                   1.0 / 39916800, -1.0 / 6227020800, 1.0 / 1307674368000, -1.0 / 355687428096000};
    const double delta = std::sqrt((xi * xi) * m - b * b);
    const double phi = 0.5 * delta * T;
    const double sine = std::sin(phi), cosine = std::cos(phi);
    const double sinc_gap = phi < 0.5 ? polynomial(phi * phi, c) : 1.0 - sine / phi;
    const double S = T * (1.0 - sinc_gap);
    const double versine = cosine >= 0.0 ? sine * sine / (1.0 + cosine) : 1.0 - cosine;
    const double y = 0.5 * b * S - versine;
    if (!(phi < 3.141592653589793 && y > -1.0)) return {std::nan(""), std::nan(""), std::nan("")};
    const double r = 1.0 / (1.0 + y);
    return {0.5 * m * S * r, 2.0 / (xi * xi) * (0.5 * b * T * sinc_gap + versine + y * y * h2(y)), 0.5 * m * r * r};
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
// beyond the poles, so doubling brackets the edge; regula falsi on ln(time / T), smooth
// and nearly linear there, closes in to a relative 1e-9 in a few steps where bisection
// takes thirty (the Illinois rule halves the value kept at an end that stays put, so that
// both ends converge; an infinite time, never exploding, is bisected away). The inner end
// of the bracket is returned, so the edge never lies outside the strip. The caller keeps
// its lines a fifth of the way away from an edge.
template <class ExplosionTime>
double strip_edge(double direction, double T, ExplosionTime&& time) {
    const double pole = direction > 0.0 ? 1.0 : 0.0;
    double inner = pole;
    double outer = pole + direction;
    double inner_log = std::numeric_limits<double>::infinity();
    double outer_log;
    while ((outer_log = std::log(time(outer) / T)) > 0.0) {
        inner = outer;
        inner_log = outer_log;
        outer = pole + 2.0 * (outer - pole);
        if (!(std::abs(outer) < 1e300)) return direction * std::numeric_limits<double>::infinity();
    }
    int kept = 0;  // the end that stayed put last step: +1 inner, -1 outer
    for (int i = 0; i < 200; ++i) {
        const double width = outer - inner;
        const double tolerance = 1e-9 * std::abs(inner) + 1e-12;
        if (!(std::abs(width) > tolerance)) break;
        double w = std::isfinite(inner_log) && std::isfinite(outer_log) ? outer - outer_log * width / (outer_log - inner_log) : inner + 0.5 * width;
        // At least half the tolerance from either end, so that a root next to one end is
        // bracketed within the tolerance by the next step.
        const double margin = 0.5 * tolerance * direction;
        if (!((w - inner) * direction >= 0.5 * tolerance)) w = inner + margin;
        if (!((outer - w) * direction >= 0.5 * tolerance)) w = outer - margin;
        const double at = std::log(time(w) / T);
        if (at > 0.0) {
            inner = w;
            inner_log = at;
            if (kept == -1) outer_log *= 0.5;
            kept = -1;
        } else {
            outer = w;
            outer_log = at;
            if (kept == 1) inner_log *= 0.5;
            kept = 1;
        }
    }
    return inner;
}

}  // namespace tarnwick::charfun::heston
