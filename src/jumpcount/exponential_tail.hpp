#pragma once

// The tail of the exponential series, R_n(z) = sum_{j >= n} z^j / j! = e^z - sum_{j < n} z^j / j!
// (n >= 1): the transform of the jump counts from n on, when exp(Z) is split into the first
// n counts (priced in closed form) and the rest. Its logarithm is what the Fourier engine
// exponentiates, so it is formed in log space: R_n(Z) underflows where Z is small (far out
// along the contour) and e^Z overflows where Z is large.

#include <cmath>
#include <complex>

namespace tarnwick::jumpcount {

// ln R_n(z) and R_{n-1}(z) / R_n(z) (R_n' = R_{n-1}, so the ratio turns derivatives of Z
// into derivatives of ln R_n).
struct LogExponentialTail {
    std::complex<double> log_value;
    std::complex<double> ratio;
};

// R_n for one n >= 1, evaluated at every node of a Fourier sum: ln (n-1)! is formed once,
// since lgamma costs more than the rest of an evaluation near z = 0.
class ExponentialTail {
  public:
    explicit ExponentialTail(int n) : n_(n), log_factorial_(std::lgamma(static_cast<double>(n))) {}

    int order() const { return n_; }

    // While |z| <= n / 2 the terms from n on fall at least by half each: R_n = t S with
    // t = z^(n-1) / (n-1)! (in log space) and S = sum_{i >= 1} z^i (n-1)! / (n-1+i)!, which
    // sums positive-ratio terms without cancellation; the test on squared moduli spares a
    // hypot per term (|z| <= n / 2 keeps them far from overflow, and where they underflow
    // the next term is negligible anyway). Beyond, e^z less the first n terms, whose
    // rounding is below an ulp of max(|e^z|, the largest term), the integrand's own scale;
    // where e^z would overflow, ln R_n = z + ln(1 - e^-z sum_{j < n} z^j / j!).
    LogExponentialTail log(std::complex<double> z) const {
        using complex = std::complex<double>;
        const double n = n_;
        const complex log_z = std::log(z);
        const complex log_t = (n - 1.0) * log_z - log_factorial_;
        if (std::norm(z) <= 0.25 * n * n) {
            complex term = z / n;
            complex sum(0.0);
            for (int i = 1; i < 200; ++i) {
                sum += term;
                if (std::norm(term) <= 1e-34 * std::norm(sum)) break;
                term *= z / (n + i);
            }
            return {log_t + std::log(sum), (1.0 + sum) / sum};
        }
        if (z.real() < 700.0) {
            complex partial(0.0), power(1.0);
            for (int j = 0; j < n_; ++j) {
                partial += power;
                power *= z / static_cast<double>(j + 1);
            }
            const complex tail = std::exp(z) - partial;
            return {std::log(tail), 1.0 + std::exp(log_t) / tail};
        }
        // Each term e^-z z^j / j! through its logarithm.
        complex scaled(0.0);
        for (int j = 0; j < n_; ++j) scaled += std::exp(static_cast<double>(j) * log_z - std::lgamma(j + 1.0) - z);
        const complex log_tail = z + std::log(1.0 - scaled);
        return {log_tail, 1.0 + std::exp(log_t - log_tail)};
    }

    // ln R_n(x) for real x >= 0: ln of an upper bound of |R_n(z)| for |z| <= x. While
    // x <= n / 2 the terms fall at least by half, so R_n(x) <= 2 x^n / n!; beyond, R_n(x) is
    // below both e^x and (x^n / n!) e^x (the tail's terms are those of e^x times
    // x^n n! / (n + i)! <= x^n / n!).
    double log_bound(double x) const {
        if (!(x > 0.0)) return -INFINITY;
        const double n = n_;
        const double log_first = n * std::log(x) - (log_factorial_ + std::log(n));
        if (x <= 0.5 * n) return log_first + std::log(2.0);
        return x + std::fmin(0.0, log_first);
    }

  private:
    int n_;
    double log_factorial_;  // ln (n - 1)!
};

}  // namespace tarnwick::jumpcount
