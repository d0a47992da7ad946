#pragma once

// Jump measures nu(dx) of the log price, as a grid solver needs them: the form tells the
// solver how to apply the integral term (two exponentials admit a linear-time recursion, a
// normal density a convolution), `moment(n)` = int x^n nu(dx) ties the measure to the
// cumulants of the characteristic function (kappa^(n)(0) for n >= 3, plus the diffusion's
// variance for n = 2), `compensator` = int (e^x - 1) nu(dx) is the drift correction, and
// `draw` samples one jump size exactly. For pricing by jump counts, `transform(w)` =
// int e^{wx} nu(dx) = rate E[e^{wJ}] with its slope in w, and `transform_bound(theta, u)`,
// an upper bound of |transform(theta + i v)| for all |v| >= u.

#include <cmath>
#include <complex>

namespace tarnwick::charfun {

// No jumps (Black-Scholes).
struct NoJumps {
    using complex = std::complex<double>;
    double rate() const { return 0.0; }
    complex transform(complex) const { return 0.0; }
    complex transform_slope(complex) const { return 0.0; }
    double transform_bound(double, double) const { return 0.0; }
    double moment(int) const { return 0.0; }
    double compensator() const { return 0.0; }
    template <class Generator>
    double draw(Generator&) const { return 0.0; }
};

// Kou: nu(dx) = lam (p eta1 e^{-eta1 x} [x > 0] + (1 - p) eta2 e^{eta2 x} [x < 0]) dx.
struct ExponentialJumps {
    double lam, p, eta1, eta2;

    double rate() const { return lam; }
    // n! (p / eta1^n + (1 - p) (-1)^n / eta2^n), times lam.
    double moment(int n) const {
        double up = p, down = 1.0 - p;
        for (int i = 1; i <= n; ++i) {
            up *= i / eta1;
            down *= -i / eta2;
        }
        return lam * (up + down);
    }
    double compensator() const { return lam * (p / (eta1 - 1.0) - (1.0 - p) / (eta2 + 1.0)); }

    using complex = std::complex<double>;
    complex transform(complex w) const { return lam * (p * eta1 / (eta1 - w) + (1.0 - p) * eta2 / (eta2 + w)); }
    complex transform_slope(complex w) const {
        return lam * (p * eta1 / ((eta1 - w) * (eta1 - w)) - (1.0 - p) * eta2 / ((eta2 + w) * (eta2 + w)));
    }
    // Each side's modulus falls with the distance to its pole.
    double transform_bound(double theta, double u) const {
        return lam * (p * eta1 / std::hypot(eta1 - theta, u) + (1.0 - p) * eta2 / std::hypot(eta2 + theta, u));
    }
    template <class Generator>
    double draw(Generator& g) const {
        const bool up = g.uniform() < p;
        const double size = g.exponential();
        return up ? size / eta1 : -size / eta2;
    }
};

// Merton: nu(dx) = lam N(m, s^2)(dx).
struct NormalJumps {
    double lam, m, s;

    double rate() const { return lam; }
    // E[J^n] by the recurrence M_n = m M_{n-1} + (n - 1) s^2 M_{n-2} of the normal moments.
    double moment(int n) const {
        double before = 1.0, current = m;
        if (n == 0) return lam;
        for (int i = 2; i <= n; ++i) {
            const double next = m * current + (i - 1) * s * s * before;
            before = current;
            current = next;
        }
        return lam * current;
    }
    double compensator() const { return lam * std::expm1(m + 0.5 * s * s); }

    using complex = std::complex<double>;
    complex transform(complex w) const { return lam * std::exp(w * (m + 0.5 * s * s * w)); }
    complex transform_slope(complex w) const { return (m + s * s * w) * transform(w); }
    // |E[e^{wJ}]| = exp(m theta + s^2 (theta^2 - v^2) / 2), falling with |v|.
    double transform_bound(double theta, double u) const {
        return lam * std::exp(m * theta + 0.5 * s * s * (theta * theta - u * u));
    }
    template <class Generator>
    double draw(Generator& g) const { return m + s * g.normal(); }
};

}  // namespace tarnwick::charfun
