#pragma once

// Greeks of one option and parameter sensitivities of a chain of options by the trapezoid
// rule along the contour chosen in contour.hpp, summed by chain_pricer.hpp. Every derivative
// is taken under the integral, so all of them come from the same characteristic-function
// values. In forward terms V = D F (1/2 pi) int e^{L(w, T)} (K/F)^{1-w} / (w (w - 1)) du:
// - F^n d^n V / dF^n multiplies the integrand by the falling factorial w (w - 1) ... (w - n + 1);
// - K dV/dK by 1 - w;
// - T, the volatility coordinate and the model parameters differentiate L.
// The spot Greeks follow from these in market/greeks.hpp.
// Sums run over u >= 0: the integrand at -u is the conjugate of that at u.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>

#include "common/status.hpp"
#include "fourier/chain_pricer.hpp"
#include "fourier/contour.hpp"
#include "market/forward.hpp"
#include "market/greeks.hpp"
#include "product/option.hpp"

namespace tarnwick::fourier {

// Absolute error goal in units of the discounted forward: a margin below the prices'
// (chain_pricer.hpp), since these integrands carry polynomial factors in w.
inline constexpr double derivative_log_tolerance = -40.0;

// The derivatives of market/greeks.hpp of one option but its value, on the contour of its
// own side. The value is left to the caller: it is the price's own (price or price_chain in
// chain_pricer.hpp), so that a price and its Greeks agree to the last bit.
// A costly model's (charfun::costly) Greeks take the price's contour, off the saddle with
// the price's step: its integrand falls only exponentially, so the sum is long, and the
// price's step keeps the polynomial factors' error (|w|^3 |dL/dT| over the integrand's
// bulk, under e^10) far below 1e-10 of the spot; the tail is still cut at the Greeks' goal.
template <class Model>
Contour greeks_contour(const Model& model, double k, double T, Interval range) {
    if constexpr (charfun::costly<Model>::value)
        return choose_contour(model, T, k, k, range, price_log_tolerance, price_log_excess);
    return choose_contour(model, T, k, k, range, derivative_log_tolerance, 0.0);
}

// The forward-term derivatives (market/greeks.hpp) of the residue of one pole, times sign:
// D F e^{L(1)} at w = 1 (a call's, whose F dV/dF is itself), D K e^{L(0)} at w = 0 (a
// put's, with no F-derivative). Only their dependence on T through L remains: L at a pole
// has no volatility derivative, since the diffusion's term carries w (w - 1).
template <class Model>
void add_residue(const Model& model, const market::Forward& f, double T, bool call, double sign,
                 market::ForwardGreeks& out) {
    const charfun::LogMgf L = pole_log_mgf(model, T, call);
    const double residue = sign * std::exp(L.value.real()) * (call ? f.discounted_forward : f.discounted_strike);
    if (call) {
        out.f1 += residue;
        out.t1 += residue * L.d_T.real();
    }
    out.t0 += residue * L.d_T.real();
}

template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product, const Line& line,
                      market::ForwardGreeks& out, Stop stop = {}) {
    const double k = f.k;
    const Contour& contour = line.contour;
    // With B = e / (w (w - 1)), L_T = dL/dT and L_v, L_vv the derivatives in the volatility.
    enum { WB, WWB, WWW2B, TB, TWB, TWWB, VB, VWB, VWWB, VVB, count };
    double s[count];
    const Status status = accumulate_chain<count>(
        model, T, contour, &k, 1, derivative_log_tolerance, false,
        [&](complex w, const charfun::LogMgfAndVolatility& L, complex e, complex* g) {
            const complex ww = w * (w - 1.0);
            const complex b = e / ww;
            const charfun::VolatilityDerivatives& v = L.volatility;
            const complex wb = w * b;
            const complex vb = v.first * b;
            const complex terms[count] = {wb,        e,        (w - 2.0) * e, L.d_T * b, L.d_T * wb,
                                          L.d_T * e, vb,       w * vb,        ww * vb,   (v.second + v.first * v.first) * b};
            std::copy(terms, terms + count, g);
            // An upper bound of the factors' size; |Re| + |Im| bounds a modulus without hypot's cost.
            const auto size = [](complex z) { return std::abs(z.real()) + std::abs(z.imag()); };
            return (1.0 + size(ww)) * (1.0 + size(w)) * (1.0 + size(L.d_T) + size(v.first));
        },
        s, 1, stop,
        [](const Model& m, complex w, double t) { return charfun::log_mgf_and_volatility(m, w, t); });
    const double scale = f.discounted_forward;
    out.f1 = scale * s[WB];
    // K dV/dK = V - F dV/dF: both are of the price's size or the difference is (its error is
    // an ulp of the price, far below the integrals' own).
    out.strike = out.value - out.f1;
    out.f2 = scale * s[WWB];
    out.f3 = scale * s[WWW2B];
    out.t0 = scale * s[TB];
    out.t1 = scale * s[TWB];
    out.t2 = scale * s[TWWB];
    out.v0 = scale * s[VB];
    out.v1 = scale * s[VWB];
    out.v2 = scale * s[VWWB];
    out.vv = scale * s[VVB];
    if (line.between_poles) {
        add_residue(model, f, T, product.call(), 1.0, out);
        out.strike = out.value - out.f1;
    }
    return status;
}

