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
// 11 s (all of them for wide laws). A law wide against the mesh instead goes through
// panels of the span (Panels below): the density is interpolated in y on each panel, the
// value's moments against the interpolant are exact, and the integral, an entire function
// of x smoothed on the scale s, is taken at the panels' points and interpolated to the
// nodes: O(n order + (span / s)^2 order^2) with 12 to 20 points a panel, well under n^2
// when s spans many cells. On the uniform mesh the weights depend on the offset alone, and
// a band wider than a few dozen nodes is summed as a circular correlation by FFT, padded
// so that no term wraps around: O(n log n). The stretched mesh needs a quarter of the
// uniform one's nodes, so its rows cost less than the FFT up to a budget of stored
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

// The barycentric weights of `count` Chebyshev points of the first kind, and their
// Lagrange basis at y into `row` (a point on y takes it whole).
inline std::vector<double> chebyshev_weights(std::size_t count) {
    std::vector<double> w(count);
    for (std::size_t j = 0; j < count; ++j)
        w[j] = (j % 2 == 0 ? 1.0 : -1.0) * std::sin(M_PI * (2.0 * static_cast<double>(j) + 1.0) / (2.0 * static_cast<double>(count)));
    return w;
}

inline void lagrange_at(double y, const double* points, const std::vector<double>& weights, double* row) {
    const std::size_t count = weights.size();
    for (std::size_t j = 0; j < count; ++j)
        if (y == points[j]) {
            std::fill(row, row + count, 0.0);
            row[j] = 1.0;
            return;
        }
    // Apart from the test for a hit, the divisions are independent and go in vector lanes.
    for (std::size_t j = 0; j < count; ++j) row[j] = weights[j] / (y - points[j]);
    double total = 0.0;
    for (std::size_t j = 0; j < count; ++j) total += row[j];
    const double scale = 1.0 / total;
    for (std::size_t j = 0; j < count; ++j) row[j] *= scale;
}

// Gauss-Legendre points and weights on [-1, 1] by Newton's method on P_count, from the
// usual first guesses: exact for polynomials of degree 2 count - 1.
inline void gauss_legendre(std::size_t count, std::vector<double>& t, std::vector<double>& w) {
    t.assign(count, 0.0);
    w.assign(count, 0.0);
    const auto n = static_cast<double>(count);
    for (std::size_t k = 0; k < count; ++k) {
        double z = -std::cos(M_PI * (static_cast<double>(k) + 0.75) / (n + 0.5)), slope = 1.0;
        for (int step = 0; step < 100; ++step) {
            double p = 1.0, last = 0.0;
            for (std::size_t j = 1; j <= count; ++j) {
                const auto d = static_cast<double>(j);
                const double next = ((2.0 * d - 1.0) * z * p - (d - 1.0) * last) / d;
                last = p;
                p = next;
            }
            slope = n * (z * p - last) / (z * z - 1.0);
            const double move = p / slope;
            z -= move;
            if (std::abs(move) <= 1e-15) break;
        }
        t[k] = z;
        w[k] = 2.0 / ((1.0 - z * z) * slope * slope);
    }
}

// The mesh's span cut into `count` equal panels, each with `order` Chebyshev points of the
// first kind: point l = p order + j is the j-th of panel p.
//
// A law wide against the mesh: the density against y, for any centre, is entire and its
// interpolant at a panel's points is within `order`'s error of it over the panel, so
//   E[V(c + J)] = sum_l phi(y_l - c) M_l,   M_l = integral over its panel of V ell_l,
// with ell_l the point's Lagrange basis on its panel; the moments M_l of the mesh's
// piecewise linear V are exact (Gauss-Legendre on each cell's part of the panel). The
// result, smoothed on the scale s like the density, is taken at the same points and
// interpolated on each node's panel. Per application that is `order` products per node
// twice and the panels' points against each other, O(n order + (span / s)^2 order^2),
// where a row of hats per node costs O(n band): the panels are cheaper once the law's
// band holds more than a few dozen nodes.
struct Panels {
    double lo = 0.0, width = 0.0;
    std::size_t count = 0, order = 0;

    std::size_t points() const { return count * order; }
    double point(std::size_t l) const {
        const std::size_t p = l / order, j = l % order;
        return lo + width * (static_cast<double>(p) + 0.5 -
                             0.5 * std::cos(M_PI * (2.0 * static_cast<double>(j) + 1.0) / (2.0 * static_cast<double>(order))));
    }
    std::size_t panel_of(double y) const {
        const double p = std::floor((y - lo) / width);
        return p <= 0.0 ? 0 : std::min(count - 1, static_cast<std::size_t>(p));
    }
};

