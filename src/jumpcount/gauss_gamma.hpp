#pragma once

// The law of G + Gamma_i, G normal with mean 0 and standard deviation s, Gamma_i the sum of
// i independent exponential variables of rate eta (Gamma_0 = 0): a jump-diffusion's log
// return given i jumps of one sign, when the jumps are exponential.
//
// Everything is built from g_n = f_{n+1}(x) / eta, f_{n+1} the density of G + Gamma_{n+1}:
// adding an exponential jump moves mass upward, and P(G + Gamma_{i+1} > x) -
// P(G + Gamma_i > x) = g_i(x). So the upper tail is P(G > x) plus g_0 + ... + g_{i-1} and
// the lower tail the rest of the series, sums of positive terms that cancel nothing,
// whatever the size of eta s. (Kou's closed form writes the same probabilities with the
// factor exp((eta s)^2 / 2) against alternating sums, which lose all digits once eta s
// passes a few units.)
//
// Completing the square, g_n(x) = exp(-eta x + (eta s)^2 / 2) eta^n E[(mu + s Z)^n 1{mu + s Z > 0}] / n!
// with mu = x - eta s^2 and Z standard normal. With z = -mu / s:
// - for z <= 1 the moments follow upward, M_n = (mu M_{n-1} + s^2 M_{n-2}) / n, adding
//   positive terms (mu >= -s keeps the recursion within a few ulps for the orders used);
// - for z > 1 they are s^n Hh_n(z) / sqrt(2 pi), Hh_n the repeated integrals of the normal
//   tail, a minimal solution of their recursion that grows no faster than exp(-z^2 / 2) /
//   z^(n+1): there the ratios Hh_n / Hh_{n-1} come from the backward continued fraction,
//   and g_n = exp(-(x / s)^2 / 2) (eta s)^n Hhs_n(z) / sqrt(2 pi) with the scaled
//   Hhs_n = exp(z^2 / 2) Hh_n, so that no factor over- or underflows on its own.
//
// Generic in the scalar type: doubles, or jets (taylor/jet.hpp) for derivatives.

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "special/erfc.hpp"
#include "jumpcount/normal.hpp"
#include "taylor/jet.hpp"

