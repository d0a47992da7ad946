#pragma once

// The standard normal distribution function of a double or of a jet, with relative
// accuracy in both tails, and the density.

#include <array>
#include <cmath>

#include "special/normal_distribution.hpp"
#include "taylor/jet.hpp"

namespace tarnwick::jumpcount {

inline double normal_cdf(double x) { return special::normal_cdf(x); }
inline double normal_pdf(double x) { return special::normal_pdf(x); }

// Phi^(n+1)(x) = (-1)^n He_n(x) phi(x), He the probabilists' Hermite polynomials
// (He_{n+1} = x He_n - n He_{n-1}).
template <int V, int D>
taylor::Jet<V, D> normal_cdf(const taylor::Jet<V, D>& x) {
    const double x0 = x.value();
    const double density = normal_pdf(x0);
    std::array<double, D + 1> t{};
    t[0] = normal_cdf(x0);
    double he_below = 0.0, he = 1.0, sign = 1.0, inverse_factorial = 1.0;
    for (int n = 1; n <= D; ++n) {
        inverse_factorial /= n;
        t[n] = sign * he * density * inverse_factorial;
        const double next = x0 * he - (n - 1) * he_below;
        he_below = he;
        he = next;
        sign = -sign;
    }
    return x.compose(t);
}

}  // namespace tarnwick::jumpcount
