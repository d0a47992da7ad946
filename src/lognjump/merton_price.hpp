#pragma once

#include <cfloat>
#include <cmath>

#include "literal/normal_cdf.hpp"
#include "common/poisson.hpp"

namespace lognjump {

// From 171 on, i! overflows a double: every later Poisson weight is 0 (or NaN once
// the power overflows too), so the literal series stops there.
inline constexpr int max_term_index = 170;

// The quantities of the series that do not depend on the term index.
struct MertonTerms {
    double s2;               // s^2
    double g;                // 1 + k, the mean jump factor
    double jumps_expected;   // lambda' T = (1 + k) lam T
    double r_adjusted;       // r - lam k
    double log_g;            // ln(1 + k)
};

inline MertonTerms merton_terms(double T, double r, double lam, double m, double s) {
    MertonTerms t{};
    t.s2 = s * s;
    const double mean_jump_factor = std::exp(0.5 * t.s2 + m);
    const double k = mean_jump_factor - 1;
    // 1 + k, not the factor itself: the rounding of k is part of the rates below.
    t.g = 1 + k;
    t.jumps_expected = t.g * lam * T;
    t.r_adjusted = r - k * lam;
    t.log_g = std::log(t.g);
    return t;
}

// A result with a bound of its rounding and truncation error (NaN: no bound).
struct Estimated {
    double value;
    double error;
};

// Merton's jump-diffusion call price, evaluated literally: a Poisson-weighted sum of
// Black-Scholes prices, term i with the volatility sqrt(sigma^2 + i s^2 / T) and the
// rate r - lam k + i ln(1 + k) / T, summed for i = 0 ... min(floor(n), 170).
// n negative or NaN gives 0.
//
// Alongside, the error of that value as an approximation of the series up to floor(n):
// every term rounds with an absolute error of a few ulps of S + K e^(-r_i T) times its
// weight (the normal function in complement form has absolute accuracy only), and the
// terms from 171 on are missing. Weights that overflow show as a non-finite value.
inline Estimated merton_call_literal(double T, double K, double S, double sigma, double r,
                                     double lam, double m, double s, double n) {
    const MertonTerms t = merton_terms(T, r, lam, m, s);
    const double s2 = t.s2;
    const double jumps_expected = t.jumps_expected;
    const double r_adjusted = t.r_adjusted;
    const double log_g = t.log_g;
    if (!(n >= 0.0)) return {0.0, 0.0};

    const double sqrt_T = std::sqrt(T);
    const double log_moneyness = std::log(S / K);
    const double no_jump_probability = std::exp(-jumps_expected);
    const int last = n < max_term_index ? static_cast<int>(n) : max_term_index;

    double sum = 0.0;
    double magnitude = 0.0;
    double factorial = 1.0;
    for (int i = 0; i <= last; ++i) {
        const double index = i;
        const double sigma_i = std::sqrt(s2 / T * index + sigma * sigma);
        const double r_i = log_g / T * index + r_adjusted;
        // Each weight is formed afresh rather than by a recurrence from the previous one,
        // so the rounding of one weight never leaks into the next.
        double weight = no_jump_probability * std::pow(jumps_expected, index);
        if (i >= 2) {
            factorial = index * factorial;
            weight = weight / factorial;
        }
        const double d1 = ((sigma_i * sigma_i * 0.5 + r_i) * T + log_moneyness) / sigma_i / sqrt_T;
        const double d2 = d1 - sigma_i * sqrt_T;
        const double discounted_strike = K * std::exp(-(r_i * T));
        const double phi1 = tarnwick::literal::normal_cdf(d1);
        const double phi2 = tarnwick::literal::normal_cdf(d2);
        const double black_scholes = S * phi1 - discounted_strike * phi2;
        sum = black_scholes * weight + sum;
        magnitude = (S * tarnwick::literal::normal_cdf_error_ulps(d1, phi1) +
                     discounted_strike * tarnwick::literal::normal_cdf_error_ulps(d2, phi2)) * weight +
                    magnitude;
    }
    // Each term rounds by about one ulp of S and of K e^(-r_i T) (less deep in the lower
    // tail of the normal function), times its weight; the weight by up to i + 3 ulps
    // (exponential, power, factorial), and the running sum by one ulp per term.
    double error = (2.0 * magnitude + (2.0 * last + 8.0) * std::fabs(sum)) * DBL_EPSILON;
    if (n > max_term_index) error += S * tarnwick::poisson_tail_bound(max_term_index + 1, jumps_expected);
    // A no-jump weight below the normal range has lost relative accuracy.
    if (no_jump_probability < 1e-290) error = INFINITY;
    return {sum, error};
}

// Black-Scholes price with both tails of the normal distribution resolved, from the log
// moneyness ln(S/K).
inline double black_scholes_call(double S, double K, double log_moneyness, double T,
                                 double sqrt_T, double r, double vol) {
    const double sd = vol * sqrt_T;
    const double d1 = (log_moneyness + (r + 0.5 * vol * vol) * T) / sd;
    const double d2 = d1 - sd;
    return S * tarnwick::literal::normal_cdf_both_tails(d1) -
           K * std::exp(-r * T) * tarnwick::literal::normal_cdf_both_tails(d2);
}

// The same series up to floor(n) (n may be +inf), with Poisson weights that neither
// overflow nor underflow, summed over the window of term indices whose weights reach
// about 1e-20: the rest cannot change a double result of size up to S. The weights
// start from the mode in log space and follow w(i + 1) = w(i) mu / (i + 1) outward,
// which loses no more than a few ulps per hundred terms.
inline double merton_call_window(double T, double K, double S, double sigma, double r,
                                 double lam, double m, double s, double n) {
    const MertonTerms t = merton_terms(T, r, lam, m, s);
    const double mu = t.jumps_expected;
    const tarnwick::PoissonWindow window = tarnwick::poisson_window(mu);
    const double last = std::fmin(std::floor(n), window.hi);
    const double sqrt_T = std::sqrt(T);
    const double log_moneyness = std::log(S / K);
    const auto term = [&](double i, double weight) {
        const double vol = std::sqrt(t.s2 / T * i + sigma * sigma);
        const double rate = t.log_g / T * i + t.r_adjusted;
        return weight * black_scholes_call(S, K, log_moneyness, T, sqrt_T, rate, vol);
    };
    const double mode = std::fmin(std::floor(mu), last);
    if (mode < window.lo) return 0.0;  // every count up to n is below the window
    const double mode_weight = tarnwick::poisson_weight(mode, mu);
    double sum = 0.0;
    double weight = mode_weight;
    for (double i = mode; i >= window.lo; i -= 1.0) {
        sum += term(i, weight);
        weight *= i / mu;
    }
    weight = mode_weight;
    for (double i = mode + 1.0; i <= last; i += 1.0) {
        weight *= mu / i;
        sum += term(i, weight);
    }
    return sum;
}

// The model's domain: the evaluation that replaces the literal one is for these inputs
// only; every other input keeps what the literal evaluation gives.
inline bool merton_inputs_valid(double T, double K, double S, double sigma, double r,
                                double lam, double m, double s, double n) {
    return T > 0 && K > 0 && S > 0 && sigma > 0 && lam >= 0 && s >= 0 && n >= 0 &&
           std::isfinite(T) && std::isfinite(K) && std::isfinite(S) && std::isfinite(sigma) &&
           std::isfinite(r) && std::isfinite(lam) && std::isfinite(m) && std::isfinite(s);
}

// Largest error of the literal value, relative to S, for which it is returned as is, and
// what the windowed series is allowed to be off, relative to S + K (it is accurate to a
// few ulps of both per hundred terms).
inline constexpr double literal_tolerance = 1e-13;
inline constexpr double window_error = 5e-15;

// Beyond lambda' T = 1e7 the window (6e4 terms) would take more than about ten
// milliseconds; such inputs keep the literal value.
inline constexpr double max_window_mean = 1e7;

// The call price: the literal series wherever its error bound is below 1e-13 S, bit for
// bit; otherwise the windowed series with log-space weights, unless the literal value
// agrees with it (the bound is conservative).
inline double merton_call_price(double T, double K, double S, double sigma, double r,
                                double lam, double m, double s, double n) {
    const Estimated literal = merton_call_literal(T, K, S, sigma, r, lam, m, s, n);
    if (!merton_inputs_valid(T, K, S, sigma, r, lam, m, s, n)) return literal.value;
    if (std::isfinite(literal.value) && literal.error <= literal_tolerance * S) return literal.value;
    const MertonTerms t = merton_terms(T, r, lam, m, s);
    if (!std::isfinite(t.log_g) || !(t.jumps_expected < max_window_mean)) return literal.value;
    const double window = merton_call_window(T, K, S, sigma, r, lam, m, s, n);
    if (std::fabs(literal.value - window) <= literal_tolerance * S - window_error * (S + K)) return literal.value;
    return window;
}

}  // namespace lognjump
