#pragma once

// Merton's lognormal jumps, counted: given j jumps the log return is normal, so each
// count's price is a lognormal price with its own mean and variance.

#include <algorithm>
#include <cmath>
#include <vector>

#include "jumpcount/black.hpp"
#include "jumpcount/gauss_gamma.hpp"

namespace tarnwick::jumpcount {

// X = drift + G + (the sum of the jumps), G normal with standard deviation s, each jump
// normal with mean m and standard deviation delta. S is the scalar of the market's
// quantities, P that of the jump law.
template <class S, class P>
struct MertonCounts {
    S drift;
    S s;
    P m, delta;
};

// sum_j w_j E[(e^X - e^k)^+ | N = first + j], j < counts, for a call, (e^k - e^X)^+ for a put.
template <class S, class P, class W>
S merton_counts_price(const MertonCounts<S, P>& model, const S& k, bool call, const W* weight, int first, int counts) {
    using std::sqrt;
    S price(0.0);
    const S variance = model.s * model.s;
    const P jump_variance = model.delta * model.delta;
    for (int j = 0; j < counts; ++j) {
        const double count = first + j;
        price = price + weight[j] * black(model.drift + count * model.m, sqrt(variance + count * jump_variance), k, call);
    }
    return price;
}

// d^o/dk^o of the same sum for o = 1 ... orders (<= 4), to out[o - 1], from each count's
// normal tail and density at k (black.hpp, strike_derivatives).
inline void merton_counts_k_derivatives(const MertonCounts<double, double>& model, double k, bool call,
                                        const double* weight, int first, int counts, int orders, double* out) {
    const int derivatives = std::max(orders - 2, 0);
    std::vector<double> f(derivatives + 1, 0.0), density(derivatives + 1);
    double weighted_tail = 0.0;
    for (int j = 0; j < counts; ++j) {
        const double count = first + j;
        const double sd = std::sqrt(model.s * model.s + count * model.delta * model.delta);
        const double level = k - (model.drift + count * model.m);
        weighted_tail += weight[j] * (call ? -normal_cdf(-level / sd) : normal_cdf(level / sd));
        normal_density_derivatives(sd, level, derivatives, density.data());
        for (int l = 0; l <= derivatives; ++l) f[l] += weight[j] * density[l];
    }
    strike_derivatives(k, weighted_tail, f.data(), orders, out);
}

}  // namespace tarnwick::jumpcount
