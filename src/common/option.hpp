#pragma once

namespace tarnwick {

// One European option and its market: spot, strike, maturity in years, continuously
// compounded rate and dividend yield.
struct Option {
    double S, K, T, r, q;
    bool call;
};

// Order of the Greeks everywhere: the value and twelve derivatives.
namespace greek {
enum Index : int { price, delta, gamma, vega, theta, rho, epsilon, vanna, charm, speed, colour, zomma, vomma, count };
}

}  // namespace tarnwick