// The points per panel for the density's interpolant to be within ~3e-12 of its peak on a
// panel of half-width `half` s, by a scan of every centre: 12 at half 0.5 s (2.5e-12), 16
// at 1 s (2.4e-12), 20 at 1.5 s (1.0e-12); two more points at each cost a tenth more time
// for about a fiftieth of the error. Each price holds its passes' errors to 1e-8 of the
// strike in all: what this leaves, times lam T, is far below it.
inline std::size_t panel_order(double half_in_s) {
    return static_cast<std::size_t>(std::ceil(8.0 + 8.0 * half_in_s));
}

// The panel points whose density can reach those of a panel: the panels from `first` to
// `last` inclusive lie within the band's reach of every point l of panel p, shifted by m.
inline Band panel_band(const Panels& panels, std::size_t p, double m, double reach) {
    const double a = panels.lo + static_cast<double>(p) * panels.width + m - reach;
    const double b = panels.lo + static_cast<double>(p + 1) * panels.width + m + reach;
    const double first = std::floor((a - panels.lo) / panels.width), last = std::floor((b - panels.lo) / panels.width);
    const double top = static_cast<double>(panels.count - 1);
    return {static_cast<std::size_t>(std::clamp(first, 0.0, top)), static_cast<std::size_t>(std::clamp(last, 0.0, top))};
}

// The weights one application stores for `count` panels over a span of the nodes x: both
// the moments and the interpolation take `order` per node (and a panel's end node twice),
// and each point the points of the panels its band meets, at most two more than the
// band's length in panels.
inline std::size_t panel_weights(std::size_t nodes, double span, double s, std::size_t count) {
    const double width = span / static_cast<double>(count);
    const std::size_t order = panel_order(0.5 * width / s);
    const double reached = std::min(static_cast<double>(count), std::floor(2.0 * reach_in_s * s / width) + 2.0);
    return order * (2 * nodes + count) + count * order * order * static_cast<std::size_t>(reached);
}

// The panel count that stores the fewest weights, from half-widths of 1.5 s down to 0.25 s.
inline std::size_t panel_count(std::size_t nodes, double span, double s) {
    const auto fewest = static_cast<std::size_t>(std::max(1.0, std::ceil(span / (3.0 * s))));
    const auto most = std::min(fewest + 4096, static_cast<std::size_t>(std::max(1.0, std::ceil(span / (0.5 * s)))));
    std::size_t best = fewest;
    for (std::size_t count = fewest + 1; count <= most; ++count)
        if (panel_weights(nodes, span, s, count) < panel_weights(nodes, span, s, best)) best = count;
    return best;
}

// The panels over the nodes x for a law of deviation s: the count that stores the fewest
// weights, and the points each needs.
inline Panels panels_over(const std::vector<double>& x, double s) {
    Panels panels;
    const double span = x.back() - x.front();
    panels.count = panel_count(x.size(), span, s);
    panels.lo = x.front();
    panels.width = span / static_cast<double>(panels.count);
    panels.order = panel_order(0.5 * panels.width / s);
    return panels;
}

// Each point's moment against the nodes of its panel: each cell's part of a panel by
// Gauss-Legendre, exact for its hat halves (linear) times a Lagrange basis (degree
// order - 1). Row l holds the weights of the nodes whose hats meet point l's panel.
inline Rows panel_moments(const std::vector<double>& x, const Panels& panels, const std::vector<double>& points,
                          const std::vector<double>& barycentric) {
    const std::size_t n = x.size(), order = panels.order;
    Rows rows;
    std::vector<double> t, w, basis(order);
    gauss_legendre(order / 2 + 1, t, w);
    std::size_t node = 0;
    for (std::size_t p = 0; p < panels.count; ++p) {
        const double a = p == 0 ? x.front() : panels.lo + static_cast<double>(p) * panels.width;
        const double b = p + 1 == panels.count ? x.back() : panels.lo + static_cast<double>(p + 1) * panels.width;
        while (node + 1 < n && x[node + 1] <= a) ++node;
        std::size_t last = node;
        while (last + 1 < n && x[last] < b) ++last;
        const std::size_t nodes = last - node + 1, at = rows.weights.size();
        rows.weights.resize(at + order * nodes, 0.0);
        for (std::size_t j = 0; j < order; ++j) {
            rows.first.push_back(node);
            rows.start.push_back(at + (j + 1) * nodes);
        }
        for (std::size_t k = node; k < last; ++k) {
            const double lo = std::max(x[k], a), hi = std::min(x[k + 1], b), cell = x[k + 1] - x[k];
            if (!(hi > lo)) continue;
            for (std::size_t g = 0; g < t.size(); ++g) {
                const double y = 0.5 * (lo + hi) + 0.5 * (hi - lo) * t[g], weight = 0.5 * (hi - lo) * w[g];
                const double rising = (y - x[k]) / cell;
                lagrange_at(y, &points[p * order], barycentric, basis.data());
                for (std::size_t j = 0; j < order; ++j) {
                    double* row = &rows.weights[at + j * nodes];
                    row[k - node] += weight * (1.0 - rising) * basis[j];
                    row[k + 1 - node] += weight * rising * basis[j];
                }
            }
        }
    }
    return rows;
}

