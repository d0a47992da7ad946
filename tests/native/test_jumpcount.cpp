// The laws behind the jump-count closed forms: tails of a normal plus a sum of exponential
// jumps against high-precision quadrature (mpmath, 60 digits, over the gamma variable), from
// a diffusion of 1e-12 to one of 2 and with jumps of rate 0.01 to 1000; and the two ways of
// taking the strike derivatives of their prices against each other.

#include <cmath>
#include <cstdio>
#include <vector>

#include "jumpcount/gauss_gamma.hpp"
#include "jumpcount/kou.hpp"

namespace {

using namespace tarnwick;

int failures = 0;

void expect_relative(double got, double want, double tolerance, const char* what, int index) {
    const double error = std::abs(got - want) / std::abs(want);
    if (error <= tolerance) return;
    ++failures;
    std::printf("FAILED %s [%d]: got %.17g want %.17g (relative error %.2e)\n", what, index, got, want, error);
}

struct TailCase {
    double eta, s, x;
    int order;
    double upper, lower;  // P(G + Gamma_order > x), P(G + Gamma_order <= x)
};

// Both tails keep their relative accuracy, the small one included (2.9e-37 below).
void tails_match_quadrature() {
    const TailCase cases[] = {
        {200, 1e-08, 0.01, 3, 0.6766764161830634482, 0.3233235838169365518},
        {200, 1e-08, -1e-07, 2, 1.0, 2.905854271841495002e-37},
        {1.001, 0.001, 3.0, 4, 0.64655976380728629836, 0.35344023619271370164},
        {0.01, 0.0001, 50.0, 2, 0.90979598956879849958, 0.090204010431201500416},
        {50, 0.02, -0.05, 5, 0.99999626642677662144, 3.7335732233785619968e-6},
        {10, 0.3, 0.0, 8, 0.97991973285186543155, 0.02008026714813456845},
        {3, 2.0, 1.0, 6, 0.6765878690819932315, 0.3234121309180067685},
        {1000, 1e-05, 0.002, 4, 0.85711894937883261452, 0.14288105062116738548},
        {7, 1e-12, 0.5, 5, 0.72544495330960460762, 0.27455504669039539238},
    };
    int index = 0;
    for (const TailCase& c : cases) {
        std::vector<double> upper(c.order + 1), lower(c.order + 1);
        jumpcount::gauss_gamma_tails(c.eta, c.s, c.x, c.order, upper.data(), lower.data());
        expect_relative(upper[c.order], c.upper, 2e-14, "upper tail", index);
        expect_relative(lower[c.order], c.lower, 2e-14, "lower tail", index);
        ++index;
    }
}

// The Greeks of the closed forms take the k-derivatives of the counts' prices from their
// tails and densities; jet arithmetic through the price formula (its two legs) is an
// independent route to the same numbers where the diffusion is not so small that the legs
// cancel.
void strike_derivatives_agree() {
    using Jet = taylor::Jet<1, 4>;
    int index = 0;
    for (double s : {0.3, 0.05})
        for (double k : {-0.2, 0.0, 0.05, 0.4})
            for (bool call : {true, false}) {
                const double weight[] = {0.6, 0.25, 0.1, 0.04};
                const jumpcount::KouCounts<double, double> counts{-0.02, s, 0.35, 8.0, 4.0};
                double derivatives[4];
                jumpcount::kou_counts_k_derivatives(counts, k, call, weight, 4, 4, derivatives);
                const jumpcount::KouCounts<Jet, double> on_jets{Jet(-0.02), Jet(s), 0.35, 8.0, 4.0};
                const Jet price = jumpcount::kou_counts_price(on_jets, Jet::variable(k, 0), call, weight, 4);
                for (int o = 1; o <= 4; ++o) {
                    const double want = price.derivative({o});
                    if (std::abs(derivatives[o - 1] - want) > 1e-10 * (1.0 + std::abs(want))) {
                        ++failures;
                        std::printf("FAILED k-derivative [%d] order %d: %.17g vs %.17g\n", index, o,
                                    derivatives[o - 1], want);
                    }
                }
                ++index;
            }
}

}  // namespace

int main() {
    tails_match_quadrature();
    strike_derivatives_agree();
    if (failures) std::printf("%d failures\n", failures);
    return failures ? 1 : 0;
}
