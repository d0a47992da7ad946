#pragma once

// E[V(x_i + J)] on the mesh for Merton's normal jump J ~ N(m, s^2): a banded sum of node
// values against the exact integrals of the normal density times each node's hat function
// (V is linear between nodes), plus the expectation of the far field a + b e^x beyond each
// end, which is closed: a Phi(c) + b e^{x + m + s^2/2} Phi(c - s) for the part below a
// level m + s c, and its mirror above.
//
// A hat is split into its two halves, each integral (c0 + c1 y) over a cell against the
// density: the end nodes of the mesh carry one half only. The band ends where the density
// is below e^-60 of its peak (|y - m| > 11 s), far under the mesh's own tail bound. A band
// wider than a few dozen nodes is summed as a circular correlation by FFT, padded so
// that no term wraps around: O(n log n) instead of O(n band).

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

#include "charfun/jump_measure.hpp"
#include "grid/far_field.hpp"
#include "grid/fft.hpp"
#include "grid/mesh.hpp"

namespace tarnwick::grid {

namespace normal_jumps_detail {

inline double lower_tail(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }  // Phi(z)

// Phi(b) - Phi(a) for a <= b, each difference taken on the side where it does not cancel.
inline double mass(double a, double b) {
    if (a >= 0.0) return lower_tail(-a) - lower_tail(-b);
    if (b <= 0.0) return lower_tail(b) - lower_tail(a);
    return 1.0 - lower_tail(a) - lower_tail(-b);
}

inline double density(double z) { return std::exp(-0.5 * z * z) / std::sqrt(2.0 * M_PI); }

// The integral over [lo, hi] of (c0 + c1 y) against N(m, s^2), s > 0.
inline double linear_moment(double c0, double c1, double lo, double hi, double m, double s) {
    const double a = (lo - m) / s, b = (hi - m) / s;
    return (c0 + c1 * m) * mass(a, b) + c1 * s * (density(a) - density(b));
}

}  // namespace normal_jumps_detail

class NormalJumpIntegral {
  public:
    // The band's weights depend on the offset alone on a uniform mesh only.
    static constexpr bool stretchable = false;
    NormalJumpIntegral(const charfun::NormalJumps& jumps, const Mesh& mesh) : mesh_(mesh) {
        using namespace normal_jumps_detail;
        const double h = mesh.h, m = jumps.m, s = jumps.s;
        const auto n = static_cast<long>(mesh.nodes);
        // Offsets j (node i + j) whose hat meets the band; the point mass of s = 0 is the
        // band's limit: it falls in one cell.
        const double reach = 11.0 * s;
        first_ = std::max(-n, static_cast<long>(std::floor((m - reach) / h)) - 1);
        const long last = std::min(n, static_cast<long>(std::ceil((m + reach) / h)) + 1);
        const auto width = static_cast<std::size_t>(last - first_ + 1);
        rising_.assign(width, 0.0);
        falling_.assign(width, 0.0);
        for (long j = first_; j <= last; ++j) {
            const double x = static_cast<double>(j) * h;
            const auto k = static_cast<std::size_t>(j - first_);
            if (s > 0.0) {
                // Falling half on [x, x + h]: 1 - (y - x) / h; rising half on [x - h, x].
                falling_[k] = linear_moment(1.0 + x / h, -1.0 / h, x, x + h, m, s);
                rising_[k] = linear_moment(1.0 - x / h, 1.0 / h, x - h, x, m, s);
            } else {
                if (m >= x && m < x + h) falling_[k] = 1.0 - (m - x) / h;
                if (m > x - h && m < x) rising_[k] = 1.0 - (x - m) / h;
            }
        }
        if (width > direct_band) {
            fft_ = Fft(power_of_two_at_least(mesh.nodes + static_cast<std::size_t>(std::max(last, -first_)) + 1));
            const std::size_t size = fft_.size();
            kernel_.assign(size, 0.0);
            for (long j = first_; j <= last; ++j) {
                const auto k = static_cast<std::size_t>(j - first_);
                kernel_[static_cast<std::size_t>((j % static_cast<long>(size) + static_cast<long>(size)) %
                                                 static_cast<long>(size))] = falling_[k] + rising_[k];
            }
            fft_.transform(kernel_, false);
            for (auto& value : kernel_) value = std::conj(value) / static_cast<double>(size);
            buffer_.resize(size);
        }
        // The far fields' weights per node: P(J below the mesh from x_i), E[e^{x_i + J}; ..],
        // and the same above.
        below_.resize(mesh.nodes);
        above_.resize(mesh.nodes);
        const double mgf = std::exp(m + 0.5 * s * s);
        for (std::size_t i = 0; i < mesh.nodes; ++i) {
            const double xi = mesh.x(i);
            const double down = mesh.x(0) - xi, up = mesh.x(mesh.nodes - 1) - xi;  // J < down, J > up
            if (s > 0.0) {
                below_[i] = {lower_tail((down - m) / s), std::exp(xi) * mgf * lower_tail((down - m) / s - s)};
                above_[i] = {lower_tail((m - up) / s), std::exp(xi) * mgf * lower_tail((m - up) / s + s)};
            } else {
                below_[i] = {m < down ? 1.0 : 0.0, m < down ? std::exp(xi + m) : 0.0};
                above_[i] = {m > up ? 1.0 : 0.0, m > up ? std::exp(xi + m) : 0.0};
            }
        }
    }

