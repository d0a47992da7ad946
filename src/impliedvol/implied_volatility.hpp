#pragma once

// Black-Scholes implied volatility of a European call or put from its price.

#include <algorithm>
#include <cmath>

#include "impliedvol/lets_be_rational.hpp"

namespace tarnwick::impliedvol {

// ln(S/K) with an error relative to itself. ln of the rounded quotient would be off by
// half an ulp of 1 absolutely, which near the money is large relative to ln(S/K) and,
// deep in the money, to the time value left after the intrinsic value (whose slope in
// ln(S/K) is the spot). Within a factor of 2, S - K is exact and log1p keeps its accuracy.
inline double log_ratio(double S, double K) {
    if (S <= 2.0 * K && K <= 2.0 * S) return std::log1p((S - K) / K);
    return std::log(S / K);
}

// sigma such that the Black-Scholes price of the option (spot S, strike K, expiry T,
// continuous rate r and dividend yield q) is `price`. The price must lie between the
// discounted intrinsic value and the discounted upper bound (S e^{-qT} for a call,
// K e^{-rT} for a put): NaN outside, 0 at the lower bound, +inf at the upper one.
inline double implied_volatility(double price, double S, double K, double T, double r, double q, bool call) {
    const double spot = S * std::exp(-q * T);
    const double strike = K * std::exp(-r * T);
    const double lower = std::max(call ? spot - strike : strike - spot, 0.0);
    const double upper = call ? spot : strike;
    if (!(price >= lower && price <= upper)) return std::nan("");
    if (price == lower) return 0.0;
    if (price == upper) return HUGE_VAL;
    // A call and a put at the same strike share their time value, that of the
    // out-of-the-money one; its normalised form is the price over D sqrt(F K), with
    // x = -|ln(F/K)|, as ln(S/K) + (r - q) T, each term to its own relative accuracy.
    const double x = log_ratio(S, K) + (r - q) * T;
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
    const double gamma = (upper - price) / scale;
    if (!(beta > 0.0)) return 0.0;
    return normalised_implied_volatility(beta, gamma, -std::fabs(x)) / std::sqrt(T);
}

}  // namespace tarnwick::impliedvol
