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

// Which side of the spot the barrier lies on and what a hit does: a knock-out dies there, a
// knock-in comes alive there. The codes are those of the pricing API.
enum class BarrierKind : std::int8_t { none = 0, down_out = 1, down_in = 2, up_out = 3, up_in = 4 };

// The times at which the barrier is watched, in years from now, increasing; empty: at every
// instant. Not owned.
struct Monitoring {
    const double* times = nullptr;
    std::size_t count = 0;

    bool continuous() const { return count == 0; }
};

// A barrier at `level`. The rebate is cash: a knock-out pays it at the hit, a knock-in at
// expiry if it never came alive. A knock-out also pays `cash` at expiry if it survives,
// besides its payoff (the engines price a knock-in as the European option less a knock-out
// paying -rebate there: the two together pay the payoff, or the rebate, in every state).
struct Barrier {
    BarrierKind kind = BarrierKind::none;
    double level = 0.0;
    double rebate = 0.0;
    double cash = 0.0;
    Monitoring monitoring = {};

    bool present() const { return kind != BarrierKind::none; }
    bool up() const { return kind == BarrierKind::up_out || kind == BarrierKind::up_in; }
    bool knock_in() const { return kind == BarrierKind::down_in || kind == BarrierKind::up_in; }
    // Whether a spot S is at or beyond the barrier (knocked out or in at once).
    bool breached_by(double S) const { return up() ? S >= level : S <= level; }
};

// A contract on the underlying: its payoff, when it may be exercised and its barrier. The
// engines that cannot price a contract refuse it: the Fourier engines price European
// exercise without a barrier only, the grid solver (grid/) every style and European
// barriers.
struct Product {
    Payoff payoff;
    Exercise exercise = Exercise::european;
    ExerciseDates dates = {};
    Barrier barrier = {};

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
