#pragma once

// Black-Scholes implied volatility of a European call or put from its price.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "impliedvol/lets_be_rational.hpp"
#include "market/forward.hpp"
#include "product/option.hpp"

namespace tarnwick::impliedvol {

// An option's price in the normalised form the iteration works with (beta, gamma and
// x = -|ln(F/K)|, see normalised_implied_volatility) and sqrt(T); or, where the bounds alone
// decide, its implied volatility (`decided`).
struct NormalisedOption {
    double beta, gamma, x, root_T;
    bool decided;
    double sigma;
};

// The price must lie between the discounted intrinsic value and the discounted upper bound
// (S e^{-qT} for a call, K e^{-rT} for a put; market::bounds, which the pricer keeps its
// prices within): NaN outside, 0 at the lower bound, +inf at the upper one.
inline NormalisedOption normalise(double price, double S, double K, double T, double r, double q, bool call) {
    const market::Forward f = market::forward(S, K, T, r, q);
    const market::Bounds bounds = market::bounds(f, Product{call ? Payoff::call : Payoff::put});
    if (!(price >= bounds.lower && price <= bounds.upper)) return {0.0, 0.0, 0.0, 0.0, true, std::nan("")};
    if (price == bounds.lower) return {0.0, 0.0, 0.0, 0.0, true, 0.0};
    if (price == bounds.upper) return {0.0, 0.0, 0.0, 0.0, true, HUGE_VAL};
    // A call and a put at the same strike share their time value, that of the
    // out-of-the-money one; its normalised form is the price over D sqrt(F K), with
    // x = -|ln(F/K)|.
    const double spot = f.discounted_forward;
    const double strike = f.discounted_strike;
    const double x = -f.k;
    const double scale = std::sqrt(spot) * std::sqrt(strike);  // D sqrt(F K)
    // The time value of an in-the-money option is its price less the intrinsic value.
    // spot - strike as it stands carries rounding errors of both, eps (spot + strike),
    // which swamp the small time value deep in the money; strike (e^x - 1) via expm1 is
    // accurate relative to the difference itself. (The bounds above stay as stated, so
    // that a price exactly at one of them is recognised as such.)
    const bool in_the_money = call ? x > 0.0 : x < 0.0;
    const double intrinsic = in_the_money ? (x > 0.0 ? strike : spot) * std::expm1(std::fabs(x)) : 0.0;
    const double beta = (price - intrinsic) / scale;
    // The distance to the upper bound is a difference of two nearby prices, exact or nearly
    // so; the iteration near the bound works with it rather than with beta.
    const double gamma = (bounds.upper - price) / scale;
    if (!(beta > 0.0)) return {0.0, 0.0, 0.0, 0.0, true, 0.0};
    return {beta, gamma, -std::fabs(x), std::sqrt(T), false, 0.0};
}

// sigma such that the Black-Scholes price of the option (spot S, strike K, expiry T,
// continuous rate r and dividend yield q) is `price` (see normalise for the bounds).
inline double implied_volatility(double price, double S, double K, double T, double r, double q, bool call) {
    const NormalisedOption option = normalise(price, S, K, T, r, q, call);
    if (option.decided) return option.sigma;
    return normalised_implied_volatility(option.beta, option.gamma, option.x) / option.root_T;
}

// out[i] = implied_volatility(price[i], S[i], K[i], T[i], r[i], q[i], call[i] != 0) for i < count,
// bit for bit. One option's work is a chain, each step waiting on the divisions and
// transcendental functions before it, longer than the processor looks ahead; taking a block
// of options phase by phase (every normalised price, every start, every first step, every
// second) puts independent work from neighbouring options within its reach, some 15 % faster
// than one option after the other.
inline void implied_volatilities(const double* price, const double* S, const double* K, const double* T,
                                 const double* r, const double* q, const std::int8_t* call, double* out,
                                 std::size_t count) {
    constexpr std::size_t block = 32;
    NormalisedOption options[block];
    Iteration iterations[block];
    bool stepping[block];
    for (std::size_t begin = 0; begin < count; begin += block) {
        const std::size_t n = std::min(block, count - begin);
        for (std::size_t j = 0; j < n; ++j) {
            const std::size_t i = begin + j;
            options[j] = normalise(price[i], S[i], K[i], T[i], r[i], q[i], call[i] != 0);
        }
        for (std::size_t j = 0; j < n; ++j) {
            stepping[j] = false;
            if (options[j].decided) {
                out[begin + j] = options[j].sigma;
                continue;
            }
            iterations[j] = start_iteration(options[j].beta, options[j].gamma, options[j].x);
            stepping[j] = iterations[j].needs_steps();
            if (!stepping[j]) out[begin + j] = iterations[j].s / options[j].root_T;
        }
        for (int step = 0; step < householder_steps; ++step) {
            for (std::size_t j = 0; j < n; ++j) {
                if (stepping[j]) iterations[j].step();
            }
        }
        for (std::size_t j = 0; j < n; ++j) {
            if (stepping[j]) out[begin + j] = iterations[j].s / options[j].root_T;
        }
    }
}

}  // namespace tarnwick::impliedvol
