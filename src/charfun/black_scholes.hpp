#pragma once

// Black-Scholes as a Lévy model: the cumulant exponent of a Brownian log return,
// kappa(w) = sigma^2 w (w - 1) / 2, with no jumps. The pricing API uses the closed form
// (blackscholes/); this is what the engines that need a characteristic function, a
// diffusion coefficient or a draw read.

#include <complex>
#include <limits>

#include "charfun/jump_measure.hpp"

namespace tarnwick::charfun {

struct BlackScholes {
    double sigma;

    static constexpr int parameter_count = 1;
    static constexpr const char* name = "black_scholes";
    using complex = std::complex<double>;

    static BlackScholes from_parameters(const double* v) { return {v[0]}; }
    NoJumps jumps() const { return {}; }

    complex exponent(complex w) const { return w * (w - 1.0) * (0.5 * sigma * sigma); }
    complex slope(complex w) const { return sigma * sigma * (w - 0.5); }
    double envelope(double theta, double u) const { return 0.5 * sigma * sigma * (theta * theta - theta - u * u); }
    double lower_edge() const { return -std::numeric_limits<double>::infinity(); }
    double upper_edge() const { return std::numeric_limits<double>::infinity(); }
    BlackScholes for_parameter_derivatives() const { return *this; }
    void gradient(complex w, complex* out) const { out[0] = sigma * w * (w - 1.0); }
};

}  // namespace tarnwick::charfun
