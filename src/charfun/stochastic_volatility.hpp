#pragma once

// Stochastic volatility with jumps: Heston's variance (heston.hpp) and, independent of it,
// the jumps of a Lévy exponent whose diffusion is set to zero: Black-Scholes' (no jumps:
// Heston), Merton's (Bates) or Kou's (Heston with double-exponential jumps). With
// X = ln(S_T / F),
//
//     L(w, T) = kappa theta C(T; b, m) + v0 D(T; b, m) + T kappa_J(w),
//
// b = kappa - rho xi w, m = w (w - 1), kappa_J the jump part of the exponent, compensated
// (kappa_J(0) = kappa_J(1) = 0) like the Lévy models'. The parameters are (v0, kappa,
// theta, xi, rho) followed by the jump exponent's own after its sigma.

#include <array>
#include <cmath>
#include <complex>
#include <type_traits>

#include "charfun/black_scholes.hpp"
#include "charfun/heston.hpp"
#include "charfun/kou.hpp"
#include "charfun/merton.hpp"
#include "charfun/model_interface.hpp"
#include "taylor/dual.hpp"

namespace tarnwick::charfun {

template <class Jumps>
inline constexpr const char* stochastic_volatility_name = nullptr;
template <>
inline constexpr const char* stochastic_volatility_name<BlackScholes> = "heston";
template <>
inline constexpr const char* stochastic_volatility_name<Merton> = "bates";
template <>
inline constexpr const char* stochastic_volatility_name<Kou> = "hestonkou";

inline double mean_less_one_of(const Merton& jumps) { return jumps.mean_less_one(); }
template <class Jumps>
double mean_less_one_of(const Jumps&) {
    return 0.0;
}

template <class Jumps>
struct StochasticVolatility {
    double v0;     // initial variance
    double kappa;  // rate at which the variance reverts
    double theta;  // level to which it reverts
    double xi;     // volatility of the variance
    double rho;    // correlation of the variance's and the price's Brownian motions
    Jumps jumps;   // a Lévy exponent with sigma = 0
    // Merton's phi(1) - 1, once per model: at each node it cost a library expm1, which a
    // sum's loop cannot hoist (the call may set errno). Unused for other jumps.
    double jump_mean_less_one = mean_less_one_of(jumps);

    static constexpr int jump_parameters = Jumps::parameter_count - 1;
    static constexpr int parameter_count = 5 + jump_parameters;
    static constexpr const char* name = stochastic_volatility_name<Jumps>;
    // With rho != 0 the moments explode much sooner on one side of the poles than on the
    // other, and a near-the-money chain is cheaper on the wider side (pricing/method.hpp).
    static constexpr bool lopsided_strip = true;
    // Each evaluation solves the Riccati equations: about 1 k instructions for a complex
    // w, a few hundred for a real one (the lines' choice).
    static constexpr bool costly_log_mgf = true;

    static StochasticVolatility from_parameters(const double* v) {
        std::array<double, Jumps::parameter_count> jump{};
        for (int i = 0; i < jump_parameters; ++i) jump[i + 1] = v[5 + i];
        return {v[0], v[1], v[2], v[3], v[4], Jumps::from_parameters(jump.data())};
    }

    // --- the Fourier engine -----------------------------------------------------------------

    // At the poles L = 0 for every parameter (E[1] = 1, E[e^X] = 1): returned exactly, where
    // the Riccati solution would leave rounding.
    static bool at_pole(complex w) { return w == 0.0 || w == 1.0; }

    LogMgf log_mgf(complex w, double T) const { return with_variance_factor(w, T).L; }

    // By dual numbers in w alone: the saddle asks for it at every step of its search.
    complex log_mgf_dw(complex w, double T) const {
        using D1 = taylor::Dual<1>;
        const D1 x = D1::variable(w, 0);
        const auto s = heston::solve<D1>(kappa - rho * xi * x, x * (x - 1.0), D1(xi), T);
        return kappa * theta * s.C.d[0] + v0 * s.D.d[0] + T * jumps.slope(w);
    }

    // dL / d(v0, kappa, theta, xi, rho, jump parameters).
    void log_mgf_gradient(complex w, double T, complex* out) const {
        if (at_pole(w)) {
            for (int i = 0; i < 5; ++i) out[i] = 0.0;
        } else {
            const Partials p = partials(w, T);
            const complex by_b = kappa * theta * p.C.d[b_] + v0 * p.D.d[b_];
            const complex by_xi = kappa * theta * p.C.d[xi_] + v0 * p.D.d[xi_];
            out[0] = p.D.value;
            out[1] = theta * p.C.value + by_b;
            out[2] = kappa * p.C.value;
            out[3] = -rho * w * by_b + by_xi;
            out[4] = -xi * w * by_b;
        }
        complex jump[Jumps::parameter_count];
        jumps.gradient(w, jump);
        for (int i = 0; i < jump_parameters; ++i) out[5 + i] = T * jump[i + 1];
    }

    Strip strip(double T) const {
        const auto time = [&](double w) { return heston::explosion_time(kappa - rho * xi * w, w * (w - 1.0), xi); };
        return {std::max(heston::strip_edge(-1.0, T, time), jumps.lower_edge()),
                std::min(heston::strip_edge(1.0, T, time), jumps.upper_edge())};
    }