// The density of N(m, s^2) from each point, as a centre, to the points of the panels
// within its reach. The panels are equal: the density depends on the two points' places in
// their panels and the panels' offset alone, formed once for each offset that a band holds.
inline Rows panel_densities(const Panels& panels, double m, double s) {
    const std::size_t order = panels.order;
    std::vector<Band> bands(panels.count);
    long lowest = 0, highest = 0;
    for (std::size_t p = 0; p < panels.count; ++p) {
        bands[p] = panel_band(panels, p, m, reach_in_s * s);
        lowest = std::min(lowest, static_cast<long>(bands[p].first) - static_cast<long>(p));
        highest = std::max(highest, static_cast<long>(bands[p].last) - static_cast<long>(p));
    }
    const double scale = 1.0 / (s * std::sqrt(2.0 * M_PI));
    std::vector<double> place(order), density(static_cast<std::size_t>(highest - lowest + 1) * order * order);
    for (std::size_t j = 0; j < order; ++j) place[j] = (panels.point(j) - panels.lo) / panels.width;
    for (long d = lowest; d <= highest; ++d)
        for (std::size_t j = 0; j < order; ++j)
            for (std::size_t k = 0; k < order; ++k) {
                const double z = ((static_cast<double>(d) + place[k] - place[j]) * panels.width - m) / s;
                density[(static_cast<std::size_t>(d - lowest) * order + j) * order + k] = scale * std::exp(-0.5 * z * z);
            }
    Rows rows;
    for (std::size_t l = 0; l < panels.points(); ++l) {
        const std::size_t p = l / order, j = l % order;
        rows.first.push_back(bands[p].first * order);
        for (std::size_t q = bands[p].first; q <= bands[p].last; ++q) {
            const auto d = static_cast<std::size_t>(static_cast<long>(q) - static_cast<long>(p) - lowest);
            const double* from = &density[(d * order + j) * order];
            rows.weights.insert(rows.weights.end(), from, from + order);
        }
        rows.start.push_back(rows.weights.size());
    }
    return rows;
}

