// Implied volatility: the normalised Black function, its complement, erfc, erfcx and the inverse
// normal distribution against 40-digit values (mpmath), the rational cubic's fitted
// curvature, and round trips s -> b(x, s) -> s. (Prices, bounds and round trips against
// mpmath prices are tested from Python.)

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "impliedvol/implied_volatility.hpp"

namespace {

using namespace tarnwick::impliedvol;
using namespace tarnwick::special;

constexpr double eps = std::numeric_limits<double>::epsilon();
int checks = 0;
int failures = 0;

void expect(bool ok, const char* what, double a, double b, double c = 0.0) {
    ++checks;
    if (ok) return;
    if (++failures <= 40) std::printf("FAILED: %s (%.17g, %.17g, %.17g)\n", what, a, b, c);
}

double ref(const char* digits) { return std::strtod(digits, nullptr); }

// An argument and the function's value there, to 20 digits.
struct Point {
    double x;
    const char* value;
};

// f(x) within `ulps` units of eps relative to each point's value.
template <std::size_t N, class F>
void expect_points(const Point (&points)[N], F f, double ulps, const char* what) {
    for (const Point& point : points) {
        const double expected = ref(point.value);
        expect(std::fabs(f(point.x) - expected) <= ulps * eps * std::fabs(expected), what, point.x, f(point.x));
    }
}

// b(x, s) to a few ulps, or, where the two terms cancel, to a few ulps of s db/ds: the scale
// on which an implied volatility sees an error of b.
void black_reference_values() {
    struct Case {
        double x, s;
        const char *b, *s_vega;
    };
    const Case cases[] = {
        {0.0, 1e-06, "3.9894228040141603729e-7", "3.98942e-7"},
        {0.0, 0.05, "1.9945036390476086689e-2", "1.99409e-2"},
        {0.0, 0.199, "7.9258712099142178441e-2", "7.89975e-2"},
        {0.0, 1.0, "3.8292492254802620728e-1", "3.52065e-1"},
        {0.0, 10.0, "9.9999942669685624161e-1", "1.48672e-5"},
        {-1e-08, 0.001, "3.9893726379878540938e-4", "3.98942e-4"},
        {-0.001, 0.001, "8.3315463977051015086e-5", "2.41971e-4"},
        {-0.001, 0.15, "5.9286621626005656357e-2", "5.96719e-2"},
        {-0.01, 0.002, "1.0692326061729097103e-10", "2.97344e-9"},
        {-0.05, 0.01, "5.3461029599789984335e-10", "1.4867e-8"},
        {-0.5, 0.06, "2.7521287389725499122e-19", "1.99157e-17"},
        {-1.0, 0.12, "5.4970265368045916929e-19", "3.97777e-17"},
        {-1.0, 0.5, "4.1423587506785749349e-3", "2.61649e-2"},
        {-1.0, 1.4142135623730951, "1.7359405559228240679e-1", "3.42198e-1"},
        {-1.0, 5.0, "5.9431008473232226707e-1", "8.59061e-2"},
        {-2.0, 0.1, "1.3683094548416367185e-91", "5.51405e-89"},
        {-2.0, 0.2, "1.4875954084044469621e-25", "1.53124e-23"},
        {-5.0, 0.6, "2.6352938954254432469e-18", "1.9048e-16"},
        {-10.0, 1.0, "6.6117491778911923948e-25", "6.79046e-23"},
        {-10.0, 4.0, "1.5746501811248684442e-3", "9.48879e-3"},
        {-10.0, 40.0, "6.7379469990854670966e-3", "2.14043e-86"},
        {-30.0, 3.0, "7.4364255516974767235e-25", "7.49421e-23"},
        {-30.0, 7.0, "5.4749751137125196054e-8", "6.27387e-7"},
        {-100.0, 5.0, "3.0566446328158357755e-91", "1.21287e-88"},
        {-0.3, 0.03, "2.2421205468758902143e-26", "2.30812e-24"},
        {-0.2, 0.02, "1.4948387065937229785e-26", "1.53884e-24"},
    };
    for (const Case& c : cases) {
        const double expected = ref(c.b);
        const double value = normalised_black(Moneyness(c.x), c.s);
        const double error = std::fabs(value - expected);
        expect(error <= 4 * eps * expected + 16 * eps * ref(c.s_vega), "b(x, s) vs mpmath", c.x, c.s, value);
        // The vega is closed-form; it carries the scale of every other check here.
        const double vega = normalised_vega(Moneyness(c.x), c.s) * c.s;
        expect(std::fabs(vega / ref(c.s_vega) - 1.0) < 1e-5, "s db/ds vs mpmath", c.x, c.s, vega);
    }
    // Near the upper bound only the complement e^{x/2} - b keeps relative accuracy, up to
    // what a rounding of s itself implies (s dc/ds / c grows like s^2 / 4).
    const struct {
        double x, s;
        const char* complement;
    } tails[] = {
        {0.0, 10.0, "5.7330314375838782335e-7"},
        {-1.0, 5.0, "1.2220574980311156537e-2"},
        {-10.0, 40.0, "5.3386319434402154729e-89"},
        {-0.5, 60.0, "9.8130878691996423324e-198"},
        {-3.0, 3.0, "9.6673819648719990087e-2"},
    };
    for (const auto& c : tails) {
        const double expected = ref(c.complement);
        const double value = normalised_black_complement(Moneyness(c.x), c.s);
        const double s_vega = c.s * normalised_vega(Moneyness(c.x), c.s);
        expect(std::fabs(value - expected) <= 8 * eps * expected + eps * s_vega, "e^{x/2} - b(x, s) vs mpmath", c.x,
               c.s, value);
    }
}

void special_function_reference_values() {
    using tarnwick::special::erfc;  // not the C library's
    const Point scaled[] = {
        {0.0, "1.0"},
        {1e-10, "9.999999998871620833e-1"},
        {0.3, "7.3459933456765514992e-1"},
        {1.0, "4.2758357615580700441e-1"},
        {3.0, "1.7900115118138995042e-1"},
        {7.5, "7.4573693062876683005e-2"},
        {15.0, "3.7529606388505765746e-2"},
        {25.9, "2.1767181150738212562e-2"},
        {26.1, "2.1600627726346206602e-2"},
        {40.0, "1.4100335983377813625e-2"},
        {1000.0, "5.641893014533876542e-4"},
        {100000000.0, "5.6418958354775625874e-9"},
        // Either side of the points where the rational approximations change.
        {0.4687499999999999, "6.3206968924955613764e-1"},
        {0.46875, "6.3206968924955607816e-1"},
        {3.9999999999999996, "1.3699945762506140427e-1"},
        {4.0, "1.3699945762506138989e-1"},
    };
    expect_points(scaled, [](double y) { return erfcx(y); }, 4, "erfcx vs mpmath");
    // erfc over both signs, the tails and the interval ends; at y = 26 its exponential
    // factor is taken from the exact square of y, or the error would reach 250 ulps.
    const Point complementary[] = {
        {-26.0, "2.0"},
        {-5.5, "1.9999999999999926422"},
        {-1.0, "1.8427007929497148693"},
        {-0.46875, "1.4926134732179379916"},
        {-0.3, "1.3286267594591274162"},
        {-1e-12, "1.0000000000011283792"},
        {0.2, "7.7729741078952153382e-1"},
        {0.46875, "5.0738652678206200841e-1"},
        {0.4687500000000001, "5.0738652678206190785e-1"},
        {0.9, "2.0309178757716786034e-1"},
        {2.5, "4.0695201744495893956e-4"},
        {4.0, "1.5417257900280018852e-8"},
        {4.000000000000001, "1.5417257900279906069e-8"},
        {9.0, "4.1370317465138102381e-37"},
        {26.0, "5.6631924088561428465e-296"},
    };
    expect_points(complementary, [](double y) { return erfc(y); }, 4, "erfc vs mpmath");
    expect(erfc(30.0) == 0.0 && erfc(-HUGE_VAL) == 2.0 && erfcx(HUGE_VAL) == 0.0 && std::isnan(erfc(std::nan(""))) &&
               std::isnan(erfcx(std::nan(""))),
           "erfc, erfcx at the ends", erfc(30.0), erfc(-HUGE_VAL), erfcx(HUGE_VAL));
    const Point quantiles[] = {
        {1e-300, "-37.047096299361199237"}, {1e-20, "-9.2623400897984075796"},
        {1e-05, "-4.2648907939228246102"},  {0.025, "-1.9599639845400542118"},
        {0.3, "-0.52440051270804081597"},   {0.9, "1.2815515655446005935"},
    };
    expect_points(quantiles, [](double p) { return inverse_normal_cdf(p); }, 8, "inverse_normal_cdf vs mpmath");
    expect(inverse_normal_cdf(0.5) == 0.0 || std::fabs(inverse_normal_cdf(0.5)) < 1e-16, "inverse_normal_cdf(1/2)", inverse_normal_cdf(0.5), 0.0);
}

// The curvature the control parameter was fitted to is the curvature the interpolant has
// (checked by a central second difference), and end values and slopes are kept.
void rational_cubic_fits_curvature() {
    const RationalCubic cubic{1.0, 3.0, 2.0, 7.0, 1.0, 4.0};
    const double w = 1e-4;
    for (double second : {0.5, 1.0, 2.0}) {
        const double left = cubic.r_for_left_curvature(second);
        const double at_left = (cubic(1.0 + 2 * w, left) - 2 * cubic(1.0 + w, left) + cubic(1.0, left)) / (w * w);
        expect(left > cubic.monotone_r() ? std::fabs(at_left - second) < 1e-3 : at_left >= second - 1e-3,
               "rational cubic: left curvature", second, at_left, left);
        const double right = cubic.r_for_right_curvature(second);
        const double at_right = (cubic(3.0, right) - 2 * cubic(3.0 - w, right) + cubic(3.0 - 2 * w, right)) / (w * w);
        expect(right > cubic.monotone_r() ? std::fabs(at_right - second) < 1e-3 : true,
               "rational cubic: right curvature", second, at_right, right);
        expect(cubic(1.0, left) == 2.0 && std::fabs(cubic(3.0, left) - 7.0) < 1e-15, "rational cubic: end values",
               cubic(1.0, left), cubic(3.0, left));
        expect(std::fabs((cubic(1.0 + w, left) - cubic(1.0, left)) / w - 1.0) < 1e-3, "rational cubic: left slope",
               left, 0.0);
    }
}

// s -> (b, e^{x/2} - b) -> s over moneyness and total volatility, each branch included. The
// tolerance is 1e-13 of s plus what the rounding of the smaller of the two inputs implies.
void normalised_round_trips() {
    // Beyond |x| of about 70 (K/F above 1e30) two steps no longer always reach full precision.
    const double xs[] = {0.0, -1e-9, -1e-6, -1e-5, -1e-3, -0.02, -0.1, -0.5, -1.0, -2.0, -5.0, -10.0, -40.0, -70.0};
    int worst_x_index = -1;
    double worst = 0.0;
    for (int i = 0; i < 14; ++i) {
        const Moneyness m(xs[i]);
        for (int k = 0; k <= 100; ++k) {
            const double s = std::pow(10.0, -8.0 + 10.0 * k / 100.0);
            const double beta = normalised_black(m, s);
            const double gamma = normalised_black_complement(m, s);
            if (!(beta > 1e-300) || !(gamma > 1e-300)) continue;  // no double to invert
            const double back = normalised_implied_volatility(beta, gamma, xs[i]);
            const double conditioning = eps * std::fmin(beta, gamma) / (s * normalised_vega(m, s));
            const double error = std::fabs(back / s - 1.0);
            expect(error <= 1e-13 + 8 * conditioning, "s -> b -> s", xs[i], s, back);
            if (conditioning < 1e-16 && error > worst) worst = error, worst_x_index = i;
        }
    }
    std::printf("normalised round trips: worst relative error %.2e where well conditioned (x = %g)\n", worst,
                worst_x_index >= 0 ? xs[worst_x_index] : 0.0);
}

// The batch takes options block by block and phase by phase; each result must still be the
// one-option function's, bit for bit, over every branch, the bounds and a partial last block.
void batch_matches_one_by_one() {
    std::vector<double> price, S, K, T, r, q;
    std::vector<std::int8_t> call;
    for (int i = 0; i < 1000; ++i) {
        const double strike = 100.0 * std::exp(-3.0 + 6.0 * ((i * 37) % 101) / 100.0);
        const double maturity = 0.01 + 5.0 * ((i * 53) % 97) / 96.0;
        const double sigma = 0.01 + 2.0 * ((i * 29) % 89) / 88.0;
        const bool is_call = i % 3 != 0;
        const double rate = 0.03, dividend = 0.01;
        const double spot = 100.0 * std::exp(-dividend * maturity), discounted = strike * std::exp(-rate * maturity);
        const double root = sigma * std::sqrt(maturity);
        const double d1 = std::log(spot / discounted) / root + 0.5 * root, d2 = d1 - root;
        const auto N = [](double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); };
        double value = is_call ? spot * N(d1) - discounted * N(d2) : discounted * N(-d2) - spot * N(-d1);
        if (i % 50 == 7) value = -1.0;                                            // below the bounds
        if (i % 50 == 8) value = is_call ? spot : discounted;                    // at the upper bound
        if (i % 50 == 9) value = std::max(is_call ? spot - discounted : discounted - spot, 0.0);  // intrinsic
        price.push_back(value), S.push_back(100.0), K.push_back(strike), T.push_back(maturity);
        r.push_back(rate), q.push_back(dividend), call.push_back(is_call);
    }
    const std::size_t count = price.size() - 5;  // not a whole number of blocks
    std::vector<double> out(count);
    implied_volatilities(price.data(), S.data(), K.data(), T.data(), r.data(), q.data(), call.data(), out.data(), count);
    for (std::size_t i = 0; i < count; ++i) {
        const double one = implied_volatility(price[i], S[i], K[i], T[i], r[i], q[i], call[i] != 0);
        expect(std::memcmp(&one, &out[i], sizeof one) == 0, "batch vs one option", double(i), out[i], one);
    }
}

}  // namespace

int main() {
    black_reference_values();
    special_function_reference_values();
    rational_cubic_fits_curvature();
    normalised_round_trips();
    batch_matches_one_by_one();
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
