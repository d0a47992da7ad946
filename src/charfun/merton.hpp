#pragma once

// Merton's lognormal jump-diffusion: the cumulant exponent of the log return and its
// derivatives in the transform variable and in the model parameters.
//
// With X = ln(S_T / F) and F the forward, E[exp(w X)] = exp(T kappa(w)) for every complex w.

#include <cmath>
#include <complex>
#include <limits>

#include "charfun/complex_expm1.hpp"
#include "charfun/jump_measure.hpp"

namespace tarnwick::charfun {

struct Merton {
    double sigma;  // diffusion volatility
    double lam;    // jump intensity per year
    double m;      // mean of the log jump
    double s;      // standard deviation of the log jump

    static constexpr int parameter_count = 4;
    static constexpr const char* name = "merton";
    using complex = std::complex<double>;

    static Merton from_parameters(const double* v) { return {v[0], v[1], v[2], v[3]}; }
    NormalJumps jumps() const { return {lam, m, s}; }

    // Log of the jump's transform, m w + s^2 w^2 / 2, for complex or real w.
    template <class Z>
    Z jump_log(Z w) const {
        return w * (m + 0.5 * s * s * w);
    }

    // phi(1) - 1 = E[e^J] - 1, by which the drift compensates the jumps.
    double mean_less_one() const { return std::expm1(m + 0.5 * s * s); }

    // sigma^2 w (w - 1) / 2 + lam (phi(w) - 1 - w (phi(1) - 1)). Both phi - 1 go through
    // expm1, so that small jumps or small w do not drown the jump part in rounding. Without
    // jumps the jump part is left out rather than multiplied by zero: phi overflows on the
    // far contours that a pure diffusion allows.
    complex exponent(complex w) const {
        const complex diffusion = 0.5 * sigma * sigma * w * (w - 1.0);
        if (lam == 0.0) return diffusion;
        return diffusion + jump_part(w, [](complex z) { return expm1(z); }, mean_less_one());
    }

    // The jump part lam (phi(w) - 1 - w (phi(1) - 1)) alone (0 without jumps), with
    // phi(w) - 1 = e^z - 1, z = jump_log(w), from less_one(z), and phi1_less_one =
    // mean_less_one(), which a caller at many nodes computes once. The exact expm1 above, five
    // library calls, keeps the Lévy model's prices as they have been bit for bit;
    // exp_less_one (complex_expm1.hpp) gives them to a few ulps of |phi - 1| with one
    // exponential and a sine and cosine, none at the far nodes, where a node also costs a
    // Riccati solution (stochastic_volatility.hpp). For a real w in real arithmetic, with a
    // less_one that gives the complex one's real part on the real axis: the complex form's
    // real part to the bit (its imaginary part is 0 there).
    template <class Z, class LessOne>
    Z jump_part(Z w, LessOne less_one, double phi1_less_one) const {
        if (lam == 0.0) return Z(0.0);
        return lam * (less_one(jump_log(w)) - w * phi1_less_one);
    }

    complex slope(complex w) const {
        const complex diffusion = sigma * sigma * (w - 0.5);
        if (lam == 0.0) return diffusion;
        return diffusion + lam * ((m + s * s * w) * std::exp(jump_log(w)) - std::expm1(m + 0.5 * s * s));
    }

    // An upper bound of Re kappa(theta + iu) that does not increase with u: the diffusion
    // part exactly, the jump part with |phi| in place of Re phi. Along a line the jump part
    // need not decay (a nearly fixed jump size makes |phi| return close to its peak every
    // 2 pi / m), so the sum can only stop where this bound is small.
    double envelope(double theta, double u) const { return envelope(theta, u, mean_less_one()); }
    double envelope(double theta, double u, double phi1_less_one) const {
        const double diffusion = 0.5 * sigma * sigma * (theta * theta - theta - u * u);
        if (lam == 0.0) return diffusion;
        const double phi_size = std::exp(m * theta + 0.5 * s * s * (theta * theta - u * u));
        return diffusion + lam * (phi_size - 1.0 - theta * phi1_less_one);
    }

    // The model whose strip and saddle suit derivatives in the parameters: those in lam, m
    // and s involve phi even where lam = 0, so the contour must keep phi moderate, as it
    // does for any positive intensity.
    Merton for_parameter_derivatives() const { return lam > 0.0 ? *this : Merton{sigma, 1.0, m, s}; }

    double lower_edge() const { return -std::numeric_limits<double>::infinity(); }
    double upper_edge() const { return std::numeric_limits<double>::infinity(); }

    // d kappa / d(sigma, lam, m, s), in that order.
    void gradient(complex w, complex* out) const {
        const complex phi = std::exp(jump_log(w));
        const double phi1 = std::exp(m + 0.5 * s * s);
        out[0] = sigma * w * (w - 1.0);
        out[1] = expm1(jump_log(w)) - w * std::expm1(m + 0.5 * s * s);
        out[2] = lam * w * (phi - phi1);
        out[3] = lam * s * w * (w * phi - phi1);
    }

    // d/d(sigma, lam, m, s) of the jumps' transform lam phi(w) (jump_measure.hpp).
    void jump_transform_gradient(complex w, complex* out) const {
        const complex phi = std::exp(jump_log(w));
        out[0] = 0.0;
        out[1] = phi;
        out[2] = lam * w * phi;
        out[3] = lam * s * w * w * phi;
    }
};

}  // namespace tarnwick::charfun
