#pragma once

// E[V(x_i + J)] on the mesh for Merton's normal jump J ~ N(m, s^2): a banded sum of node
// values against the exact integrals of the normal density times each node's hat function
// (V is linear between nodes), plus the expectation of the far field a + b e^x beyond each
// end, which is closed: a Phi(c) + b e^{x + m + s^2/2} Phi(c - s) for the part below a
// level m + s c, and its mirror above.
//
// A hat is split into its two halves, each integral (c0 + c1 y) over a cell against the
// density: the end nodes of the mesh carry one half only. The band ends where the density
// is below e^-60 of its peak (|y - m| > 11 s), far under the mesh's own tail bound. Its
// integrals being exact, the error is the interpolant's, O(h^2) and smooth in h on any
// cells, as extrapolation over meshes needs.
//
// On a stretched mesh (mesh.hpp) the weights differ from row to row: each node's row of
// the band is stored and summed directly, O(n band), the band holding every node within
// 11 s (all of them for wide laws). A law wide against the mesh instead has the integral,
// an entire function of x smoothed on the scale s, taken exactly at Chebyshev points over
// the mesh and interpolated to the nodes: O(n M) with M ~ 4 span / s, well under n^2 when
// s spans many cells (a tenth of the span or more on ~400 nodes). On the uniform mesh the
// weights depend on the offset alone, and a band wider than a few dozen nodes is summed as
// a circular correlation by FFT, padded so that no term wraps around: O(n log n). The stretched mesh needs a quarter of
// the uniform one's nodes, so its rows cost less than the FFT up to a budget of stored
// weights (fits), past which (a wide law over many nodes, a spot tens of reaches out) the
// solver lays the uniform mesh instead.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <vector>

#include "charfun/jump_measure.hpp"
#include "grid/far_field.hpp"
#include "grid/fft.hpp"
#include "grid/mesh.hpp"

namespace tarnwick::grid {

namespace normal_jumps_detail {

inline double lower_tail(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }  // Phi(z)

// Phi(b) - Phi(a) for a <= b from the tails ta = Phi(-|a|), tb = Phi(-|b|), the
// difference taken on the side where it does not cancel.
inline double mass(double a, double ta, double b, double tb) {
    if (a >= 0.0) return ta - tb;
    if (b <= 0.0) return tb - ta;
    return 1.0 - ta - tb;
}

inline double density(double z) { return std::exp(-0.5 * z * z) / std::sqrt(2.0 * M_PI); }

// The integral over [lo, hi] of (c0 + c1 y) against N(m, s^2), s > 0.
inline double linear_moment(double c0, double c1, double lo, double hi, double m, double s) {
    const double a = (lo - m) / s, b = (hi - m) / s;
    const double weight = mass(a, lower_tail(-std::abs(a)), b, lower_tail(-std::abs(b)));
    return (c0 + c1 * m) * weight + c1 * s * (density(a) - density(b));
}

// The band's reach in units of s: the density is below e^-60 of its peak beyond it.
inline constexpr double reach_in_s = 11.0;

// The nodes [first, last] whose hats meet the band [centre - reach, centre + reach] of each
// of the increasing centres: both ends only move up.
struct Band {
    std::size_t first, last;
};

inline std::vector<Band> bands(const std::vector<double>& x, const std::vector<double>& centres, double reach) {
    const std::size_t n = x.size();
    std::vector<Band> out(centres.size());
    std::size_t first = 0, last = 0;
    for (std::size_t i = 0; i < centres.size(); ++i) {
        const double centre = centres[i];
        while (first + 1 < n && x[first + 1] <= centre - reach) ++first;
        while (last + 1 < n && x[last] < centre + reach) ++last;
        out[i] = {first, std::max(first, last)};
    }
    return out;
}

// Sum of w[k] v[k], k < count, in four running sums: the strict order of one sum would
// chain every addition's latency. Kept in an array, the sums are independent lanes that
// the compiler pairs into vector instructions, each lane adding in the same order.
inline double dot(const double* w, const double* v, std::size_t count) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4)
        for (std::size_t lane = 0; lane < 4; ++lane) s[lane] += w[k + lane] * v[k + lane];
    for (; k < count; ++k) s[0] += w[k] * v[k];
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// Rows of weights against node values: row k holds the weights of nodes first[k] on,
// stored at weights[start[k] .. start[k + 1]).
struct Rows {
    std::vector<std::size_t> first, start{0};
    std::vector<double> weights;

