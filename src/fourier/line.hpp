#pragma once

// Which line a sum runs along, and what the line between the poles leaves out.
//
// A side's own line (Re w > 1 for a call, < 0 for a put) prices it directly and serves
// every ordinary option. Between the poles, 0 < Re w < 1, the integral is the call less
// the residue at w = 1, E[e^X] (1 for a probability measure), or the put less the residue
// at w = 0, e^k E[1] (e^k): there |E[e^{wX}]| <= max(E[1], E[e^X]) by convexity, so that
// line serves models whose log-MGF is enormous on both sides of the poles, and strips that
// leave a side too narrow for a long step. Its price is a difference with the residue,
// accurate relative to that, which the absolute goal allows.

#include <cmath>
#include <complex>

#include "charfun/model_interface.hpp"
#include "fourier/contour.hpp"

namespace tarnwick::fourier {

// Nodes beyond which another line (or method) is looked for: an ordinary option takes 50 to
// 500, a sum of this length some ten times an ordinary option's time.
inline constexpr double node_budget = 2048.0;

struct Line {
    Contour contour;
    bool between_poles;
    double nodes;  // expected
};

// About how many nodes a sum along this contour takes before its tail test holds, for
// choosing a line or a method, not for stopping a sum: the span of the model's decay over
// the step, or, where that is long, the point where the tail test would hold with
// polynomial factors of this degree in u, found by doubling.
template <class Model>
double expected_nodes(const Model& model, double T, const Contour& contour, double k, double log_tolerance,
                      bool inverse_square, int degree) {
    const charfun::Decay decay = model.decay(T);
    const double h = std::min(contour.step, finest_step(decay));
    if (!(h > 0.0)) return infinity;
    const double quick = span(decay, log_tolerance) / h;
    if (quick <= node_budget) return quick;
    const TailTest<Model> tail(model, T, contour.theta, k, log_tolerance, inverse_square);
    double nodes = 8.0;
    while (nodes < 1e12 && !tail.done(nodes * h, std::pow(1.0 + nodes * h, degree))) nodes *= 2.0;
    return nodes;
}

// The side's own line within `side` (the admissible interval of the integrand's strip), or
// the one between the poles where the side's is beyond the budget and that one is cheaper.
// contour_of(range) chooses the contour within a range of Re w; the nodes are those of the
// model's own integrand.
template <class Model, class ContourOf>
Line choose_line(const Model& model, double T, Interval side_range, double k, double log_tolerance,
                 bool inverse_square, int degree, ContourOf&& contour_of) {
    const auto nodes = [&](const Contour& c) {
        return expected_nodes(model, T, c, k, log_tolerance, inverse_square, degree);
    };
    Line side{contour_of(side_range), false, 0.0};
    side.nodes = nodes(side.contour);
    if (side.nodes <= node_budget) return side;
    Line middle{contour_of(between_poles()), true, 0.0};
    middle.nodes = nodes(middle.contour);
    return middle.nodes < side.nodes || std::isnan(side.nodes) ? middle : side;
}

// A line and the side (call or put) whose integral is summed along it.
struct SideLine {
    Line line;
    bool call;
};

// The side's own line (line_of(call)), or the other side's where the own one is at the
// budget or beyond and the other is shorter: deep in the money with a tiny diffusion the
// own side's integrand may not end within the budget, the other's within a few nodes. The
// caller carries the other side's sum over by put-call parity. A line's choice costs as much
// as some tens of nodes, which ordinary options (50 to 500 nodes) do not spend on a second.
template <class LineOf>
SideLine shorter_side(bool call, LineOf&& line_of) {
    SideLine own{line_of(call), call};
    if (!(own.line.nodes >= node_budget)) return own;
    SideLine other{line_of(!call), !call};
    return other.line.nodes < own.line.nodes ? other : own;
}

// The log-MGF at the pole whose residue the line between the poles leaves out of the
// side's price: w = 1 for a call, w = 0 for a put (times e^k).
template <class Model>
charfun::LogMgf pole_log_mgf(const Model& model, double T, bool call) {
    return model.log_mgf(call ? 1.0 : 0.0, T);
}

}  // namespace tarnwick::fourier
