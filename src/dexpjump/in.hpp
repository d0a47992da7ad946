#pragma once

// I_n(c; alpha, beta, delta) = integral from c to infinity of exp(alpha x) Hh_n(beta x - delta) dx,
// in closed form: a sum of Hh values plus one normal-distribution term.

#include <cmath>

#include "common/normal_cdf.hpp"
#include "dexpjump/hh.hpp"

namespace dexpjump {

// The parts of I_n that do not depend on the order n.
struct InTerms {
    // The integral converges, and the closed form holds, for beta > 0 with alpha != 0 and
    // for beta < 0 with alpha < 0; every other case (NaN beta included) is taken as 0.
    enum Form { zero, beta_positive, beta_negative } form;
    double x;           // beta c - delta, the argument of every Hh_i
    double ratio;       // beta / alpha, raised to a power in every term
    double G;           // exp(c alpha) / alpha, the factor of the Hh sum
    double scale;       // sqrt(2 pi) / beta
    double E;           // exp(alpha^2 / (2 beta^2) + alpha delta / beta)
    double phi;         // the normal probability of the closed form
};

inline InTerms in_terms(double c, double alpha, double beta, double delta) {
    InTerms t{};
    if (beta > 0) {
        // A NaN alpha fails alpha == 0 and goes on into the closed form.
        t.form = alpha == 0 ? InTerms::zero : InTerms::beta_positive;
    } else {
        t.form = beta < 0 && alpha < 0 ? InTerms::beta_negative : InTerms::zero;
    }
    if (t.form == InTerms::zero) return t;
    t.x = beta * c - delta;
    t.ratio = beta / alpha;
    t.G = std::exp(c * alpha) / alpha;
    t.scale = sqrt_two_pi / beta;
    t.E = std::exp(alpha * alpha / ((beta + beta) * beta) + delta * alpha / beta);
    t.phi = t.form == InTerms::beta_positive
                ? tarnwick::normal_cdf(alpha / beta + (delta - beta * c))
                : tarnwick::normal_cdf(t.x - alpha / beta);
    return t;
}

// I_n from its Hh sum s = sum_i (beta/alpha)^(n-i) Hh_i(x) and from (beta/alpha)^(n+1).
inline double in_from_sum(const InTerms& t, double s, double ratio_power_next) {
    const double W = t.scale * ratio_power_next;
    if (t.form == InTerms::beta_positive) return W * t.E * t.phi - s * t.G;
    return -t.G * s - W * t.E * t.phi;
}

inline double In(int n, double c, double alpha, double beta, double delta) {
    const InTerms t = in_terms(c, alpha, beta, delta);
    if (t.form == InTerms::zero) return 0.0;
    double s = 0.0;
    for (int i = 0; i <= n; ++i) {
        s = std::pow(t.ratio, static_cast<double>(n - i)) * Hh(i, t.x) + s;
    }
    return in_from_sum(t, s, std::pow(t.ratio, static_cast<double>(n + 1)));
}

// out[n] = In(n, c, alpha, beta, delta) for n = 0 ... last_order, bit for bit, with every
// Hh value and every power of beta/alpha computed once for all orders.
template <int Capacity>
void In_table(int last_order, double c, double alpha, double beta, double delta,
              double (&out)[Capacity]) {
    const InTerms t = in_terms(c, alpha, beta, delta);
    if (t.form == InTerms::zero) {
        for (int n = 0; n <= last_order; ++n) out[n] = 0.0;
        return;
    }
    double hh[Capacity];
    Hh_table(last_order, t.x, hh);
    double ratio_power[Capacity + 1];
    for (int e = 0; e <= last_order + 1; ++e) ratio_power[e] = std::pow(t.ratio, static_cast<double>(e));
    for (int n = 0; n <= last_order; ++n) {
        double s = 0.0;
        for (int i = 0; i <= n; ++i) s = ratio_power[n - i] * hh[i] + s;
        out[n] = in_from_sum(t, s, ratio_power[n + 1]);
    }
}

}  // namespace dexpjump
