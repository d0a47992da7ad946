// The stochastic-volatility models' log-MGF against the Riccati equations integrated
// numerically (an independent route through the same definition: no closed form, no
// logarithm, no branch), including the regimes where closed forms jump branches (xi 5,
// |rho| 0.99, 30 years) or cancel (xi 0.01, one day); their derivatives in w, T and the
// parameters against differences of it; the tail bound against the modulus along the line;
// the strip against the explosion of the integrated equations; Bates' jump transform less one,
// and its real-axis form against the complex one.

#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "charfun/stochastic_volatility.hpp"
#include "pricing/registry.hpp"

namespace {

using namespace tarnwick;
using complex = std::complex<double>;

int checks = 0;
int failures = 0;

void expect(bool ok, const std::string& what) {
    ++checks;
    if (!ok && ++failures <= 40) std::printf("FAILED: %s\n", what.c_str());
}

struct Riccati {
    complex L, L_T;
    bool exploded;
};

// D' = xi^2 D^2 / 2 - b D + m / 2, C' = D by classical Runge-Kutta with steps resolving the
// equation's rates (|d| and |xi^2 D|), L = kappa theta C + v0 D.
Riccati integrate(const charfun::Heston& h, complex w, double T) {
    const complex b = h.kappa - h.rho * h.xi * w, m = w * (w - 1.0);
    const auto f = [&](complex D) { return 0.5 * h.xi * h.xi * D * D - b * D + 0.5 * m; };
    const double rate = std::abs(std::sqrt(b * b - h.xi * h.xi * m)) + std::abs(b) + 1.0;
    const long n = std::min(4000000L, std::max(20000L, static_cast<long>(40.0 * rate * T)));
    const double dt = T / n;
    complex D = 0.0, C = 0.0;
    for (long i = 0; i < n; ++i) {
        const complex k1 = f(D), k2 = f(D + 0.5 * dt * k1), k3 = f(D + 0.5 * dt * k2), k4 = f(D + dt * k3);
        C += dt / 6.0 * (D + 2.0 * (D + 0.5 * dt * k1) + 2.0 * (D + 0.5 * dt * k2) + (D + dt * k3));
        D += dt / 6.0 * (k1 + 2.0 * k2 + 2.0 * k3 + k4);
        if (!(std::abs(D) < 1e12)) return {0.0, 0.0, true};
    }
    return {h.kappa * h.theta * C + h.v0 * D, h.kappa * h.theta * D + h.v0 * f(D), false};
}

std::string describe(const charfun::Heston& h, double T, complex w) {
    char text[200];
    std::snprintf(text, sizeof text, "v0 %g kappa %g theta %g xi %g rho %g T %g w %g%+gi", h.v0, h.kappa, h.theta,
                  h.xi, h.rho, T, w.real(), w.imag());
    return text;
}

void log_mgf_solves_the_riccati_equations(const charfun::Heston& h, double T) {
    const charfun::Strip strip = h.strip(T);
    const double hi = std::min(strip.hi, 50.0), lo = std::max(strip.lo, -50.0);
    for (double theta : {0.5, 1.0 + 0.9 * (hi - 1.0), 0.9 * lo, 1.0001, -1e-4}) {
        for (double u : {0.0, 0.7, 6.0, 60.0}) {
            const complex w(theta, u);
            const Riccati want = integrate(h, w, T);
            const charfun::LogMgf got = h.log_mgf(w, T);
            const double scale = 1.0 + std::abs(want.L);
            expect(!want.exploded && std::abs(got.value - want.L) <= 1e-9 * scale &&
                       std::abs(got.d_T - want.L_T) <= 1e-8 * (1.0 + std::abs(want.L_T)),
                   "L and dL/dT: " + describe(h, T, w));
        }
    }
    // Just beyond each edge the moments explode before T.
    if (strip.hi < 1e3) expect(integrate(h, strip.hi * 1.02 - 0.02, T).exploded, "explodes above: " + describe(h, T, strip.hi));
    if (strip.lo > -1e3) expect(integrate(h, strip.lo * 1.02, T).exploded, "explodes below: " + describe(h, T, strip.lo));
}

// The gradient (with the jumps' part) and dL/dw against central differences of L; the tail
// bound against |e^L| along the line beyond each u.
template <class Model, int n>
void derivatives_and_bound(const double (&p)[n], double T, const char* name) {
    static_assert(Model::parameter_count == n, "parameters of the model");
    const Model model = Model::from_parameters(p);
    for (complex w : {complex(0.5, 2.0), complex(1.3, 0.4), complex(-0.4, 7.0), complex(1.3, 0.0), complex(-0.4, 0.0)}) {
        complex gradient[n];
        model.log_mgf_gradient(w, T, gradient);
        for (int i = 0; i < n; ++i) {
            const double h = 1e-6 * std::max(std::abs(p[i]), 1e-2);
            double up[n], down[n];
            std::copy(p, p + n, up);
            std::copy(p, p + n, down);
            up[i] += h;
            down[i] -= h;
            const complex difference =
                (Model::from_parameters(up).log_mgf(w, T).value - Model::from_parameters(down).log_mgf(w, T).value) /
                (2.0 * h);
            expect(std::abs(gradient[i] - difference) <= 1e-6 * (1.0 + std::abs(difference)),
                   std::string(name) + " dL/dparameter " + std::to_string(i) + " at T " + std::to_string(T));
        }
        const double e = 1e-6;
        const complex dw = (model.log_mgf(w + e, T).value - model.log_mgf(w - e, T).value) / (2.0 * e);
        expect(std::abs(model.log_mgf_dw(w, T) - dw) <= 1e-6 * (1.0 + std::abs(dw)), std::string(name) + " dL/dw");
    }
    const charfun::Strip strip = model.strip(T);
    for (double theta : {0.5, 1.0 + 0.5 * (std::min(strip.hi, 20.0) - 1.0), 0.5 * std::max(strip.lo, -20.0)}) {
        for (double u = 0.0; u < 300.0; u = 1.5 * u + 0.1) {
            const double bound = model.log_bound(theta, u, T);
            for (double v = u; v < 1e4; v = 1.3 * v + 0.05)
                expect(model.log_mgf(complex(theta, v), T).value.real() <= bound + 1e-12 * (1.0 + std::abs(bound)),
                       std::string(name) + " tail bound at theta " + std::to_string(theta) + " u " + std::to_string(u));
        }
    }
}

// Bates' jump transform less one, e^z - 1 by exp_less_one, against long double arithmetic:
// within a few ulps of its modulus for |z| from 1e-6 to 1e3 in every direction, which takes
// in both sides of its switch at |e^z - 1| = 1/2 and e^x below the rounding of 1. And the
// log-MGF exactly 0 at the poles where the transform at w = 1, e^{m + s^2 / 2}, is far from 1.
void jump_transform_less_one() {
    for (double r = 1e-6; r < 1e3; r *= 1.7) {
        for (int a = 0; a < 32; ++a) {
            const complex z = std::polar(r, 2.0 * 3.141592653589793 * a / 32);
            if (z.real() > 30.0) continue;
            const long double x = z.real(), y = z.imag(), half = std::sin(y / 2);
            const long double re = std::expm1(x) * std::cos(y) - 2 * half * half, im = std::exp(x) * std::sin(y);
            const complex got = charfun::exp_less_one(z);
            const long double error = std::hypot(got.real() - re, got.imag() - im);
            expect(error <= 4 * 2.220446049250313e-16L * std::hypot(re, im),
                   "exp_less_one at " + std::to_string(z.real()) + " + " + std::to_string(z.imag()) + "i");
        }
    }
    // On the real axis (the lines' choice, a sum's first node) the jump part in real
    // arithmetic is the complex form's real part to the bit, through exp_less_one's branches:
    // e^z - 1 itself, expm1 near z = 0, -1 below z = -40, and overflow.
    for (double m : {0.7, -3.0}) {
        const charfun::Merton jumps{0.0, 2.0, m, 0.3};
        const double phi1_less_one = jumps.mean_less_one();
        for (double x : {-400.0, -30.0, -3.0, -0.5, -1e-3, 1e-6, 0.2, 0.53, 0.9, 2.0, 7.0, 20.0, 40.0}) {
            const double real = jumps.jump_part(x, [](double z) { return charfun::real_exp_less_one(z); }, phi1_less_one);
            const complex full =
                jumps.jump_part(complex(x), [](complex z) { return charfun::exp_less_one(z); }, phi1_less_one);
            expect(real == full.real(), "real-axis jump part at " + std::to_string(x) + ", m " + std::to_string(m));
        }
    }
    const double parameters[] = {0.04, 1.5, 0.04, 0.5, -0.7, 2.0, 0.7, 0.3};
    const charfun::Bates bates = charfun::Bates::from_parameters(parameters);
    for (double w : {0.0, 1.0}) {
        const charfun::LogMgf L = bates.log_mgf(w, 0.7);
        const charfun::LogMgfAndVolatility V = bates.log_mgf_and_volatility(w, 0.7);
        expect(L.value == 0.0 && L.d_T == 0.0 && V.value == 0.0 && V.d_T == 0.0, "Bates at the pole " + std::to_string(w));
    }
}

}  // namespace

