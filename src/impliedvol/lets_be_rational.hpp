#pragma once

// Jaeckel's "Let's be rational": the total volatility s = sigma sqrt(T) that gives an
// out-of-the-money call its normalised price beta, to full precision in two steps.
//
// b(x, .) rises from 0 to e^{x/2}, convex up to the inflection point s_c = sqrt(2|x|) and
// concave after it. The tangent at s_c meets 0 at s_l and the bound at s_u; these cut the
// range of beta into four branches, each with a start and an objective function of its own:
//   - beta < b(s_l): b falls off like exp(-x^2 / (2 s^2)); its inverse is steep. A map
//     f(s) = 2 pi |x| / (3 sqrt 3) Phi(-|x| / (sqrt 3 s))^3 has b's leading asymptotics as
//     s -> 0 and an explicit inverse, so f is interpolated as a function of beta and then
//     inverted. The objective 1/ln b(s) - 1/ln beta bends far less than b does, so the
//     steps converge from there as fast as in the middle.
//   - b(s_l) <= beta <= b(s_u): s(beta) itself is smooth and is interpolated between the
//     points s_l, s_c, s_u, where b, its slope and (at s_c) its zero curvature are known.
//     The objective is b(s) - beta.
//   - beta > b(s_u): b approaches its bound like 2 Phi(-s/2), which serves as the map there,
//     interpolated in the distance gamma = e^{x/2} - beta to the bound. The objective
//     ln gamma - ln(e^{x/2} - b(s)) works with that distance only, never with b close to
//     its bound.
// The starts are off by 1e-3 relative or less over most of the range, and by a few percent
// at worst, in the lower branch a little below s_l, where f / b drifts from 1 (its value as
// s -> 0) most quickly. Householder's third-order step converges with order four, so two
// steps take even that to double precision.

#include <cmath>

#include "special/normal_distribution.hpp"
#include "impliedvol/normalised_black.hpp"
#include "impliedvol/rational_cubic.hpp"

namespace tarnwick::impliedvol {

using special::inverse_normal_cdf;
using special::normal_cdf;
using special::normal_pdf;

enum class Objective { lower, middle, upper };

// Starting values, one per branch.

// beta < b(s_l): f interpolated on [0, b_l] from f(0) = 0 with slope 1 (f ~ b as s -> 0)
// to f(s_l), its slope df/ds / db/ds and curvature there, then f inverted for s.
inline double lower_start(const Moneyness& m, double beta, double s_l, double b_l, double v_l) {
    const double ax = -m.x;
    const double scale = 2.0 * M_PI * ax / (3.0 * std::sqrt(3.0));
    const double z = ax / (std::sqrt(3.0) * s_l);
    const double density = normal_pdf(z);
    const double tail = density * mills_ratio(-z);  // Phi(-z), without a second exponential
    const double f_l = scale * tail * tail * tail;
    const double df_ds = 3.0 * scale * tail * tail * density * z / s_l;
    const double slope = df_ds / v_l;
    // d/ds ln(df/ds) = (2 z phi(z) / Phi(-z) + z^2 - 2) / s, and d^2f/dbeta^2 is
    // (that - (d^2b/ds^2) / (db/ds)) * slope / (db/ds).
    const double log_slope = (2.0 * z * density / tail + z * z - 2.0) / s_l;
    const double curvature = (log_slope - vega_log_derivatives(m, s_l).second) * slope / v_l;
    const RationalCubic map{0.0, b_l, 0.0, f_l, 1.0, slope};
    const double f = map(beta, map.r_for_right_curvature(curvature));
    if (!(f > 0.0)) return 0.0;
    // Phi(-|x| / (sqrt 3 s)) = (f / scale)^(1/3) < 1/2.
    return -ax / (std::sqrt(3.0) * inverse_normal_cdf(std::cbrt(f / scale), 1));
}

// beta > b(s_u), as gamma = e^{x/2} - beta < e^{x/2} - b(s_u) = c_u: f = Phi(-s/2) on
// [0, c_u] from f(0) = 0 with slope 1/2 to f(s_u). With h = x/s, df/dgamma = e^{h^2/2} / 2
// and d^2f/dgamma^2 = e^{h^2/2} h^2 / (2 s db/ds).
inline double upper_start(const Moneyness& m, double gamma, double s_u, double c_u, double v_u) {
    const double h = m.h(s_u);
    const double growth = std::exp(0.5 * h * h);
    const RationalCubic map{0.0, c_u, 0.0, normal_cdf(-0.5 * s_u), 0.5, 0.5 * growth};
    const double curvature = growth * h * h / (2.0 * s_u * v_u);
    const double f = map(gamma, map.r_for_right_curvature(curvature));
    if (!(f > 0.0)) return HUGE_VAL;
    return -2.0 * inverse_normal_cdf(f, 1);
}

// What the objectives compare with: beta, gamma and, for the lower one, 1 / ln beta (taken
// once rather than at every step).
struct Target {
    double beta, gamma, inverse_log_beta;
};

// The branch's objective g at s as the Newton step nu = -g/g' and the ratios
// h2 = g''/g' and h3 = g'''/g' that the higher-order step needs.
struct ObjectiveTerms {
    double nu, h2, h3;
};

inline ObjectiveTerms objective_terms(const Moneyness& m, double s, Objective objective, const Target& target) {
    const VegaLogDerivatives d = vega_log_derivatives(m, s);
    if (objective == Objective::upper) {
        // g = ln gamma - ln c with c = e^{x/2} - b and p = b'/c: g' = p,
        // g''/g' = d2 + p, g'''/g' = d3 + 3 p d2 + 2 p^2.
        const BlackAndVega c = normalised_black_complement_and_vega(m, s);
        const double p = c.vega / c.b;
        return {-std::log(target.gamma / c.b) / p, d.second + p, d.third + 3.0 * p * d.second + 2.0 * p * p};
    }
    const BlackAndVega at_s = normalised_black_and_vega(m, s);
    const double b = at_s.b, vega = at_s.vega;
    if (objective == Objective::lower) {
        // g = 1/ln b - 1/ln beta. With L = ln b and q = L' = b'/b:
        // g' = -q / L^2, g''/g' = L''/L' - 2q/L, g'''/g' = L'''/L' - 6 L''/L + 6 q^2/L^2,
        // L''/L' = d2 - q, L'''/L' = d3 - 3 q d2 + 2 q^2 (d2, d3: vega log-derivatives).
        const double L = std::log(b);
        const double inverse_L = 1.0 / L;
        const double q = vega / b;
        const double q_over_L = q * inverse_L;
        return {(inverse_L - target.inverse_log_beta) * L * L / q, d.second - q - 2.0 * q_over_L,
                d.third - 3.0 * q * d.second + 2.0 * q * q - 6.0 * q_over_L * (d.second - q) +
                    6.0 * q_over_L * q_over_L};
    }
    return {(target.beta - b) / vega, d.second, d.third};  // g = b - beta
}

// One Householder step of order 3: s + nu (1 + h2 nu / 2) / (1 + nu (h2 + h3 nu / 6)).
inline double householder_step(const Moneyness& m, double s, Objective objective, const Target& target) {
    const ObjectiveTerms g = objective_terms(m, s, objective, target);
    const double next = s + g.nu * (1.0 + 0.5 * g.h2 * g.nu) / (1.0 + g.nu * (g.h2 + g.h3 * g.nu * (1.0 / 6.0)));
    // Far from the root the higher-order factor can overshoot; Newton's step never leaves
    // the positive axis on the convex side, and halving keeps s positive on the other.
    if (next > 0.0 && std::isfinite(next)) return next;
    const double newton = s + g.nu;
    return newton > 0.0 && std::isfinite(newton) ? newton : 0.5 * s;
}

// The iteration for one option: its moneyness, branch, target and current s.
struct Iteration {
    Moneyness m{0.0};
    Objective objective = Objective::middle;
    Target target{};
    double s = 0.0;

