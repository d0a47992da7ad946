#pragma once

// The lognormal option price in units of the forward: E[(e^Y - e^k)^+] (call) or
// E[(e^k - e^Y)^+] (put) for Y normal with mean mu and standard deviation sd, each side
// from its own tails so that out-of-the-money prices keep their relative accuracy.

#include <cmath>

#include "jumpcount/normal.hpp"

namespace tarnwick::jumpcount {

template <class S>
S black(const S& mu, const S& sd, const S& k, bool call) {
    using std::exp;
    const S d2 = (mu - k) / sd;
    const S d1 = d2 + sd;
    const S share = exp(mu + 0.5 * sd * sd);
    const S strike = exp(k);
    if (call) return share * normal_cdf(d1) - strike * normal_cdf(d2);
    return strike * normal_cdf(-d2) - share * normal_cdf(-d1);
}

// d^o/dk^o, o = 1 ... orders, of a mixture of option prices E[(e^X - e^k)^+] (call) or
// E[(e^k - e^X)^+] (put), from the mixture's tail at k (weighted_tail: -P(X > k) for a call,
// P(X <= k) for a put) and its density's derivatives f^(l)(k): d/dk leaves e^k times the
// tail, and each further derivative adds the density,
//     d^o/dk^o = e^k (tail + sum_{l <= o - 2} binomial(o - 1, l + 1) f^(l)(k)).
// Differentiating the price's two legs instead would cancel: each is of order 1 / s^o,
// s the diffusion's spread, where the result is not.
inline void strike_derivatives(double k, double weighted_tail, const double* f, int orders, double* out) {
    const double strike = std::exp(k);
    for (int o = 1; o <= orders; ++o) {
        double sum = weighted_tail;
        double binomial = o - 1;  // binomial(o - 1, l + 1) at l = 0
        for (int l = 0; l <= o - 2; ++l) {
            sum += binomial * f[l];
            binomial = binomial * (o - 2 - l) / (l + 2);
        }
        out[o - 1] = strike * sum;
    }
}

}  // namespace tarnwick::jumpcount
