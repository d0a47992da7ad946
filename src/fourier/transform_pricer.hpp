#pragma once

// Greeks and parameter sensitivities of one option by the trapezoid rule along the
// contour chosen in contour.hpp (prices: chain_pricer.hpp). Every derivative is taken under the integral, so all
// of them come from the same characteristic-function values:
// - S: V = e^{-qT} (1/2 pi) int M(w) S^w K^{1-w} e^{-(r-q)(1-w)T} / (w (w - 1)) du, so each
//   S-derivative multiplies the integrand by a falling factorial of w;
// - T, r, q and the model parameters differentiate the exponent.
// Sums run over u >= 0: the integrand at -u is the conjugate of that at u.

#include <cmath>
#include <complex>

#include "common/option.hpp"
#include "fourier/contour.hpp"
#include "fourier/chain_pricer.hpp"

namespace tarnwick::fourier {

// Absolute error goal in units of the discounted forward: a margin below the prices'
// (chain_pricer.hpp), since these integrands carry polynomial factors in w.
inline constexpr double derivative_log_tolerance = -40.0;

struct Line {
    double k;      // ln(K / F)
    double theta;  // Re w along the contour
    double step;   // trapezoid step in u
};

template <class Model>
Line line_for(const Model& model, const Option& o, double log_tolerance) {
    const double k = std::log(o.K / o.S) - (o.r - o.q) * o.T;
    const Contour contour = choose_contour(model, o.T, k, k, admissible(model, o.call), log_tolerance, 0.0);
    // As for prices: resolve at least the diffusion's Gaussian width.
    return {k, contour.theta, std::min(contour.step, 1.0 / (model.sigma * std::sqrt(o.T)))};
}

// Calls node(w, kappa, e, weight) at u = 0, h, 2h, ... with e = exp(T kappa + (1 - w) k) and
// the trapezoid weight, until TailTest ends it; node returns a bound of its integrands'
// polynomial factors relative to e / (w (w - 1)). Returns the step.
template <class Model, class Node>
double sweep(const Model& model, double T, const Line& line, double log_tolerance, Node&& node) {
    const TailTest<Model> tail(model, T, line.theta, line.k, log_tolerance, false);
    const double h = line.step;
    for (long j = 0; j < max_nodes; ++j) {
        const double u = h * static_cast<double>(j);
        const complex w{line.theta, u};
        const complex kappa = model.exponent(w);
        const complex e = std::exp(T * kappa + (1.0 - w) * line.k);
        const double size = node(w, kappa, e, j == 0 ? 0.5 : 1.0);
        if (j % tail_test_interval == 0 && j > 0 && tail.done(u, size)) break;
    }
    return h;
}

// The price and twelve Greeks, in the order of greek::Index; see the Python
// docstring for their conventions.
template <class Model>
void greeks(const Model& model, const Option& o, double* out) {
    const Line line = line_for(model, o, derivative_log_tolerance);
    const double drift = o.r - o.q;
    // Integrands, with B = e / (w (w - 1)) and D = d(exponent of V's integrand)/dT.
    enum { B, WB, E_OVER_W, E, W2E, WE, WWE, DB, DWB, DE, count };
    double s[count] = {};
    const double h = sweep(model, o.T, line, derivative_log_tolerance,
                           [&](complex w, complex kappa, complex e, double weight) {
                               const complex ww = w * (w - 1.0);
                               const complex b = e / ww;
                               const complex d = kappa - o.q - (1.0 - w) * drift;
                               const complex terms[count] = {b,     w * b, e / w, e,         (w - 2.0) * e,
                                                             w * e, ww * e, d * b, d * w * b, d * e};
                               for (int i = 0; i < count; ++i) s[i] += weight * terms[i].real();
                               return (1.0 + std::abs(ww)) * (1.0 + std::abs(w)) * (1.0 + std::abs(d));
                           });
    for (double& v : s) v *= h / pi;
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

// The price, then dV/d(parameter) for each model parameter in the model's order.
template <class Model>
void sensitivities(const Model& model, const Option& o, double* out) {
    constexpr int n = Model::parameter_count;
    const Line line = line_for(model.for_parameter_derivatives(), o, derivative_log_tolerance);
    double s[n + 1] = {};
    const double h = sweep(model, o.T, line, derivative_log_tolerance,
                           [&](complex w, complex, complex e, double weight) {
                               const complex b = e / (w * (w - 1.0));
                               complex grad[n];
                               model.gradient(w, grad);
                               s[0] += weight * b.real();
                               double factor = 1.0;
                               for (int i = 0; i < n; ++i) {
                                   s[i + 1] += weight * (grad[i] * b).real();
                                   factor += o.T * std::abs(grad[i]);
                               }
                               return factor;
                           });
    const double scale = o.S * std::exp(-o.q * o.T) * h / pi;
    out[0] = scale * s[0];
    for (int i = 1; i <= n; ++i) out[i] = scale * o.T * s[i];
}

}  // namespace tarnwick::fourier
