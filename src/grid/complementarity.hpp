#pragma once

// The linear complementarity problem of one implicit time step with early exercise,
//   A v >= b,  v >= g,  (A v - b)_i (v - g)_i = 0,
// for a tridiagonal M-matrix A. Where the exercise set is one interval at an end of the
// mesh (a put's at the lower end, a call's at the upper: the value less the payoff grows
// away from the boundary), Brennan and Schwartz's sweep solves it exactly in one pass:
// Gaussian elimination from the other end, then back-substitution towards the exercise end
// that takes the payoff wherever the held value would fall below it (Jaillet, Lamberton and
// Lapeyre). The sweep's result is checked for that shape, and where the check fails policy
// iteration takes over: each pass fixes the set of nodes where v = g (exercise), solves
// the tridiagonal system with those rows replaced by v_i = g_i, and moves a node into the
// set where v would fall below g and out of it where the continuation row A v - b would be
// negative. For an M-matrix the passes end after at most n, in practice one or two when
// the sweep's set starts them. Without a constraint (European exercise, or between
// Bermudan dates) one solve of the system does.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarnwick::grid {

// The rounding of a value per unit strike: relative where it is over 1. A call's values
// grow like e^x towards the mesh's upper end (e^20 under a heavy upward jump tail), where
// an absolute bound would be below their last bit and nodes would flip on rounding alone.
inline constexpr double rounding = 1e-14;
inline double rounding_of(double value) { return rounding * std::max(1.0, std::fabs(value)); }

// Policy iteration's passes before the step is given up: it settles in one or two from the
// sweep's set, and at most n passes of O(n) each would take hours on a fine mesh.
inline constexpr std::size_t max_policy_passes = 100;

// Row i: lower[i] v[i-1] + diagonal[i] v[i] + upper[i] v[i+1] = rhs[i]; the first and last
// rows are the boundary's (diagonal 1). The inner rows are `scale` times the size of the
// values (a row divided by a time step has scale 1 / step): their rounding is scale times
// the values'.
struct Tridiagonal {
    std::vector<double> lower, diagonal, upper;
    double scale = 1.0;
};

// One row of an elimination: the coefficient of the node eliminated before it (behind), its
// own, that of the next node (ahead), and its right-hand side.
struct Row {
    double behind, diagonal, ahead, rhs;
};

// Gaussian elimination over the nodes at(0), at(1), ... at(n - 1) (at: an index map, the
// sweep's order), row(i) giving row i: row at(k) becomes v[at(k)] + c[at(k)] v[at(k + 1)]
// = (its right-hand side, kept in v).
//
// The textbook recurrence c_k = ahead_k / (diagonal_k - behind_k c_{k-1}) puts a division
// on the chain from each row to the next (about 26 cycles a row, the whole cost of a
// sweep). Here c_k = p_k / q_k and v_k = s_k / q_k with
//   q_k = diagonal_k q_{k-1} - behind_k p_{k-1},  p_k = ahead_k q_{k-1},
//   s_k = rhs_k q_{k-1} - behind_k s_{k-1},
// the same quotients with the common factor q_{k-1} multiplied through: the chain is a
// product and a difference (8 cycles), and the divisions hang off it. q grows by the
// diagonal's dominance, ~1e8 a row on the finest steps of ordinary options but 1e300 with
// a life of 1e-300 years, so the recurrence starts again from the quotients (q = 1)
// wherever q leaves [1e-100, 1e100]: with a row's growth itself a finite double, nothing
// overflows or underflows.
template <class At, class RowOf>
void eliminate(std::size_t n, At at, RowOf row, double* v, double* c) {
    constexpr double large = 1e100, small = 1e-100;
    double p = 0.0, q = 1.0, s = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = at(k);
        const Row r = row(i);
        const double q_next = r.diagonal * q - r.behind * p;
        s = r.rhs * q - r.behind * s;
        p = r.ahead * q;
        q = q_next;
        const double inverse = 1.0 / q;
        c[i] = p * inverse;
        v[i] = s * inverse;
        if (!(std::fabs(q) < large && std::fabs(q) > small)) {
            p = c[i];
            s = v[i];
            q = 1.0;
        }
    }
}

// Thomas' algorithm over rows where `active` rows are v_i = g_i (a pass of policy
// iteration); `scratch` has n entries.
inline void solve_fixed(const Tridiagonal& a, const double* rhs, const double* g, const std::vector<char>& active,
                        double* v, std::vector<double>& scratch) {
    const std::size_t n = a.diagonal.size();
    double* c = scratch.data();
    eliminate(
        n, [](std::size_t k) { return k; },
        [&](std::size_t i) {
            return active[i] ? Row{0.0, 1.0, 0.0, g[i]} : Row{a.lower[i], a.diagonal[i], a.upper[i], rhs[i]};
        },
        v, c);
    double next = v[n - 1];
    for (std::size_t i = n - 1; i-- > 0;) v[i] = next = v[i] - c[i] * next;
}

// Row i of A v - b, an inner row.
inline double continuation(const Tridiagonal& a, const double* rhs, const double* v, std::size_t i) {
    return a.lower[i] * v[i - 1] + a.diagonal[i] * v[i] + a.upper[i] * v[i + 1] - rhs[i];
}

