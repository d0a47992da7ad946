// The model interface's grid and simulation parts tied to the characteristic function:
// the jump measure's moments are the cumulants of the log-MGF, and drawn increments have
// the log-MGF's moments; the normal and Poisson variates beneath them have their laws. The
// Fourier part is tested through the prices.

#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#include "charfun/black_scholes.hpp"
#include "charfun/kou.hpp"
#include "charfun/levy.hpp"
#include "charfun/merton.hpp"
#include "pricing/registry.hpp"
#include "random/poisson.hpp"
#include "random/stream.hpp"

namespace {

using namespace tarnwick;
using complex = std::complex<double>;

int checks = 0;
int failures = 0;

void expect(bool ok, const std::string& what) {
    ++checks;
    if (!ok && ++failures <= 40) std::printf("FAILED: %s\n", what.c_str());
}

// d^n L / dw^n at w = 0 for T = 1 by Cauchy's formula on a circle of radius rho inside the
// strip: the trapezoid rule on a circle converges geometrically for an analytic function.
template <class Model>
double cumulant(const Model& model, int n, double rho) {
    const int points = 256;
    double sum = 0.0, factorial = 1.0;
    for (int i = 2; i <= n; ++i) factorial *= i;
    for (int j = 0; j < points; ++j) {
        const complex z = std::polar(rho, 2.0 * M_PI * j / points);
        sum += (model.log_mgf(z, 1.0).value / std::pow(z, n)).real();
    }
    return factorial * sum / points;
}

// Cumulants 2..6 of X_1: the diffusion's variance in the second, the jump measure's moments.
template <class Model>
void cumulants_are_jump_moments(const Model& model, double rho, const char* name) {
    const auto jumps = model.jumps();
    for (int n = 2; n <= 6; ++n) {
        const double want = jumps.moment(n) + (n == 2 ? model.diffusion_variance() : 0.0);
        const double got = cumulant(model, n, rho);
        expect(std::abs(got - want) <= 1e-9 * std::abs(want) + 1e-12,
               std::string(name) + " cumulant " + std::to_string(n) + ": " + std::to_string(got) + " vs " +
                   std::to_string(want));
    }
    // The compensator is what makes E[e^X] = 1: kappa(1) = 0.
    expect(std::abs(model.log_mgf(1.0, 1.0).value) < 1e-14, std::string(name) + " L(1) = 0");
}

// Sample means of e^{w X_dt} for drawn increments against e^{L(w, dt)}, within five standard
// errors, for w inside the strip; the same stream index gives the same draws.
template <class Model>
void draws_have_the_log_mgf(const Model& model, double dt, const char* name) {
    const int samples = 200000;
    for (double w : {-1.0, 0.5, 1.0, 2.0}) {
        random::Stream stream(2026, 7);
        double sum = 0.0, squares = 0.0;
        for (int i = 0; i < samples; ++i) {
            const double y = std::exp(w * model.increment(dt, stream));
            sum += y;
            squares += y * y;
        }
        const double mean = sum / samples;
        const double error = std::sqrt((squares / samples - mean * mean) / samples);
        const double want = std::exp(model.log_mgf(w, dt).value.real());
        expect(std::abs(mean - want) <= 5.0 * error,
               std::string(name) + " E[e^(wX)] at w = " + std::to_string(w) + ": " + std::to_string(mean) + " vs " +
                   std::to_string(want));
    }
    random::Stream a(1, 3), b(1, 3), c(1, 4);
    const double x = model.increment(dt, a);
    expect(x == model.increment(dt, b) && x != model.increment(dt, c), std::string(name) + " reproducible streams");
}

// Draw counts in bins against their probabilities, each within five standard deviations of
// its binomial count: the bins split the ziggurat's paths (the rectangles, the wedges, the
// base layer's edge r = 3.4426 and the tail beyond it).
void normals_have_the_normal_law() {
    const double edges[] = {-4.0, -3.4426, -3.0, -2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0, 3.0, 3.4426, 4.0};
    constexpr int bins = sizeof(edges) / sizeof(edges[0]) + 1;
    const long samples = 20000000;
    long counts[bins] = {};
    random::Stream stream(11, 0);
    for (long i = 0; i < samples; ++i) {
        const double z = stream.normal();
        int bin = 0;
        while (bin < bins - 1 && z >= edges[bin]) ++bin;
        ++counts[bin];
    }
    const auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    for (int bin = 0; bin < bins; ++bin) {
        const double p = (bin < bins - 1 ? cdf(edges[bin]) : 1.0) - (bin > 0 ? cdf(edges[bin - 1]) : 0.0);
        const double want = samples * p;
        expect(std::abs(counts[bin] - want) <= 5.0 * std::sqrt(want * (1.0 - p)),
               "normal bin " + std::to_string(bin) + ": " + std::to_string(counts[bin]) + " vs " + std::to_string(want));
    }
}

// Poisson counts by inversion (mean below 10) and by rejection (from 10 on): the frequency of
// each count near the mean within five standard deviations.
void poisson_counts_have_the_poisson_law() {
    const long samples = 2000000;
    for (double mean : {0.02, 3.5, 30.0}) {
        const random::Poisson poisson(mean);
        random::Stream stream(5, 9);
        const long low = static_cast<long>(mean) > 2 ? static_cast<long>(mean) - 2 : 0;
        long counts[5] = {};
        for (long i = 0; i < samples; ++i) {
            const long k = poisson(stream) - low;
            if (k >= 0 && k < 5) ++counts[k];
        }
        for (long k = 0; k < 5; ++k) {
            const double n = static_cast<double>(low + k);
            const double p = std::exp(n * std::log(mean) - mean - std::lgamma(n + 1.0));
            const double want = samples * p;
            expect(std::abs(counts[k] - want) <= 5.0 * std::sqrt(want * (1.0 - p)) + 1.0,
                   "poisson(" + std::to_string(mean) + ") count " + std::to_string(low + k) + ": " +
                       std::to_string(counts[k]) + " vs " + std::to_string(want));
        }
    }
}

}  // namespace

int main() {
    const charfun::Levy<charfun::Kou> kou{{0.2, 3.0, 0.4, 8.0, 5.0}};
    const charfun::Levy<charfun::Merton> merton{{0.15, 2.0, -0.1, 0.25}};
    const charfun::Levy<charfun::BlackScholes> black_scholes{{0.3}};
    cumulants_are_jump_moments(kou, 2.0, "kou");
    cumulants_are_jump_moments(merton, 1.0, "merton");
    cumulants_are_jump_moments(black_scholes, 1.0, "black-scholes");
    draws_have_the_log_mgf(kou, 0.5, "kou");
    draws_have_the_log_mgf(merton, 0.5, "merton");
    draws_have_the_log_mgf(black_scholes, 0.5, "black-scholes");
    normals_have_the_normal_law();
    poisson_counts_have_the_poisson_law();
    // The registry's codes are the pricing API's: 0 Black-Scholes, 1 Kou, 2 Merton.
    expect(std::string(pricing::Registered::names[0]) == "black_scholes" &&
               std::string(pricing::Registered::names[1]) == "kou" &&
               std::string(pricing::Registered::names[2]) == "merton" && pricing::parameter_count(1) == 5,
           "registry order");
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