int main() {
    // (v0, kappa, theta, xi, rho): ordinary, and the regimes of branch jumps and cancellation.
    const double cases[][5] = {{0.04, 1.5, 0.04, 0.5, -0.7},   {0.0175, 1.5768, 0.0398, 0.5751, -0.5711},
                               {0.5, 0.05, 0.2, 5.0, -0.99},    {1e-4, 20.0, 1.0, 5.0, 0.99},
                               {0.04, 0.01, 1e-4, 0.01, 0.3},   {1.0, 3.0, 0.3, 2.0, 0.0},
                               {1e-4, 0.5, 1e-4, 0.05, -0.9}};
    for (const auto& c : cases) {
        const charfun::Heston h = charfun::Heston::from_parameters(c);
        for (double T : {1.0 / 365, 0.5, 5.0, 30.0}) log_mgf_solves_the_riccati_equations(h, T);
    }
    for (double T : {1.0 / 365, 1.0, 30.0}) {
        derivatives_and_bound<charfun::Heston>({0.04, 1.5, 0.04, 0.9, -0.7}, T, "heston");
        derivatives_and_bound<charfun::Bates>({0.04, 1.5, 0.04, 0.9, -0.7, 2.0, -0.1, 0.2}, T, "bates");
        derivatives_and_bound<charfun::HestonKou>({0.04, 1.5, 0.04, 0.9, 0.5, 2.0, 0.4, 8.0, 5.0}, T, "hestonkou");
    }
    jump_transform_less_one();
    expect(std::string(pricing::Registered::names[3]) == "heston" &&
               std::string(pricing::Registered::names[4]) == "bates" &&
               std::string(pricing::Registered::names[5]) == "hestonkou" && pricing::parameter_count(5) == 9,
           "registry order");
    std::printf("%d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
