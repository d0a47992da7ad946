#pragma once

// A knock-out on the grid. Watched continuously, the barrier is an end of the mesh and the
// value there is the rebate, paid at the hit: a Dirichlet condition, and beyond it the jump
// integral sees the rebate too, since a jump across the barrier knocks the option out as
// surely as the diffusion reaching it. Watched at given times, the mesh reaches past the
// barrier and the values beyond it become the rebate at each of those times, the value
// being free to cross it in between; from such a time back to the previous one the value
// far beyond is the rebate discounted from that time.
//
// A monitoring time puts a jump into the value at the barrier's node. There the node takes
// the mean of the two sides, which is what the mesh's piecewise-linear view of a jump at a
// node holds: its error then falls as h^2, as extrapolation needs, where either side's
// value alone would leave an O(h) error.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "grid/far_field.hpp"
#include "grid/mesh.hpp"

namespace tarnwick::grid {

// Values per unit strike. `times` are the monitoring times in time to expiry, increasing,
// in [0, T); empty where the barrier is watched continuously. Inactive where the barrier
// lies beyond the mesh's reach: it is then hit with less than the tail bound's probability.
struct KnockOut {
    bool active = false;
    bool up = false;
    bool continuous = true;
    std::size_t node = 0;  // the barrier's node
    double rebate = 0.0;   // paid at the hit
    double cash = 0.0;     // paid at expiry by a survivor
    std::vector<double> times;  // increasing

    // A search, not a scan: it runs at every segment end, and daily monitoring over years
    // makes thousands of both.
    bool monitored_at(double tau) const { return std::binary_search(times.begin(), times.end(), tau); }
};

// The mesh of spacing h (in xi, mesh.hpp) with the barrier x_b on a node: an end of it if
// the barrier is watched continuously, else `beyond` inside it past the barrier. Both the
// strike (the payoff's kink) and the barrier (the value's kink or jump) sit on nodes when
// the spacing divides their distance in xi, unless that would make the mesh over four
// times finer (a barrier a hair from the strike): then the barrier alone is on a node. A
// barrier beyond the span is left out (`lay` of the plain span).
inline Mesh knock_out_mesh(Span s, double h, double width, double x_b, bool up, bool continuous, double beyond,
                           std::size_t max_nodes) {
    const auto xi = [&](double x) { return xi_of(x, width); };
    if (!(x_b > s.lo && x_b < s.hi)) return lay(xi(s.lo), xi(s.hi), h, 0.0, width, max_nodes);
    if (up)
        s.hi = continuous ? x_b : std::max(s.hi, x_b + beyond);
    else
        s.lo = continuous ? x_b : std::min(s.lo, x_b - beyond);
    const double distance = std::abs(xi(x_b));
    if (s.lo < 0.0 && 0.0 < s.hi && distance > 0.0) {
        const double parts = std::ceil(distance / h);
        if (distance / parts >= 0.25 * h) h = distance / parts;
    }
    return lay(xi(s.lo), xi(s.hi), h, xi(x_b), width, max_nodes);
}

// The far field with the knock-out at tau, `since` the last monitoring time (NaN before
// the first): the survivor's cash, discounted, on the option's far field; on the barrier's
// side the rebate once the option is knocked out there.
inline FarField with_knock_out(FarField f, const KnockOut& k, double r, double tau, double since) {
    const double cash = k.cash * std::exp(-r * tau);
    f.left.a += cash;
    f.right.a += cash;
    if (!k.active || std::isnan(since)) return f;
    const Affine knocked{k.continuous ? k.rebate : k.rebate * std::exp(-r * since), 0.0};
    (k.up ? f.right : f.left) = knocked;
    return f;
}

// The values at a monitoring time (or at the barrier's node where watched continuously):
// the rebate beyond the barrier, the mean of both sides on it.
inline void knock_out(const KnockOut& k, std::vector<double>& u) {
    if (!k.active) return;
    const std::size_t n = u.size();
    for (std::size_t i = 0; i < n; ++i)
        if (k.up ? i > k.node : i < k.node) u[i] = k.rebate;
    u[k.node] = k.continuous ? k.rebate : 0.5 * (u[k.node] + k.rebate);
}

}  // namespace tarnwick::grid
