#pragma once

// The linear complementarity problem of one implicit time step with early exercise,
//   A v >= b,  v >= g,  (A v - b)_i (v - g)_i = 0,
// for a tridiagonal M-matrix A, by policy iteration: each pass fixes the set of nodes where
// v = g (exercise), solves the tridiagonal system with those rows replaced by v_i = g_i,
// and moves a node into the set where v would fall below g and out of it where the
// continuation row A v - b would be negative. For an M-matrix the passes end after
// finitely many, in practice one or two when the set from the previous step starts them.
// Without a constraint (European exercise, or between Bermudan dates) one pass solves
// the system.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace tarnwick::grid {

// Row i: lower[i] v[i-1] + diagonal[i] v[i] + upper[i] v[i+1] = rhs[i]; the first and last
// rows are the boundary's (diagonal 1).
struct Tridiagonal {
    std::vector<double> lower, diagonal, upper;
};

// Thomas' algorithm over rows where `active` rows are v_i = g_i; `scratch` has n entries.
inline void solve_fixed(const Tridiagonal& a, const double* rhs, const double* g, const std::vector<char>& active,
                        double* v, std::vector<double>& scratch) {
    const std::size_t n = a.diagonal.size();
    double* c = scratch.data();
    // Forward elimination: c[i] the modified upper coefficient, v[i] the modified rhs.
    double diagonal = active[0] ? 1.0 : a.diagonal[0];
    c[0] = active[0] ? 0.0 : a.upper[0] / diagonal;
    v[0] = (active[0] ? g[0] : rhs[0]) / diagonal;
    for (std::size_t i = 1; i < n; ++i) {
        const double lower = active[i] ? 0.0 : a.lower[i];
        const double upper = active[i] ? 0.0 : a.upper[i];
        const double inverse = 1.0 / ((active[i] ? 1.0 : a.diagonal[i]) - lower * c[i - 1]);
        c[i] = upper * inverse;
        v[i] = ((active[i] ? g[i] : rhs[i]) - lower * v[i - 1]) * inverse;
    }
    for (std::size_t i = n - 1; i-- > 0;) v[i] -= c[i] * v[i + 1];
}

inline constexpr double rounding = 1e-14;

// Solves the problem with the exercise set `active` as the first guess (updated to the
// solution's set). Returns false if the passes did not settle within their bound.
inline bool solve_complementarity(const Tridiagonal& a, const double* rhs, const double* g, bool constrained,
                                  std::vector<char>& active, double* v, std::vector<double>& scratch) {
    const std::size_t n = a.diagonal.size();
    if (!constrained) {
        std::fill(active.begin(), active.end(), 0);
        solve_fixed(a, rhs, g, active, v, scratch);
        return true;
    }
    for (std::size_t pass = 0; pass <= n; ++pass) {
        solve_fixed(a, rhs, g, active, v, scratch);
        bool changed = false;
        // The boundary rows stay the far field's.
        for (std::size_t i = 1; i + 1 < n; ++i) {
            const double residual = a.lower[i] * v[i - 1] + a.diagonal[i] * v[i] + a.upper[i] * v[i + 1] - rhs[i];
            // A violation within rounding (the values are per unit strike, of order 1) moves
            // no node: nodes where both sides are zero would otherwise flip back and forth.
            const char exercise = active[i] ? (residual >= -rounding ? 1 : 0) : (v[i] - g[i] < -rounding ? 1 : 0);
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
