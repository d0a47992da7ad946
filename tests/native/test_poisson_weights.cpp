// Poisson weights without power or factorial, against long-double lgamma; the windows
// that the accurate paths sum hold all the probability; the tail bound bounds.

#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "common/poisson.hpp"

namespace {

int checks = 0;
int failures = 0;

void expect(bool ok, const char* what, double i, double mu, double got) {
    ++checks;
    if (!ok && ++failures <= 30) std::printf("FAILED: %s (i %g, mu %g): %.17g\n", what, i, mu, got);
}

// e^-mu mu^i / i! in long double: 64-bit significands keep the log form's cancellation
// (terms up to 1e5) to about 1e-14 relative.
double reference(double i, double mu) {
    const long double li = i, lmu = mu;
    return double(std::exp(-lmu + li * std::log(lmu) - std::lgamma(li + 1.0L)));
}

void weights_match_reference() {
    for (double mu : {1e-3, 0.5, 3.0, 30.0, 65.0, 170.0, 745.0, 1000.0, 1e4}) {
        const tarnwick::PoissonWindow w = tarnwick::poisson_window(mu);
        for (double i = w.lo; i <= w.hi; i += std::fmax(1.0, std::floor((w.hi - w.lo) / 40))) {
            const double got = tarnwick::poisson_weight(i, mu);
            const double want = reference(i, mu);
            if (want < 1e-300) continue;
            expect(std::fabs(got - want) <= 2e-13 * want, "weight relative error", i, mu, got);
        }
    }
}

void windows_hold_the_probability() {
    for (double mu : {0.0, 1e-3, 0.5, 3.0, 30.0, 170.0, 745.0, 1000.0, 1e4}) {
        const tarnwick::PoissonWindow w = tarnwick::poisson_window(mu);
        double sum = 0.0;
        for (double i = w.lo; i <= w.hi; i += 1.0) sum += tarnwick::poisson_weight(i, mu);
        expect(std::fabs(sum - 1.0) <= 1e-13, "window mass", w.hi, mu, sum);
        expect(tarnwick::poisson_weight(w.hi, mu) < 1e-20, "weight at the window's end", w.hi, mu,
               tarnwick::poisson_weight(w.hi, mu));
    }
}

void tail_bound_bounds() {
    for (double mu : {1.0, 30.0, 100.0, 160.0}) {
        double tail = 0.0;
        for (double i = 1000.0; i >= 171.0; i -= 1.0) tail += reference(i, mu);
        const double bound = tarnwick::poisson_tail_bound(171.0, mu);
        expect(bound >= tail * (1 - 1e-12), "tail bound at 171", 171.0, mu, bound);
        expect(bound <= 10 * tail + 1e-300, "tail bound tight", 171.0, mu, bound);
    }
}

}  // namespace

int main() {
    weights_match_reference();
    windows_hold_the_probability();
    tail_bound_bounds();
    std::printf("test_poisson_weights: %d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
