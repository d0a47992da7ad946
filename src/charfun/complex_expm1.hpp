#pragma once

// e^z and e^z - 1 for complex z: the exponential without the C library's classification
// of its arguments, and e^z - 1 without cancellation when |z| is small.

#include <cmath>
#include <complex>

namespace tarnwick::charfun {

// e^z as e^x (cos y, sin y), z = x + iy: the arithmetic of the C library's complex
// exponential for finite z with e^x finite (bit for bit), without its classification of
// the arguments, a third of the exponential's instructions. Where e^x overflows, or z is
// not finite, the result is not finite either, as the caller's sums then report.
inline std::complex<double> exp_of(std::complex<double> z) {
    const double size = std::exp(z.real());
    return {size * std::cos(z.imag()), size * std::sin(z.imag())};
}

// For z = x + iy, Re(e^z - 1) = e^x cos y - 1 = expm1(x) cos y - 2 sin^2(y/2): both terms
// are accurate to a few ulps of their own size, whereas e^x cos y - 1 loses everything
// when z is near 0. The imaginary part e^x sin y has no cancellation.
inline std::complex<double> expm1(std::complex<double> z) {
    const double x = z.real();
    const double y = z.imag();
    const double half_sine = std::sin(0.5 * y);
    return {std::expm1(x) * std::cos(y) - 2.0 * half_sine * half_sine, std::exp(x) * std::sin(y)};
}

// e^z - 1 to a few ulps of its modulus at the cost of e^z wherever that is possible: e^z - 1
// itself where it is at least 1/2 in modulus (then |e^z| <= 3 |e^z - 1|, so e^z's rounding
// and that of subtracting 1 stay within a few ulps of the result), expm1 above nearer 0,
// and -1 where e^x is below 2^-57, under a sixteenth of an ulp of the modulus 1 (the far
// nodes of a sum, spared every call).
inline std::complex<double> exp_less_one(std::complex<double> z) {
    if (z.real() < -40.0) return -1.0;
    const std::complex<double> E = exp_of(z) - 1.0;
    return std::norm(E) >= 0.25 ? E : expm1(z);
}

// exp_less_one on the real axis in real arithmetic: the complex one's real part there to the
// bit (cos 0 = 1, sin 0 = 0), without its trigonometric calls.
inline double real_exp_less_one(double x) {
    if (x < -40.0) return -1.0;
    const double E = std::exp(x) - 1.0;
    return E * E >= 0.25 ? E : std::expm1(x);
}

}  // namespace tarnwick::charfun
