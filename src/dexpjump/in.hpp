#pragma once

// I_n(c; alpha, beta, delta) = integral from c to infinity of exp(alpha x) Hh_n(beta x - delta) dx,
// in closed form: a sum of Hh values plus one normal-distribution term.

#include <cmath>

#include "literal/normal_cdf.hpp"
#include "dexpjump/hh.hpp"

namespace dexpjump {

// table[e] = pow(base, e) for e = 0 ... last. pow(base, 0) is 1 and pow(base, 1) is base
// exactly (NaN included), so only the higher powers need the library call.
inline void power_table(double base, int last, double* table) {
    table[0] = 1.0;
    if (last >= 1) table[1] = base;
    for (int e = 2; e <= last; ++e) table[e] = std::pow(base, static_cast<double>(e));
}

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
    double phi_argument;
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
    t.phi_argument = t.form == InTerms::beta_positive ? alpha / beta + (delta - beta * c)
                                                      : t.x - alpha / beta;
    t.phi = tarnwick::literal::normal_cdf(t.phi_argument);
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
// Hh value and every power of beta/alpha computed once for all orders. bound[n] bounds
// the rounding error of out[n] in ulps: the two parts of the closed form cancel, so the
// error follows their sizes, not the size of their difference.
template <int Capacity>
void In_table(int last_order, double c, double alpha, double beta, double delta,
              double (&out)[Capacity], double (&bound)[Capacity]) {
    const InTerms t = in_terms(c, alpha, beta, delta);
    if (t.form == InTerms::zero) {
        for (int n = 0; n <= last_order; ++n) out[n] = bound[n] = 0.0;
        return;
    }
    double hh[Capacity], hh_bound[Capacity];
    const double hh_minus_one = Hh_table(last_order, t.x, hh);
    // In Upsilon a lost Hh_0 ends up multiplied, all factors together, by about
    // exp(alpha c - x^2/2 + (alpha/beta)^2/2) = exp(-(beta c)^2 / 2), and the forward
    // recursion amplifies it by at most exp(|x| max(1, |alpha/beta|)): when the two
    // together stay below e^-50 the loss cannot show.
    const double amplification = std::fabs(t.x) * std::fmax(1.0, std::fabs(alpha / beta));
    const bool lost_matters = !(0.5 * (beta * c) * (beta * c) - amplification > 50.0);
    Hh_error_table(last_order, t.x, hh_minus_one, hh, hh_bound, lost_matters);
    double ratio_power[Capacity + 1];
    power_table(t.ratio, last_order + 1, ratio_power);
    // The normal probability is resolved absolutely, not relatively.
    const double normal_part =
        std::fabs(t.scale * t.E) * (std::fabs(t.phi) + tarnwick::literal::normal_cdf_error_ulps(t.phi_argument, t.phi));
    for (int n = 0; n <= last_order; ++n) {
        double s = 0.0;
        double s_bound = 0.0;
        for (int i = 0; i <= n; ++i) {
            s = ratio_power[n - i] * hh[i] + s;
            s_bound += std::fabs(ratio_power[n - i]) * hh_bound[i];
        }
        out[n] = in_from_sum(t, s, ratio_power[n + 1]);
        bound[n] = normal_part * std::fabs(ratio_power[n + 1]) +
                   std::fabs(t.G) * (s_bound + (n + 2) * std::fabs(s));
    }
}

}  // namespace dexpjump