template <class Model>
Line greeks_line(const Model& model, double k, double T, Product product) {
    // The integrands carry up to w^3 times dL/dT, which grows like w^2.
    return choose_line(model, T, admissible(model, T, product.call()), k, derivative_log_tolerance, false, 5,
                       [&](Interval range) { return greeks_contour(model, k, T, range); });
}

template <class Model>
SideLine greeks_side_line(const Model& model, double k, double T, Product product) {
    return shorter_side(product.call(), [&](bool call) {
        return greeks_line(model, k, T, Product{call ? Payoff::call : Payoff::put});
    });
}

// The option's Greeks from those of the side on the line: put-call parity, call - put =
// D F e^{L(1)} - D K e^{L(0)} (the residues at the poles; D F - D K for a probability
// measure), moves F dV/dF and the T-derivatives by those residues' and K dV/dK with them.
template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      const SideLine& on, market::ForwardGreeks& out, Stop stop = {}) {
    const Product side{on.call ? Payoff::call : Payoff::put};
    const Status status = forward_greeks(model, f, T, side, on.line, out, stop);
    if (on.call != product.call()) {
        const double sign = product.call() ? 1.0 : -1.0;
        add_residue(model, f, T, true, sign, out);
        add_residue(model, f, T, false, -sign, out);
        out.strike = out.value - out.f1;
    }
    return status;
}

template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      market::ForwardGreeks& out, Stop stop = {}) {
    return forward_greeks(model, f, T, product, greeks_side_line(model, f.k, T, product), out, stop);
}

// The prices (row 0) and dL/d(parameter) integrals (rows 1..parameters, in the model's
// order) in units of D F for a chain of strikes as in price_chain, to out[row * stride + i].
// The contour suits the gradient's strip and carries the derivatives' tighter error goal;
// the chain shares it, the nodes, the log-MGF and its gradient. Like the prices' line it may
// leave the saddle for a longer step: the gradient grows at most like |w|^2 (a diffusion
// term), which the tail test counts and the e^-40 goal (e^5 below the prices') absorbs along
// the line; off the saddle the sums need about half the nodes and agree with those on it to
// a few 1e-13 of the spot.
// On the strip of the model for parameter derivatives (range from that model).
template <class Model>
Contour sensitivities_contour(const Model& model, double T, Interval range, const double* k, std::size_t n) {
    const Model strip = model.for_parameter_derivatives();
    const auto [lo, hi] = std::minmax_element(k, k + n);
    return choose_contour(strip, T, *lo, *hi, range, derivative_log_tolerance, price_log_excess);
}