    // An infinite start is final: beyond the reach of the upper map.
    bool needs_steps() const { return !std::isinf(s); }
    void step() { s = householder_step(m, s, objective, target); }
};

// The branch and the start of the iteration for b(x, s) = beta, x <= 0, given beta > 0 and
// gamma = e^{x/2} - beta > 0, each computed by the caller from prices, so that neither loses
// digits to the other.
inline Iteration start_iteration(double beta, double gamma, double x) {
    const Moneyness m(x);
    // At s_c, h = -t, so b_c = e^{x/2} / 2 - e^{-x/2} Phi(-s_c) (at most half the bound:
    // its complement loses nothing to cancellation), and the vega is phi(0) e^{x/2}.
    const double s_c = std::sqrt(-2.0 * x);
    const double v_c = inverse_sqrt_two_pi * m.half_exp;
    const double inverse_v_c = sqrt_two_pi * m.minus_half_exp;
    const double b_c = 0.5 * m.half_exp - scaled_normal_cdf(-s_c, v_c, m.minus_half_exp);
    double s;
    Objective objective = Objective::middle;
    if (beta < b_c) {
        const double s_l = s_c - b_c * inverse_v_c;
        const BlackAndVega at_l = normalised_black_and_vega(m, s_l);
        const double b_l = at_l.b, v_l = at_l.vega;
        if (beta < b_l) {
            s = lower_start(m, beta, s_l, b_l, v_l);
            objective = Objective::lower;
        } else {
            // s(beta) is concave here; its curvature vanishes at the inflection point b_c.
            const RationalCubic inverse{b_l, b_c, s_l, s_c, 1.0 / v_l, inverse_v_c};
            s = inverse(beta, inverse.r_for_right_curvature(0.0));
        }
    } else {
        const double s_u = s_c + (m.half_exp - b_c) * inverse_v_c;
        const BlackAndVega at_u = normalised_black_complement_and_vega(m, s_u);
        const double c_u = at_u.b, v_u = at_u.vega;
        if (gamma < c_u) {
            s = upper_start(m, gamma, s_u, c_u, v_u);
            objective = Objective::upper;
        } else {
            const RationalCubic inverse{b_c, m.half_exp - c_u, s_c, s_u, inverse_v_c, 1.0 / v_u};
            s = inverse(beta, inverse.r_for_left_curvature(0.0));
        }
    }
    // Only where beta or gamma are at the edge of underflow can a start fail to be a positive
    // number: beyond the reach of the upper map the volatility is taken as infinite, below
    // that of the lower one the steps start from half the inflection point.
    if (!(s > 0.0)) s = 0.5 * s_c;
    return {m, objective, {beta, gamma, objective == Objective::lower ? 1.0 / std::log(beta) : 0.0}, s};
}

// Each step converges with order four: two take the starts to double precision.
inline constexpr int householder_steps = 2;

// s with b(x, s) = beta for x <= 0 (see start_iteration).
inline double normalised_implied_volatility(double beta, double gamma, double x) {
    Iteration iteration = start_iteration(beta, gamma, x);
    if (!iteration.needs_steps()) return iteration.s;
    for (int step = 0; step < householder_steps; ++step) iteration.step();
    return iteration.s;
}

}  // namespace tarnwick::impliedvol
