#pragma once

// The march of an option's value per unit strike, u(x, tau) with x = ln(S/K) and tau the
// time to expiry, through the partial integro-differential equation
//   u_tau = (sigma^2 / 2) u_xx + mu u_x - (r + lam) u + lam E[u(x + J)],
//   mu = r - q - sigma^2 / 2 - lam zeta,   zeta = E[e^J - 1],
// from the payoff at tau = 0 to tau = T, with u >= payoff wherever exercise is allowed.
//
// Crank-Nicolson in time, started (and restarted after each Bermudan exercise time, whose
// maximum puts a kink back into u, and after each monitoring time of a barrier, where the
// knock-out puts a jump into it: knock_out.hpp) by a few steps each taken as two implicit
// Euler half steps: Crank-Nicolson alone leaves the kink's high frequencies undamped, and
// its error would no longer fall as dt^2. Central differences in the mesh's coordinate
// (mesh.hpp), upwind where the drift would make them non-monotone (a tiny diffusion). The
// jump term is implicit too, reached by fixed-point passes, each solving the tridiagonal
// problem with the last pass's jump integral (the first pass's extrapolated from the last
// two steps) and then integrating its output: a pass contracts the error by about
// lam dt / 2 / (1 + (r + lam) dt / 2) < 1, so there is no limit on lam dt; where lam T
// is moderate one pass, one solve and one integral per step, does (one_pass_jumps).
// Early exercise is the complementarity problem of complementarity.hpp in every pass.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "common/status.hpp"
#include "grid/complementarity.hpp"
#include "grid/far_field.hpp"
#include "grid/knock_out.hpp"
#include "grid/mesh.hpp"
#include "product/option.hpp"

namespace tarnwick::grid {

// The coefficients of the equation: the diffusion's variance rate, the jump rate and the
// compensator, the rate and the dividend yield.
struct Coefficients {
    double variance, rate, compensator, r, q;

    // mu: the drift of x, with the jumps' compensator.
    double drift() const { return r - q - 0.5 * variance - rate * compensator; }
};

// When the option may be exercised, in time to expiry: `times` increasing in (0, T], for
// a Bermudan option (T: today's own exercise), empty otherwise.
struct ExerciseTimes {
    Exercise style;
    std::vector<double> times;
};

// The exercise boundary after each step: the time to expiry and the boundary's x (NaN
// while no node is exercised).
struct Trace {
    std::vector<double> tau, x;
};

// u at tau = T on the mesh, lam E[u(x + J)] there, where the option is held (1) rather than
// exercised, and whether the node next to the in-the-money end was exercised at every
// step (then the far field there, the exercise value, was exact).
struct Solution {
    std::vector<double> value, jump;
    std::vector<char> held;
    bool edge_exercised = false;
};

// Fixed-point passes per step before the step is given up (lam dt ~ 1e3 takes ~ 50).
inline constexpr int max_jump_passes = 2000;
// The passes of a step end once the bound of their remaining error is below this share of
// it (per unit strike), in proportion to the step's part of the life: the bounds of all
// steps add up to at most this, a hundredth of the 1e-6 K the prices are held to. The
// error a step leaves is damped, not amplified, by the later steps.
inline constexpr double jump_tolerance = 1e-8;
// The multiple of a step's share of jump_tolerance that passes stalled on rounding may leave:
// the steps' bounds then add up to at most 5e-7 K. Stalls seen on accurate prices reach 35
// times the share; Merton's lam 20 over two years stalls at 3e4 times it.
inline constexpr double rounding_passes = 50.0;
// Where the life holds at most this many jumps on average (lam T), the first pass ends
// every step whose estimate was extrapolated from the last two (none since a restart): the
// estimate is off by O(dt^2), the pass leaves lam dt times that, O(lam dt^3) per step and
// smooth in dt like Crank-Nicolson's own error, which the extrapolation over the two meshes
// removes with it. The scheme is then Crank-Nicolson with the jump term's implicit half
// extrapolated, stable for lam dt below about 1; on the coarser mesh's 128 steps
// (solver.hpp), whose longest is about 2 T / 128, this bound keeps lam dt below 0.13. The
// choice rests on lam T alone, not on the step, so that both meshes make it alike: a
// switch at different steps on the two would leave errors the extrapolation cannot remove.
inline constexpr double one_pass_jumps = 8.0;

// The steps taken as implicit half steps at the start of a segment over the whole life. Fine
// cells at the strike (a stretched mesh) make sigma^2 dt / h^2 large, where Crank-Nicolson
// damps the kink's high frequencies hardly at all: with two such steps they left a ripple
// of ~1e-7 K on the scale of a cell at the strike, harmless to the value but 2 % of gamma.
inline constexpr std::size_t damped_steps = 8;

// A segment between monitoring times takes at least steps / monitoring_steps steps: the
// knock-out's jump at the barrier restarts the tau^-1/2 singularity each time, and with a
// step or two per segment (daily dates) the time error would stay at ~1e-5 K and not halve
// with the steps, which extrapolation needs.
inline constexpr std::size_t monitoring_steps = 16;

inline double payoff(bool call, double x) { return std::max(call ? std::expm1(x) : -std::expm1(x), 0.0); }

// The obstacle of exercise at tau: the payoff g where exercise can pay, minus infinity
// (no constraint) where the payoff is below the model-free lower bound of the European
// value, e^{x - q tau} - e^{-r tau} for a call and e^{-r tau} - e^{x - q tau} for a put
// (`grown` holds e^x, increasing). There the option is worth more held whatever the
// model, and the constraint is inactive in the exact problem; left in, it would clamp the
// grid's values wherever their error dips below the payoff by more than the time value.
// That happens to a call without dividends (never exercised) deep in the money, where the
// error grows like h^2 e^x: Merton's model with jumps of 0.5 +- 1 over five years had a
// third of the nodes "exercised" from e^x = 1.1e4 up, at a place that moved with the
// mesh, and the price was 2.6e-6 K off.
inline const double* exercise_obstacle(bool call, double r, double q, double tau, const std::vector<double>& grown,
                                       const std::vector<double>& g, std::vector<double>& out) {
    const double rate_gain = -std::expm1(-r * tau), yield_loss = -std::expm1(-q * tau);
    const auto gain = [&](double e) { return call ? e * yield_loss - rate_gain : rate_gain - e * yield_loss; };
    // The gain is monotone in e^x: positive at the less favourable end of the mesh (every
    // put without dividends at a positive rate), it is positive throughout.
    if (gain(call ? grown.front() : grown.back()) > 0.0) return g.data();
    const double none = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < g.size(); ++i) out[i] = gain(grown[i]) > 0.0 ? g[i] : none;
    return out.data();
}