// Each node's interpolant on its panel: panel p's nodes are [first[p], first[p + 1])
// (panel_of is monotone, so they are consecutive), their weights stored point by point,
// the nodes of a panel running along each point's stretch of `weights`.
inline void panel_interpolants(const std::vector<double>& x, const Panels& panels, const std::vector<double>& points,
                               const std::vector<double>& barycentric, std::vector<std::size_t>& first,
                               std::vector<double>& weights) {
    const std::size_t n = x.size(), order = panels.order;
    first.assign(panels.count + 1, n);
    for (std::size_t i = n; i-- > 0;) first[panels.panel_of(x[i])] = i;
    for (std::size_t p = panels.count; p-- > 0;) first[p] = std::min(first[p], first[p + 1]);
    weights.assign(n * order, 0.0);
    std::vector<double> basis(order);
    std::size_t at = 0;
    for (std::size_t p = 0; p < panels.count; ++p) {
        const std::size_t nodes = first[p + 1] - first[p];
        for (std::size_t i = 0; i < nodes; ++i) {
            lagrange_at(x[first[p] + i], &points[p * order], barycentric, basis.data());
            for (std::size_t j = 0; j < order; ++j) weights[at + j * nodes + i] = basis[j];
        }
        at += order * nodes;
    }
}

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
        return std::min(row_weights(jumps, x), panel_weights(jumps, x)) <= max_weights;
    }

    NormalJumpIntegral(const charfun::NormalJumps& jumps, const Mesh& mesh) : mesh_(mesh) {
        using namespace normal_jumps_detail;
        const std::vector<double> x = nodes_of(mesh);
        if (std::isinf(mesh.width)) {
            by_offset(jumps);
        } else if (panel_weights(jumps, x) < row_weights(jumps, x)) {
            by_panels(jumps, x);
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
        if (panels_.count > 0) return apply_by_panels(v, far, out);
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

    // The weights stored by rows per node, and by the panels (never for the point mass).
    static std::size_t row_weights(const charfun::NormalJumps& jumps, const std::vector<double>& x) {
        std::vector<double> centres = x;
        for (double& c : centres) c += jumps.m;
        std::size_t total = 0;
        for (const auto& b : normal_jumps_detail::bands(x, centres, band_reach(jumps))) total += b.last - b.first + 1;
        return total;
    }
    static std::size_t panel_weights(const charfun::NormalJumps& jumps, const std::vector<double>& x) {
        using normal_jumps_detail::panel_count;
        if (!(jumps.s > 0.0)) return std::numeric_limits<std::size_t>::max();
        const double span = x.back() - x.front();
        return normal_jumps_detail::panel_weights(x.size(), span, jumps.s, panel_count(x.size(), span, jumps.s));
    }

    void apply_by_row(const double* v, const FarField& far, double* out) const {
        for (std::size_t i = 0; i < mesh_.nodes; ++i) out[i] = far_part(far, i) + rows_.sum(i, v);
    }

    void apply_by_panels(const double* v, const FarField& far, double* out) const {
        const std::size_t count = panels_.points();
        for (std::size_t l = 0; l < count; ++l) moments_[l] = moments_of_.sum(l, v);
        for (std::size_t l = 0; l < count; ++l) sampled_[l] = rows_.sum(l, moments_.data());
        for (std::size_t i = 0; i < mesh_.nodes; ++i) out[i] = far_part(far, i);
        // Point by point over each panel's nodes: the sums run along the nodes, in vector
        // lanes, rather than along each node's short row of points.
        const std::size_t order = panels_.order;
        const double* weight = interpolated_.data();
        for (std::size_t p = 0; p < panels_.count; ++p) {
            const std::size_t first = panel_nodes_[p], nodes = panel_nodes_[p + 1] - first;
            for (std::size_t j = 0; j < order; ++j, weight += nodes) {
                const double g = sampled_[p * order + j];
                for (std::size_t i = 0; i < nodes; ++i) out[first + i] += weight[i] * g;
            }
        }
    }

    // The panels' three sets of rows (normal_jumps_detail::Panels): each point's moment
    // against the nodes of its panel, the density from every point to the points of the
    // panels within reach, and each node's interpolant on its panel.
    void by_panels(const charfun::NormalJumps& jumps, const std::vector<double>& x) {
        using namespace normal_jumps_detail;
        panels_ = panels_over(x, jumps.s);
        const std::size_t count = panels_.points();
        std::vector<double> points(count);
        for (std::size_t l = 0; l < count; ++l) points[l] = panels_.point(l);
        const std::vector<double> barycentric = chebyshev_weights(panels_.order);
        moments_of_ = panel_moments(x, panels_, points, barycentric);
        rows_ = panel_densities(panels_, jumps.m, jumps.s);
        panel_interpolants(x, panels_, points, barycentric, panel_nodes_, interpolated_);
        moments_.resize(count);
        sampled_.resize(count);
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
    // Stretched mesh: the rows per node; or the panels, their rows of moments, of the
    // density between points (rows_) and their nodes' interpolants, and the two sets of
    // values at the points.
    normal_jumps_detail::Rows rows_;
    normal_jumps_detail::Panels panels_;
    normal_jumps_detail::Rows moments_of_;
    std::vector<std::size_t> panel_nodes_;  // panel p's nodes: [panel_nodes_[p], panel_nodes_[p + 1])
    std::vector<double> interpolated_;
    mutable std::vector<double> moments_, sampled_;
    // Uniform mesh: the halves per offset from first_.
    long first_ = 0;
    std::vector<double> rising_, falling_;
    std::vector<Tail> below_, above_;
    Fft fft_{1};
    std::vector<std::complex<double>> kernel_;
    mutable std::vector<std::complex<double>> buffer_;
};

}  // namespace tarnwick::grid
