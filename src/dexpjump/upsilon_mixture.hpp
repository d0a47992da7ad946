#pragma once

// Kou's probability Upsilon = P(Z(T) >= a) of the series cut after N <= 170 jumps, as a
// sum of probabilities, none of which cancels.
//
// With b = a - mu T, s = sigma sqrt(T) and X the sum of the jumps, the sum of j jumps is
// distributed like +G_k (a gamma variable of k upward exponential jumps, rate eta1) with
// probability P_{j,k} and like -G_k (rate eta2) with probability Q_{j,k}. So
//     Upsilon = pi_0 Phi(-b/s) + sum_j pi_j sum_k (P_{j,k} U_k + Q_{j,k} D_k),
//     U_k = P(s Z + G_k >= b),  D_k = P(s Z - G_k >= b),
// the same series that the closed form writes with the functions I_{k-1}. A gamma
// variable is at least y exactly when a Poisson process of its rate counts fewer than k
// events in [0, y], which turns both probabilities into sums of positive terms:
//     U_k = Phi(-b/s) + sum_{m<k} B_m(eta1, b),  D_k = Phi(-b/s) - sum_{m<k} B_m(eta2, -b),
//     B_m(eta, beta) = E[exp(-eta Y) (eta Y)^m / m!; Y > 0],  Y ~ N(beta, s^2).
// Every probability is then resolved to a few ulps of 1, whatever sigma sqrt(T) and the
// jump rates: where the closed form multiplies sums that cancel to all digits by
// exp((eta sigma)^2 T / 2), or where its Hh arguments are of the order of 1 / (sigma
// sqrt(T)), this evaluation only adds.
//
// Completing the square, B_m = exp(-eta beta + (eta s)^2 / 2) (eta s)^m Hh_m(x) / sqrt(2 pi)
// with x = eta s - beta / s, so B_m follows the three-term recursion of Hh:
//     m B_m = (eta s)^2 B_{m-2} + c B_{m-1},  c = eta beta - (eta s)^2,
// started from (eta s)^2 B_{-1} = eta s phi(beta / s) and B_0. For x <= 0 every term is
// positive and the recursion runs upward; for x > 0 the B_m are its minimal solution,
// which the upward recursion loses, and their ratios come from the continued fraction
// of Hh_m(x) / Hh_{m-1}(x) run downward.

#include <cmath>

#include "common/poisson.hpp"
#include "dexpjump/upsilon.hpp"
#include "literal/normal_cdf.hpp"
#include "special/erfc.hpp"

namespace dexpjump {

namespace mixture_detail {

// A sequence of positive values kept as mantissa * exp(log_scale): a Poisson-like weight
// e^-c c^m / m! with c in the hundreds starts below the range of a double and rises into
// it. The mantissa is brought back by 1e250 whenever it leaves [1e-250, 1e250]; values
// whose factor underflows are below anything that can matter.
class ScaledSequence {
public:
    explicit ScaledSequence(double log_scale) : log_scale(log_scale), factor(std::exp(log_scale)) {}

