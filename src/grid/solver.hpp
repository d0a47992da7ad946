#pragma once

// Options with early exercise (American, Bermudan; European too, as a check) under a Lévy
// model with a diffusion, by the grid: the mesh from the model's tails (mesh.hpp), the
// march (time_stepping.hpp) on two meshes, the second with both steps halved, and
// Richardson's extrapolation of the values and derivatives at the spot.
//
// Values are per unit strike in x = ln(S/K): the option at (S, K) is K u(ln(S/K)), so
// delta = K u_x / S, gamma = K (u_xx - u_x) / S^2, speed = K (u_xxx - 3 u_xx + 2 u_x) / S^3
// and theta = -K u_tau (u_tau from the equation at the spot) come from the solution itself. The Greeks in sigma, r, q and the
// T-derivatives of delta and gamma are central differences of solutions on the same mesh,
// whose discretisation error is then a smooth function of the bumped parameter and
// cancels from the difference, but for an irregular part with early exercise (see bump).

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/status.hpp"
#include "grid/extrapolation.hpp"
#include "grid/interpolation.hpp"
#include "grid/jump_integral.hpp"
#include "grid/knock_out.hpp"
#include "grid/mesh.hpp"
#include "grid/time_stepping.hpp"
#include "market/forward.hpp"
#include "product/option.hpp"