namespace complementarity_detail {

// The sweep with the exercise set at the upper end (Top) or the lower, if Constrained;
// `c` has n entries.
// Nodes are visited in the elimination's order k = 0 .. n - 1, from the far end to the
// exercise end; `behind` couples a row to the node eliminated before it, `ahead` to the
// next. Returns whether the result has the one-interval shape, and so solves the problem:
// no exercised node past a held one (counted from the exercise end), and no exercised row
// whose continuation A v - b is negative. The rows beyond the set hold with equality by
// construction, the held nodes have v >= g and the last exercised row A v - b > 0.
// Unconstrained, it is Thomas' algorithm and always succeeds.
template <bool Top, bool Constrained>
bool one_sided(const Tridiagonal& a, const double* rhs, const double* g, std::vector<char>& active, double* v,
               double* c) {
    const std::size_t n = a.diagonal.size();
    const auto at = [n](std::size_t k) { return Top ? k : n - 1 - k; };
    const double* behind = Top ? a.lower.data() : a.upper.data();
    const double* ahead = Top ? a.upper.data() : a.lower.data();
    eliminate(
        n, at, [&](std::size_t i) { return Row{behind[i], a.diagonal[i], ahead[i], rhs[i]}; }, v, c);
    // Back-substitution, k the first node (in the sweep's order) whose value is final: the
    // end rows are the far field's (no coupling beyond them), so v[at(n - 1)] is. From the
    // exercise end, nodes are exercised while the held value falls below the payoff; past
    // the first held node a fall below it beyond rounding breaks the shape (nodes where both
    // are zero would otherwise flip on rounding).
    // The value just found is carried in `next` rather than read back from v: a store to
    // `active` (a char, which may alias anything) would make the compiler reload it, and
    // the reload would sit on the chain from node to node.
    char* exercise = active.data();
    std::size_t k = n - 1;
    exercise[at(k)] = 0;
    double next = v[at(k)];
    while (Constrained && k > 1) {
        const std::size_t i = at(k - 1);
        const double candidate = v[i] - c[i] * next;
        if (!(candidate < g[i])) break;
        exercise[i] = 1;
        v[i] = next = g[i];
        --k;
    }
    const std::size_t exercised = n - 1 - k;
    bool broken = false;
    // Two nodes a step: v_j = (v_j - c_j v_i) + c_j c_i next puts one product and one sum
    // on the chain per pair, v_i = v_i - c_i next beside it.
    for (; k >= 2; k -= 2) {
        const std::size_t i = at(k - 1), j = at(k - 2);
        const double first = v[i] - c[i] * next;
        next = (v[j] - c[j] * v[i]) + (c[j] * c[i]) * next;
        v[i] = first;
        v[j] = next;
        exercise[i] = exercise[j] = 0;
        // The rounding bounds only where a value falls below the payoff at all (rare).
        if (Constrained && (first < g[i] || next < g[j]))
            broken |= first - g[i] < -rounding_of(first) || (k > 2 && next - g[j] < -rounding_of(next));
    }
    if (k == 1) {
        const std::size_t i = at(0);
        v[i] -= c[i] * next;
        exercise[i] = 0;
    }
    if (broken) return false;
    for (k = n - 1 - exercised; k + 1 < n; ++k) {
        const std::size_t i = at(k);
        const double residual = continuation(a, rhs, v, i);
        if (residual < -rounding_of(v[i]) * a.scale) return false;
    }
    return true;
}

}  // namespace complementarity_detail

// Solves the problem, the exercise set at the upper end (`top`, a call's) or the lower if
// it is one interval there, by policy iteration from `active` (updated to the solution's
// set) otherwise. Returns false if the passes did not settle within their bound.
inline bool solve_complementarity(const Tridiagonal& a, const double* rhs, const double* g, bool constrained,
                                  bool top, std::vector<char>& active, double* v, std::vector<double>& scratch) {
    using complementarity_detail::one_sided;
    // Unconstrained, the sweep is Thomas' algorithm, from the lower end either way.
    double* c = scratch.data();
    if (!constrained) return one_sided<true, false>(a, rhs, g, active, v, c);
    if (top ? one_sided<true, true>(a, rhs, g, active, v, c) : one_sided<false, true>(a, rhs, g, active, v, c))
        return true;
    const std::size_t n = a.diagonal.size();
    for (std::size_t pass = 0; pass < max_policy_passes; ++pass) {
        solve_fixed(a, rhs, g, active, v, scratch);
        bool changed = false;
        // The boundary rows stay the far field's.
        for (std::size_t i = 1; i + 1 < n; ++i) {
            const double residual = continuation(a, rhs, v, i);
            // A violation within rounding (of the values, or of the rows) moves
            // no node: nodes where both sides are zero would otherwise flip back and forth.
            const double tolerance = rounding_of(v[i]);
            const char exercise =
                active[i] ? (residual >= -tolerance * a.scale ? 1 : 0) : (v[i] - g[i] < -tolerance ? 1 : 0);
            if (exercise != active[i]) {
                active[i] = exercise;
                changed = true;
            }
        }
        if (!changed) return true;
    }
    return false;
}

}  // namespace tarnwick::grid
