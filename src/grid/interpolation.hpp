#pragma once

// Values and x-derivatives of the solution at a point between nodes: the quartic through
// five neighbouring nodes where the option is held. The value is smooth on each side of
// the exercise boundary but its second derivative jumps there: a stencil across the
// boundary would make an O(h^2) error that depends on where the boundary falls between
// nodes, which no extrapolation over meshes removes. On held nodes only, the quartic
// gives u to O(h^5), u_x to O(h^4), u_xx to O(h^3) and u_xxx to O(h^2). The quartic is in
// the mesh's coordinate xi (mesh.hpp); the chain rule turns its derivatives into x's.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "grid/mesh.hpp"

namespace tarnwick::grid {

// u, u_x, u_xx, u_xxx and the time slope u_tau at a point; whether the point is held (not
// exercised) and whether the solution's in-the-money end was exercised throughout
// (time_stepping.hpp).
struct Local {
    double u, ux, uxx, uxxx, ut;
    bool held = true, edge_exercised = false;
};

inline constexpr std::size_t stencil_points = 5;

namespace interpolation_detail {

// Taylor coefficients at t = 0 of the polynomial through (t0 + k, f[k]), k = 0..4: Newton's
// divided differences on unit spacing, then the Newton form expanded about 0.
inline void taylor(const double* f, double t0, double* c) {
    double d[stencil_points];
    std::copy(f, f + stencil_points, d);
    for (std::size_t level = 1; level < stencil_points; ++level)
        for (std::size_t k = stencil_points - 1; k >= level; --k) d[k] = (d[k] - d[k - 1]) / static_cast<double>(level);
    // p(t) = d0 + (t - t0)(d1 + (t - t0 - 1)(d2 + ...)): Horner from the inside, each step
    // multiplying the coefficient polynomial by (t - node).
    std::fill(c, c + stencil_points, 0.0);
    for (std::size_t k = stencil_points; k-- > 0;) {
        const double node = t0 + static_cast<double>(k);
        // c <- c * (t - node) + d[k]
        for (std::size_t i = stencil_points - 1; i > 0; --i) c[i] = c[i - 1] - node * c[i];
        c[0] = -node * c[0] + d[k];
    }
}

}  // namespace interpolation_detail

// `held[i]` is 1 where the option is held after the last step; `smooth` is another mesh
// function (the jump integral), interpolated on the same nodes into `ut`. The mesh has many
// more than five nodes, and the point lies well inside it.
inline Local local_at(const Mesh& mesh, const std::vector<double>& u, const std::vector<double>& smooth,
                      const std::vector<char>& held, double x) {
    const double position = mesh.position(x);
    const auto last_start = static_cast<double>(mesh.nodes - stencil_points);
    const auto centred = static_cast<std::size_t>(std::clamp(std::round(position) - 2.0, 0.0, last_start));
    // The window nearest the centred one whose nodes are all held; the centred one if none
    // is within a few nodes (the point is deep in the exercise region: u is the payoff).
    const auto all_held = [&](std::size_t start) {
        for (std::size_t k = 0; k < stencil_points; ++k)
            if (!held[start + k]) return false;
        return true;
    };
    std::size_t start = centred;
    for (std::size_t shift = 0; shift <= stencil_points; ++shift) {
        if (all_held(centred)) break;
        if (centred + shift <= mesh.nodes - stencil_points && all_held(centred + shift)) {
            start = centred + shift;
            break;
        }
        if (shift <= centred && all_held(centred - shift)) {
            start = centred - shift;
            break;
        }
    }
    const double t0 = static_cast<double>(start) - position;
    double cu[stencil_points], cs[stencil_points];
    interpolation_detail::taylor(&u[start], t0, cu);
    interpolation_detail::taylor(&smooth[start], t0, cs);
    const double h = mesh.h;
    const auto below = static_cast<std::size_t>(std::clamp(std::floor(position), 0.0, static_cast<double>(mesh.nodes - 2)));
    // The map's derivatives x' = sqrt(1 + (x / w)^2), x'' = x / w^2, x''' = x' / w^2.
    const double d1 = stretch(x, mesh.width), w2 = mesh.width * mesh.width;
    const double d2 = std::isinf(mesh.width) ? 0.0 : x / w2, d3 = std::isinf(mesh.width) ? 0.0 : d1 / w2;
    const double ux = cu[1] / (h * d1);
    const double uxx = (2.0 * cu[2] / (h * h) - d2 * ux) / (d1 * d1);
    const double uxxx = (6.0 * cu[3] / (h * h * h) - d3 * ux - 3.0 * d1 * d2 * uxx) / (d1 * d1 * d1);
    return {cu[0], ux, uxx, uxxx, cs[0], held[below] || held[below + 1]};
}

}  // namespace tarnwick::grid
