#pragma once

// The mesh in log-moneyness x = ln(S/K) on which the grid solver works: uniform in a
// coordinate xi with x = w sinh(xi / w), so that its spacing is h near the strike, where
// the payoff's kink and (short-dated) the exercise boundary make the value least smooth,
// and grows like h |x| / w far out, where the value is smooth and only its far field is
// being reached. The map is smooth, so the error of the difference operators (which work
// in xi: time_stepping.hpp) is a smooth function of h with an h^2 leading term, as
// extrapolation over meshes needs. An infinite width w is the uniform mesh (x = xi). The
// strike (x = 0 = xi) sits on a node: the payoff's kink there between nodes would make
// the error oscillate with the mesh instead of falling as h^2.
//
// The mesh reaches as far as the option's value differs from its far-field value by more
// than about e^log_tail of the strike: on each side, Chernoff's bound of the log return's
// tail from the model's cumulant exponent, P(X_T < -L) <= exp(T kappa(-theta) - theta L)
// for theta inside the exponent's strip, and on the side where the payoff grows like e^x,
// E[e^{X - L}; X > L] <= exp(T kappa(1 + theta) - (1 + theta) L). The smallest L over a
// ladder of theta serves diffusions and jump tails alike; the drift (r - q) T and the
// distance from the strike to the spot are added. An error at an end reaches the spot
// only along paths that travel there and back, which takes the tail bound once more: the
// bound at the ends can be the square root of the accuracy wanted at the spot.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

namespace tarnwick::grid {

// x of xi and back, and dx/dxi, for the width w (infinite: x = xi).
inline double x_of(double xi, double width) { return std::isinf(width) ? xi : width * std::sinh(xi / width); }
inline double xi_of(double x, double width) { return std::isinf(width) ? x : width * std::asinh(x / width); }
inline double stretch(double x, double width) { return std::isinf(width) ? 1.0 : std::hypot(1.0, x / width); }

struct Mesh {
    double lo;          // xi of node 0
    double h;           // spacing in xi
    std::size_t nodes;  // count
    std::size_t strike; // index of x = 0
    double width = std::numeric_limits<double>::infinity();  // of the map; infinite: uniform

    double xi(std::size_t i) const { return lo + static_cast<double>(i) * h; }
    double x(std::size_t i) const { return x_of(xi(i), width); }
    // The node position (fractional) of x.
    double position(double x) const { return (xi_of(x, width) - lo) / h; }
};

// ln of the tail bound at which the mesh ends: the value beyond the ends is its far-field
// value to about this fraction of the strike.
inline constexpr double log_tail = -14.0;  // e^-14 = 8e-7; at the spot ~ 1e-12

// The reach of the log return over T on its upper (up = true) and lower side, from
// cumulant(theta) = T kappa(theta) (+inf outside the strip). The upper side weighs the
// tail by e^x (a call's payoff): theta - 1 is the decay rate there.
template <class Cumulant>
double reach(const Cumulant& cumulant, bool up) {
    double best = std::numeric_limits<double>::infinity();
    for (double theta = 1.0 / 16.0; theta <= 4096.0; theta *= 2.0) {
        const double w = up ? 1.0 + theta : -theta;
        const double c = cumulant(w);
        if (std::isfinite(c)) best = std::min(best, (c - log_tail) / std::abs(w));
    }
    return best;
}

// The mesh from lo to hi in xi (each end moved out to a node) at spacing h with `anchor` (in
// xi) on a node, and the node nearest the strike. nodes = 0 where more than `max_nodes` would
// be needed.
inline Mesh lay(double lo, double hi, double h, double anchor, double width, std::size_t max_nodes) {
    const double left = std::ceil((anchor - lo) / h), right = std::ceil((hi - anchor) / h);
    if (!(left + right + 1.0 <= static_cast<double>(max_nodes))) return {0.0, h, 0, 0, width};
    const std::size_t nodes = static_cast<std::size_t>(left + right) + 1;
    const double first = anchor - left * h;
    const double strike = std::clamp(std::round(-first / h), 0.0, static_cast<double>(nodes - 1));
    return {first, h, nodes, static_cast<std::size_t>(strike), width};
}

// The span [lo, hi] of the mesh for options at log-moneyness from x_lo to x_hi whose log
// return has upper and lower reaches `above`, `below` (drift included).
struct Span {
    double lo, hi;
};

inline Span span(double x_lo, double x_hi, double above, double below) {
    // A spot's value sees the strike region and the spot's own neighbourhood; the mesh
    // spans both, each widened by the reach of the log return.
    return {std::min(x_lo, 0.0) - above,   // a call is worthless below here
            std::max(x_hi, 0.0) + below};  // a put is worthless above here
}

// The spacing: about `per_reach` nodes over the larger reach, and at most `spacing`.
inline double spacing_for(double above, double below, double per_reach, double spacing) {
    return std::min(std::max(above, below) / per_reach, spacing);
}

}  // namespace tarnwick::grid