    void apply(const double* v, const FarField& far, double* out) const {
        if (!kernel_.empty()) return apply_by_fft(v, far, out);
        const auto n = static_cast<long>(mesh_.nodes);
        const long last = first_ + static_cast<long>(rising_.size()) - 1;
        for (long i = 0; i < n; ++i) {
            const auto u = static_cast<std::size_t>(i);
            double sum = far_part(far, u);
            // Nodes i + j inside the mesh: the end nodes carry one half of their hat.
            const long lo = std::max(first_, -i), hi = std::min(last, n - 1 - i);
            for (long j = lo; j <= hi; ++j) {
                const auto k = static_cast<std::size_t>(j - first_);
                const long node = i + j;
                const double weight = node == 0 ? falling_[k] : node == n - 1 ? rising_[k] : falling_[k] + rising_[k];
                sum += weight * v[node];
            }
            out[u] = sum;
        }
    }

  private:
    struct Tail {
        double mass, exponential;
    };
    // Bands up to this many offsets are summed directly.
    static constexpr std::size_t direct_band = 64;

    double far_part(const FarField& far, std::size_t i) const {
        return far.left.a * below_[i].mass + far.left.b * below_[i].exponential + far.right.a * above_[i].mass +
               far.right.b * above_[i].exponential;
    }

    // The weight of the half hat of offset j, 0 outside the band.
    double half(const std::vector<double>& halves, long j) const {
        const long k = j - first_;
        return k >= 0 && k < static_cast<long>(halves.size()) ? halves[static_cast<std::size_t>(k)] : 0.0;
    }

    // Whole hats at every node by one correlation, then the end nodes' missing halves
    // taken back out.
    void apply_by_fft(const double* v, const FarField& far, double* out) const {
        const std::size_t n = mesh_.nodes;
        std::fill(buffer_.begin(), buffer_.end(), std::complex<double>(0.0));
        for (std::size_t i = 0; i < n; ++i) buffer_[i] = v[i];
        fft_.transform(buffer_, false);
        for (std::size_t k = 0; k < buffer_.size(); ++k) buffer_[k] = times(buffer_[k], kernel_[k]);
        fft_.transform(buffer_, true);
        const auto last = static_cast<long>(n) - 1;
        for (std::size_t i = 0; i < n; ++i) {
            const auto li = static_cast<long>(i);
            out[i] = buffer_[i].real() - half(rising_, -li) * v[0] - half(falling_, last - li) * v[n - 1] +
                     far_part(far, i);
        }
    }

    Mesh mesh_;
    long first_;
    std::vector<double> rising_, falling_;
    std::vector<Tail> below_, above_;
    Fft fft_{1};
    std::vector<std::complex<double>> kernel_;
    mutable std::vector<std::complex<double>> buffer_;
};

}  // namespace tarnwick::grid
