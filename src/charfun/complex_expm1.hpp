#pragma once

// exp(z) - 1 for complex z without cancellation when |z| is small.

#include <cmath>
#include <complex>

namespace tarnwick::charfun {

// For z = x + iy, Re(e^z - 1) = e^x cos y - 1 = expm1(x) cos y - 2 sin^2(y/2): both terms
// are accurate to a few ulps of their own size, whereas e^x cos y - 1 loses everything
// when z is near 0. The imaginary part e^x sin y has no cancellation.
inline std::complex<double> expm1(std::complex<double> z) {
    const double x = z.real();
    const double y = z.imag();
    const double half_sine = std::sin(0.5 * y);
    return {std::expm1(x) * std::cos(y) - 2.0 * half_sine * half_sine, std::exp(x) * std::sin(y)};
}

}  // namespace tarnwick::charfun
