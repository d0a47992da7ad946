#pragma once

// Greeks of one option and parameter sensitivities of a chain of options by the trapezoid
// rule along the contour chosen in contour.hpp, summed by chain_pricer.hpp. Every derivative
// is taken under the integral, so all of them come from the same characteristic-function
// values:
// - S: V = e^{-qT} (1/2 pi) int M(w) S^w K^{1-w} e^{-(r-q)(1-w)T} / (w (w - 1)) du, so each
//   S-derivative multiplies the integrand by a falling factorial of w;
// - T, r, q and the model parameters differentiate the exponent.
// Sums run over u >= 0: the integrand at -u is the conjugate of that at u.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>

#include "common/option.hpp"
#include "fourier/contour.hpp"
#include "fourier/chain_pricer.hpp"

namespace tarnwick::fourier {

// Absolute error goal in units of the discounted forward: a margin below the prices'
// (chain_pricer.hpp), since these integrands carry polynomial factors in w.
inline constexpr double derivative_log_tolerance = -40.0;

// The price and twelve Greeks, in the order of greek::Index; see the Python
// docstring for their conventions.
template <class Model>
void greeks(const Model& model, const Option& o, double* out) {
    const double k = log_moneyness(o);
    const Contour contour = choose_contour(model, o.T, k, k, admissible(model, o.call), derivative_log_tolerance, 0.0);
    const double drift = o.r - o.q;
    // Integrands, with B = e / (w (w - 1)) and D = d(exponent of V's integrand)/dT.
    enum { B, WB, E_OVER_W, E, W2E, WE, WWE, DB, DWB, DE, count };
    double s[count];
    accumulate_chain<count>(model, o.T, contour, &k, 1, derivative_log_tolerance, false,
                            [&](complex w, complex kappa, complex e, complex* g) {
                                const complex ww = w * (w - 1.0);
                                const complex b = e / ww;
                                const complex d = kappa - o.q - (1.0 - w) * drift;
                                const complex terms[count] = {b,     w * b, e / w, e,         (w - 2.0) * e,
                                                              w * e, ww * e, d * b, d * w * b, d * e};
                                std::copy(terms, terms + count, g);
                                return (1.0 + std::abs(ww)) * (1.0 + std::abs(w)) * (1.0 + std::abs(d));
                            },
                            s, 1);
    const double df = std::exp(-o.q * o.T);
    const double S = o.S;
    const double T = o.T;
    const double sT = model.sigma * T;
    out[greek::price] = S * df * s[B];
    out[greek::delta] = df * s[WB];
    out[greek::gamma] = df / S * s[E];
    out[greek::vega] = S * df * sT * s[E];
    out[greek::theta] = -S * df * s[DB];
    out[greek::rho] = S * df * T * s[E_OVER_W];
    out[greek::epsilon] = -S * df * T * s[WB];
    out[greek::vanna] = df * sT * s[WE];
    out[greek::charm] = -df * s[DWB];
    out[greek::speed] = df / (S * S) * s[W2E];
    out[greek::colour] = -df / S * s[DE];
    out[greek::zomma] = df / S * sT * s[WWE];
    out[greek::vomma] = S * df * (T * s[E] + sT * sT * s[WWE]);
}

// The prices (row 0) and T dkappa/d(parameter) integrals (rows 1..parameters, in the
// model's order) in units of S e^{-qT} for a chain of strikes as in price_chain, to
// out[row * stride + i]. The contour suits the gradient's strip and carries the derivatives'
// tighter error goal; the chain shares it, the nodes, the exponent and its gradient. Like
// the prices' line it may leave the saddle for a longer step: the gradient grows at most like
// |w|^2 (the sigma term), which the tail test counts and the e^-40 goal (e^5 below the prices')
// absorbs along the line; off the saddle the sums need about half the nodes and agree with
// those on it to a few 1e-13 of the spot.
template <class Model>
void sensitivities_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                         std::size_t stride) {
    constexpr std::size_t count = Model::parameter_count;
    const Model strip = model.for_parameter_derivatives();
    const auto [lo, hi] = std::minmax_element(k, k + n);
    const Contour contour = choose_contour(strip, T, *lo, *hi, admissible(strip, call), derivative_log_tolerance,
                                           price_log_excess);
    accumulate_chain<count + 1>(model, T, contour, k, n, derivative_log_tolerance, false,
                                [&](complex w, complex, complex e, complex* g) {
                                    // As for prices, one real division instead of a complex one.
                                    const complex ww = w * (w - 1.0);
                                    g[0] = e * std::conj(ww) / std::norm(ww);
                                    complex grad[count];
                                    model.gradient(w, grad);
                                    // The tail test needs an upper bound of the factors' size, and
                                    // |Re| + |Im| is one without hypot's cost (a sixth of the pass).
                                    double factor = 1.0;
                                    for (std::size_t i = 0; i < count; ++i) {
                                        g[i + 1] = T * grad[i] * g[0];
                                        factor += T * (std::abs(grad[i].real()) + std::abs(grad[i].imag()));
                                    }
                                    return factor;
                                },
                                out, stride);
}

// One option: the price, then dV/d(parameter) for each model parameter in the model's
// order.
template <class Model>
void sensitivities(const Model& model, const Option& o, double* out) {
    const double k = log_moneyness(o);
    sensitivities_chain(model, o.T, o.call, &k, 1, out, 1);
    const double scale = o.S * std::exp(-o.q * o.T);
    for (int i = 0; i <= Model::parameter_count; ++i) out[i] *= scale;
}

}  // namespace tarnwick::fourier