// The residue of one pole times sign, e^{L} at w = 1 (a call's) or e^k e^{L} at w = 0 (a
// put's), and its parameter derivatives, in units of D F, added to a chain's rows.
template <class Model>
void add_residue_sensitivities(const Model& model, double T, bool call, double sign, const double* k, std::size_t n,
                               double* out, std::size_t stride) {
    constexpr std::size_t count = Model::parameter_count;
    const double residue = sign * std::exp(pole_log_mgf(model, T, call).value.real());
    complex gradient[count];
    model.log_mgf_gradient(call ? 1.0 : 0.0, T, gradient);
    for (std::size_t i = 0; i < n; ++i) {
        const double scaled = call ? residue : std::exp(k[i]) * residue;
        out[i] += scaled;
        for (std::size_t p = 0; p < count; ++p) out[(p + 1) * stride + i] += scaled * gradient[p].real();
    }
}

template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const Line& line, const double* k, std::size_t n,
                           double* out, std::size_t stride, Stop stop = {}) {
    constexpr std::size_t count = Model::parameter_count;
    const Status status = accumulate_chain<count + 1>(model, T, line.contour, k, n, derivative_log_tolerance, false,
                                       [&](complex w, const charfun::LogMgf&, complex e, complex* g) {
                                           // As for prices, one real division instead of a complex one.
                                           const complex ww = w * (w - 1.0);
                                           g[0] = e * std::conj(ww) / std::norm(ww);
                                           complex grad[count];
                                           model.log_mgf_gradient(w, T, grad);
                                           // The tail test needs an upper bound of the factors' size, and
                                           // |Re| + |Im| is one without hypot's cost (a sixth of the pass).
                                           double factor = 1.0;
                                           for (std::size_t i = 0; i < count; ++i) {
                                               g[i + 1] = grad[i] * g[0];
                                               factor += std::abs(grad[i].real()) + std::abs(grad[i].imag());
                                           }
                                           return factor;
                                       },
                                       out, stride, stop);
    if (line.between_poles) add_residue_sensitivities(model, T, call, 1.0, k, n, out, stride);
    return status;
}

// A line within the gradient's strip (that of the model for parameter derivatives), its
// nodes those of the model itself: the model for derivatives may carry jumps the model has
// not (lam = 0), whose decay the integrand does not have.
template <class Model>
Line sensitivities_line(const Model& model, double T, bool call, const double* k, std::size_t n) {
    return choose_line(model, T, admissible(model.for_parameter_derivatives(), T, call), 0.5 * (k[0] + k[n - 1]),
                       derivative_log_tolerance, false, 2,
                       [&](Interval range) { return sensitivities_contour(model, T, range, k, n); });
}

template <class Model>
SideLine sensitivities_side_line(const Model& model, double T, bool call, const double* k, std::size_t n) {
    return shorter_side(call, [&](bool side) { return sensitivities_line(model, T, side, k, n); });
}

// The chain's rows for the side `call` from those of the side on the line, by put-call
// parity with the poles' residues (as forward_greeks).
template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const SideLine& on, const double* k, std::size_t n,
                           double* out, std::size_t stride, Stop stop = {}) {
    const Status status = sensitivities_chain(model, T, on.call, on.line, k, n, out, stride, stop);
    if (on.call != call) {
        const double sign = call ? 1.0 : -1.0;
        add_residue_sensitivities(model, T, true, sign, k, n, out, stride);
        add_residue_sensitivities(model, T, false, -sign, k, n, out, stride);
    }
    return status;
}

template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const double* k, std::size_t n, double* out,
                           std::size_t stride, Stop stop = {}) {
    return sensitivities_chain(model, T, call, sensitivities_side_line(model, T, call, k, n), k, n, out, stride, stop);
}

// One option: the price, then dV/d(parameter) for each model parameter in the model's
// order; NaN where the status is not ok.
template <class Model>
Status sensitivities(const Model& model, const market::Forward& f, double T, Product product, double* out,
                     Stop stop = {}) {
    const Status status = sensitivities_chain(model, T, product.call(), &f.k, 1, out, 1, stop);
    for (int i = 0; i <= Model::parameter_count; ++i)
        out[i] = status == Status::ok ? out[i] * f.discounted_forward : std::nan("");
    return status;
}

}  // namespace tarnwick::fourier