    double sum(std::size_t k, const double* v) const {
        return dot(&weights[start[k]], v + first[k], start[k + 1] - start[k]);
    }
};

// E[V(c_k + J')] with J' ~ N(0, s^2) over the hats of the nodes x, for increasing centres
// c_k, cell by cell in the standardised z = (y - c_k) / s: the cell [z_j, z_{j+1}] gives
// node j the falling half's integral and node j + 1 the rising half's, (D - z_j M) /
// (z_{j+1} - z_j) with M its mass and D the density's drop across it (the integral of z).
// Each tail and density is formed once per node and centre. The point mass of s = 0 is
// linear interpolation at the centre, if it lies on the mesh: the band of reach 0 is its
// cell, or its node.
inline Rows hat_rows(const std::vector<double>& x, const std::vector<double>& centres, double s) {
    Rows rows;
    std::vector<double> z, tail, dens;
    for (const Band& b : bands(x, centres, reach_in_s * s)) {
        const std::size_t k = rows.first.size(), count = b.last - b.first + 1, at = rows.weights.size();
        const double centre = centres[k];
        rows.first.push_back(b.first);
        rows.weights.resize(at + count, 0.0);
        rows.start.push_back(rows.weights.size());
        double* w = &rows.weights[at];
        if (s == 0.0) {
            if (centre < x.front() || centre > x.back()) continue;
            const double t = count == 1 ? 0.0 : (centre - x[b.first]) / (x[b.last] - x[b.first]);
            w[0] = 1.0 - t;
            if (count > 1) w[1] = t;
            continue;
        }
        z.resize(count);
        tail.resize(count);
        dens.resize(count);
        for (std::size_t j = 0; j < count; ++j) {
            z[j] = (x[b.first + j] - centre) / s;
            tail[j] = lower_tail(-std::abs(z[j]));
            dens[j] = density(z[j]);
        }
        for (std::size_t j = 0; j + 1 < count; ++j) {
            const double cell = mass(z[j], tail[j], z[j + 1], tail[j + 1]);
            const double rising = (dens[j] - dens[j + 1] - z[j] * cell) / (z[j + 1] - z[j]);
            w[j] += cell - rising;
            w[j + 1] += rising;
        }
    }
    return rows;
}

// Chebyshev points of the first kind on [a, b], increasing, and the rows of barycentric
// Lagrange weights that interpolate values there to each x_i (a point on x_i takes it).
inline std::vector<double> chebyshev_points(double a, double b, std::size_t count) {
    std::vector<double> p(count);
    for (std::size_t j = 0; j < count; ++j)
        p[j] = 0.5 * (a + b) - 0.5 * (b - a) * std::cos(M_PI * (2.0 * j + 1.0) / (2.0 * count));
    return p;
}

inline std::vector<double> lagrange_rows(const std::vector<double>& x, const std::vector<double>& points) {
    const std::size_t count = points.size();
    std::vector<double> rows(x.size() * count, 0.0), q(count), weight(count);
    for (std::size_t j = 0; j < count; ++j)
        weight[j] = (j % 2 == 0 ? 1.0 : -1.0) * std::sin(M_PI * (2.0 * j + 1.0) / (2.0 * count));
    for (std::size_t i = 0; i < x.size(); ++i) {
        double* row = &rows[i * count];
        double total = 0.0;
        std::size_t hit = count;
        for (std::size_t j = 0; j < count && hit == count; ++j) {
            if (x[i] == points[j]) hit = j;
            q[j] = weight[j] / (x[i] - points[j]);
            total += q[j];
        }
        if (hit < count) {
            row[hit] = 1.0;
            continue;
        }
        for (std::size_t j = 0; j < count; ++j) row[j] = q[j] / total;
    }
    return rows;
}

// Chebyshev points that resolve the convolution with N(m, s^2) over a span: the density's
// smoothing makes the result entire, and its Chebyshev coefficients fall faster than
// geometrically once the points are a fraction of s apart. 3.5 per span / s already gives
// the integral to 1e-14 of the values' size on stretched meshes of 200 to 800 nodes (3 per
// span / s only to ~1e-8); 4 leaves a margin (it agrees with 8 to 3e-13 relative on the
// American meshes of seven laws, s from 0.05 to 0.6, T from 0.1 to 3).
inline std::size_t chebyshev_count(double span, double s) { return static_cast<std::size_t>(std::ceil(4.0 * span / s)) + 8; }

}  // namespace normal_jumps_detail

class NormalJumpIntegral {
  public:
    // Stored weights a stretched mesh may take (8 MB): past them the uniform mesh's FFT
    // is the cheaper.
    static constexpr std::size_t max_weights = std::size_t{1} << 20;

    // The widest cell whose error stays second order: a law much narrower than its cell
    // samples the linear interpolant within the cell, whose error there is first order in
    // the cell's length.
    static double widest_cell(const charfun::NormalJumps& jumps) { return 2.0 * jumps.s; }

    // Whether the jump integral on `mesh` keeps within max_weights: always on the uniform
    // mesh, whose weights are per offset.
    static bool fits(const charfun::NormalJumps& jumps, const Mesh& mesh) {
        if (std::isinf(mesh.width) || mesh.nodes == 0) return true;
        const std::vector<double> x = nodes_of(mesh);
        return std::min(row_weights(jumps, x), chebyshev_weights(jumps, x)) <= max_weights;
    }

