#pragma once

// Black's formula: European prices and their derivatives in forward terms under a
// lognormal forward with volatility sigma, V = D (F Phi(d1) - K Phi(d2)) for a call and
// D (K Phi(-d2) - F Phi(-d1)) for a put, d1,2 = ln(F/K) / s +- s / 2 with s = sigma sqrt(T).
//
// d1 and d2 are formed as h +- s/2 with h = ln(F/K) / s rather than from sigma^2 T: for any
// sigma a model accepts (up to the largest double) no intermediate overflows, and where
// the density at d1 underflows every term it multiplies is zero, not 0 * inf.

#include <cmath>

#include "market/forward.hpp"
#include "market/greeks.hpp"
#include "product/option.hpp"
#include "special/normal_distribution.hpp"

namespace tarnwick::blackscholes {

struct Terms {
    double d1, d2, s;  // d1, d2 and sigma sqrt(T)
    double n1, n2;     // Phi(+-d1), Phi(+-d2), + for calls and - for puts
    double sign;       // +1 for calls, -1 for puts
};

inline Terms terms(double sigma, const market::Forward& f, double T, Product product) {
    Terms t{};
    t.s = sigma * std::sqrt(T);
    // ln(F/K) = -k; at the money h is 0 also where s overflows.
    const double h = f.k == 0.0 ? 0.0 : -f.k / t.s;
    t.d1 = h + 0.5 * t.s;
    t.d2 = h - 0.5 * t.s;
    t.sign = product.call() ? 1.0 : -1.0;
    // Each side from its own tails, not through parity: out-of-the-money prices keep their
    // relative accuracy.
    t.n1 = special::normal_cdf(t.sign * t.d1);
    t.n2 = special::normal_cdf(t.sign * t.d2);
    return t;
}

// phi(d1), apart from the terms: a price does not need it, and its exponential is a fifth
// of a price's cost (the library's exp sets errno, so an unused one is still computed).
inline double density(const Terms& t) { return special::normal_pdf(t.d1); }

// Each side's difference in its own order rather than the call's times the sign: the same
// magnitude to the last bit, but a put whose terms are both zero is +0, not -0.
inline double price(const Terms& t, const market::Forward& f) {
    const double forward_part = f.discounted_forward * t.n1, strike_part = f.discounted_strike * t.n2;
    return t.sign > 0.0 ? forward_part - strike_part : strike_part - forward_part;
}

inline double price(double sigma, const market::Forward& f, double T, Product product) {
    return price(terms(sigma, f, T, product), f);
}

// dV/dsigma from phi(d1).
inline double vega(double density, const market::Forward& f, double T) {
    return f.discounted_forward * density * std::sqrt(T);
}

// The derivatives of market/greeks.hpp, the volatility coordinate being sigma. With
// phi(d1) F = phi(d2) K, dd1/dT = -d2 / (2T) and dd1/dsigma = -d2 / sigma at fixed F.
inline market::ForwardGreeks forward_greeks(double sigma, const market::Forward& f, double T, Product product) {
    const Terms t = terms(sigma, f, T, product);
    market::ForwardGreeks g{};
    g.value = price(t, f);
    g.f1 = t.sign * f.discounted_forward * t.n1;
    g.strike = -t.sign * f.discounted_strike * t.n2;
    const double phi = density(t);
    if (phi == 0.0) return g;  // every other term carries phi(d1)
    const double dF = f.discounted_forward;
    g.f2 = dF * phi / t.s;
    g.f3 = -g.f2 * (1.0 + t.d1 / t.s);
    g.t0 = dF * phi * sigma / (2.0 * std::sqrt(T));
    g.t1 = -dF * phi * t.d2 / (2.0 * T);
    g.t2 = g.f2 * (t.d1 * t.d2 - 1.0) / (2.0 * T);
    g.v0 = vega(phi, f, T);
    g.v1 = -dF * phi * t.d2 / sigma;
    g.v2 = g.f2 * (t.d1 * t.d2 - 1.0) / sigma;
    g.vv = g.v0 * t.d1 * t.d2 / sigma;
    return g;
}

// The price and dV/dsigma.
inline void sensitivities(double sigma, const market::Forward& f, double T, Product product, double* out) {
    const Terms t = terms(sigma, f, T, product);
    out[0] = price(t, f);
    out[1] = vega(density(t), f, T);
}

}  // namespace tarnwick::blackscholes
