#pragma once

// What is priced: the contract, and one option with the market it is priced in.

#include <cstdint>

namespace tarnwick {

// The payoff at expiry: (S_T - K)^+ for a call, (K - S_T)^+ for a put. The codes are those
// of the pricing API's arrays.
enum class Payoff : std::int8_t { put = 0, call = 1 };

// A contract on the underlying. Today a European call or put; an early-exercise style or a
// barrier becomes another member here, and the engines that cannot price it refuse it.
struct Product {
    Payoff payoff;

    bool call() const { return payoff == Payoff::call; }
};

// One option and its market: spot, strike, maturity in years, continuously compounded
// rate and dividend yield.
struct Option {
    double S, K, T, r, q;
    Product product;
};

// What a batch computes per option. The rows of each: one price; the price and twelve Greeks
// in the order of greek::Index; the price and its derivative in each model parameter.
enum class Output : int { price = 0, greeks = 1, sensitivities = 2 };

namespace greek {
enum Index : int { price, delta, gamma, vega, theta, rho, epsilon, vanna, charm, speed, colour, zomma, vomma, count };
}

}  // namespace tarnwick
