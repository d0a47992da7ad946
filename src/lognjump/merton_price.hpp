#pragma once

#include <cmath>

#include "common/normal_cdf.hpp"

namespace lognjump {

// From 171 on, i! overflows a double: every later Poisson weight is 0 (or NaN once
// the power overflows too), so such terms add nothing but the risk of a NaN sum.
inline constexpr int max_term_index = 170;

// Merton's jump-diffusion call price: a Poisson-weighted sum of Black-Scholes prices,
// term i with the volatility sqrt(sigma^2 + i s^2 / T) and the rate
// r - lam k + i ln(1 + k) / T, summed for i = 0 ... min(floor(n), 170).
// n negative or NaN gives 0.
inline double merton_call_price(double T, double K, double S, double sigma, double r,
                                double lam, double m, double s, double n) {
    const double s2 = s * s;
    const double mean_jump_factor = std::exp(0.5 * s2 + m);
    const double k = mean_jump_factor - 1;
    // 1 + k, not the factor itself: the rounding of k is part of the rates below.
    const double g = 1 + k;
    const double jumps_expected = g * lam * T;
    const double r_adjusted = r - k * lam;
    const double log_g = std::log(g);
    if (!(n >= 0.0)) return 0.0;

    const double sqrt_T = std::sqrt(T);
    const double log_moneyness = std::log(S / K);
    const double no_jump_probability = std::exp(-jumps_expected);
    const int last = n < max_term_index ? static_cast<int>(n) : max_term_index;

    double sum = 0.0;
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
        const double black_scholes =
            S * tarnwick::normal_cdf(d1) - K * std::exp(-(r_i * T)) * tarnwick::normal_cdf(d2);
        sum = black_scholes * weight + sum;
    }
    return sum;
}

}  // namespace lognjump