    // An upper bound of Re L(theta + i v, T) for all |v| >= u. Given the variance path, X is
    // normal with variance (1 - rho^2) V, V the integrated variance, so |E[e^{wX}]| is at
    // most E[|e^{w X}| averaged over that normal], which is Heston's own solution at the real
    // b = kappa - rho xi theta and m = theta^2 - theta - (1 - rho^2) u^2: E[e^{... - (1 -
    // rho^2) u^2 V / 2}] falls with u. The jumps add their own envelope.
    double log_bound(double theta_, double u, double T) const {
        const double m = theta_ * (theta_ - 1.0) - (1.0 - rho) * (1.0 + rho) * u * u;
        return variance_part(kappa - rho * xi * theta_, m, T).L.value.real() + T * jump_envelope(theta_, u);
    }

    // Far out the bound falls like e^{-R u}, R = sqrt(1 - rho^2) (v0 + kappa theta T) / xi,
    // approaching that slope from below; half of it is taken as the rate. That regime starts
    // only near u = 1 / (xi T): before it the integrand is about as wide as a normal of the
    // mean integrated variance, whose deviation therefore caps the rate (a small xi or T
    // would otherwise claim a decay far faster than the integrand's own width).
    Decay decay(double T) const {
        const double mean_variance = theta * T - (v0 - theta) * std::expm1(-kappa * T) / kappa;
        const double deviation = std::sqrt(std::max(mean_variance, 0.0));
        const double rate = 0.5 * std::sqrt((1.0 - rho) * (1.0 + rho)) * (v0 + kappa * theta * T) / xi;
        return {0.0, deviation, std::min(rate, deviation)};
    }

    // The volatility coordinate is the initial volatility sqrt(v0): L carries v0 D.
    double volatility() const { return std::sqrt(v0); }
    VolatilityDerivatives volatility_derivatives(complex w, double T) const { return log_mgf_and_volatility(w, T).volatility; }

    // L and its volatility derivatives from one Riccati solution, L to the bit log_mgf's: a sum
    // of the Greeks beside a price evaluates the price's own integrand.
    LogMgfAndVolatility log_mgf_and_volatility(complex w, double T) const {
        const VariancePart L = with_variance_factor(w, T);
        return {L.L, {2.0 * volatility() * L.D, 2.0 * L.D}};
    }

    StochasticVolatility for_parameter_derivatives() const {
        return {v0, kappa, theta, xi, rho, jumps.for_parameter_derivatives()};
    }

  private:
    // The jumps' exponent: none for Heston (Black-Scholes' with sigma = 0 is w (w - 1) 0);
    // Merton's jump part alone (its diffusion's is w (w - 1) 0) with its jump transform less
    // one by exp_less_one (merton.hpp), a third of the exact form's calls at each node, in
    // real arithmetic on the real axis (the lines' choice, a sum's first node), to the bit the
    // complex form's real part; but at the poles the exact form, whose two expm1 of the same
    // argument cancel to 0 exactly (E[e^X] = 1 to the bit).
    complex jump_exponent(complex w) const {
        if constexpr (std::is_same_v<Jumps, BlackScholes>) return 0.0;
        if constexpr (std::is_same_v<Jumps, Merton>) {
            if (!at_pole(w)) {
                if (w.imag() == 0.0)
                    return jumps.jump_part(w.real(), [](double z) { return real_exp_less_one(z); }, jump_mean_less_one);
                return jumps.jump_part(w, [](complex z) { return exp_less_one(z); }, jump_mean_less_one);
            }
        }
        return jumps.exponent(w);
    }

    double jump_envelope(double theta_, double u) const {
        if constexpr (std::is_same_v<Jumps, Merton>) return jumps.envelope(theta_, u, jump_mean_less_one);
        return jumps.envelope(theta_, u);
    }

    // L (or its variance part) with D, whose multiples are the volatility derivatives.
    struct VariancePart {
        LogMgf L;
        complex D;
    };

    // L with D (0 at the poles, where L is exact).
    VariancePart with_variance_factor(complex w, double T) const {
        const complex jump = jump_exponent(w);
        if (at_pole(w)) return {{T * jump, jump}, 0.0};
        const VariancePart variance = variance_part(kappa - rho * xi * w, w * (w - 1.0), T);
        return {{variance.L.value + T * jump, variance.L.d_T + jump}, variance.D};
    }

    // kappa theta C + v0 D and its T-derivative at (b, m): in real arithmetic where both are
    // real (a real w: the lines' choice and the tail bound), a few times faster than the
    // complex one it equals; the oscillating form where the discriminant b^2 - xi^2 m is
    // negative, unless the moments have exploded there.
    VariancePart variance_part(complex b, complex m, double T) const {
        if (b.imag() == 0.0 && m.imag() == 0.0) {
            if (b.real() * b.real() >= xi * xi * m.real())
                return assemble(heston::solve<double>(b.real(), m.real(), xi, T));
            const heston::Solution<double> s = heston::solve_oscillating(b.real(), m.real(), xi, T);
            if (!std::isnan(s.D)) return assemble(s);
        }
        return assemble(heston::solve<complex>(b, m, xi, T));
    }

    // kappa theta C + v0 D and its T-derivative, kappa theta C' = kappa theta D.
    template <class Z>
    VariancePart assemble(const heston::Solution<Z>& s) const {
        return {{kappa * theta * s.C + v0 * s.D, kappa * theta * s.D + v0 * s.D_T}, s.D};
    }

    // The Riccati solution with its derivatives in b and xi.
    enum { b_, xi_ };
    using Partials = heston::Solution<taylor::Dual<2>>;
    Partials partials(complex w, double T) const {
        using D2 = taylor::Dual<2>;
        return heston::solve<D2>(D2::variable(kappa - rho * xi * w, b_), D2(w * (w - 1.0)), D2::variable(xi, xi_), T);
    }
};

using Heston = StochasticVolatility<BlackScholes>;
using Bates = StochasticVolatility<Merton>;
using HestonKou = StochasticVolatility<Kou>;

}  // namespace tarnwick::charfun
