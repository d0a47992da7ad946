#pragma once

// The model interface (model_interface.hpp) of a Lévy model from its cumulant exponent
// kappa: E[e^{w X_T}] = e^{T kappa(w)}, so L = T kappa, dL/dT = kappa, and the strip does
// not depend on T. The exponent E supplies kappa (`exponent`), d kappa / dw (`slope`),
// d kappa / d(parameters) (`gradient`), an envelope of Re kappa along a line, its strip
// edges, its Brownian volatility `sigma` and its jump measure (`jumps`). Here, and only
// here, sigma is read: as the volatility coordinate, and for the Gaussian decay of the
// Brownian part.

#include <cmath>
#include <complex>
#include <utility>

#include "charfun/model_interface.hpp"
#include "random/poisson.hpp"

namespace tarnwick::charfun {

// The jumps of X over a step dt: a Poisson count of them, each drawn from the measure.
template <class Measure>
struct JumpStep {
    random::Poisson count;
    Measure measure;

    template <class Generator>
    double draw(Generator& g) const {
        double x = 0.0;
        for (long n = count(g); n > 0; --n) x += measure.draw(g);
        return x;
    }
};

template <class Measure>
JumpStep<Measure> jump_step(const Measure& measure, double dt) {
    return {random::Poisson(measure.rate() * dt), measure};
}

template <class Exponent>
struct Levy {
    Exponent exponent;

    static constexpr int parameter_count = Exponent::parameter_count;
    static constexpr const char* name = Exponent::name;

    static Levy from_parameters(const double* values) { return {Exponent::from_parameters(values)}; }

    // --- the Fourier engine -----------------------------------------------------------------

    LogMgf log_mgf(complex w, double T) const {
        const complex kappa = exponent.exponent(w);
        return {T * kappa, kappa};
    }
    complex log_mgf_dw(complex w, double T) const { return T * exponent.slope(w); }
    // dL / d(parameter) for each parameter in the model's order, to out[0 .. parameter_count).
    void log_mgf_gradient(complex w, double T, complex* out) const {
        exponent.gradient(w, out);
        for (int i = 0; i < parameter_count; ++i) out[i] *= T;
    }
    Strip strip(double) const { return {exponent.lower_edge(), exponent.upper_edge()}; }
    // An upper bound of Re L(theta + i v, T) for all |v| >= u.
    double log_bound(double theta, double u, double T) const { return T * exponent.envelope(theta, u); }
    Decay decay(double T) const {
        const double sigma = exponent.sigma;
        return {sigma * sigma * T, sigma * std::sqrt(T), 0.0};
    }
    // The volatility coordinate is sigma: L carries T sigma^2 w (w - 1) / 2.
    double volatility() const { return exponent.sigma; }
    VolatilityFactors volatility_factors(double T) const { return {exponent.sigma * T, T}; }
    VolatilityDerivatives volatility_derivatives(complex w, double T) const {
        const complex ww = T * (w * (w - 1.0));
        return {exponent.sigma * ww, ww};
    }
    // The model whose strip suits derivatives in the parameters (see the exponents).
    Levy for_parameter_derivatives() const { return {exponent.for_parameter_derivatives()}; }

    // --- a grid solver -------------------------------------------------------------------------

    // The variance rate of the Brownian part: the PIDE's second-order coefficient is half of it.
    double diffusion_variance() const { return exponent.sigma * exponent.sigma; }
    auto jumps() const { return exponent.jumps(); }

    // --- a simulator -------------------------------------------------------------------------

    // The drift of X per unit time that makes e^X a martingale: kappa(1) = 0.
    double drift() const { return -0.5 * diffusion_variance() - jumps().compensator(); }

    // An exact draw of X_{t + dt} - X_t: the drift, the Brownian increment, then a Poisson
    // count of jumps and each jump's size. Its constants are computed once per step length,
    // for the many paths that take the step.
    struct Step {
        double drift, deviation;
        JumpStep<decltype(std::declval<const Exponent&>().jumps())> jumps;

        template <class Generator>
        double draw(Generator& g) const {
            return drift + deviation * g.normal() + jumps.draw(g);
        }
    };
    Step step(double dt) const { return {drift() * dt, exponent.sigma * std::sqrt(dt), jump_step(jumps(), dt)}; }

    template <class Generator>
    double increment(double dt, Generator& g) const {
        return step(dt).draw(g);
    }
};

}  // namespace tarnwick::charfun