    // Rescales the mantissa m (and, with it, the previous one) if it left the range.
    void normalise(double& m, double& previous) {
        constexpr double step = 1e250;
        constexpr double log_step = 575.64627324851142;  // 250 ln 10
        if (m > step) {
            m /= step;
            previous /= step;
            shift(log_step);
        } else if (m > 0 && m < 1.0 / step) {
            m *= step;
            previous *= step;
            shift(-log_step);
        }
    }
    double value(double m) const { return m * factor; }

private:
    void shift(double by) {
        log_scale += by;
        factor = std::exp(log_scale);
    }
    double log_scale;
    double factor;
};

inline constexpr double log_sqrt_two_pi = 0.91893853320467274;

// Below this x the upward recursion loses at most a factor exp(4 x sqrt(m)) <= e^2.6 to
// its growing solution by m = 170; above it the continued fraction settles within
// (sqrt(N) + 20 / x)^2 <= 1.8e5 steps.
inline constexpr double upward_below = 0.05;

// sums[k] = B_0 + ... + B_{k-1} for k = 0 ... N (N <= 170), for eta > 0 and s > 0;
// NaN throughout where an intermediate value is not finite.
inline void tail_sums(double eta, double beta, double s, int N, double* sums) {
    const double es = eta * s;
    const double a = es * es;
    const double x = es - beta / s;
    const double half_z2 = 0.5 * (beta / s) * (beta / s);  // beta^2 / (2 s^2), may be +inf
    sums[0] = 0.0;
    if (!std::isfinite(a) || !std::isfinite(x)) {
        for (int k = 1; k <= N; ++k) sums[k] = NAN;
        return;
    }
    if (x <= upward_below) {
        // B_0 = exp(-c - a / 2) Phi(-x): for x <= 0.05 the exponent is below 0.05 eta s,
        // so it cannot overflow, and the normal probability is near 1/2 or above.
        const double c = eta * beta - a;
        const double log_b0 = (-c - 0.5 * a) + std::log(tarnwick::literal::normal_cdf_both_tails(-x));
        const double log_start = std::log(es) - half_z2 - log_sqrt_two_pi;  // (eta s)^2 B_{-1}
        const double log_scale = std::fmax(log_b0, log_start);
        ScaledSequence scale(log_scale);
        double two_below = std::exp(log_start - log_scale);  // (eta s)^2 B_{-1} at m = 1
        double one_below = std::exp(log_b0 - log_scale);
        sums[1] = scale.value(one_below);
        for (int m = 1; m < N; ++m) {
            double next = ((m == 1 ? two_below : a * two_below) + c * one_below) / m;
            two_below = one_below;
            scale.normalise(next, two_below);
            one_below = next;
            sums[m + 1] = sums[m] + scale.value(one_below);
        }
        return;
    }
    // r_m = Hh_m(x) / Hh_{m-1}(x) satisfies r_{m-1} = 1 / (x + m r_m). Run downward from
    // far above N, where each step shrinks an error by about 1 / (1 + x / sqrt(m)),
    // started at the fixed point of that step.
    const double reach = std::sqrt(static_cast<double>(N)) + 20.0 / x;
    const int top = static_cast<int>(reach * reach) + 10;
    double ratio = (std::sqrt(x * x + 4.0 * top) - x) / (2.0 * top);
    double ratios[max_terms + 1];
    for (int m = top; m >= 1; --m) {
        if (m < N) ratios[m] = ratio;
        ratio = 1.0 / (x + m * ratio);
    }
    // B_0 = exp(-eta beta + a / 2) Phi(-x) = erfcx(x / sqrt 2) / 2 * exp(-beta^2 / (2 s^2)):
    // the scaled complement keeps the normal tail and the exponential apart.
    ScaledSequence scale(-half_z2);
    double current = 0.5 * tarnwick::special::erfcx(x / tarnwick::literal::sqrt_two);
    double unused = 0.0;
    sums[1] = scale.value(current);
    for (int m = 1; m < N; ++m) {
        current *= es * ratios[m];  // B_m / B_{m-1} = eta s r_m
        scale.normalise(current, unused);
        sums[m + 1] = sums[m] + scale.value(current);
    }
}

}  // namespace mixture_detail

// Upsilon of the series cut after n jumps, for n <= 170 and inputs in the model's domain
// (sigma, T, eta1, eta2 > 0, lambda >= 0, 0 <= p <= 1, all finite). Absolute accuracy of
// a few ulps of 1 times the count of terms.
inline double Upsilon_by_mixture(double mu, double sigma, double lambda, double p, double eta1,
                                 double eta2, double a, double T, int n) {
    const int N = n < 0 ? 0 : n;
    const double s = sigma * std::sqrt(T);
    const double b = a - mu * T;
    const double lambda_T = lambda * T;
    const double above = tarnwick::literal::normal_cdf_both_tails(-b / s);  // P(s Z >= b)
    double up_sums[max_terms + 1], down_sums[max_terms + 1];
    mixture_detail::tail_sums(eta1, b, s, N, up_sums);
    mixture_detail::tail_sums(eta2, -b, s, N, down_sums);
    const MixtureTables mix(N, p, eta1, eta2);
    double mass = tarnwick::poisson_weight(0.0, lambda_T);
    double up = 0.0;
    double down = 0.0;
    for (int j = 1; j <= N; ++j) {
        const double poisson = tarnwick::poisson_weight(j, lambda_T);
        if (poisson == 0.0) continue;
        const MixtureRow row(mix, j);
        double up_j = 0.0;
        double down_j = 0.0;
        for (int k = 1; k <= j; ++k) {
            const auto [P, Q] = row.weight(k);
            up_j += P * up_sums[k];
            down_j += Q * down_sums[k];
        }
        mass += poisson;
        up += poisson * up_j;
        down += poisson * down_j;
    }
    // down <= (mass - pi_0) * above: the difference is resolved to ulps of 1.
    return (above * mass - down) + up;
}

}  // namespace dexpjump
