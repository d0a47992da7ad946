#pragma once

// Kou's probability Upsilon = P(Z(T) >= a) where the level lies so far out in a tail of
// Z(T) that Chernoff's bound settles it to 1e-18. With X = Z(T) - mu T, b = a - mu T and
// the generating function of X under the series cut after n jumps,
//     M(theta) = exp(sigma^2 T theta^2 / 2) sum_{j<=n} pi_j psi(theta)^j,
//     psi(theta) = p eta1 / (eta1 - theta) + q eta2 / (eta2 + theta),  -eta2 < theta < eta1,
// every theta in (0, eta1) bounds the mass at or above b by M(theta) e^{-theta b}, and
// every theta in (-eta2, 0) the mass below b likewise. Such levels (jump rates near 0 or
// intensities in the billions, with drifts to match) defeat both the closed form and the
// inversion, whose panels would have to resolve the tiny rates or the far level.

#include <cmath>

#include "common/poisson.hpp"

namespace dexpjump {

namespace tail_bound_detail {

// Fractions of the strip's half-widths at which the bound is tried: the best theta may
// lie near a pole (a far level) or many orders of magnitude inside (a tiny rate against a
// huge intensity).
inline constexpr double fractions[] = {0.999, 0.99, 0.9, 0.5, 0.1, 1e-2, 1e-3, 1e-4, 1e-5,
                                       1e-6,  1e-7, 1e-8, 1e-9, 1e-10, 1e-11, 1e-12};

}  // namespace tail_bound_detail

// 0 where the mass at or above the level is below 1e-18, the whole mass of the cut series
// where the mass below it is; NaN where the bound settles neither. The cut series' counts
// are summed term by term for n <= 170 and taken whole past the Poisson window; any other
// n is left to the other evaluations (NaN).
inline double Upsilon_by_tail_bound(double mu, double sigma, double lambda, double p, double eta1,
                                    double eta2, double a, double T, int n) {
    const double lambda_T = lambda * T;
    const int last = n < 0 ? 0 : n;  // n <= 0: the jump-free term alone
    const bool whole = last >= tarnwick::poisson_window(lambda_T).hi;
    if (!whole && last > 170) return NAN;
    const double s2T = sigma * sigma * T;
    const double b = a - mu * T;
    double mass = 1.0;
    double log_pi[171];
    if (!whole) {
        mass = 0.0;
        for (int j = 0; j <= last; ++j) {
            const double pi = tarnwick::poisson_weight(j, lambda_T);
            mass += pi;
            log_pi[j] = std::log(pi);
        }
    }
    // ln M(theta) - theta b.
    const auto log_bound = [&](double theta) {
        const double psi = p * eta1 / (eta1 - theta) + (1.0 - p) * eta2 / (eta2 + theta);
        double log_mixture = lambda_T * (psi - 1.0);
        if (!whole) {
            const double log_psi = std::log(psi);
            double sum = 0.0;
            for (int j = 0; j <= last; ++j) sum += std::exp(log_pi[j] + j * log_psi);
            log_mixture = std::log(sum);
        }
        return 0.5 * s2T * theta * theta + log_mixture - theta * b;
    };
    constexpr double settled = -41.5;  // ln 1e-18
    for (double f : tail_bound_detail::fractions) {
        if (log_bound(f * eta1) < settled) return 0.0;
        if (log_bound(-f * eta2) < settled) return mass;
    }
    return NAN;
}

}  // namespace dexpjump
