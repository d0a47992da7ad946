#pragma once

// A Lévy jump model with its first jump counts taken out: what the Fourier engine integrates
// once those counts are priced in closed form.
//
// With Z(w) = T int e^{wx} nu(dx) (the jumps' transform over the maturity),
//     E[e^{w X_T}] = e^{L_D(w)} e^{Z(w)},  L_D(w) = T (w drift + sigma^2 w^2 / 2 - lam),
// and e^Z = sum_{j < n} Z^j / j! + R_n(Z): the j-th term is the transform of the paths with
// j jumps (with their Poisson weight), so the paths with n or more jumps have the transform
// e^{L_D} R_n(Z). Where the diffusion is tiny, e^{L_D} hardly decays along a line and the
// first counts (one jump's transform falls only like 1 / u) are what keeps the integrand
// up; R_n(Z) falls like Z^n, i.e. like u^-n for exponential jumps, like exp(-n s^2 u^2 / 2)
// for normal ones.
//
// This is a model in the sense of charfun/model_interface.hpp, with the log-MGF
// L_D + ln R_n(Z) (a measure of mass P(N >= n) rather than a probability, which the engine
// does not mind: it prices any positive measure), so the engine's contour, step, tail test
// and chains serve it unchanged.

#include <cmath>
#include <complex>

#include "charfun/jump_measure.hpp"
#include "charfun/model_interface.hpp"
#include "jumpcount/exponential_tail.hpp"

namespace tarnwick::jumpcount {

// How R_n(Z) falls along a line. Exponential jumps: each side of the transform is
// p eta / hypot(eta -+ theta, v) <= p eta / v, so from v = n (eta1 + eta2) on (where
// hypot(a, u) / u <= 1 + 1/n for both sides' a) R_n(Z(v)) <= e (u / v)^n R_n(Z(u)).
// Normal jumps: the transform falls like exp(-s^2 v^2 / 2), R_n like its n-th power.
inline void add_remainder_decay(const charfun::ExponentialJumps& jumps, int n, charfun::Decay& d) {
    d.power = n;
    d.scale = n * (jumps.eta1 + jumps.eta2);
}

inline void add_remainder_decay(const charfun::NormalJumps& jumps, int n, charfun::Decay& d) {
    d.variance += n * jumps.s * jumps.s;
    d.deviation = std::sqrt(d.variance);
}

template <class Model>
struct CountRemainder {
    Model model;  // a charfun::Levy model with compound-Poisson jumps
    ExponentialTail tail;  // R_n: the counts 0 ... n - 1 are left out

    static constexpr int parameter_count = Model::parameter_count;
    using complex = std::complex<double>;

    // L_D(w), T Z'(w) / Z(w) aside: the drift, diffusion and no-jump parts, per unit time.
    complex diffusion_part(complex w) const {
        const double variance = model.diffusion_variance();
        return w * model.drift() + 0.5 * variance * w * w - model.jumps().rate();
    }

    charfun::LogMgf log_mgf(complex w, double T) const {
        const complex z = T * model.jumps().transform(w);
        const LogExponentialTail r = tail.log(z);
        const complex diffusion = diffusion_part(w);
        // dR_n(Z)/dT / R_n(Z) = (Z / T) R_{n-1}(Z) / R_n(Z).
        return {T * diffusion + r.log_value, diffusion + z / T * r.ratio};
    }

    complex log_mgf_dw(complex w, double T) const {
        const complex z = T * model.jumps().transform(w);
        const LogExponentialTail r = tail.log(z);
        return T * (model.drift() + model.diffusion_variance() * w) + T * model.jumps().transform_slope(w) * r.ratio;
    }

    // The full model's gradient has Z itself where the remainder has ln R_n(Z): the
    // difference is (R_{n-1} / R_n - 1) dZ.
    void log_mgf_gradient(complex w, double T, complex* out) const {
        model.log_mgf_gradient(w, T, out);
        const complex z = T * model.jumps().transform(w);
        const complex excess = tail.log(z).ratio - 1.0;
        complex jump[parameter_count];
        model.exponent.jump_transform_gradient(w, jump);
        for (int i = 0; i < parameter_count; ++i) out[i] += T * excess * jump[i];
    }

    charfun::Strip strip(double T) const { return model.strip(T); }

    // Re L_D exactly (it falls with u), and R_n of the transform's bound, which does too.
    double log_bound(double theta, double u, double T) const {
        const double variance = model.diffusion_variance();
        const double diffusion =
            T * (theta * model.drift() + 0.5 * variance * (theta * theta - u * u) - model.jumps().rate());
        return diffusion + tail.log_bound(T * model.jumps().transform_bound(theta, u));
    }

    charfun::Decay decay(double T) const {
        charfun::Decay d = model.decay(T);
        add_remainder_decay(model.jumps(), tail.order(), d);
        return d;
    }

    double volatility() const { return model.volatility(); }
    charfun::VolatilityDerivatives volatility_derivatives(complex w, double T) const {
        return model.volatility_derivatives(w, T);
    }
    CountRemainder for_parameter_derivatives() const { return {model.for_parameter_derivatives(), tail}; }
};

}  // namespace tarnwick::jumpcount