namespace tarnwick::grid {

// The coarser of the two meshes: nodes over the longer reach of the log return (in the
// mesh's coordinate), or per diffusion deviation sigma sqrt(T) at the strike, the spot and
// a barrier if that is finer, and time steps over the life. Chosen so that the
// extrapolated price is within 1e-6 K of independent references on the published cases
// (short-dated, sigma 0.15, light and heavy jump tails) and the stored American and
// barrier rows, with a margin of two or more; the spot next to the exercise boundary is
// the hardest, which the boundary on a node makes tractable (choose_mesh). The stretched mesh
// (mesh.hpp) needs a quarter of the uniform one's nodes; its width is a third of a
// deviation, or half the distance to the spot or barrier if that is larger.
struct Density {
    double per_reach, per_deviation;
};
inline constexpr Density stretched_density{120.0, 12.0}, uniform_density{400.0, 32.0};
inline constexpr double width_per_deviation = 0.35, width_per_focus = 0.5;
// The largest cell Peclet number the coarser mesh may have (time_stepping.hpp): past 1 the
// upwind differences' first-order error would survive the extrapolation, as large as the
// levels' difference (1e-4 K under Black-Scholes at sigma 0.01, T = 2, where the drift
// carries the payoff's kink into the stretched mesh's wide cells). The margin keeps the
// Greeks' solves, with sigma bumped down, central too. Where a diffusion tiny against the
// drift needs more than max_nodes for this, the option is refused.
inline constexpr double max_peclet = 0.9;
inline constexpr std::size_t time_steps = 128;
// Beyond this many nodes (a spot tens of reaches from the strike) the option is refused.
inline constexpr std::size_t max_nodes = std::size_t{1} << 17;

// The mesh of half the spacing: every node of `m` is one of it.
inline Mesh refined(const Mesh& m) { return {m.lo, 0.5 * m.h, 2 * m.nodes - 1, 2 * m.strike, m.width}; }

// Lévy models with a Brownian part and a jump measure the grid can integrate.
template <class Model, class = void>
struct on_grid : std::false_type {};
template <class Model>
struct on_grid<Model, std::void_t<decltype(std::declval<const Model&>().diffusion_variance()),
                                  typename JumpIntegralOf<decltype(std::declval<const Model&>().jumps())>::type>>
    : std::true_type {};

template <class Model>
Coefficients coefficients(const Model& model, double r, double q) {
    const auto jumps = model.jumps();
    return {model.diffusion_variance(), jumps.rate(), jumps.rate() > 0.0 ? jumps.compensator() / jumps.rate() : 0.0, r, q};
}

// The time steps of the coarser level over the life: time_steps, doubled up to
// max_step_doublings times while the step's Peclet number |mu| sqrt(dt / v), the drift over
// a step against the spread over it, passes max_step_peclet; v is the variance rate that
// smooths the value (`spread`). Past it the value's sharp features (the payoff's kink
// copied by jumps of one size, the layer a drift presses against a barrier) move further
// in a step than they are smoothed, modes that Crank-Nicolson carries almost undamped
// (its factor for a pure drift has modulus 1) hold much of the value, and the time error
// does not yet fall like dt^2: Merton's model with twenty jumps of -0.5 +- 0.01 a year (a
// drift of 7.8 a year) at sigma 0.2, T = 0.25 has 1.75 on 128 steps, its time error fell
// 2.6 and 3.6 times with the next two halvings, and the extrapolated price was 2.5e-5 K
// off; Black-Scholes barriers at sigma 0.002, T = 2 were up to 2.3e-5 K off. On a sweep
// of such models 0.87 still left 1.3e-6 K, and Merton's model at sigma 0.1 over a year
// (7.0) was 2.5e-6 K off on eight times the steps, 1.7e-7 K on sixteen. The number does
// not depend on the mesh (stretching scales drift and spread alike), so both levels share
// it. The cap bounds the cost; beyond it the levels' own checks stand.
inline constexpr double max_step_peclet = 0.6;
inline constexpr std::size_t max_step_doublings = 4;

inline std::size_t first_steps(const Coefficients& c, double spread, double T) {
    const double mu = c.drift();
    double squared = mu * mu * (T / static_cast<double>(time_steps)) / spread;
    std::size_t steps = time_steps;
    for (std::size_t k = 0; k < max_step_doublings && !(squared <= max_step_peclet * max_step_peclet); ++k) {
        steps *= 2;
        squared *= 0.5;
    }
    return steps;
}

// The variance rate that smooths the option's value on the grid: the diffusion's, and
// where the life almost surely holds jumps (lam T above certain_jumps) and there is no
// barrier, the jumps' own spread lam Var(J) too. A law of one size only shifts the value's
// features; a wide one blurs them as a diffusion would, but only on the paths that jump:
// the share e^{-lam T} without a jump keeps the payoff's kink as sharp as the diffusion
// leaves it, and with it the modes Crank-Nicolson does not damp. Merton's model at
// sigma 0.05 with five jumps of 0.5 +- 1 a year (a drift of -8.6 a year) over T = 0.05,
// 2.0 by its wide law and 3.4 by sigma alone, was 1.4e-5 K off on 128 steps and within
// 3e-10 K on four times as many; at lam T = 1.7 another was 1.9e-6 K off. Where jumps are
// near certain the kink's share is below e^{-7} ~ 1e-3: on a random sweep of 400 options
// the five slowest (sigma 0.02 to 0.04, four to eight wide jumps a year, 3.9 to 14 by sigma
// alone) were within 5e-8 K on 128 steps. The layer a drift presses against a barrier is
// sigma^2 / |mu| wide whatever the jumps, so a barrier keeps the diffusion's variance alone.
inline constexpr double certain_jumps = 7.0;

template <class Model>
double smoothing_variance(const Model& model, const Option& o) {
    const auto jumps = model.jumps();
    const double lam = jumps.rate();
    const bool blurred = lam * o.T > certain_jumps && !o.product.barrier.present();
    const double mean = blurred ? jumps.moment(1) : 0.0;
    const double spread = blurred ? jumps.moment(2) - mean * mean / lam : 0.0;
    return model.diffusion_variance() + spread;
}

// Whether deep in the money the option's value is its exercise value now: the far field
// there is exact wherever the option is exercised.
inline bool exercised_deep(const Option& o) {
    if (o.product.exercise != Exercise::american) return false;
    const bool call = o.product.call();
    const Affine deep = call ? far_field(true, o.r, o.q, o.T, true).right : far_field(false, o.r, o.q, o.T, true).left;
    return deep.b == (call ? 1.0 : -1.0) && deep.a == (call ? -1.0 : 1.0);
}

// Where the option is exercised deep in the money, the mesh first ends this many diffusion
// deviations past the strike on that side (or the spot); the solver checks that the node
// next to that end was exercised throughout, and takes the full reach if not.
inline constexpr double exercised_reach = 10.0;

// Where the values are read: the log-moneyness ln(S/K) of the option, or of each option of
// a chain that shares the option's terms but for S and K (the value per unit strike is a
// function of ln(S/K) alone).
struct Points {
    const double* x;
    std::size_t count;
};

// The coarse mesh for options read at `at`, on the in-the-money side either to the full
// reach or (`near`) to exercised_reach, with `boundary` (an x, if finite) on a node as well
// as the strike. nodes = 0: none fits within max_nodes.
template <class Model>
Mesh mesh_for(const Model& model, const Option& o, Points at, bool near = false,
              double boundary = std::numeric_limits<double>::quiet_NaN()) {
    const auto strip = model.strip(o.T);
    const auto cumulant = [&](double w) {
        if (!(w > strip.lo && w < strip.hi)) return std::numeric_limits<double>::infinity();
        return model.log_mgf(std::complex<double>(w, 0.0), o.T).value.real();
    };
    const double drift = std::abs((o.r - o.q) * o.T);
    const double x_lo = *std::min_element(at.x, at.x + at.count), x_hi = *std::max_element(at.x, at.x + at.count);
    const double deviation = std::sqrt(model.diffusion_variance() * o.T);
    double above = reach(cumulant, true) + drift, below = reach(cumulant, false) + drift;
    const double short_reach = exercised_reach * deviation + drift;
    // A put's in-the-money end is the lower one, which the upper tail of X reaches.
    if (near) (o.product.call() ? below : above) = std::min(o.product.call() ? below : above, short_reach);
    // The spot and a barrier need the spacing per deviation as much as the strike does: the
    // map's width reaches towards them.
    const Barrier& b = o.product.barrier;
    const double focus = std::max({-x_lo, x_hi, b.present() ? std::abs(market::log_ratio(b.level, o.K)) : 0.0});
    const Span s = span(x_lo, x_hi, above, below);
    const auto laid = [&](double width, Density density, double cap) {
        const double h = std::min(spacing_for(xi_of(above, width), xi_of(below, width), density.per_reach,
                                              deviation / density.per_deviation / stretch(focus, width)),
                                  cap);
        if (!b.present()) {
            const double spacing = boundary > s.lo && boundary < s.hi ? dividing(std::abs(xi_of(boundary, width)), h) : h;
            return lay(xi_of(s.lo, width), xi_of(s.hi, width), spacing, 0.0, width, max_nodes);
        }
        // The lower end is reached by the upper reach (see span): past a down barrier, `above`.
        return knock_out_mesh(s, h, width, market::log_ratio(b.level, o.K), b.up(), b.monitoring.continuous(),
                              b.up() ? below : above, max_nodes);
    };
    // The cell Peclet number and the widest cell are proportional to h: one narrowing brings
    // both within their bounds. The jumps' bound is loosened where the life holds less than
    // one jump on average: their first-order error is weighted by lam T.
    const Coefficients c = coefficients(model, o.r, o.q);
    using Integral = JumpIntegral<decltype(model.jumps())>;
    const double widest = Integral::widest_cell(model.jumps()) / std::min(1.0, model.jumps().rate() * o.T);
    bool narrowed = false;
    const auto central = [&](double width, Density density) {
        const Mesh m = laid(width, density, std::numeric_limits<double>::infinity());
        if (m.nodes == 0) return m;
        const double end = std::max(std::abs(m.x(0)), std::abs(m.x(m.nodes - 1)));
        const double shrink = std::min(max_peclet / max_cell_peclet(c, m), widest / (m.h * stretch(end, width)));
        if (!(shrink < 1.0)) return m;
        narrowed = true;
        return laid(width, density, m.h * shrink);
    };
    const Mesh stretched = central(std::max(width_per_deviation * deviation, width_per_focus * focus), stretched_density);
    // A jump integral whose cost on the stretched mesh would pass the uniform mesh's takes
    // the latter (normal_jumps.hpp); the finer mesh of the two decides. Narrowed for the
    // drift, the stretched mesh's far cells bind, and the uniform one may need fewer nodes.
    const bool fits = stretched.nodes > 0 && Integral::fits(model.jumps(), refined(stretched));
    if (fits && !narrowed) return stretched;
    const Mesh uniform = central(std::numeric_limits<double>::infinity(), uniform_density);
    return fits && (uniform.nodes == 0 || stretched.nodes <= uniform.nodes) ? stretched : uniform;
}

// The option's knock-out on `mesh` (inactive without a barrier or where the mesh leaves the
// barrier out), monitoring times in time to expiry. The dates are shifted by `shift` with
// the expiry when T is bumped for a Greek, so that time passing moves them all.
inline KnockOut knock_out_for(const Option& o, const Mesh& mesh, double shift) {
    KnockOut k;
    const Barrier& b = o.product.barrier;
    if (!b.present()) return k;
    const double position = mesh.position(market::log_ratio(b.level, o.K));
    const double node = std::round(position);
    k.active = node >= 0.0 && node < static_cast<double>(mesh.nodes) && std::abs(position - node) < 1e-6;
    k.up = b.up();
    k.continuous = b.monitoring.continuous();
    k.node = k.active ? static_cast<std::size_t>(node) : 0;
    k.rebate = b.rebate / o.K;
    k.cash = b.cash / o.K;
    for (std::size_t i = b.monitoring.count; i-- > 0;) {
        const double t = b.monitoring.times[i] + shift;
        if (t > 0.0 && t <= o.T) k.times.push_back(o.T - t);
    }
    return k;
}


// The option's exercise times in time to expiry: a Bermudan date t in [0, T) is tau = T - t.
inline ExerciseTimes exercise_times(const Option& o) {
    ExerciseTimes e{o.product.exercise, {}};
    if (o.product.exercise != Exercise::bermudan) return e;
    for (std::size_t i = o.product.dates.count; i-- > 0;) {
        const double t = o.product.dates.times[i];
        if (t >= 0.0 && t < o.T) e.times.push_back(o.T - t);
    }
    return e;
}

// Whether x, in a cell between an exercised and a held node, lies on the exercised side of
// the boundary. The quartic through held nodes continues the held value past the boundary,
// where it touches the payoff like a parabola and rises above it again: it is the value
// only on the side where u - payoff grows away from the boundary, i.e. where the slope of
// u - payoff points away from the exercise region (up for a put, down for a call).
inline bool past_boundary(const Mesh& mesh, const std::vector<char>& held, bool call, double x, const Local& l) {
    const double position = std::clamp(std::floor(mesh.position(x)), 0.0, static_cast<double>(mesh.nodes - 2));
    const auto below = static_cast<std::size_t>(position);
    if (held[below] && held[below + 1]) return false;
    const double slope = l.ux - (call ? std::exp(x) : -std::exp(x));
    return call ? slope >= 0.0 : slope <= 0.0;
}

// The exercise boundary today from a solution: where the slope of the quartic through held
// nodes meets the payoff's (the value pastes smoothly onto the payoff). The quartic starts
// one node into the held region: the node next to the exercised ones carries the error of
// the discrete boundary's place within its cell, which makes a root of u - payoff itself
// (a double root) wander by a good part of a cell from mesh to mesh. NaN without an
// exercised node or a root within a cell or two of the last one.
inline double exercise_boundary(const Mesh& mesh, const Solution& solution, bool call) {
    const std::vector<char>& held = solution.held;
    const std::size_t n = mesh.nodes, edge = call ? n - 2 : 1;
    const auto nan = std::numeric_limits<double>::quiet_NaN();
    if (n < 2 * stencil_points || held[edge]) return nan;
    // The first held node counted from the in-the-money end, and the quartic's window.
    std::size_t first = edge;
    while (!held[first]) first = call ? first - 1 : first + 1;  // the end nodes count as held
    if (call ? first < stencil_points + 1 : first + stencil_points + 2 > n) return nan;
    const std::size_t start = call ? first - stencil_points : first + 1;
    const auto slope_gap = [&](double x) {
        double c[stencil_points];
        interpolation_detail::taylor(&solution.value[start], static_cast<double>(start) - mesh.position(x), c);
        return c[1] / (mesh.h * stretch(x, mesh.width)) - (call ? std::exp(x) : -std::exp(x));
    };
    // From two cells on the exercised side to one on the held side.
    double lo = call ? mesh.x(first - 1) : mesh.x(first - 2), hi = call ? mesh.x(first + 2) : mesh.x(first + 1);
    const bool rising = slope_gap(hi) > 0.0;
    if (rising == (slope_gap(lo) > 0.0)) return nan;
    for (int k = 0; k < 60 && lo < hi; ++k) {
        const double mid = 0.5 * (lo + hi);
        ((slope_gap(mid) > 0.0) == rising ? hi : lo) = mid;
    }
    return 0.5 * (lo + hi);
}

// The payoff e^x - 1 (call) or 1 - e^x (put) and its x-derivatives: an exercised point.
inline Local exercised_at(bool call, double x) {
    const double e = call ? std::exp(x) : -std::exp(x);
    return {call ? std::expm1(x) : -std::expm1(x), e, e, e, 0.0, false};
}

template <class Model>
using IntegralOf = JumpIntegral<decltype(std::declval<const Model&>().jumps())>;

// A mesh and its refinement with the model's jump integral on each, and the coarser one's
// time steps. The integral depends on the jump law and the mesh alone: the solves of the
// Greeks, which bump sigma, r, q and T on one mesh, share it (Merton's weights cost a tenth
// of a solve to form).
template <class Model>
struct Levels {
    Mesh coarse;
    std::size_t steps;
    IntegralOf<Model> coarse_jumps, fine_jumps;

