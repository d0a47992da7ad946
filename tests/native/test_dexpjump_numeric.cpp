// Numeric layer of dexpjump: reference values, and bit-for-bit agreement of the fast
// Hh, In and Upsilon with the literal evaluation in kou_literal.hpp.

#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

#include "dexpjump/upsilon.hpp"
#include "kou_literal.hpp"

namespace {

int checks = 0;
int failures = 0;

void expect(bool ok, const std::string& what) {
    ++checks;
    if (ok) return;
    if (++failures <= 30) std::printf("FAILED: %s\n", what.c_str());
}

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

// Equal bit patterns; any two NaNs agree (their payloads depend on operand order).
bool same_bits(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    std::uint64_t bx, by;
    std::memcpy(&bx, &x, sizeof bx);
    std::memcpy(&by, &y, sizeof by);
    return bx == by;
}

void expect_same(double fast, double literal, const std::string& call) {
    expect(same_bits(fast, literal), fmt("%s: fast %.17g, literal %.17g", call.c_str(), fast, literal));
}

// value agrees with the decimal reference to all of its digits (within half a unit of the last).
void expect_digits(double value, const char* reference, const std::string& call) {
    const char* point = std::strchr(reference, '.');
    const double half_unit = 0.5 * std::pow(10.0, -static_cast<double>(std::strlen(point + 1)));
    expect(std::fabs(value - std::strtod(reference, nullptr)) <= half_unit,
           fmt("%s = %.12g, expected %s", call.c_str(), value, reference));
}

std::mt19937_64 rng(20240611);
double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
int uniform_int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
const double nan = std::nan("");
const double inf = INFINITY;

struct Params {
    double mu, sigma, lambda, p, eta1, eta2, a, T;
};
const Params reference{0.03, 0.16, 1.0, 0.4, 10.0, 5.0, -0.05, 0.5};

double upsilon(const Params& u, int n) {
    return dexpjump::Upsilon(u.mu, u.sigma, u.lambda, u.p, u.eta1, u.eta2, u.a, u.T, n);
}

void expect_upsilon_matches_literal(const Params& u, int n) {
    const double literal = kou_literal::Upsilon(u.mu, u.sigma, u.lambda, u.p, u.eta1, u.eta2, u.a, u.T, n);
    expect_same(upsilon(u, n), literal,
                fmt("Upsilon(%.17g, %.17g, %.17g, %.17g, %.17g, %.17g, %.17g, %.17g, %d)", u.mu,
                    u.sigma, u.lambda, u.p, u.eta1, u.eta2, u.a, u.T, n));
}

void reference_values() {
    using dexpjump::Hh;
    using dexpjump::In;
    expect(same_bits(Hh(-1, 0.0), 1.0), "Hh(-1, 0) == 1 exactly");
    expect(same_bits(Hh(0, 0.0), 1.2533141373155001), "Hh(0, 0) == sqrt(2 pi)/2 exactly");
    // The complement form of Phi loses the far tail: Hh_0 is exactly 0, so Hh_1 = Hh_-1.
    expect(same_bits(Hh(0, 9.0), 0.0) && same_bits(Hh(1, 9.0), std::exp(-40.5)), "Hh(0/1, 9) tail");
    expect_digits(Hh(2, 0.5), "0.2627438483", "Hh(2, 0.5)");
    expect_digits(Hh(3, -1.0), "1.709224349", "Hh(3, -1)");
    expect_digits(In(0, 0.1, 5, 2, -0.3), "5.012120452", "In(0, 0.1, 5, 2, -0.3)");
    expect_digits(In(2, 0.1, 5, 2, -0.3), "0.6499057953", "In(2, 0.1, 5, 2, -0.3)");
    expect_digits(In(0, 0.1, -10, -2, 0.3), "0.06948668182", "In(0, 0.1, -10, -2, 0.3)");
    expect_digits(In(2, 0.1, -10, -2, 0.3), "0.06361650492", "In(2, 0.1, -10, -2, 0.3)");

    // Outside the two convergent sign cases I_n is a fixed +0, NaN beta included.
    const double zero_cases[][2] = {{0.0, 2}, {-0.0, 2}, {3, 0.0}, {-3, -0.0}, {0.0, -2},
                                    {-0.0, -2}, {3, -2}, {nan, -2}, {-3, nan}, {3, nan}};
    for (const auto& [alpha, beta] : zero_cases)
        for (int n : {0, 4})
            expect(same_bits(In(n, 0.1, alpha, beta, -0.3), 0.0),
                   fmt("In(%d, 0.1, %g, %g, -0.3) == +0", n, alpha, beta));
    expect(std::isnan(In(1, 0.1, nan, 2, -0.3)), "In with NaN alpha, beta > 0 is NaN");

    const char* upsilon_reference[][2] = {{"0", "0.4349998197"}, {"1", "0.5942106527"},
                                          {"2", "0.6260721014"}, {"5", "0.6310280334"},
                                          {"10", "0.6310312569"}, {"15", "0.6310312569"}};
    for (const auto& [n, value] : upsilon_reference)
        expect_digits(upsilon(reference, std::atoi(n)), value, fmt("Upsilon(reference, %s)", n));
    Params no_jumps = reference;
    no_jumps.lambda = 0;
    for (int n : {0, 5}) expect_digits(upsilon(no_jumps, n), "0.7171934556", fmt("Upsilon(lambda 0, %d)", n));
    // p = 0 or 1 leaves only one jump direction; the zero weights must not turn into NaN.
    for (double p : {0.0, 1.0}) {
        Params one_sided = reference;
        one_sided.p = p;
        expect(std::isfinite(upsilon(one_sided, 10)), fmt("Upsilon(p = %g, 10) finite", p));
    }
}

void hh_and_in_match_literal() {
    const double special_x[] = {0.0, -0.0, 8.5, -8.5, 40.0, -40.0, inf, -inf, nan};
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = uniform_int(-1, 22);
        const double x = trial % 10 == 0 ? special_x[trial / 10 % 9] : uniform(-12, 12);
        expect_same(dexpjump::Hh(n, x), kou_literal::Hh(n, x), fmt("Hh(%d, %.17g)", n, x));
    }
    // alpha and beta of both signs, so the zero cases and both closed forms all occur.
    const double special[] = {0.0, -0.0, 1e-300, -1e-300, 1e3, -1e3, inf, -inf, nan};
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = uniform_int(0, 18);
        const double c = uniform(-2, 2), delta = uniform(-3, 3);
        double alpha = uniform(-20, 20), beta = uniform(-10, 10);
        if (trial % 10 == 0) alpha = special[trial / 10 % 9];
        if (trial % 10 == 1) beta = special[trial / 10 % 9];
        expect_same(dexpjump::In(n, c, alpha, beta, delta), kou_literal::In(n, c, alpha, beta, delta),
                    fmt("In(%d, %.17g, %.17g, %.17g, %.17g)", n, c, alpha, beta, delta));
    }
}

