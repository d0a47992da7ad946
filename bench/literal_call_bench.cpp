// Time of one Kou call price evaluated literally: the call's steps on top of
// kou_literal::Upsilon (plain recursion, nothing cached, exponential cost in n), at
// S = K = 100, T = 0.5, r = 0.05, sigma = 0.16, lam = 1, p = 0.4, eta1 = 10, eta2 = 5.
// This is the baseline that bench/bench.py sets against the fast price called from Python.
//
// Usage: literal_call_bench [n ...]   (default: 5 10 20 25)
//
// One line per term count, machine-readable key=value fields:
//   literal_call n=5 seconds_per_price=1.234e-05 samples=81 prices_per_sample=256 price=7.95...
// Nothing passes or fails.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kou_literal.hpp"

namespace {

struct Market {
    double T, K, S, r, sigma, lam, p, eta1, eta2;
};

// The call price, step for step as the production call forms it, but with both
// probabilities from the literal Upsilon.
double literal_call_price(const Market& m, int n) {
    const double zeta = ((1.0 - m.p) * m.eta2 / (m.eta2 + 1.0) + m.p * m.eta1 / (m.eta1 - 1.0)) - 1.0;
    const double a = std::log(m.K / m.S);
    const double h = 0.5 * m.sigma * m.sigma;
    const double c = m.lam * zeta;
    const double mu1 = (m.r + h) - c;
    const double lambda1 = (zeta + 1.0) * m.lam;
    const double p1 = m.p / (zeta + 1.0) * (m.eta1 / (m.eta1 - 1.0));
    const double upsilon1 =
        kou_literal::Upsilon(mu1, m.sigma, lambda1, p1, m.eta1 - 1.0, m.eta2 + 1.0, a, m.T, n);
    const double upsilon2 =
        kou_literal::Upsilon((m.r - h) - c, m.sigma, m.lam, m.p, m.eta1, m.eta2, a, m.T, n);
    return m.S * upsilon1 - upsilon2 * (m.K * std::exp(-m.r * m.T));
}

volatile double sink;

// Seconds for `prices` evaluations. The inputs are read through volatile on every
// evaluation so the compiler cannot hoist the price out of the loop, and the sum is
// stored to a volatile so it cannot drop the work.
double batch_seconds(const Market& market, int n, long prices) {
    const volatile Market& opaque = market;
    double total = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < prices; ++i) {
        const Market m{opaque.T,   opaque.K, opaque.S,    opaque.r,   opaque.sigma,
                       opaque.lam, opaque.p, opaque.eta1, opaque.eta2};
        total += literal_call_price(m, n);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    sink = total;
    return elapsed.count();
}

struct Timing {
    double seconds_per_price;
    int samples;
    long prices_per_sample;
};

// Median over samples of the time per price; each sample is a batch of at least 5 ms
// so the clock's resolution does not matter, at least 7 samples, and about 0.6 s per
// term count when a price is cheap enough.
Timing median_seconds_per_price(const Market& market, int n) {
    long prices = 1;
    double seconds = batch_seconds(market, n, prices);
    while (seconds < 5e-3) {
        prices *= 2;
        seconds = batch_seconds(market, n, prices);
    }
    const int sample_count = std::clamp(static_cast<int>(0.6 / seconds), 7, 51);
    std::vector<double> per_price(sample_count);
    for (double& t : per_price) t = batch_seconds(market, n, prices) / static_cast<double>(prices);
    std::nth_element(per_price.begin(), per_price.begin() + sample_count / 2, per_price.end());
    return {per_price[sample_count / 2], sample_count, prices};
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> term_counts;
    for (int i = 1; i < argc; ++i) term_counts.push_back(std::atoi(argv[i]));
    if (term_counts.empty()) term_counts = {5, 10, 20, 25};

    const Market market{0.5, 100.0, 100.0, 0.05, 0.16, 1.0, 0.4, 10.0, 5.0};
    for (int n : term_counts) {
        const Timing timing = median_seconds_per_price(market, n);
        std::printf("literal_call n=%d seconds_per_price=%.6e samples=%d prices_per_sample=%ld price=%.17g\n",
                    n, timing.seconds_per_price, timing.samples, timing.prices_per_sample,
                    literal_call_price(market, n));
        std::fflush(stdout);
    }
    return 0;
}
