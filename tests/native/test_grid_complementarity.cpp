// The complementarity problem of one implicit step with early exercise: the solution meets
// A v >= b, v >= g and (A v - b)_i (v - g)_i = 0 on every inner row, whether the exercise
// set is one interval at the lower end (a put's) or the upper end (a call's), which the
// one-sided sweep solves by itself, or in the middle of the mesh, where the sweep from
// either end must see that it does not apply and policy iteration answers.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "grid/complementarity.hpp"

namespace {

using namespace tarnwick::grid;

int failures = 0;

// I - w L for Black-Scholes' generator in x on a uniform mesh over [-1, 1], ends fixed.
Tridiagonal implicit_step(std::size_t n, double sigma, double r, double q, double w) {
    const double h = 2.0 / static_cast<double>(n - 1), a = 0.5 * sigma * sigma / (h * h);
    const double b = (r - q - 0.5 * sigma * sigma) / (2.0 * h);
    Tridiagonal m{std::vector<double>(n), std::vector<double>(n, 1.0), std::vector<double>(n)};
    for (std::size_t i = 1; i + 1 < n; ++i) {
        m.lower[i] = -w * (a - b);
        m.diagonal[i] = 1.0 + w * (2.0 * a + r);
        m.upper[i] = -w * (a + b);
    }
    return m;
}

// One problem: the payoff g(x), the right-hand side b = scale * g, the side the exercise
// set is expected at (0 lower, 1 upper, 2 neither).
template <class Payoff>
void check(const char* name, double r, double q, double scale, int side, Payoff payoff) {
    const std::size_t n = 201;
    const Tridiagonal a = implicit_step(n, 0.3, r, q, 0.05);
    std::vector<double> g(n), b(n), v(n), scratch(n);
    std::vector<char> active(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = payoff(-1.0 + 2.0 * static_cast<double>(i) / static_cast<double>(n - 1));
        b[i] = scale * g[i];
    }
    b[0] = g[0];
    b[n - 1] = g[n - 1];
    using complementarity_detail::one_sided;
    const bool swept = side == 1 ? one_sided<true, true>(a, b.data(), g.data(), active, v.data(), scratch.data())
                                 : one_sided<false, true>(a, b.data(), g.data(), active, v.data(), scratch.data());
    const bool either = one_sided<true, true>(a, b.data(), g.data(), active, v.data(), scratch.data()) ||
                        one_sided<false, true>(a, b.data(), g.data(), active, v.data(), scratch.data());
    const bool solved = solve_complementarity(a, b.data(), g.data(), true, side == 1, active, v.data(), scratch) &&
                        swept == (side < 2) && either == (side < 2);
    double worst = 0.0;
    std::size_t exercised = 0, first = n, last = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        const double residual = a.lower[i] * v[i - 1] + a.diagonal[i] * v[i] + a.upper[i] * v[i + 1] - b[i];
        worst = std::max({worst, -residual, g[i] - v[i], std::min(std::abs(residual), std::abs(v[i] - g[i]))});
        if (active[i]) exercised += 1, first = std::min(first, i), last = i;
    }
    const bool placed = exercised > 0 && last - first + 1 == exercised &&
                        (side == 0 ? first == 1 : side == 1 ? last == n - 2 : first > 1 && last < n - 2);
    if (!solved || !(worst <= 1e-13) || !placed) {
        ++failures;
        std::printf("FAILED %s: solved %d, worst violation %.3g, exercised %zu..%zu\n", name, solved, worst, first, last);
    }
}

}  // namespace

int main() {
    check("put", 0.05, 0.0, 1.0, 0, [](double x) { return std::max(-std::expm1(x), 0.0); });
    check("call", 0.01, 0.08, 1.0, 1, [](double x) { return std::max(std::expm1(x), 0.0); });
    check("middle", 0.05, 0.0, 0.5, 2, [](double x) { return std::max(0.5 - std::abs(x), 0.0); });
    std::printf("%d failures\n", failures);
    return failures == 0 ? 0 : 1;
}
