#pragma once

// Black-Scholes prices and Greeks in closed form, with a continuous dividend yield.

#include <cmath>

#include "common/option.hpp"

namespace tarnwick::blackscholes {

struct BlackScholes {
    double sigma;
    static constexpr int parameter_count = 1;
};

inline constexpr double inv_sqrt_two = 0.7071067811865476;
inline constexpr double inv_sqrt_two_pi = 0.3989422804014327;

// Phi(x) as erfc(-x / sqrt 2) / 2: relative accuracy in the lower tail, where the
// out-of-the-money terms live (1 - Phi(-x) would round them to zero).
inline double normal_cdf(double x) { return 0.5 * std::erfc(-x * inv_sqrt_two); }
inline double normal_pdf(double x) { return inv_sqrt_two_pi * std::exp(-0.5 * x * x); }

struct Terms {
    double d1, d2, sd;    // d1, d2 and sigma sqrt(T)
    double spot, strike;  // S e^{-qT} and K e^{-rT}
    double n1, n2;        // Phi(+-d1), Phi(+-d2), the sign + for calls and - for puts
    double pdf;           // phi(d1)
    double d1_dT;         // d d1 / dT
};

inline Terms terms(double sigma, const Option& o) {
    Terms t{};
    t.sd = sigma * std::sqrt(o.T);
    t.d1 = (std::log(o.S / o.K) + (o.r - o.q + 0.5 * sigma * sigma) * o.T) / t.sd;
    t.d2 = t.d1 - t.sd;
    t.spot = o.S * std::exp(-o.q * o.T);
    t.strike = o.K * std::exp(-o.r * o.T);
    const double sign = o.call ? 1.0 : -1.0;
    t.n1 = normal_cdf(sign * t.d1);
    t.n2 = normal_cdf(sign * t.d2);
    t.pdf = normal_pdf(t.d1);
    t.d1_dT = (o.r - o.q + 0.5 * sigma * sigma) / t.sd - t.d1 / (2.0 * o.T);
    return t;
}

// Each side from its own pair of terms; no put-call parity.
inline double price(const BlackScholes& model, const Option& o) {
    const Terms t = terms(model.sigma, o);
    return o.call ? t.spot * t.n1 - t.strike * t.n2 : t.strike * t.n2 - t.spot * t.n1;
}

// The price and twelve Greeks in the order of greek::Index.
inline void greeks(const BlackScholes& model, const Option& o, double* out) {
    const double sigma = model.sigma;
    const Terms t = terms(sigma, o);
    const double sign = o.call ? 1.0 : -1.0;
    const double df_q = std::exp(-o.q * o.T);
    const double delta = sign * df_q * t.n1;
    const double gamma = df_q * t.pdf / (o.S * t.sd);
    const double vega = t.spot * t.pdf * std::sqrt(o.T);
    out[greek::price] = sign * (t.spot * t.n1 - t.strike * t.n2);
    out[greek::delta] = delta;
    out[greek::gamma] = gamma;
    out[greek::vega] = vega;
    // -dV/dT: the diffusion's time decay and the carry of both legs.
    out[greek::theta] = -t.spot * t.pdf * sigma / (2.0 * std::sqrt(o.T)) +
                        sign * (o.q * t.spot * t.n1 - o.r * t.strike * t.n2);
    out[greek::rho] = sign * o.T * t.strike * t.n2;
    out[greek::epsilon] = -sign * o.T * t.spot * t.n1;
    out[greek::vanna] = -df_q * t.pdf * t.d2 / sigma;
    out[greek::charm] = o.q * delta - df_q * t.pdf * t.d1_dT;
    out[greek::speed] = -gamma / o.S * (1.0 + t.d1 / t.sd);
    out[greek::colour] = gamma * (o.q + 1.0 / (2.0 * o.T) + t.d1 * t.d1_dT);
    out[greek::zomma] = gamma * (t.d1 * t.d2 - 1.0) / sigma;
    out[greek::vomma] = vega * t.d1 * t.d2 / sigma;
}

// The price and dV/dsigma.
inline void sensitivities(const BlackScholes& model, const Option& o, double* out) {
    const Terms t = terms(model.sigma, o);
    out[0] = price(model, o);
    out[1] = t.spot * t.pdf * std::sqrt(o.T);
}

}  // namespace tarnwick::blackscholes