Params random_params(bool wide) {
    if (wide)
        return {uniform(-2, 2), uniform(0.005, 2), uniform(0, 20), uniform(-0.2, 1.2),
                uniform(-5, 100), uniform(-5, 100), uniform(-5, 5), uniform(0.001, 10)};
    return {uniform(-0.3, 0.3), uniform(0.05, 0.6), uniform(0, 5), uniform(0, 1),
            uniform(1.5, 30), uniform(0.5, 30), uniform(-1, 1), uniform(0.05, 3)};
}

void upsilon_matches_literal() {
    for (int trial = 0; trial < 2000; ++trial) {
        Params u = random_params(trial % 5 == 4);
        if (trial % 10 == 0) u.p = 0.0;
        if (trial % 10 == 1) u.p = 1.0;
        for (int n = -1; n <= 14; ++n) expect_upsilon_matches_literal(u, n);
    }
    for (int trial = 0; trial < 12; ++trial) expect_upsilon_matches_literal(random_params(false), uniform_int(15, 20));

    // Degenerate inputs: IEEE infinities and NaNs must come out the same way.
    const Params r = reference;
    const Params degenerate[] = {
        {r.mu, r.sigma, r.lambda, r.p, r.eta1, r.eta2, r.a, 0.0},        // T = 0
        {r.mu, r.sigma, r.lambda, r.p, r.eta1, r.eta2, r.a, -1.0},       // T < 0
        {r.mu, 0.0, r.lambda, r.p, r.eta1, r.eta2, r.a, r.T},            // sigma = 0
        {r.mu, r.sigma, r.lambda, r.p, 0.0, r.eta2, r.a, r.T},           // eta1 = 0
        {r.mu, r.sigma, r.lambda, r.p, -2.0, r.eta2, r.a, r.T},          // eta1 < 0
        {r.mu, r.sigma, r.lambda, r.p, r.eta1, 0.0, r.a, r.T},           // eta2 = 0
        {r.mu, r.sigma, r.lambda, r.p, -5.0, 5.0, r.a, r.T},             // eta1 + eta2 = 0
        {r.mu, 0.5, 3.0, 0.5, 200.0, 200.0, r.a, 2.0},                   // exp factor overflows
        {0.05, 0.2, 3.0, 0.5, 40.0, 40.0, 0.0, 1.0},                     // catastrophic cancellation
        {r.mu, r.sigma, r.lambda, 0.5, 7.0, 7.0, 0.0, r.T},              // symmetric jumps, a = 0
        {r.mu, r.sigma, r.lambda, r.p, r.eta1, r.eta2, -inf, r.T},       // K = 0
        {r.mu, r.sigma, r.lambda, r.p, r.eta1, r.eta2, inf, r.T},        // S = 0
        {r.mu, r.sigma, r.lambda, nan, r.eta1, r.eta2, r.a, r.T},        // NaN p
    };
    for (const Params& u : degenerate)
        for (int n = -1; n <= 12; ++n) expect_upsilon_matches_literal(u, n);
}

