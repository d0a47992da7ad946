#pragma once

// Kou's probability Upsilon of the series cut after jump count n, where the literal
// closed form is not accurate: the first of three evaluations that can vouch for its
// result.
// - Fourier inversion (upsilon_inversion.hpp): microseconds, any count up to a Poisson
//   window of 2e4, unless its integrand decays too slowly for 4096 panels (a tiny
//   sigma sqrt(T) with few jumps, a jump rate near 0) or its budget runs out.
// - Chernoff's bound (upsilon_tail_bound.hpp): a level far out in a tail gives 0 or the
//   mass, for any intensity. It costs up to 30 sums over the counts, more than the
//   inversion takes where that converges, so it comes second.
// - The mixture of gamma tails (upsilon_mixture.hpp): any sigma and rates, up to 170
//   counts (the count n, or the end of the Poisson window if that comes first), in up to
//   a few milliseconds.
// NaN where none applies.

#include <cmath>

#include "common/poisson.hpp"
#include "dexpjump/upsilon.hpp"
#include "dexpjump/upsilon_inversion.hpp"
#include "dexpjump/upsilon_mixture.hpp"
#include "dexpjump/upsilon_tail_bound.hpp"

namespace dexpjump {

inline double Upsilon_accurate(double mu, double sigma, double lambda, double p, double eta1,
                               double eta2, double a, double T, int n) {
    const double by_inversion = Upsilon_by_inversion(mu, sigma, lambda, p, eta1, eta2, a, T, n);
    if (!std::isnan(by_inversion)) return by_inversion;
    const double by_bound = Upsilon_by_tail_bound(mu, sigma, lambda, p, eta1, eta2, a, T, n);
    if (!std::isnan(by_bound)) return by_bound;
    // Counts past the Poisson window, or past 170 where the Poisson tail from there on is
    // below 1e-17, add nothing that shows.
    const double lambda_T = lambda * T;
    double last = std::fmin(n, tarnwick::poisson_window(lambda_T).hi);
    if (last > max_terms && tarnwick::poisson_tail_bound(max_terms + 1, lambda_T) < 1e-17) last = max_terms;
    if (last > max_terms) return NAN;
    return Upsilon_by_mixture(mu, sigma, lambda, p, eta1, eta2, a, T, static_cast<int>(last));
}

}  // namespace dexpjump
