#pragma once

// Kou's probability Upsilon(mu, sigma, lambda, p, eta1, eta2; a, T) = P(Z(T) >= a) for the
// double-exponential jump-diffusion Z(t) = mu t + sigma W(t) + (sum of N(t) jumps), as a
// Poisson mixture over the jump count j = 0 ... n.
//
// Every distinct value of the series (the Hh values of each jump direction, I_{k-1}, the
// gamma values and every repeated power) is computed once per evaluation into a table and
// then combined in the order of the term-by-term series, so the result is bit for bit the
// one of the plain evaluation at polynomial instead of exponential cost.

#include <algorithm>
#include <cfloat>
#include <cmath>

#include "literal/normal_cdf.hpp"
#include "common/poisson.hpp"
#include "dexpjump/in.hpp"

namespace dexpjump {

// From j = 171 on, tgamma(j + 1) overflows: the binomials of the mixture weights become
// infinite, the Poisson weight 0, and the series NaN. The term count is capped there.
inline constexpr int max_terms = 170;

// factorials()[i] = tgamma(i + 1) for i = 0 ... max_terms: the same for every evaluation,
// so computed once, on first use (an immutable table; its initialisation is thread-safe).
inline const double* factorials() {
    struct Table {
        double value[max_terms + 1];
        Table() {
            for (int i = 0; i <= max_terms; ++i) value[i] = std::tgamma(static_cast<double>(i) + 1.0);
        }
    };
    static const Table table;
    return table.value;
}

// The tables behind Kou's mixture weights of one series: gamma values and the powers of
// p, q and of the two jump rates' shares eta1 / (eta1 + eta2), eta2 / (eta1 + eta2).
struct MixtureTables {
    const double* factorial = factorials();
    double p_power[max_terms + 1], q_power[max_terms + 1];
    double up_share_power[max_terms + 1], down_share_power[max_terms + 1];

    MixtureTables(int N, double p, double eta1, double eta2) {
        power_table(p, N, p_power);
        power_table(1.0 - p, N, q_power);
        power_table(eta1 / (eta1 + eta2), N, up_share_power);
        power_table(eta2 / (eta1 + eta2), N, down_share_power);
    }
};

// P_{j,k}, Q_{j,k}: the probabilities that j jumps add up like k upward (P), resp. k
// downward (Q), exponential jumps.
struct MixtureWeight {
    double P, Q;
};

// The weights of one jump count j, from binom(j, i) computed once for all k.
class MixtureRow {
public:
    MixtureRow(const MixtureTables& tables, int j) : t(tables), j(j) {
        for (int i = 0; i <= j; ++i) binom_j[i] = t.factorial[j] / (t.factorial[i] * t.factorial[j - i]);
    }

