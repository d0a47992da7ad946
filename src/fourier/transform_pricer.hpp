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
#include "taylor/dual.hpp"

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

// The rows of the Greeks' sums, with B = e / (w (w - 1)), L_T = dL/dT and L_v, L_vv the
// derivatives in the volatility.
enum GreekRow { WB, WWB, WWW2B, TB, TWB, TWWB, VB, VWB, VWWB, VVB, greek_rows };

// |Re| + |Im|: an upper bound of a modulus without hypot's cost.
inline double modulus_bound(complex z) { return std::abs(z.real()) + std::abs(z.imag()); }

// a b without std::complex's test for NaN parts (taylor/dual.hpp; a third of the Greeks'
// pass): a non-finite node makes the sum's status not_finite either way.
using taylor::times;

// The Greeks' integrands at one node from L, e, ww = w (w - 1) and b = e / ww.
inline void greek_integrands(complex w, complex ww, const charfun::LogMgfAndVolatility& L, complex e, complex b,
                             complex* g) {
    const charfun::VolatilityDerivatives& v = L.volatility;
    const complex wb = times(w, b);
    const complex vb = times(v.first, b);
    const complex terms[greek_rows] = {wb,
                                       e,
                                       times(w - 2.0, e),
                                       times(L.d_T, b),
                                       times(L.d_T, wb),
                                       times(L.d_T, e),
                                       vb,
                                       times(w, vb),
                                       times(ww, vb),
                                       times(v.second + times(v.first, v.first), b)};
    std::copy(terms, terms + greek_rows, g);
}

// An upper bound of the Greeks' integrands relative to b for the tail test: each factor but
// the last is at most (1 + |w (w - 1)|) times one of 2 + |w|, |L_T|, |L_v| (|w| <= 1 +
// |w (w - 1)|); the product of all three sizes would overstate the largest, w (w - 1) (w - 2),
// by a factor |w|, some tens of nodes of the sum where the diffusion is small. L_v and L_vv
// are w (w - 1) times the model's volatility factors.
inline double greek_factor_bound(complex w, complex ww, complex L_T, charfun::VolatilityFactors v) {
    const double ww_size = modulus_bound(ww);
    const double first = std::abs(v.first) * ww_size;
    return (1.0 + ww_size) * (2.0 + modulus_bound(w) + modulus_bound(L_T) + first) + std::abs(v.second) * ww_size +
           first * first;
}

// The Greeks' integrands at one node from L, e, b = e / (w (w - 1)) and ww = w (w - 1) for
// a model with volatility factors (model_interface.hpp): the volatility rows are v1 e,
// v1 w e, v1 ww e and v2 e + v1^2 ww e, five products fewer than from L_v and L_vv.
inline void greek_integrands(complex w, complex ww, complex L_T, complex e, complex b, charfun::VolatilityFactors v,
                             complex* g) {
    const complex wb = times(w, b);
    const complex we = times(w, e);
    const complex wwe = times(ww, e);
    g[WB] = wb;
    g[WWB] = e;
    g[WWW2B] = we - 2.0 * e;
    g[TB] = times(L_T, b);
    g[TWB] = times(L_T, wb);
    g[TWWB] = times(L_T, e);
    g[VB] = v.first * e;
    g[VWB] = v.first * we;
    g[VWWB] = v.first * wwe;
    g[VVB] = v.second * e + (v.first * v.first) * wwe;
}

struct LogMgfAndVolatilityOf {
    template <class Model>
    charfun::LogMgfAndVolatility operator()(const Model& model, complex w, double T) const {
        return charfun::log_mgf_and_volatility(model, w, T);
    }
};

// The option's forward-term Greeks but its value (set by the caller) from the sums s[r *
// stride] of the side `side` along a line (between_poles as the line's): the residue the
// line between the poles leaves out, then put-call parity, call - put = D F e^{L(1)} - D K
// e^{L(0)} (the residues at the poles; D F - D K for a probability measure), which moves
// F dV/dF and the T-derivatives by those residues' and K dV/dK with them.
template <class Model>
void greeks_from_sums(const Model& model, const market::Forward& f, double T, Product product, bool side,
                      bool between_poles, const double* s, std::size_t stride, market::ForwardGreeks& out) {
    const double scale = f.discounted_forward;
    out.f1 = scale * s[WB * stride];
    out.f2 = scale * s[WWB * stride];
    out.f3 = scale * s[WWW2B * stride];
    out.t0 = scale * s[TB * stride];
    out.t1 = scale * s[TWB * stride];
    out.t2 = scale * s[TWWB * stride];
    out.v0 = scale * s[VB * stride];
    out.v1 = scale * s[VWB * stride];
    out.v2 = scale * s[VWWB * stride];
    out.vv = scale * s[VVB * stride];
    if (between_poles) add_residue(model, f, T, side, 1.0, out);
    if (side != product.call()) {
        const double sign = product.call() ? 1.0 : -1.0;
        add_residue(model, f, T, true, sign, out);
        add_residue(model, f, T, false, -sign, out);
    }
    // K dV/dK = V - F dV/dF: both are of the price's size or the difference is (its error is
    // an ulp of the price, far below the integrals' own).
    out.strike = out.value - out.f1;
}