    NormalJumpIntegral(const charfun::NormalJumps& jumps, const Mesh& mesh) : mesh_(mesh) {
        using namespace normal_jumps_detail;
        const std::vector<double> x = nodes_of(mesh);
        if (std::isinf(mesh.width)) {
            by_offset(jumps);
        } else if (chebyshev_weights(jumps, x) < row_weights(jumps, x)) {
            // A law wide against the mesh: the integral is smooth on its scale s, exact at
            // Chebyshev points and interpolated from them to the nodes.
            const std::vector<double> points = chebyshev_points(x.front(), x.back(), chebyshev_count(x.back() - x.front(), jumps.s));
            std::vector<double> centres = points;
            for (double& c : centres) c += jumps.m;
            rows_ = hat_rows(x, centres, jumps.s);
            lagrange_ = lagrange_rows(x, points);
            sampled_.resize(points.size());
        } else {
            std::vector<double> centres = x;
            for (double& c : centres) c += jumps.m;
            rows_ = hat_rows(x, centres, jumps.s);
        }
        // The far fields' weights per node: P(J below the mesh from x_i), E[e^{x_i + J}; ..],
        // and the same above.
        const double m = jumps.m, s = jumps.s;
        below_.resize(mesh.nodes);
        above_.resize(mesh.nodes);
        const double mgf = std::exp(m + 0.5 * s * s);
        for (std::size_t i = 0; i < mesh.nodes; ++i) {
            const double xi = x[i];
            const double down = x.front() - xi, up = x.back() - xi;  // J < down, J > up
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
        if (!sampled_.empty()) return apply_by_chebyshev(v, far, out);
        if (!rows_.first.empty()) return apply_by_row(v, far, out);
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

    static std::vector<double> nodes_of(const Mesh& mesh) {
        std::vector<double> x(mesh.nodes);
        for (std::size_t i = 0; i < mesh.nodes; ++i) x[i] = mesh.x(i);
        return x;
    }
    // The point mass of s = 0 is the band's limit: it falls in one cell.
    static double band_reach(const charfun::NormalJumps& jumps) { return normal_jumps_detail::reach_in_s * jumps.s; }

    // The weights stored by rows per node, and by the Chebyshev path (its rows at the
    // points, and the interpolation rows; never for the point mass).
    static std::size_t row_weights(const charfun::NormalJumps& jumps, const std::vector<double>& x) {
        std::vector<double> centres = x;
        for (double& c : centres) c += jumps.m;
        std::size_t total = 0;
        for (const auto& b : normal_jumps_detail::bands(x, centres, band_reach(jumps))) total += b.last - b.first + 1;
        return total;
    }
    static std::size_t chebyshev_weights(const charfun::NormalJumps& jumps, const std::vector<double>& x) {
        if (!(jumps.s > 0.0)) return std::numeric_limits<std::size_t>::max();
        return 2 * x.size() * normal_jumps_detail::chebyshev_count(x.back() - x.front(), jumps.s);
    }

    void apply_by_row(const double* v, const FarField& far, double* out) const {
        for (std::size_t i = 0; i < mesh_.nodes; ++i) out[i] = far_part(far, i) + rows_.sum(i, v);
    }

    void apply_by_chebyshev(const double* v, const FarField& far, double* out) const {
        const std::size_t count = sampled_.size();
        for (std::size_t k = 0; k < count; ++k) sampled_[k] = rows_.sum(k, v);
        for (std::size_t i = 0; i < mesh_.nodes; ++i)
            out[i] = far_part(far, i) + normal_jumps_detail::dot(&lagrange_[i * count], sampled_.data(), count);
    }

    // The uniform mesh's band per offset j (node i + j).
    void by_offset(const charfun::NormalJumps& jumps) {
        using namespace normal_jumps_detail;
        const double h = mesh_.h, m = jumps.m, s = jumps.s;
        const auto n = static_cast<long>(mesh_.nodes);
        const double reach = band_reach(jumps);
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
            fft_ = Fft(power_of_two_at_least(mesh_.nodes + static_cast<std::size_t>(std::max(last, -first_)) + 1));
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
    }

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
    // Stretched mesh: the rows per node; or the rows at Chebyshev points, their values
    // there and the rows of interpolation weights from them to the nodes.
    normal_jumps_detail::Rows rows_;
    std::vector<double> lagrange_;
    mutable std::vector<double> sampled_;
    // Uniform mesh: the halves per offset from first_.
    long first_ = 0;
    std::vector<double> rising_, falling_;
    std::vector<Tail> below_, above_;
    Fft fft_{1};
    std::vector<std::complex<double>> kernel_;
    mutable std::vector<std::complex<double>> buffer_;
};

}  // namespace tarnwick::grid