    Levels(const Model& model, const Mesh& mesh, std::size_t steps)
        : coarse(mesh), steps(steps), coarse_jumps(model.jumps(), mesh), fine_jumps(model.jumps(), refined(mesh)) {}
    // The next pair, on `steps` at its coarser level: the finer mesh of `last` is its coarser.
    Levels(const Model& model, Levels&& last, std::size_t steps)
        : coarse(refined(last.coarse)), steps(steps), coarse_jumps(std::move(last.fine_jumps)),
          fine_jumps(model.jumps(), refined(coarse)) {}
};

// The solution on one mesh, and the exercise boundary after each step if asked.
template <class Model>
Status march_on(const Model& model, const Option& o, const Mesh& mesh, const IntegralOf<Model>& jumps,
                std::size_t steps, Stop stop, Solution& solution, Trace* trace = nullptr, double shift = 0.0) {
    return march(coefficients(model, o.r, o.q), jumps, o.product.call(), exercise_times(o),
                 knock_out_for(o, mesh, shift), o.T, mesh, steps, stop, solution, trace);
}

// The solution on one mesh at the points, and the exercise boundary if asked.
template <class Model>
Status solve_on(const Model& model, const Option& o, const Mesh& mesh, const IntegralOf<Model>& jumps,
                std::size_t steps, Stop stop, Points at, Local* out, Trace* trace = nullptr, double shift = 0.0) {
    const Coefficients c = coefficients(model, o.r, o.q);
    Solution solution;
    const Status status = march_on(model, o, mesh, jumps, steps, stop, solution, trace, shift);
    if (status != Status::ok) return status;
    // u_tau from the equation at each point, with the derivatives of the quartic (accurate
    // to O(h^3) and better) rather than the mesh's own differences; 0 where the option is
    // exercised, where u is the payoff.
    const double mu = c.drift();
    for (std::size_t k = 0; k < at.count; ++k) {
        Local& l = out[k];
        l = local_at(mesh, solution.value, solution.jump, solution.held, at.x[k]);
        if (o.product.exercise == Exercise::american && past_boundary(mesh, solution.held, o.product.call(), at.x[k], l))
            l = exercised_at(o.product.call(), at.x[k]);
        l.edge_exercised = solution.edge_exercised;
        l.ut = l.held ? 0.5 * c.variance * l.uxx + mu * l.ux - (c.r + c.rate) * l.u + l.ut : 0.0;
    }
    return Status::ok;
}

// The largest difference, per unit strike, between the two levels' values that their
// extrapolation is trusted with. Where the error falls like h^2 the difference is about
// three times the finer level's error, and the extrapolated value is far better than
// either: on the stored American and barrier rows it is below 2.2e-5 with errors below
// 3.5e-7 of the strike. Where jumps dominate a tiny diffusion, or a heavy jump tail and
// rate carry the value past what the mesh resolves, the levels are not yet in that
// regime: the extrapolated error is then of the size of the difference itself (0.6 of it
// on a sweep of such models, up to the whole value), and the option is refused.
inline constexpr double max_level_gap = 1e-3;

// Where the levels differ by more than this (per unit strike), the option's first levels
// are still too coarse for it (a long life, a large variance or many jumps over it: the
// nodes per reach and the steps are fixed, the value's variation over a cell and a step is
// not), and the error left after extrapolation can pass 1e-6 K: 3e-6 K for Merton (sigma
// 0.6, lam 3) at T = 5, where the gap is 3e-4. Both levels are refined, mesh and steps
// together, up to max_refinements times. No stored reference row comes near it (2.2e-5).
inline constexpr double refine_gap = 1e-4;
inline constexpr std::size_t max_refinements = 2;
// After a refinement the extrapolated value has moved by about the coarser levels' error,
// and the new one's error is a seventh of that or less where the extrapolation holds (its
// error falls as h^3 or faster): a move over this (per unit strike) is not trusted, and the
// option is refined again or refused. Merton's model with twenty jumps of -0.5 a year over
// two years moved by 2e-5 and was still 9.7e-6 K off after one refinement.
inline constexpr double max_refined_move = 5e-6;

// The solution at the points on the coarser level of `levels` or (`fine`) the finer one.
template <class Model>
Status solve_level(const Model& model, const Option& o, const Levels<Model>& levels, bool fine, Stop stop, Points at,
                   Local* out, Trace* trace = nullptr, double shift = 0.0) {
    return fine ? solve_on(model, o, refined(levels.coarse), levels.fine_jumps, 2 * levels.steps, stop, at, out, trace,
                           shift)
                : solve_on(model, o, levels.coarse, levels.coarse_jumps, levels.steps, stop, at, out, trace, shift);
}

// Richardson's values from the levels' solutions at `count` points, into `out`, and the
// largest difference between the levels into `gap`.
inline Status combined(const Local* coarse, const Local* fine, std::size_t count, Local* out, double& gap) {
    gap = 0.0;
    for (std::size_t k = 0; k < count; ++k) {
        const double difference = std::abs(fine[k].u - coarse[k].u);
        gap = difference > gap || std::isnan(difference) ? difference : gap;
        out[k] = richardson(coarse[k], fine[k]);
        out[k].edge_exercised = coarse[k].edge_exercised && fine[k].edge_exercised;
    }
    return gap <= max_level_gap ? Status::ok : Status::unresolved;
}

// The extrapolated values at the option's spot on given levels (the Greeks' bumps); `model`
// has their jump law.
template <class Model>
Status extrapolated(const Model& model, const Option& o, const Levels<Model>& levels, Stop stop, Local& out,
                    double shift) {
    const double x = market::log_ratio(o.S, o.K);
    Local coarse, fine;
    Status status = solve_level(model, o, levels, false, stop, {&x, 1}, &coarse, nullptr, shift);
    if (status == Status::ok) status = solve_level(model, o, levels, true, stop, {&x, 1}, &fine, nullptr, shift);
    double gap = 0.0;
    return status == Status::ok ? combined(&coarse, &fine, 1, &out, gap) : status;
}

// The extrapolated values at the points on the levels from `mesh` on, refined while their
// gap passes refine_gap or (after a refinement) their extrapolated values move by more
// than max_refined_move; the exercise boundary of the last finer solve if asked. The k-th
// pair's coarser level takes time_steps << k steps, or the option's first_steps if more:
// those already hold the time error where it falls like dt^2, and a refinement of the mesh
// then keeps them rather than doubling them again (a small diffusion against a large
// drift, the options that need both, would pay for both). Where the steps double, the
// last finer solve is the next coarser one and carries over. `levels` keeps the last, for
// solves that follow on the same levels (the Greeks' bumps).
template <class Model>
Status settled(const Model& model, const Option& o, const Mesh& mesh, Points at, Stop stop,
               std::unique_ptr<Levels<Model>>& levels, Local* out, Trace* trace = nullptr) {
    const std::size_t least = first_steps(coefficients(model, o.r, o.q), smoothing_variance(model, o), o.T);
    levels = std::make_unique<Levels<Model>>(model, mesh, least);
    std::vector<Local> coarse(at.count), fine(at.count);
    std::vector<double> before;
    std::size_t carried = 0;  // the steps of the finer solve that `coarse` holds (0: none)
    for (std::size_t level = 0;; ++level) {
        Status status =
            carried == levels->steps ? Status::ok : solve_level(model, o, *levels, false, stop, at, coarse.data());
        if (trace != nullptr) *trace = Trace{};
        if (status == Status::ok) status = solve_level(model, o, *levels, true, stop, at, fine.data(), trace);
        if (status != Status::ok) return status;
        double gap = 0.0;
        status = combined(coarse.data(), fine.data(), at.count, out, gap);
        bool still = false;
        for (std::size_t k = 0; k < before.size(); ++k) still |= !(std::abs(out[k].u - before[k]) <= max_refined_move);
        if (!still && !(gap > refine_gap)) return status;
        if (level == max_refinements || 2 * levels->coarse.nodes - 1 > max_nodes)
            return still ? Status::unresolved : status;
        before.resize(at.count);
        for (std::size_t k = 0; k < at.count; ++k) before[k] = out[k].u;
        coarse.swap(fine);
        carried = 2 * levels->steps;
        levels = std::make_unique<Levels<Model>>(model, std::move(*levels), std::max(least, time_steps << (level + 1)));
    }
}

// The price: K u, never below the exercise value where exercise is allowed now.
inline double price_from(const Local& l, const Option& o) {
    double value = o.K * l.u;
    const bool now = o.product.exercise == Exercise::american;
    if (now) value = std::max(value, o.K * payoff(o.product.call(), market::log_ratio(o.S, o.K)));
    // The knock-out paying negative cash that prices a knock-in may be worth less than
    // nothing; every other contract here is worth at least nothing.
    return o.product.barrier.cash < 0.0 ? value : std::max(value, 0.0);
}

// The mesh for the points: the short one where the option is exercised deep in the money
// and stays exercised at the short mesh's end (checked by solving on its coarser level),
// else the full one. The solve also places today's exercise boundary, which then sits on a
// node of both levels: its place within a cell sets the error of the values within a few
// cells of it, which would otherwise differ erratically between the levels and defeat the
// extrapolation for a spot close to the boundary. node_limit: no mesh fits within max_nodes.
template <class Model>
Status choose_mesh(const Model& model, const Option& o, Points at, Stop stop, Mesh& mesh) {
    mesh = mesh_for(model, o, at);
    const Mesh near = exercised_deep(o) ? mesh_for(model, o, at, true) : Mesh{0.0, 0.0, 0, 0};
    if (near.nodes > 0 && near.nodes < mesh.nodes) {
        Solution probe;
        const Status status =
            march_on(model, o, near, IntegralOf<Model>(model.jumps(), near), time_steps, stop, probe);
        if (status != Status::ok) return status;
        const double boundary = exercise_boundary(near, probe, o.product.call());
        mesh = mesh_for(model, o, at, probe.edge_exercised, boundary);
    }
    return mesh.nodes == 0 ? Status::node_limit : Status::ok;
}

template <class Model>
Status choose_mesh(const Model& model, const Option& o, Stop stop, Mesh& mesh) {
    const double x = market::log_ratio(o.S, o.K);
    return choose_mesh(model, o, {&x, 1}, stop, mesh);
}

// The prices of `count` options that differ in S and K alone, from one solution: a strike
// chain of one maturity.
template <class Model>
Status price_chain(const Model& model, const Option* options, std::size_t count, Stop stop, double* out) {
    std::vector<double> x(count);
    for (std::size_t k = 0; k < count; ++k) x[k] = market::log_ratio(options[k].S, options[k].K);
    std::vector<Local> l(count);
    Mesh mesh;
    Status status = choose_mesh(model, options[0], {x.data(), count}, stop, mesh);
    std::unique_ptr<Levels<Model>> levels;
    if (status == Status::ok)
        status = settled(model, options[0], mesh, {x.data(), count}, stop, levels, l.data());
    for (std::size_t k = 0; k < count; ++k) out[k] = status == Status::ok ? price_from(l[k], options[k]) : std::nan("");
    return status;
}

template <class Model>
Status price(const Model& model, const Option& o, Stop stop, double& out) {
    return price_chain(model, &o, 1, stop, &out);
}

template <class Model>
Model with_sigma(Model model, double sigma) {
    model.exponent.sigma = sigma;
    return model;
}

// Steps of the central differences, relative (sigma, T) or absolute with a floor of one
// (r, q). Two errors pull opposite ways: the truncation, step^2 / 6 of a third derivative
// over the first (1.4e-5 of an American rho at 1e-3), and the part of the grid's error
// that does not cancel between the two solves: with early exercise the extrapolated value
// moves irregularly, by 3e-9 to 6e-8 K rms on the stored rows as r changes, while the bump
// carries the exercise boundary across nodes, and the difference divides that by the step.
// sigma's third derivative is small (vega's truncation at 4e-3 is below 6e-6 on those
// rows), so its step is four times larger: the worst vega there went from 9e-5 to 2e-5.
inline constexpr double bump = 1e-3, sigma_bump = 4e-3;

// The price and twelve Greeks in the order of greek::Index.
template <class Model>
Status greeks(const Model& model, const Option& o, Stop stop, double* out) {
    Mesh mesh;
    Status status = choose_mesh(model, o, stop, mesh);
    if (status != Status::ok) {
        std::fill(out, out + greek::count, std::nan(""));
        return status;
    }
    // Every bump below keeps the jump law and the levels the price settled on.
    std::unique_ptr<Levels<Model>> settled_levels;
    Local base, up, down;
    const double x = market::log_ratio(o.S, o.K);
    status = settled(model, o, mesh, {&x, 1}, stop, settled_levels, &base);
    const Levels<Model>& levels = *settled_levels;
    const double K = o.K, S = o.S;
    const auto delta = [&](const Local& l) { return K * l.ux / S; };
    const auto gamma = [&](const Local& l) { return K * (l.uxx - l.ux) / (S * S); };
    const auto pair = [&](const Model& m_up, const Option& o_up, const Model& m_down, const Option& o_down,
                          double shift = 0.0) {
        if (status == Status::ok) status = extrapolated(m_up, o_up, levels, stop, up, shift);
        if (status == Status::ok) status = extrapolated(m_down, o_down, levels, stop, down, -shift);
    };
    out[greek::price] = price_from(base, o);
    out[greek::delta] = delta(base);
    out[greek::gamma] = gamma(base);
    out[greek::speed] = K * (base.uxxx - 3.0 * base.uxx + 2.0 * base.ux) / (S * S * S);
    out[greek::theta] = -K * base.ut;

    const double sigma = std::sqrt(model.diffusion_variance()), ds = sigma_bump * sigma;
    pair(with_sigma(model, sigma + ds), o, with_sigma(model, sigma - ds), o);
    out[greek::vega] = K * (up.u - down.u) / (2.0 * ds);
    out[greek::vomma] = K * (up.u - 2.0 * base.u + down.u) / (ds * ds);
    out[greek::vanna] = (delta(up) - delta(down)) / (2.0 * ds);
    out[greek::zomma] = (gamma(up) - gamma(down)) / (2.0 * ds);

    const double dr = bump * std::max(1.0, std::abs(o.r));
    Option o_up = o, o_down = o;
    o_up.r += dr;
    o_down.r -= dr;
    pair(model, o_up, model, o_down);
    out[greek::rho] = K * (up.u - down.u) / (2.0 * dr);

    const double dq = bump * std::max(1.0, std::abs(o.q));
    o_up = o_down = o;
    o_up.q += dq;
    o_down.q -= dq;
    pair(model, o_up, model, o_down);
    out[greek::epsilon] = K * (up.u - down.u) / (2.0 * dq);

    const double dT = bump * o.T;
    o_up = o_down = o;
    o_up.T += dT;
    o_down.T -= dT;
    pair(model, o_up, model, o_down, dT);
    out[greek::charm] = -(delta(up) - delta(down)) / (2.0 * dT);
    out[greek::colour] = -(gamma(up) - gamma(down)) / (2.0 * dT);

    if (status != Status::ok) std::fill(out, out + greek::count, std::nan(""));
    return status;
}

// The exercise boundary of an American option (strike o.K, spot ignored) on the finer mesh:
// times to expiry and boundary spots.
template <class Model>
Status boundary(const Model& model, Option o, Stop stop, Trace& trace) {
    o.S = o.K;
    const double x = 0.0;
    Local l;
    Mesh mesh;
    Status status = choose_mesh(model, o, stop, mesh);
    std::unique_ptr<Levels<Model>> levels;
    if (status == Status::ok) status = settled(model, o, mesh, {&x, 1}, stop, levels, &l, &trace);
    for (double& x : trace.x) x = o.K * std::exp(x);
    return status;
}

}  // namespace tarnwick::grid