// Prices (row 0, bit for bit price_chain's along the same line) and the Greeks' sums (rows
// 1 + GreekRow) of a chain in units of D F, to out[row * stride + i], in one sum along the
// prices' line: one log-MGF per node serves all rows, for a line whose step suits the Greeks
// too (greeks_share_line). Their tail is cut at the prices' goal, with their polynomial
// factors, which runs the sum on some nodes past the prices' end. The residue of the line
// between the poles is in the prices only (greeks_from_sums adds the Greeks').
template <class Model>
Status price_and_greeks_chain(const Model& model, double T, bool call, const Line& line, const double* k,
                              std::size_t n, double* out, std::size_t stride, Stop stop = {}) {
    const charfun::VolatilityFactors v = model.volatility_factors(T);
    const Status status = accumulate_chain<1 + greek_rows, 1>(
        model, T, line.contour, k, n, price_log_tolerance, false,
        [v](complex w, const charfun::LogMgf& L, complex e, complex* g) {
            // The price's integrand exactly as price_chain's.
            const complex ww = w * (w - 1.0);
            g[0] = e * std::conj(ww) / std::norm(ww);
            greek_integrands(w, ww, L.d_T, e, g[0], v, g + 1);
            return greek_factor_bound(w, ww, L.d_T, v);
        },
        out, stride, stop);
    if (line.between_poles) add_price_residue(model, T, call, k, n, out);
    return status;
}

// How much longer than the step of the derivatives' goal (at the prices' theta) the prices'
// step may be for the Greeks to share the prices' line. The trapezoid's error falls like
// e^{-2 pi b / h}, so 1.15 times the step leaves the Greeks at about e^{-40 / 1.15} = e^-35,
// the goal their tails are cut at. Options with K/S in 0.5 to 1.5 and T from a day to three
// years need 1.08 to 1.15; an option a day from expiry five deviations from the money (no
// jumps, sigma 0.2, K/S 0.95), whose price is tiny and integrand wide, needs 1.17, and there
// the prices' step left colour 2e-10 off.
inline constexpr double greeks_step_excess = 1.15;

// Whether the Greeks' sums can run along the prices' line (price_and_greeks_chain) for the
// chain's log-moneyness k[0] <= ... <= k[n - 1]: the prices' step within greeks_step_excess
// of the derivatives' at the same theta, and the Greeks' factors (up to degree 5 in u) cut
// off within the budget (a diffusion too small to cut them off keeps them up where the
// prices' integrand has fallen).
template <class Model>
bool greeks_share_line(const Model& model, double T, bool call, const Line& line, const double* k, std::size_t n) {
    const double finest = finest_step(model.decay(T));
    const double needed = std::min(line.contour.step, finest) / greeks_step_excess;
    if (needed < finest) {
        const Interval range = line.between_poles ? between_poles() : admissible(model, T, call);
        if (!(trapezoid_step(model, T, k[0], k[n - 1], line.contour.theta, range, derivative_log_tolerance, needed,
                             needed) >= needed))
            return false;
    }
    return expected_nodes(model, T, line.contour, 0.5 * (k[0] + k[n - 1]), price_log_tolerance, false, 5) <=
           node_budget;
}

// The Greeks' line within the side's admissible interval (admissible).
template <class Model>
Line greeks_line(const Model& model, double k, double T, Interval side) {
    // The integrands carry up to w^3 times dL/dT, which grows like w^2.
    return choose_line(model, T, side, k, derivative_log_tolerance, false, 5,
                       [&](Interval range) { return greeks_contour(model, k, T, range); });
}

// strip: the model's at T.
template <class Model>
SideLine greeks_side_line(const Model& model, double k, double T, const charfun::Strip& strip, bool call) {
    return shorter_side(call, [&](bool side) { return greeks_line(model, k, T, admissible(strip, side)); });
}

// An upper bound of the Greeks' integrands from L and its volatility derivatives relative
// to b = e / (w (w - 1)), for the tail test.
inline double greek_bound(complex w, complex ww, const charfun::LogMgfAndVolatility& L) {
    return (1.0 + modulus_bound(ww)) * (1.0 + modulus_bound(w)) *
           (1.0 + modulus_bound(L.d_T) + modulus_bound(L.volatility.first));
}

// The option's Greeks from the sums of the side on the line (greeks_from_sums).
template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      const SideLine& on, market::ForwardGreeks& out, Stop stop = {}) {
    double s[greek_rows];
    const Status status = accumulate_chain<greek_rows>(
        model, T, on.line.contour, &f.k, 1, derivative_log_tolerance, false,
        [](complex w, const charfun::LogMgfAndVolatility& L, complex e, complex* g) {
            const complex ww = w * (w - 1.0);
            greek_integrands(w, ww, L, e, e / ww, g);
            return greek_bound(w, ww, L);
        },
        s, 1, stop, LogMgfAndVolatilityOf{});
    greeks_from_sums(model, f, T, product, on.call, on.line.between_poles, s, 1, out);
    return status;
}