namespace tarnwick::jumpcount {

using taylor::value_of;

inline constexpr double inverse_sqrt_two_pi = 0.39894228040143267794;
inline constexpr double sqrt_half_pi = 1.2533141373155002512;
inline constexpr double inverse_sqrt_two = 0.70710678118654752440;

// c^n Hhs_n(z), Hhs_n(z) = exp(z^2 / 2) Hh_n(z), for n = 0 ... last at z > 1. The weight c^n
// enters order by order: Hhs_n falls like z^-n and c^n (c = eta s) grows, and formed apart
// they over- and underflow at a few hundred orders while their product, a density, stays in
// range as long as the series is summed. The ratios
// rho_n = Hh_n / Hh_{n-1} satisfy rho_n = 1 / (z + (n + 1) rho_{n+1}) (from
// (n + 1) Hh_{n+1} = Hh_{n-1} - z Hh_n); started deep enough from their large-order limit,
// the fraction converges like exp(-2 z (sqrt(depth) - sqrt(n))), so the depth grows as z
// approaches 1: (sqrt(last + 1) + 20 / z)^2 keeps the error at rounding level.
inline void scaled_hh(double z, int last, double c, double* out) {
    out[0] = sqrt_half_pi * special::erfcx(z * inverse_sqrt_two);
    if (last < 1) return;
    const double reach = std::sqrt(last + 1.0) + 20.0 / z;
    const int depth = std::max(last + 1, static_cast<int>(reach * reach));
    const double order = depth + 2.0;
    double rho = (std::sqrt(z * z + 4.0 * order) - z) / (2.0 * order);
    for (int n = depth; n > last; --n) rho = 1.0 / (z + (n + 1) * rho);
    // rho now holds rho_{last+1}; walk down to rho_1, keeping each.
    std::vector<double> ratio(last + 1);
    for (int n = last; n >= 1; --n) {
        rho = 1.0 / (z + (n + 1) * rho);
        ratio[n] = rho;
    }
    for (int n = 1; n <= last; ++n) out[n] = out[n - 1] * (c * ratio[n]);
}

// The same for a jet argument: the values at z0 with their derivatives from
// d/dz Hhs_n = z Hhs_n - Hhs_{n-1} (Hhs_{-1} = 1), differentiated again as needed:
// Hhs_n^(r+1) = z Hhs_n^(r) + r Hhs_n^(r-1) - Hhs_{n-1}^(r), each order times c^n.
template <int V, int D>
void scaled_hh(const taylor::Jet<V, D>& z, int last, double c, taylor::Jet<V, D>* out) {
    const double z0 = z.value();
    std::vector<double> value(last + 1);
    scaled_hh(z0, last, c, value.data());
    // d[r] for the order below (n - 1), times c, and the current order n.
    std::array<double, D + 1> below{}, current{};
    below[0] = 1.0;  // c c^-1 Hhs_{-1} and its derivatives
    for (int n = 0; n <= last; ++n) {
        current[0] = value[n];
        for (int r = 0; r < D; ++r)
            current[r + 1] = z0 * current[r] + (r > 0 ? r * current[r - 1] : 0.0) - below[r];
        std::array<double, D + 1> taylor{};
        double inverse_factorial = 1.0;
        for (int r = 0; r <= D; ++r) {
            taylor[r] = current[r] * inverse_factorial;
            inverse_factorial /= r + 1;
        }
        out[n] = z.compose(taylor);
        for (int r = 0; r <= D; ++r) below[r] = c * current[r];
    }
}

template <class S>
S normal_density(const S& x) {
    using std::exp;
    return inverse_sqrt_two_pi * exp(-0.5 * x * x);
}

// g[n] = f_{n+1}(x) / eta for n = 0 ... last (see the top of the file).
template <class S>
void gauss_gamma_densities(const S& eta, const S& s, const S& x, int last, S* g) {
    using std::exp;
    const S z = eta * s - x / s;
    if (value_of(z) <= 1.0) {
        const S mu = x - eta * s * s;
        const S prefactor = exp(eta * (0.5 * eta * s * s - x));
        // N_n = eta^n M_n.
        S two_below = normal_cdf(-z);
        g[0] = prefactor * two_below;
        if (last < 1) return;
        S one_below = eta * (mu * two_below + s * normal_density(z));
        g[1] = prefactor * one_below;
        const S drift = eta * mu;
        const S spread = (eta * s) * (eta * s);
        for (int n = 2; n <= last; ++n) {
            const S next = (drift * one_below + spread * two_below) / static_cast<double>(n);
            g[n] = prefactor * next;
            two_below = one_below;
            one_below = next;
        }
        return;
    }
    const S t = x / s;
    const S scale = eta * s;
    const double c = value_of(scale);
    std::vector<S> hhs(last + 1);
    scaled_hh(z, last, c, hhs.data());  // carries c^n
    // scale / c is 1 in value; for jets its powers carry the derivatives of scale^n.
    const S relative = scale / c;
    S factor = inverse_sqrt_two_pi * exp(-0.5 * t * t);
    for (int n = 0; n <= last; ++n) {
        g[n] = factor * hhs[n];
        factor = factor * relative;
    }
}

// upper[i] = P(G + Gamma_i > x) and lower[i] = P(G + Gamma_i <= x) for i = 0 ... last, each
// with relative accuracy however small it is: the upper tail as P(G > x) + g_0 + ... +
// g_{i-1}; the lower tail as 1 - upper while that is at least 1/2, else as the rest of the
// series, g_i + g_{i+1} + ..., summed until its terms no longer count (they fall off like
// Poisson weights once i exceeds eta x).
// The series of a lower tail is cut here at the latest: 2^12 exponential jumps of one sign.
inline constexpr int max_extent = 4096;

template <class S>
void gauss_gamma_tails(const S& eta, const S& s, const S& x, int last, S* upper, S* lower) {
    int extent = last + 64;
    std::vector<S> g(extent + 1);
    gauss_gamma_densities(eta, s, x, extent, g.data());
    upper[0] = normal_cdf(-x / s);
    for (int i = 1; i <= last; ++i) upper[i] = upper[i - 1] + g[i - 1];
    int first_lower = 0;  // the lower tails from here on are summed: upper is above 1/2
    while (first_lower <= last && value_of(upper[first_lower]) <= 0.5) {
        lower[first_lower] = 1.0 - upper[first_lower];
        ++first_lower;
    }
    if (first_lower > last) return;
    // The rest of the series, extended until its last term is below 1e-18 of its first.
    while (value_of(g[extent]) > 1e-18 * value_of(g[first_lower]) && extent < max_extent) {
        extent *= 2;
        g.resize(extent + 1);
        gauss_gamma_densities(eta, s, x, extent, g.data());
    }
    S sum = S(0.0);
    for (int n = extent; n > last; --n) sum = sum + g[n];
    for (int i = last; i >= first_lower; --i) {
        sum = sum + g[i];
        lower[i] = sum;
    }
}

// The normal density of standard deviation s at x and its derivatives up to `derivatives`:
// (-1)^r He_r(x / s) phi(x / s) / s^(r+1).
inline void normal_density_derivatives(double s, double x, int derivatives, double* out) {
    const double t = x / s;
    double he_below = 0.0, he = 1.0, scale = normal_pdf(t) / s;
    for (int r = 0; r <= derivatives; ++r) {
        out[r] = (r % 2 == 0 ? he : -he) * scale;
        const double next = t * he - r * he_below;
        he_below = he;
        he = next;
        scale /= s;
    }
}

// The densities f_i of G + Gamma_i at x and their derivatives in x up to the order
// `derivatives`, i = 0 ... last, to out[i * (derivatives + 1) + l] = f_i^(l)(x). Adding an
// exponential jump smooths: f_n' = eta (f_{n-1} - f_n) for n >= 1 (the derivative of a
// gamma density in its argument), so f_i^(l) = eta^l Delta^l f_i with Delta f_n = f_{n-1} -
// f_n; below n = 0 the identity continues as f_{n-1} = f_n + f_n' / eta from the normal
// density f_0 and its derivatives, f_0^(r) = (-1)^r He_r(x / s) phi(x / s) / s^(r+1).
inline void gauss_gamma_density_derivatives(double eta, double s, double x, int last, int derivatives, double* out) {
    const int reach = derivatives;
    std::vector<double> f(last + reach + 1);  // f_n at n + reach, n = -reach ... last
    if (last >= 1) {
        std::vector<double> g(last);
        gauss_gamma_densities(eta, s, x, last - 1, g.data());
        for (int n = 1; n <= last; ++n) f[n + reach] = eta * g[n - 1];
    }
    std::vector<double> normal(reach + 1);
    normal_density_derivatives(s, x, reach, normal.data());
    // f_{-m} = sum_r binomial(m, r) f_0^(r) / eta^r.
    for (int m = 0; m <= reach; ++m) {
        double sum = 0.0, binomial = 1.0, power = 1.0;
        for (int r = 0; r <= m; ++r) {
            sum += binomial * normal[r] * power;
            binomial = binomial * (m - r) / (r + 1);
            power /= eta;
        }
        f[reach - m] = sum;
    }
    std::vector<double> row(reach + 1);
    for (int i = 0; i <= last; ++i) {
        for (int m = 0; m <= reach; ++m) row[m] = f[i + reach - m];  // f_i, f_{i-1}, ...
        double eta_power = 1.0;
        for (int l = 0; l <= derivatives; ++l, eta_power *= eta) {
            out[i * (derivatives + 1) + l] = eta_power * row[0];
            for (int m = 0; m + 1 <= reach - l; ++m) row[m] = row[m + 1] - row[m];
        }
    }
}

}  // namespace tarnwick::jumpcount