void on_hang(int) {
    const char message[] = "FAILED: Upsilon with a huge term count did not return\n";
    (void)!write(STDOUT_FILENO, message, sizeof message - 1);
    _exit(1);
}

// Beyond 170 terms tgamma overflows and the literal series turns NaN: the term count is
// capped, so any larger n gives exactly the 170-term value, quickly.
void term_count_cap() {
    std::signal(SIGALRM, on_hang);
    alarm(60);
    // lambda T = 30: terms up to j of about 80 count, and (lambda T)^170 is still finite.
    const Params wide{0.1, 0.4, 10.0, 0.3, 3.0, 2.0, 0.5, 3.0};
    // lambda T = 66: pow(66, 169) is finite but pow(66, 170) overflows, so the series is
    // finite up to 169 terms and infinite from the 170th on: exactly 170 terms are summed.
    Params overflowing = reference;
    overflowing.lambda = 132;
    expect(std::isfinite(upsilon(overflowing, 169)) && !std::isfinite(upsilon(overflowing, 170)),
           "Upsilon(lambda T = 66) finite for 169 terms, infinite for 170");
    for (const Params& u : {reference, wide, overflowing}) {
        const double capped = upsilon(u, 170);
        if (u.lambda != overflowing.lambda)
            expect(std::isfinite(capped), fmt("Upsilon(lambda %g, 170) = %.17g finite", u.lambda, capped));
        for (int n : {171, 1000, INT_MAX})
            expect(same_bits(upsilon(u, n), capped), fmt("Upsilon(lambda %g, %d) == n 170", u.lambda, n));
        for (int n : {-1, -1000, INT_MIN})
            expect(same_bits(upsilon(u, n), upsilon(u, 0)), fmt("Upsilon(lambda %g, %d) == n 0", u.lambda, n));
    }
    alarm(0);
}

}  // namespace

int main() {
    reference_values();
    hh_and_in_match_literal();
    upsilon_matches_literal();
    term_count_cap();
    std::printf("test_dexpjump_numeric: %d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