namespace stepping_detail {

// The tridiagonal part of the operator in one row: lower, diagonal, upper.
struct Stencil {
    double lower, diagonal, upper;
};

// At node i, with u_xi = x' u_x and u_xixi = x'' u_x + x'^2 u_xx for x(xi) (mesh.hpp),
//   (sigma^2 / 2) u_xx + mu u_x = A u_xixi + B u_xi,
//   A = (sigma^2 / 2) / x'^2,   B = mu / x' - (sigma^2 / 2) x'' / x'^3,
// by central differences in xi; x' = sqrt(1 + (x / w)^2) and x'' = x / w^2.
// The weights a / h^2 of u_xixi's and b of u_xi's central differences at node i.
struct Weights {
    double a, b;
};
inline Weights weights(const Coefficients& c, const Mesh& mesh, std::size_t i) {
    const double half_variance = 0.5 * c.variance, mu = c.drift();
    const double x = mesh.x(i), slope = stretch(x, mesh.width);
    const double curve = std::isinf(mesh.width) ? 0.0 : x / (mesh.width * mesh.width);
    const double h = mesh.h;
    return {half_variance / (slope * slope * h * h), mu / slope - half_variance * curve / (slope * slope * slope)};
}

inline Stencil stencil(const Coefficients& c, const Mesh& mesh, std::size_t i) {
    const auto [a, b] = weights(c, mesh, i);
    const double h = mesh.h;
    double lower = a - 0.5 * b / h, upper = a + 0.5 * b / h;
    if (lower < 0.0 || upper < 0.0) {
        lower = a + std::max(-b, 0.0) / h;
        upper = a + std::max(b, 0.0) / h;
    }
    return {lower, -(lower + upper) - (c.r + c.rate), upper};
}

// The x of the exercise boundary from the exercised set: between the last exercised node
// and the next, where u - payoff, which grows like (x - x_b)^2 past a smooth boundary,
// extrapolates to zero from its square roots at the next two nodes.
inline double boundary(const Mesh& mesh, bool call, const std::vector<char>& active, const std::vector<double>& u,
                       const std::vector<double>& g) {
    const std::size_t n = mesh.nodes;
    if (n < 4) return std::nan("");
    if (!call) {
        std::size_t last = n;
        for (std::size_t i = 1; i < mesh.strike + 1 && i + 2 < n; ++i)
            if (active[i]) last = i;
        if (last == n) return std::nan("");
        const double d1 = std::sqrt(std::max(u[last + 1] - g[last + 1], 0.0));
        const double d2 = std::sqrt(std::max(u[last + 2] - g[last + 2], 0.0));
        const double shift = d2 > d1 ? std::min(d1 / (d2 - d1), 1.0) : 0.0;
        return x_of(mesh.xi(last + 1) - shift * mesh.h, mesh.width);
    }
    std::size_t first = 0;
    for (std::size_t i = n - 2; i > mesh.strike && i >= 2; --i)
        if (active[i]) first = i;
    if (first == 0) return std::nan("");
    const double d1 = std::sqrt(std::max(u[first - 1] - g[first - 1], 0.0));
    const double d2 = std::sqrt(std::max(u[first - 2] - g[first - 2], 0.0));
    const double shift = d2 > d1 ? std::min(d1 / (d2 - d1), 1.0) : 0.0;
    return x_of(mesh.xi(first - 1) + shift * mesh.h, mesh.width);
}

}  // namespace stepping_detail