// Whether the Greeks' sum along a price's line ends within the budget, its factors (up to
// degree 5 in u) cut off at the Greeks' goal: a price's line may end within the budget where
// the Greeks' sum along it does not (Bates with xi = 0.015, K/S = 1.87, T = 0.04: along the
// price's line the Greeks' sum reached max_nodes, along their own line it ends).
template <class Model>
bool greeks_end_within_budget(const Model& model, double T, const Line& line, double k) {
    return expected_nodes(model, T, line.contour, k, derivative_log_tolerance, false, 5) <= node_budget;
}

// One option's price (out[0], bit for bit price_chain's of the option alone along the same
// line) and the Greeks' sums (out[1 + GreekRow]) in units of D F, in one sum along the
// price's line. A costly model's Greeks contour is the price's own (greeks_contour), so
// the Greeks' log-MGF and volatility derivatives per node serve the price too (its L is
// log_mgf's to the bit), instead of a sum and a line's choice of their own. The price stops
// where its own sum stops; the Greeks run on to their goal, as forward_greeks' do. The
// residue of the line between the poles is in the price only (greeks_from_sums adds the
// Greeks').
template <class Model>
Status price_and_greeks(const Model& model, double T, bool call, const Line& line, double k, double* out,
                        Stop stop = {}) {
    const Status status = accumulate_chain<1 + greek_rows, 1>(
        model, T, line.contour, &k, 1, derivative_log_tolerance, false,
        [](complex w, const charfun::LogMgfAndVolatility& L, complex e, complex* g) {
            // The price's integrand exactly as price_chain's, and b for the Greeks' rows.
            const complex ww = w * (w - 1.0);
            g[0] = e * std::conj(ww) / std::norm(ww);
            greek_integrands(w, ww, L, e, g[0], g + 1);
            return greek_bound(w, ww, L);
        },
        out, 1, stop, LogMgfAndVolatilityOf{});
    if (line.between_poles) add_price_residue(model, T, call, &k, 1, out);
    return status;
}

template <class Model>
Status forward_greeks(const Model& model, const market::Forward& f, double T, Product product,
                      market::ForwardGreeks& out, Stop stop = {}) {
    return forward_greeks(model, f, T, product, greeks_side_line(model, f.k, T, model.strip(T), product.call()), out,
                          stop);
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
// log_tolerance here and below: the goal, derivative_log_tolerance unless a caller needs fewer digits.
template <class Model>
Contour sensitivities_contour(const Model& model, double T, Interval range, const double* k, std::size_t n,
                              double log_tolerance = derivative_log_tolerance) {
    const Model strip = model.for_parameter_derivatives();
    const auto [lo, hi] = std::minmax_element(k, k + n);
    return choose_contour(strip, T, *lo, *hi, range, log_tolerance, price_log_excess);
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
                           double* out, std::size_t stride, Stop stop = {},
                           double log_tolerance = derivative_log_tolerance) {
    constexpr std::size_t count = Model::parameter_count;
    const Status status = accumulate_chain<count + 1>(model, T, line.contour, k, n, log_tolerance, false,
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

// A line within the gradient's strip (side: the admissible interval of the model for
// parameter derivatives), its nodes those of the model itself: the model for derivatives
// may carry jumps the model has not (lam = 0), whose decay the integrand does not have.
template <class Model>
Line sensitivities_line(const Model& model, double T, Interval side, const double* k, std::size_t n,
                        double log_tolerance = derivative_log_tolerance) {
    return choose_line(model, T, side, 0.5 * (k[0] + k[n - 1]), log_tolerance, false, 2,
                       [&](Interval range) { return sensitivities_contour(model, T, range, k, n, log_tolerance); });
}

// strip: that of the model for parameter derivatives at T.
template <class Model>
SideLine sensitivities_side_line(const Model& model, double T, const charfun::Strip& strip, bool call,
                                 const double* k, std::size_t n, double log_tolerance = derivative_log_tolerance) {
    return shorter_side(call, [&](bool side) {
        return sensitivities_line(model, T, admissible(strip, side), k, n, log_tolerance);
    });
}

// The chain's rows for the side `call` from those of the side on the line, by put-call
// parity with the poles' residues (as forward_greeks).
template <class Model>
Status sensitivities_chain(const Model& model, double T, bool call, const SideLine& on, const double* k, std::size_t n,
                           double* out, std::size_t stride, Stop stop = {},
                           double log_tolerance = derivative_log_tolerance) {
    const Status status = sensitivities_chain(model, T, on.call, on.line, k, n, out, stride, stop, log_tolerance);
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
    const charfun::Strip strip = model.for_parameter_derivatives().strip(T);
    return sensitivities_chain(model, T, call, sensitivities_side_line(model, T, strip, call, k, n), k, n, out, stride,
                               stop);
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
