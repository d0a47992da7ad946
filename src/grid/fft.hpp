#pragma once

// The discrete Fourier transform of a power-of-two length, iterative radix 2, with the
// twiddle factors taken from a table of exact-as-possible cos/sin values (the recurrence
// w *= w_step would accumulate rounding over the stages). Its use here is the circular
// correlation of a mesh function with a fixed kernel, whose rounding error is about
// eps log2(n) times the sizes involved.

#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>
#include <vector>

namespace tarnwick::grid {

// The product of two complex numbers by its four real products: std::complex's operator*
// also recovers infinities from NaN parts (C99 Annex G), through a library call per
// product unless non-IEEE arithmetic is allowed; nothing here is infinite.
inline std::complex<double> times(std::complex<double> a, std::complex<double> b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

class Fft {
  public:
    explicit Fft(std::size_t size) : size_(size), twiddle_(size / 2) {
        for (std::size_t k = 0; k < size / 2; ++k)
            twiddle_[k] = std::polar(1.0, -2.0 * M_PI * static_cast<double>(k) / static_cast<double>(size));
    }

    std::size_t size() const { return size_; }

    // In place; inverse = true gives the unnormalised inverse transform.
    void transform(std::vector<std::complex<double>>& a, bool inverse) const {
        const std::size_t n = size_;
        for (std::size_t i = 1, j = 0; i < n; ++i) {
            std::size_t bit = n >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            if (i < j) std::swap(a[i], a[j]);
        }
        for (std::size_t length = 2; length <= n; length <<= 1) {
            const std::size_t stride = n / length, half = length / 2;
            for (std::size_t start = 0; start < n; start += length) {
                for (std::size_t k = 0; k < half; ++k) {
                    const std::complex<double> w = inverse ? std::conj(twiddle_[k * stride]) : twiddle_[k * stride];
                    const std::complex<double> u = a[start + k], v = times(a[start + k + half], w);
                    a[start + k] = u + v;
                    a[start + k + half] = u - v;
                }
            }
        }
    }

  private:
    std::size_t size_;
    std::vector<std::complex<double>> twiddle_;
};

inline std::size_t power_of_two_at_least(std::size_t n) {
    std::size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

}  // namespace tarnwick::grid
