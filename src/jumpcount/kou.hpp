#pragma once

// Kou's double-exponential jumps, counted: the law of the sum of j jumps, and the prices of
// the first few jump counts in closed form.
//
// A jump is upward with probability p, of exponential size with rate eta1, else downward
// with rate eta2. The sum of j of them is a mixture of the one-sided laws Gamma_i(eta1) and
// -Gamma_i(eta2), i = 1 ... j, with nonnegative weights: adding an upward jump to
// Gamma_i(eta1) gives Gamma_{i+1}(eta1), and adding it to -Gamma_i(eta2) splits by partial
// fractions of the transforms,
//     (eta2 / (eta2 + w))^i eta1 / (eta1 - w)
//         = alpha sum_{l=1..i} beta^(i-l) (eta2 / (eta2 + w))^l + beta^i eta1 / (eta1 - w),
// alpha = eta1 / (eta1 + eta2), beta = eta2 / (eta1 + eta2) (and the mirror image for a
// downward jump). Every weight is a sum of positive terms.

#include <type_traits>
#include <vector>

#include "jumpcount/black.hpp"
#include "jumpcount/gauss_gamma.hpp"

namespace tarnwick::jumpcount {

// The weights of Gamma_i(eta1) (up) and -Gamma_i(eta2) (down), i = 1 ... last, in the law
// of the jump sum averaged over the counts j = 1 ... last with the given weights:
// up[i] = sum_j count_weight[j] P(order i upward | j jumps), likewise down. Index 0 unused.
template <class P, class W, class R>
void kou_order_weights(const P& p, const P& eta1, const P& eta2, const W* count_weight, int last,
                       std::vector<R>& up, std::vector<R>& down) {
    const P q = 1.0 - p;
    const P alpha = eta1 / (eta1 + eta2);
    const P beta = eta2 / (eta1 + eta2);
    up.assign(last + 1, R(0.0));
    down.assign(last + 1, R(0.0));
    // The law after j jumps, as weights of the orders.
    std::vector<P> a(last + 2, P(0.0)), b(last + 2, P(0.0)), next_a(last + 2), next_b(last + 2);
    if (last < 1) return;
    a[1] = p;
    b[1] = q;
    for (int j = 1;; ++j) {
        for (int i = 1; i <= j; ++i) {
            up[i] = up[i] + count_weight[j] * a[i];
            down[i] = down[i] + count_weight[j] * b[i];
        }
        if (j == last) break;
        // One more jump. Same-side orders move up by one; the other side's orders split:
        // an upward jump on -Gamma_i(eta2) leaves alpha beta^(i-l) on each -Gamma_l and
        // beta^i on Gamma_1, sums taken from the top down in O(j).
        for (int i = 0; i <= j + 1; ++i) next_a[i] = next_b[i] = P(0.0);
        P tail_b(0.0), tail_a(0.0);  // sum_{i >= l} b_i beta^(i-l), likewise a with alpha
        for (int l = j; l >= 1; --l) {
            tail_b = b[l] + beta * tail_b;
            tail_a = a[l] + alpha * tail_a;
            next_b[l] = next_b[l] + p * alpha * tail_b;
            next_a[l] = next_a[l] + q * beta * tail_a;
        }
        // tail_b is now sum_i b_i beta^(i-1): times beta it is the mass sent to Gamma_1.
        next_a[1] = next_a[1] + p * beta * tail_b;
        next_b[1] = next_b[1] + q * alpha * tail_a;
        for (int i = 1; i <= j; ++i) {
            next_a[i + 1] = next_a[i + 1] + p * a[i];
            next_b[i + 1] = next_b[i + 1] + q * b[i];
        }
        std::swap(a, next_a);
        std::swap(b, next_b);
    }
}

// The log return given its jump count: X = drift + G + (the sum of the jumps), G normal
// with standard deviation s. S is the scalar of the market's quantities, P that of the jump
// law: doubles, or first-order jets for parameter derivatives.
template <class S, class P>
struct KouCounts {
    S drift;
    S s;
    P p, eta1, eta2;
};

// sum_{j < counts} w_j E[(e^X - e^k)^+ | N = j] for a call, (e^k - e^X)^+ for a put, for
// count weights w (the Poisson weights for a price, their differences for a derivative in
// the count's mean). Given i upward jumps of rate eta1 the share leg is the same
// probability under the measure tilted by e^X: G gains the mean s^2 and the rate becomes
// eta1 - 1, with the factor (eta1 / (eta1 - 1))^i; downward, eta2 + 1 and (eta2 / (eta2 + 1))^i.
template <class S, class P, class W>
S kou_counts_price(const KouCounts<S, P>& m, const S& k, bool call, const W* weight, int counts) {
    using std::exp;
    if (counts < 1) return S(0.0);
    S price = weight[0] * black(m.drift, m.s, k, call);
    const int last = counts - 1;
    if (last < 1) return price;

    std::vector<decltype(W() * P())> up, down;
    kou_order_weights(m.p, m.eta1, m.eta2, weight, last, up, down);
    const S level = k - m.drift;  // G + jumps must pass it
    const S variance = m.s * m.s;
    const S share = exp(m.drift + 0.5 * variance);
    const S strike = exp(k);
    std::vector<S> upper(last + 1), lower(last + 1), tilted_upper(last + 1), tilted_lower(last + 1);
    // A side without weight (p = 0 or 1) adds nothing, unless p is a jet: its derivative in
    // p is that side's whole price.
    constexpr bool p_moves = !std::is_same_v<P, double>;
    // Upward orders: the call needs the upper tails, the put the lower ones.
    if (p_moves || value_of(m.p) > 0.0) {
        gauss_gamma_tails(S(m.eta1), m.s, level, last, upper.data(), lower.data());
        gauss_gamma_tails(S(m.eta1 - 1.0), m.s, level - variance, last, tilted_upper.data(), tilted_lower.data());
        const P growth = m.eta1 / (m.eta1 - 1.0);
        P factor = growth;
        for (int i = 1; i <= last; ++i, factor = factor * growth) {
            const S share_leg = share * (up[i] * factor) * (call ? tilted_upper[i] : tilted_lower[i]);
            const S strike_leg = strike * up[i] * (call ? upper[i] : lower[i]);
            price = price + (call ? share_leg - strike_leg : strike_leg - share_leg);
        }
    }
    // Downward orders: G - Gamma_i > level is G' + Gamma_i <= -level, G' = -G.
    if (p_moves || value_of(m.p) < 1.0) {
        gauss_gamma_tails(S(m.eta2), m.s, -level, last, upper.data(), lower.data());
        gauss_gamma_tails(S(m.eta2 + 1.0), m.s, variance - level, last, tilted_upper.data(), tilted_lower.data());
        const P shrink = m.eta2 / (m.eta2 + 1.0);
        P factor = shrink;
        for (int i = 1; i <= last; ++i, factor = factor * shrink) {
            const S share_leg = share * (down[i] * factor) * (call ? tilted_lower[i] : tilted_upper[i]);
            const S strike_leg = strike * down[i] * (call ? lower[i] : upper[i]);
            price = price + (call ? share_leg - strike_leg : strike_leg - share_leg);
        }
    }
    return price;
}

// d^o/dk^o of the same sum for o = 1 ... orders (<= 4), to out[o - 1], from its tail and
// density at k (black.hpp, strike_derivatives): the normal law of the paths without a jump
// and the gamma orders of the others, mixed with the same weights as the price.
inline void kou_counts_k_derivatives(const KouCounts<double, double>& m, double k, bool call, const double* weight,
                                     int counts, int orders, double* out) {
    const int derivatives = std::max(orders - 2, 0);
    const int last = counts - 1;
    const double level = k - m.drift;
    // The tail and the density's derivatives at level, summed with the weights of the
    // orders; first the normal law of the paths without a jump.
    std::vector<double> f(derivatives + 1);
    normal_density_derivatives(m.s, level, derivatives, f.data());
    for (double& v : f) v *= weight[0];
    double weighted_tail = weight[0] * (call ? -normal_cdf(-level / m.s) : normal_cdf(level / m.s));
    std::vector<double> density((std::max(last, 0) + 1) * (derivatives + 1));
    std::vector<double> upper(std::max(last, 0) + 1), lower(std::max(last, 0) + 1);
    if (last >= 1) {
        std::vector<double> up, down;
        kou_order_weights(m.p, m.eta1, m.eta2, weight, last, up, down);
        const auto add = [&](const std::vector<double>& order_weight, double eta, double x, double sign) {
            gauss_gamma_tails(eta, m.s, x, last, upper.data(), lower.data());
            gauss_gamma_density_derivatives(eta, m.s, x, last, derivatives, density.data());
            for (int i = 1; i <= last; ++i) {
                // Downward: P(G - Gamma > level) = P(G' + Gamma < -level), and the density's
                // l-th derivative in level is (-1)^l that of G' + Gamma at -level.
                const double above = sign > 0.0 ? upper[i] : lower[i];
                const double below = sign > 0.0 ? lower[i] : upper[i];
                weighted_tail += order_weight[i] * (call ? -above : below);
                double power = 1.0;
                for (int l = 0; l <= derivatives; ++l, power *= sign)
                    f[l] += order_weight[i] * power * density[i * (derivatives + 1) + l];
            }
        };
        if (m.p > 0.0) add(up, m.eta1, level, 1.0);
        if (m.p < 1.0) add(down, m.eta2, -level, -1.0);
    }
    strike_derivatives(k, weighted_tail, f.data(), orders, out);
}

}  // namespace tarnwick::jumpcount
