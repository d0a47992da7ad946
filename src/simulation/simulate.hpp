#pragma once

// A path simulation under the model of a registry code: each model's scheme (exact for the
// Lévy models, quadratic-exponential for stochastic variance), after the checks that
// refuse what no double simulation can carry.

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "pricing/registry.hpp"
#include "simulation/exact_levy.hpp"
#include "simulation/paths.hpp"
#include "simulation/quadratic_exponential.hpp"

namespace tarnwick::simulation {

// Every jump is drawn, so the expected count per path bounds the time a path takes: 10^6
// of them is about ten milliseconds a path, hours for a usual batch.
inline constexpr double max_jumps_per_path = 1e6;

// Refuses jumps whose compensator int (e^x - 1) nu(dx) overflows (no finite drift makes
// the price a martingale) and more expected jumps per path than the bound; returns the
// expected count.
template <class Measure>
double check_jumps(const Measure& measure, double horizon) {
    if (!std::isfinite(measure.compensator()))
        throw std::invalid_argument(
            "model: the jumps' mean of e^J - 1 overflows a double, so no finite drift makes the price a martingale");
    const double expected = measure.rate() * horizon;
    if (expected > max_jumps_per_path)
        throw std::invalid_argument("model: lam * T = " + std::to_string(expected) +
                                    " jumps per path expected; every jump is drawn, and more than 1e6 per path "
                                    "would take hours");
    return expected;
}

template <class Exponent>
ExactLevy<Exponent> scheme_for(const charfun::Levy<Exponent>& model, const std::vector<double>& dt) {
    if (!std::isfinite(model.diffusion_variance()))
        throw std::invalid_argument("model: sigma^2 overflows a double");
    return {model, dt.data(), dt.size()};
}

// The correlation's lever rho / xi and the variance's xi^2 must be doubles.
template <class Jumps>
QuadraticExponential<Jumps> scheme_for(const charfun::StochasticVolatility<Jumps>& model,
                                       const std::vector<double>& dt) {
    if (!std::isfinite(model.xi * model.xi) || !std::isfinite(2.0 / model.xi))
        throw std::invalid_argument("model: xi^2 or 1 / xi overflows a double");
    return {model, dt.data(), dt.size()};
}

// The jump measure of either kind of model.
template <class Exponent>
auto jump_measure(const charfun::Levy<Exponent>& model) {
    return model.jumps();
}
template <class Jumps>
auto jump_measure(const charfun::StochasticVolatility<Jumps>& model) {
    return model.jumps.jumps();
}

// Fills request.out with paths of the model of this code (known, with its parameters in the
// model's order).
inline Outcome simulate(int code, const double* parameters, const Request& request, const Schedule& schedule) {
    const std::vector<double> dt = step_lengths(request.times, request.columns);
    const double horizon = request.columns > 0 ? request.times[request.columns - 1] : 0.0;
    Outcome outcome = Outcome::complete;
    pricing::with_model(code, parameters, [&](const auto& model) {
        const double jumps = check_jumps(jump_measure(model), horizon);
        const auto scheme = scheme_for(model, dt);
        outcome = fill_paths(scheme, request, static_cast<double>(request.columns) + jumps, schedule);
    });
    return outcome;
}

}  // namespace tarnwick::simulation
