#pragma once

// What is priced: the contract, and one option with the market it is priced in.

#include <cstddef>
#include <cstdint>

namespace tarnwick {

// The payoff at expiry: (S_T - K)^+ for a call, (K - S_T)^+ for a put. The codes are those
// of the pricing API's arrays.
enum class Payoff : std::int8_t { put = 0, call = 1 };

// When the holder may exercise: at expiry only, at any time up to it, or at given times and at
// expiry. The codes are those of the pricing API.
enum class Exercise : std::int8_t { european = 0, american = 1, bermudan = 2 };

// The exercise times of a Bermudan option, in years from now, increasing; times after the
// expiry are not exercise times of that option. Not owned.
struct ExerciseDates {
    const double* times = nullptr;
    std::size_t count = 0;
};

// A contract on the underlying: its payoff and when it may be exercised. A barrier becomes
// another member here, and the engines that cannot price a contract refuse it: the Fourier
// engines price European exercise only, the grid solver (grid/) every style.
struct Product {
    Payoff payoff;
    Exercise exercise = Exercise::european;
    ExerciseDates dates = {};

    bool call() const { return payoff == Payoff::call; }
    bool early_exercise() const { return exercise != Exercise::european; }
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
