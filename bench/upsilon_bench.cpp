// Time of one Upsilon evaluation, fast (tables, polynomial cost) against literal
// (plain recursion, exponential cost), for the two evaluations that the call price
// makes at S = K = 100, T = 0.5, r = 0.05, sigma = 0.16, lam = 1, p = 0.4, eta1 = 10,
// eta2 = 5. Prints median times; nothing passes or fails.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "dexpjump/upsilon.hpp"
#include "kou_literal.hpp"

namespace {

struct Args {
    const char* measure;
    double mu, sigma, lambda, p, eta1, eta2, a, T;
};

using Evaluator = double (*)(double, double, double, double, double, double, double, double, int);

volatile double sink;

// Seconds for `calls` evaluations. The arguments are read through volatile on every
// call so the compiler cannot hoist the evaluation out of the loop, and the sum is
// stored to a volatile so it cannot drop the work.
double batch_seconds(Evaluator upsilon, const Args& args, int n, long calls) {
    const volatile Args& opaque = args;
    double total = 0.0;
    const auto start = std::chrono::steady_clock::now();
    for (long call = 0; call < calls; ++call)
        total += upsilon(opaque.mu, opaque.sigma, opaque.lambda, opaque.p, opaque.eta1, opaque.eta2,
                         opaque.a, opaque.T, n);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    sink = total;
    return elapsed.count();
}

// Median over samples of the time per call; each sample is a batch of at least 2 ms so
// the clock's resolution does not matter, and each case gets about 0.8 s in all.
double median_seconds_per_call(Evaluator upsilon, const Args& args, int n) {
    long calls = 1;
    double seconds = batch_seconds(upsilon, args, n, calls);
    while (seconds < 2e-3) {
        calls *= 2;
        seconds = batch_seconds(upsilon, args, n, calls);
    }
    const int sample_count = std::clamp(static_cast<int>(0.8 / seconds), 5, 81);
    std::vector<double> per_call(sample_count);
    for (double& t : per_call) t = batch_seconds(upsilon, args, n, calls) / calls;
    std::nth_element(per_call.begin(), per_call.begin() + sample_count / 2, per_call.end());
    return per_call[sample_count / 2];
}

void print_duration(double seconds) {
    if (seconds < 1e-6) std::printf("%9.1f ns", seconds * 1e9);
    else if (seconds < 1e-3) std::printf("%9.2f us", seconds * 1e6);
    else if (seconds < 1.0) std::printf("%9.2f ms", seconds * 1e3);
    else std::printf("%9.3f s ", seconds);
}

// The call price's two Upsilon argument sets, formed exactly as the price forms them.
std::vector<Args> call_price_args() {
    const double S = 100, K = 100, T = 0.5, r = 0.05, sigma = 0.16, lam = 1, p = 0.4, eta1 = 10, eta2 = 5;
    const double zeta = ((1.0 - p) * eta2 / (eta2 + 1.0) + p * eta1 / (eta1 - 1.0)) - 1.0;
    const double a = std::log(K / S);
    const double h = 0.5 * sigma * sigma;
    const double c = lam * zeta;
    return {{"share measure", (r + h) - c, sigma, (zeta + 1.0) * lam,
             p / (zeta + 1.0) * (eta1 / (eta1 - 1.0)), eta1 - 1.0, eta2 + 1.0, a, T},
            {"risk-neutral", (r - h) - c, sigma, lam, p, eta1, eta2, a, T}};
}

}  // namespace

int main() {
    const int term_counts[] = {5, 10, 20, 25, 30, 50, 100, 170};
    const int literal_max_terms = 25;  // beyond this the literal evaluation takes seconds

    std::printf("Upsilon, median time of one evaluation (fast: tables; literal: plain recursion)\n");
    for (const Args& args : call_price_args()) {
        std::printf("\n%s: mu=%.6g sigma=%g lambda=%.6g p=%.6g eta1=%g eta2=%g a=%g T=%g\n",
                    args.measure, args.mu, args.sigma, args.lambda, args.p, args.eta1, args.eta2,
                    args.a, args.T);
        std::printf("%5s %12s %12s %10s  %s\n", "n", "fast", "literal", "speed-up", "Upsilon (fast)");
        for (int n : term_counts) {
            const double fast = median_seconds_per_call(dexpjump::Upsilon, args, n);
            const double value = dexpjump::Upsilon(args.mu, args.sigma, args.lambda, args.p, args.eta1,
                                                   args.eta2, args.a, args.T, n);
            std::printf("%5d ", n);
            print_duration(fast);
            if (n <= literal_max_terms) {
                const double literal = median_seconds_per_call(kou_literal::Upsilon, args, n);
                std::printf(" ");
                print_duration(literal);
                std::printf(" %9.0fx", literal / fast);
            } else {
                std::printf(" %12s %10s", "-", "-");
            }
            std::printf("  %.17g\n", value);
        }
    }
    return 0;
}
