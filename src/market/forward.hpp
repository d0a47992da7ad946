#pragma once

// The one conversion of market inputs (spot S, rate r, dividend yield q, maturity T) into
// the forward terms every kernel works in, and the no-arbitrage bounds of a price.
//
// A kernel needs the forward F = S e^{(r-q)T} and the discount factor D = e^{-rT} only as
// the discounted forward D F, the discounted strike D K and the log-moneyness k = ln(K/F).
// Each is formed directly from the inputs: F or D alone overflows or underflows for
// finite rates that leave every price a meaningful number (r T = 800: D = 0, F = inf), and
// K / S itself does for extreme spots (S = 5e-324).

#include <algorithm>
#include <cmath>

#include "product/option.hpp"

namespace tarnwick::market {

// ln(S/K) with an error relative to itself. ln of the rounded quotient would be off by
// half an ulp of 1 absolutely, which near the money is large relative to ln(S/K) and,
// deep in the money, to the time value left after the intrinsic value (whose slope in
// ln(S/K) is the spot). Within a factor of 2, S - K is exact and log1p keeps its accuracy.
// Where S / K leaves the normal range, the logarithms are taken apart.
inline double log_ratio(double S, double K) {
    if (S <= 2.0 * K && K <= 2.0 * S) return std::log1p((S - K) / K);
    const double ratio = S / K;
    if (std::isnormal(ratio)) return std::log(ratio);
    return std::log(S) - std::log(K);
}

struct Forward {
    double discounted_forward;  // D F = S e^{-qT}
    double discounted_strike;   // D K = K e^{-rT}
    double k;                   // ln(K / F)
};

// ln(F/K) as ln(S/K) + (r - q) T, each term to its own relative accuracy.
inline Forward forward(double S, double K, double T, double r, double q) {
    return {S * std::exp(-q * T), K * std::exp(-r * T), -(log_ratio(S, K) + (r - q) * T)};
}

inline Forward forward(const Option& o) { return forward(o.S, o.K, o.T, o.r, o.q); }

// A European price lies in [max(D (F - K), 0), D F] for a call, [max(D (K - F), 0), D K]
// for a put. The implied volatility takes the same bounds in the same arithmetic, so a price
// kept inside them always has one.
struct Bounds {
    double lower, upper;
};

inline Bounds bounds(const Forward& f, Product product) {
    const double spot = f.discounted_forward;
    const double strike = f.discounted_strike;
    return product.call() ? Bounds{std::max(spot - strike, 0.0), spot} : Bounds{std::max(strike - spot, 0.0), strike};
}

// A price moved into its bounds: a quadrature or a rounding a few ulps outside is no price
// at all to the implied volatility. NaN stays NaN.
inline double within_bounds(double price, const Forward& f, Product product) {
    const Bounds b = bounds(f, product);
    return price < b.lower ? b.lower : price > b.upper ? b.upper : price;
}

}  // namespace tarnwick::market