    // Sums of positive terms: accurate to about j ulps whatever p and the rates.
    MixtureWeight weight(int k) const {
        if (k == j) return {t.p_power[j], t.q_power[j]};
        double P = 0.0;
        double Q = 0.0;
        for (int i = k; i < j; ++i) {
            const double binoms =
                binom_j[i] * (t.factorial[j - k - 1] / (t.factorial[i - k] * t.factorial[j - i - 1]));
            P = binoms * t.up_share_power[i - k] * t.down_share_power[j - i] *
                    (t.p_power[i] * t.q_power[j - i]) + P;
            Q = binoms * t.up_share_power[j - i] * t.down_share_power[i - k] *
                    (t.q_power[i] * t.p_power[j - i]) + Q;
        }
        return {P, Q};
    }

private:
    const MixtureTables& t;
    int j;
    double binom_j[max_terms + 1];
};

// An error bound carried through a factor: a term with a zero factor (no jumps, p = 0
// or 1) is exactly zero, whatever the bound of its other factor, infinite included; a
// factor below the normal range is off by up to DBL_MIN ulps of itself (its relative
// accuracy is gone), which shows when the other factor is large.
inline double weighted(double bound, double factor) {
    if (factor == 0.0) return 0.0;
    const double size = std::fabs(factor);
    return bound * (size < DBL_MIN ? size + DBL_MIN / DBL_EPSILON : size);
}

// A value with a bound of its error (absolute, in units of the value).
struct Estimated {
    double value;
    double error;
};

// Upsilon by its literal series, with a bound of the error of that value as an
// approximation of the series up to jump count n. The bound follows the sizes of the
// parts that cancel (the two halves of every I_k, the forward Hh recursion for positive
// arguments, the exponential factors of the sums), adds the Poisson tail that the cap at
// 170 drops, and is infinite where the no-jump probability is below the normal range.
// Accumulating it changes no operation of the value.
inline Estimated Upsilon_estimated(double mu, double sigma, double lambda, double p, double eta1,
                                   double eta2, double a, double T, int n) {
    const int N = std::min(n, max_terms);
    const double no_jump = std::exp(-lambda * T);
    const double sqrt_T = std::sqrt(T);
    double A1 = 0.0;
    double A2 = 0.0;
    double A1_bound = 0.0;  // in ulps, as the bounds of the I tables
    double A2_bound = 0.0;
    if (N > 0) {
        const double s_T = sigma * sqrt_T;
        const double m = a - mu * T;

        const MixtureTables mix(N, p, eta1, eta2);
        double intensity_power[max_terms + 1], up_scale_power[max_terms + 1], down_scale_power[max_terms + 1];
        power_table(lambda * T, N, intensity_power);
        power_table(eta1 * s_T, N, up_scale_power);
        power_table(eta2 * s_T, N, down_scale_power);

        // I_{k-1} of both series depends on the order alone, not on the jump count.
        double I_up[max_terms], I_down[max_terms], I_up_bound[max_terms], I_down_bound[max_terms];
        In_table(N - 1, m, -eta1, -1.0 / s_T, sqrt_T * (eta1 * -sigma), I_up, I_up_bound);
        In_table(N - 1, m, eta2, 1.0 / s_T, sqrt_T * (-sigma * eta2), I_down, I_down_bound);

        for (int j = 1; j <= N; ++j) {
            const double poisson = no_jump * intensity_power[j] / mix.factorial[j];
            const MixtureRow row(mix, j);
            double S1 = 0.0;
            double S2 = 0.0;
            double S1_bound = 0.0;
            double S2_bound = 0.0;
            // The weights and products of one term round by up to about j + 8 ulps.
            const double term_ulps = j + 8.0;
            for (int k = 1; k <= j; ++k) {
                const auto [P, Q] = row.weight(k);
                S1 = I_up[k - 1] * (P * up_scale_power[k]) + S1;
                S2 = I_down[k - 1] * (Q * down_scale_power[k]) + S2;
                S1_bound += weighted(I_up_bound[k - 1] + term_ulps * std::fabs(I_up[k - 1]),
                                     P * up_scale_power[k]);
                S2_bound += weighted(I_down_bound[k - 1] + term_ulps * std::fabs(I_down[k - 1]),
                                     Q * down_scale_power[k]);
            }
            A1 = S1 * poisson + A1;
            A2 = S2 * poisson + A2;
            A1_bound += weighted(S1_bound + N * std::fabs(S1), poisson);
            A2_bound += weighted(S2_bound + N * std::fabs(S2), poisson);
        }
    }
    // sqrt(2 pi T) taken whole, not as sqrt(2 pi) sqrt(T).
    const double D = std::sqrt(6.283185307179586 * T) * sigma;
    const double z1 = eta1 * sigma * (eta1 * sigma) * T * 0.5;
    const double z2 = eta2 * sigma * (eta2 * sigma) * T * 0.5;
    const double scale1 = std::exp(z1) / D;
    const double scale2 = std::exp(z2) / D;
    const double t1 = scale1 * A1;
    const double t2 = scale2 * A2;
    const double y = -(a - mu * T) / (sqrt_T * sigma);
    const double no_jump_term = tarnwick::literal::normal_cdf(y);
    const double value = no_jump_term * no_jump + (t2 + t1);

    // An exponential factor with argument z is off by up to |z| + 2 ulps relative.
    const double ulps = 8.0 * tarnwick::literal::normal_cdf_error_ulps(y, no_jump_term) +
                        std::fabs(scale1) * A1_bound + std::fabs(scale2) * A2_bound +
                        (z1 + 8.0) * std::fabs(t1) + (z2 + 8.0) * std::fabs(t2);
    double error = ulps * DBL_EPSILON;
    if (n > max_terms) error += tarnwick::poisson_tail_bound(max_terms + 1, lambda * T);
    if (!(no_jump >= 1e-290)) error = INFINITY;
    return {value, error};
}

inline double Upsilon(double mu, double sigma, double lambda, double p, double eta1, double eta2,
                      double a, double T, int n) {
    return Upsilon_estimated(mu, sigma, lambda, p, eta1, eta2, a, T, n).value;
}

}  // namespace dexpjump