// The largest cell Peclet number |b| h / (2 a) over the inner nodes. Where it passes 1 the
// central differences would weigh a neighbour negatively and the stencil turns upwind,
// whose error is first order in h.
inline double max_cell_peclet(const Coefficients& c, const Mesh& mesh) {
    double largest = 0.0;
    for (std::size_t i = 1; i + 1 < mesh.nodes; ++i) {
        const auto w = stepping_detail::weights(c, mesh, i);
        largest = std::max(largest, 0.5 * std::abs(w.b) / (mesh.h * w.a));
    }
    return largest;
}

// Steps per unit of T at the coarsest level come from the caller: `steps` over the whole
// life, spread over the segments between Bermudan and monitoring times by their length (at
// least one each).
template <class JumpIntegral>
Status march(const Coefficients& c, const JumpIntegral& jumps, bool call, const ExerciseTimes& exercise,
             const KnockOut& knock, double T, const Mesh& mesh, std::size_t steps, Stop stop, Solution& out,
             Trace* trace) {
    using namespace stepping_detail;
    const std::size_t n = mesh.nodes;
    const bool american = exercise.style == Exercise::american;
    const double lam = c.rate;

    std::vector<Stencil> s(n);
    for (std::size_t i = 1; i + 1 < n; ++i) s[i] = stencil(c, mesh, i);
    std::vector<double> g(n), u(n), next(n), explicit_part(n), rhs(n), thomas(n), grown, obstacle;
    // The jump integral of u and of the value a step back, a pass's input and the integral
    // of its output.
    std::vector<double> jump(n), previous_jump(n), estimate(n), integral(n);
    std::vector<char> active(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = payoff(call, mesh.x(i));
        u[i] = g[i] + knock.cash;
    }
    if (exercise.style != Exercise::european) {
        grown.resize(n);
        obstacle.resize(n);
        for (std::size_t i = 0; i < n; ++i) grown[i] = std::exp(mesh.x(i));
    }
    // The last monitoring time passed (NaN: none yet).
    double monitored = std::nan("");
    if (knock.active && (knock.continuous || knock.monitored_at(0.0))) {
        knock_out(knock, u);
        monitored = 0.0;
    }

    // Segment ends in tau: the Bermudan and monitoring times, then the expiry's counterpart T.
    std::vector<double> ends;
    for (const auto* times : {&exercise.times, &knock.times})
        for (double t : *times)
            if (t > 0.0 && t < T) ends.push_back(t);
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    ends.push_back(T);

    // The far field at tau, the segment starting at `start`.
    const auto far_at = [&](double tau, double start) {
        const bool held_to_expiry = exercise.style != Exercise::bermudan;
        const FarField plain = far_field(call, c.r, c.q, held_to_expiry ? tau : tau - start, american);
        return with_knock_out(plain, knock, c.r, tau, knock.continuous ? 0.0 : tau - monitored);
    };
    // The operator without the jump integral, applied to v at node i.
    const auto diffusion = [&](const std::vector<double>& v, std::size_t i) {
        return s[i].lower * v[i - 1] + s[i].diagonal * v[i] + s[i].upper * v[i + 1];
    };

    // The implicit matrix I - w (the operator) with its inner rows divided by the implicit
    // weight w: 1 / w - (the operator), whose off-diagonal entries are the same at every
    // step. The end rows are the far field's: v = its value.
    Tridiagonal a{std::vector<double>(n), std::vector<double>(n, 1.0), std::vector<double>(n)};
    for (std::size_t i = 1; i + 1 < n; ++i) {
        a.lower[i] = -s[i].lower;
        a.upper[i] = -s[i].upper;
    }
    double tau = 0.0, start = 0.0;
    const std::size_t edge = call ? n - 2 : 1;
    bool edge_exercised = american;
    // The last step's length (0: none since a restart), and whether `jump` is the integral
    // of u as it stands (a restart changes u).
    double last_step = 0.0;
    bool integrated = false;
    for (double end : ends) {
        const auto share = static_cast<std::size_t>(std::ceil(steps * (end - start) / T - 1e-9));
        const auto count = std::max<std::size_t>(knock.active && !knock.continuous ? steps / monitoring_steps : 1, share);
        // Steps fall like the square of their index from the segment's start: the value's
        // time derivative there is singular like tau^-1/2 (the payoff's kink, and with early
        // exercise the boundary moving like sqrt(tau)), and on uniform steps Crank-Nicolson's
        // error would fall more slowly than dt^2. The first steps go as two implicit half
        // steps each, then Crank-Nicolson: damped_steps of them in a segment that spans the
        // life, one in the short segments between dates, whose few steps would otherwise
        // carry much of implicit Euler's first-order error (with a second one there the
        // stored monitored prices were 1.6 to 10 times further off, the Bermudan ones about
        // as far).
        std::vector<std::pair<double, double>> plan;  // (dt, theta)
        const double length = end - start;
        for (std::size_t k = 0; k < count; ++k) {
            const double a = static_cast<double>(k) / static_cast<double>(count);
            const double b = static_cast<double>(k + 1) / static_cast<double>(count);
            const double dt = length * (b * b - a * a);
            if (k < (count >= steps ? damped_steps : 1)) {
                plan.push_back({0.5 * dt, 1.0});
                plan.push_back({0.5 * dt, 1.0});
            } else {
                plan.push_back({dt, 0.5});
            }
        }
        for (const auto& [step, theta] : plan) {
            if (stop.requested()) return Status::interrupted;
            const double after_tau = tau + step;
            const FarField after = far_at(after_tau, start);
            const double* bound = american ? exercise_obstacle(call, c.r, c.q, after_tau, grown, g, obstacle) : g.data();
            // The explicit half of Crank-Nicolson. After a step `jump` holds the integral of
            // its last pass's output, u itself: it is not taken again.
            if (lam > 0.0 && !integrated) jumps.apply(u.data(), far_at(tau, start), jump.data());
            integrated = true;
            const double w = theta * step, inverse_w = 1.0 / w, explicit_weight = (1.0 - theta) / theta;
            a.scale = inverse_w;
            // The first pass takes the integral at the step's end as the linear extrapolation
            // of the last two steps' (the integral is linear in u, and u smooth in tau away
            // from a restart), off by O(dt^2): one pass then usually does.
            const double ratio = last_step > 0.0 ? step / last_step : 0.0;
            const auto extrapolated = [&](std::size_t i) { return jump[i] + ratio * (jump[i] - previous_jump[i]); };
            // One sweep over the nodes: the explicit half, the implicit matrix's diagonal and
            // the first pass's right-hand side, all divided by w.
            for (std::size_t i = 1; i + 1 < n; ++i) {
                double lu = diffusion(u, i);
                if (lam > 0.0) {
                    lu += lam * jump[i];
                    estimate[i] = extrapolated(i);
                }
                explicit_part[i] = theta < 1.0 ? u[i] * inverse_w + explicit_weight * lu : u[i] * inverse_w;
                a.diagonal[i] = inverse_w - s[i].diagonal;
                rhs[i] = lam > 0.0 ? explicit_part[i] + lam * estimate[i] : explicit_part[i];
            }
            if (lam > 0.0) {
                estimate[0] = extrapolated(0);
                estimate[n - 1] = extrapolated(n - 1);
            }
            rhs[0] = after.left.at(mesh.x(0));
            rhs[n - 1] = after.right.at(mesh.x(n - 1));
            // The pass map's contraction in the max norm: the jump integral's lam w over
            // the margin 1 + (r + lam) w of the implicit matrix's diagonal dominance.
            const double contraction = lam * w / (1.0 + (c.r + lam) * w);
            const double remaining = contraction < 1.0 ? contraction / (1.0 - contraction) : 1.0;
            double last_moved = std::numeric_limits<double>::infinity();
            for (int pass = 0;; ++pass) {
                if (pass == max_jump_passes) return Status::node_limit;
                if (pass > 0)
                    for (std::size_t i = 1; i + 1 < n; ++i) rhs[i] = explicit_part[i] + lam * estimate[i];
                if (!solve_complementarity(a, rhs.data(), bound, american, call, active, next.data(), thomas))
                    return Status::node_limit;
                if (lam == 0.0) break;
                jumps.apply(next.data(), after, integral.data());
                // With few jumps over the life the extrapolated first pass does (a value
                // that is not finite then reaches the end of the march, which reports it).
                if (pass == 0 && ratio > 0.0 && lam * T <= one_pass_jumps) {
                    std::swap(estimate, integral);
                    break;
                }
                double moved = 0.0;
                // Relative where the value is over 1 (per unit strike): a node's rounding
                // follows its size, and a call's values grow like e^x (e^56 under a heavy
                // upward jump tail), where an absolute move would be all rounding.
                for (std::size_t i = 0; i < n; ++i)
                    moved = std::max(moved, std::abs(integral[i] - estimate[i]) / std::max(1.0, std::abs(integral[i])));
                if (!std::isfinite(moved)) return Status::not_finite;
                std::swap(estimate, integral);
                // Else: the pass's output is within contraction of the fixed point's distance
                // from it plus `moved` (the integral moves no more than u), i.e. within
                // contraction / (1 - contraction) times `moved`. Each pass moves less than the
                // last by the contraction in exact arithmetic: one that moves as far has
                // reached the integral's rounding, which no pass lowers (an FFT's is relative
                // to the largest value on the mesh, e^10 and more at a call's upper end). Within
                // rounding_passes times the step's share that is harmless; beyond it the
                // rounding alone would spoil the price (by 7e-4 K under Merton's lam 20 over
                // two years, whose mesh reaches e^24), and the option is refused.
                const double share = jump_tolerance * step / T;
                if (moved * remaining <= share) break;
                if (contraction < 1.0 && moved >= last_moved) {
                    if (moved * remaining <= rounding_passes * share) break;
                    return Status::node_limit;
                }
                last_moved = moved;
            }
            if (lam > 0.0) {
                std::swap(previous_jump, jump);
                std::swap(jump, estimate);
            }
            last_step = step;
            std::swap(u, next);
            tau = after_tau;
            edge_exercised = edge_exercised && active[edge];
            if (trace != nullptr && american) {
                trace->tau.push_back(tau);
                trace->x.push_back(boundary(mesh, call, active, u, g));
            }
        }
        tau = end;
        if (end < T && knock.active && knock.monitored_at(end)) {
            knock_out(knock, u);
            monitored = end;
            last_step = 0.0;
            integrated = false;
        }
        const bool exercisable = std::find(exercise.times.begin(), exercise.times.end(), end) != exercise.times.end();
        if (exercise.style == Exercise::bermudan && exercisable) {
            const double* bound = exercise_obstacle(call, c.r, c.q, end, grown, g, obstacle);
            for (std::size_t i = 0; i < n; ++i) {
                active[i] = u[i] <= bound[i] ? 1 : 0;
                u[i] = std::max(u[i], bound[i]);
            }
            last_step = 0.0;
            integrated = false;
            if (trace != nullptr) {
                trace->tau.push_back(tau);
                trace->x.push_back(boundary(mesh, call, active, u, g));
            }
        }
        start = end;
    }

    // The jump integral of the final values, for u_tau at the spot (solver.hpp).
    const FarField now = far_at(T, start);
    out.jump.assign(n, 0.0);
    if (lam > 0.0) {
        jumps.apply(u.data(), now, jump.data());
        for (std::size_t i = 0; i < n; ++i) out.jump[i] = lam * jump[i];
    }
    out.value = u;
    out.edge_exercised = edge_exercised;
    out.held.assign(n, 1);
    for (std::size_t i = 1; i + 1 < n; ++i)
        if (american && active[i]) out.held[i] = 0;
    for (double v : u)
        if (!std::isfinite(v)) return Status::not_finite;
    return Status::ok;
}

}  // namespace tarnwick::grid
