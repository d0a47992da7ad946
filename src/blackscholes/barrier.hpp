#pragma once

// Continuously monitored barrier options under Black-Scholes (Merton 1973; Reiner and
// Rubinstein 1991): down/up, in/out, calls and puts, with a cash rebate R paid at expiry by
// a knock-in that never knocked in and at the hit by a knock-out.
//
// Over the maturity, X = ln(S_t / S) is a Brownian motion with drift a and spread
// s = sigma sqrt(T) (time measured in units of T). A call is D F P_F(X_T > c, barrier event)
// - D K P_K(X_T > c, barrier event), c = ln(K/S), the probabilities under the share measure
// (a = (r-q)T + s^2/2) and the risk-neutral one (a = (r-q)T - s^2/2); a put the same over
// X_T <= c. An up barrier is a down barrier of -X (drift -a, barrier -b, above and below
// swapped), so only the down barrier b = ln(H/S) < 0 is worked out:
//
// - Paths that hit b and end at x > b have the reflected density R phi_s(x - 2b - a),
//   R = exp(2ab/s^2) (reflection principle); paths that end at x <= b have all hit.
// - Paths that never hit end at x > b with the density phi_s(x - a) (1 - exp(2b(x-b)/s^2)).
//
// Each event probability is a sum of such pieces, every piece positive: the textbook
// A - B + C - D combinations (differences of nearly equal terms where the price is small)
// are not formed. The one difference left is the survivors' density, direct minus
// reflected; where the two are close (the barrier a small part of s from the spot, which
// is also where T -> 0 or sigma -> 0 meets H -> S) it is integrated as the product above
// instead, whose factor -expm1(...) carries the small distance without cancellation.
// Reflected terms are formed as exp(ln R + ln P): R overflows as sigma -> 0 against the
// drift while the probability it multiplies underflows, their product being at most 1.
// What is left is the difference D F P_F - D K P_K of a vanilla price: where the payoff is
// small across the whole event (a strike a hair from the barrier, both near the spot) the
// two terms agree to many digits and the relative error grows by their ratio (1e-9 of a
// price of 5e-13 with H and K 1e-4 apart), the absolute error staying near 1e-16 S.
//
// The rebate at the hit, R E[e^{-rT tau}; tau <= 1], is the sum of two positive terms
// exp(b (a +- k) / s^2) Phi((b +- k) / s), k = sqrt(a^2 + 2 r T s^2), a the risk-neutral
// drift. Where a^2 + 2 r T s^2 < 0 (a negative rate beyond -a^2 / (2 s^2 T), e.g. r = q =
// -1%, sigma 20%) k is imaginary and the two terms complex conjugates; there the rebate
// is integrated by parts against the closed-form hit probability instead.

#include <cmath>
#include <limits>

#include "blackscholes/black_scholes.hpp"
#include "market/forward.hpp"
#include "product/option.hpp"
#include "special/erfc.hpp"
#include "special/normal_distribution.hpp"

namespace tarnwick::blackscholes {

// The market of one barrier option in the terms the formulas use.
struct BarrierMarket {
    market::Forward forward;  // D F, D K, ln(K/F)
    double c;                 // ln(K/S)
    double b;                 // ln(H/S)
    double carry;             // (r - q) T
    double rT;                // r T
};

inline BarrierMarket barrier_market(double S, double K, double H, double T, double r, double q) {
    return {market::forward(S, K, T, r, q), -market::log_ratio(S, K), -market::log_ratio(S, H), (r - q) * T, r * T};
}

struct Barrier {
    bool up;         // the barrier above the spot (else below)
    bool knock_in;   // the option comes alive at the hit (else dies there)
    double rebate;   // R, paid as described above
};

namespace barrier_detail {

inline constexpr double infinity = std::numeric_limits<double>::infinity();

// ln Phi(z). Above zero, Phi(z) = 1 - Phi(-z) through log1p keeps the small tail that
// decides it; below, Phi(z) itself is accurate down to -5, beyond which it is taken apart
// as erfcx(-z / sqrt 2) exp(-z^2/2) / 2 so that nothing underflows.
inline double log_normal_cdf(double z) {
    if (z >= 0.0) return std::log1p(-special::normal_cdf(-z));
    if (z > -5.0) return std::log(special::normal_cdf(z));
    if (z == -infinity) return -infinity;
    return std::log(0.5 * special::erfcx(-z * special::inverse_sqrt_two)) - 0.5 * z * z;
}

// ln(Phi(hi) - Phi(lo)) for lo < hi. Within one tail the smaller term is scaled by the
// larger in logs (no underflow before the difference is formed, and a narrow interval's
// ratio comes from expm1); across zero erf is accurate relative to each half, which have
// the same sign there.
inline double log_normal_interval(double lo, double hi) {
    if (!(lo < hi)) return -infinity;
    if (lo >= 0.0) return log_normal_interval(-hi, -lo);
    if (hi <= 0.0) {
        const double upper = log_normal_cdf(hi);
        // Phi(hi) itself below the smallest double (hi past -1e154, where z^2 overflows):
        // the interval holds nothing, and -inf - -inf would be NaN.
        if (upper == -infinity) return -infinity;
        return upper + std::log(-std::expm1(log_normal_cdf(lo) - upper));
    }
    return std::log(0.5 * (std::erf(hi * special::inverse_sqrt_two) - std::erf(lo * special::inverse_sqrt_two)));
}

// A path of X: drift a and spread s over the maturity, barrier b < 0.
struct Walk {
    double a, b, s;

    double z(double x) const { return (x - a) / s; }               // standardised end
    double z_reflected(double x) const { return (x - 2.0 * b - a) / s; }
    double log_reflection() const { return 2.0 * a * b / (s * s); }  // ln R
};

// P(lo < X_T <= hi) without regard to the barrier.
inline double unconditioned(const Walk& w, double lo, double hi) { return std::exp(log_normal_interval(w.z(lo), w.z(hi))); }

// P(lo < X_T <= hi, hit) for b <= lo: the reflected mass. An interval without mass has
// none whatever R is: where s^2 underflows, ln R is infinite (or 0 / 0 without drift) and
// the sum of logs would be NaN.
inline double reflected(const Walk& w, double lo, double hi) {
    const double log_mass = log_normal_interval(w.z_reflected(lo), w.z_reflected(hi));
    return log_mass == -infinity ? 0.0 : std::exp(w.log_reflection() + log_mass);
}

// The 8-point Gauss-Legendre rule on [mid - half, mid + half]: exact for polynomials of
// degree 15, which is what both integrals below need on their panels.
template <class F>
double gauss_legendre_8(F f, double mid, double half) {
    static constexpr double nodes[4] = {0.18343464249564980, 0.52553240991632899, 0.79666647741362674,
                                        0.96028985649753623};
    static constexpr double weights[4] = {0.36268378337836198, 0.31370664587788729, 0.22238103445337447,
                                          0.10122853629037626};
    double sum = 0.0;
    for (int j = 0; j < 4; ++j) sum += weights[j] * (f(mid - half * nodes[j]) + f(mid + half * nodes[j]));
    return half * sum;
}

// The survivors' density integrated over [zlo, zhi] in standard units: phi(z) times
// -expm1(beta (z - zb)), beta = 2b/s, zb the barrier. Composite 8-point Gauss-Legendre on
// panels of width 1 / max(1, |z|, |beta|), across which neither phi (whose log changes at
// the rate |z|) nor the exponential varies by more than a factor e, so each panel is
// exact to rounding (the rule's error goes as (rate width / 2)^16 / 16!). The exponential
// only varies within 40 / |beta| of the barrier, past which the factor is 1 to rounding
// and the panels follow phi alone: with a spread s tiny against the barrier's distance
// (|beta| ~ 1e157) panels of 1 / |beta| would never cross the interval. Only the part of
// the interval holding all but e^-40 of phi's mass is integrated.
inline double survivors_by_quadrature(const Walk& w, double zlo, double zhi) {
    // In a tail the mass lies within t of the end nearest the mode:
    // phi(z0 + t) / phi(z0) = exp(-z0 t - t^2 / 2) = e^-40 at t = sqrt(z0^2 + 80) - |z0|,
    // formed as 80 / (sqrt(z0^2 + 80) + |z0|): the difference cancels entirely once z0^2
    // passes 80 / eps, leaving no interval (and z0^2 may overflow, where t is 0 too).
    const auto tail = [](double z0) { return 80.0 / (std::sqrt(z0 * z0 + 80.0) + std::fabs(z0)); };
    if (zlo > 0.0) {
        zhi = std::fmin(zhi, zlo + tail(zlo));
    } else if (zhi < 0.0) {
        zlo = std::fmax(zlo, zhi - tail(zhi));
    } else {
        zlo = std::fmax(zlo, -12.0);
        zhi = std::fmin(zhi, 12.0);
    }
    const double beta = 2.0 * w.b / w.s;
    const double zb = w.z(w.b), layer = zb - 40.0 / beta;
    double sum = 0.0;
    for (double start = zlo; start < zhi;) {
        const double rate = std::fmax(std::fmax(1.0, std::fabs(start)), start < layer ? -beta : 0.0);
        double width = std::fmin(zhi - start, 1.0 / rate);
        // A panel below the resolution of z at start (|z| past 1e8, where phi is 0 anyway)
        // would not move it: the rest is one panel, across which z itself cannot vary.
        if (!(start + width > start)) width = zhi - start;
        sum += gauss_legendre_8([&](double z) { return special::normal_pdf(z) * -std::expm1(beta * (z - zb)); },
                                start + 0.5 * width, 0.5 * width);
        start += width;
    }
    return sum;
}

// P(lo < X_T <= hi, never hit) for b <= lo: free minus reflected mass, or, where the two
// agree to more than a bit, the survivors' density integrated directly.
inline double survivors(const Walk& w, double lo, double hi) {
    const double direct = unconditioned(w, lo, hi);
    const double mirror = reflected(w, lo, hi);
    if (mirror <= 0.5 * direct) return direct - mirror;
    return survivors_by_quadrature(w, w.z(lo), w.z(hi));
}

// The four events of a down barrier: X_T above or below c, the barrier hit or not.
inline double probability(const Walk& w, double c, bool above, bool hit) {
    const double b = w.b;
    if (above) {
        if (!hit) return survivors(w, std::fmax(c, b), infinity);
        // Paths ending above the barrier hit with the reflected mass; below it, all have.
        return reflected(w, std::fmax(c, b), infinity) + (c < b ? unconditioned(w, c, b) : 0.0);
    }
    if (!hit) return c > b ? survivors(w, b, c) : 0.0;
    return unconditioned(w, -infinity, std::fmin(c, b)) + (c > b ? reflected(w, b, c) : 0.0);
}

// The same for either barrier: an up barrier is the down barrier of -X.
inline double probability(double a, double s, double b, bool up, double c, bool above, bool hit) {
    return up ? probability(Walk{-a, -b, s}, -c, !above, hit) : probability(Walk{a, b, s}, c, above, hit);
}

// P(tau <= t) for the first passage tau of X to b < 0: the mass ending beyond b plus the
// reflected mass ending above it (drift a t and spread s sqrt(t) at time t).
inline double hit_probability(double a, double s, double b, double t) {
    const Walk w{a * t, b, s * std::sqrt(t)};
    return unconditioned(w, -infinity, b) + reflected(w, b, infinity);
}

// E[e^{-rho tau}; tau <= 1] where k is imaginary (rho = rT < -a^2 / (2 s^2), a negative
// rate): by parts, e^{-rho} P(tau <= 1) + rho int_0^1 e^{-rho t} P(tau <= t) dt. The second
// term is negative but at most 1 - e^rho of the first, so little cancels. The integral by
// 8-point Gauss-Legendre on panels laid from t = 1 down, each no wider than t/2 and than
// the inverse of the rate at which ln P changes, (b^2 + a^2 t^2) / (2 s^2 t^2) (P(t) goes
// as exp(-(b - a t)^2 / (2 s^2 t)), reflected term included), stopping where that exponent
// has fallen 45 below its value at t = 1.
inline double hit_discount_by_parts(double a, double s, double b, double rho) {
    const auto exponent = [&](double t) { return (b - a * t) * (b - a * t) / (2.0 * s * s * t); };
    const double last = exponent(1.0) + 45.0;
    double integral = 0.0;
    for (double upper = 1.0; upper > 0.0;) {
        const double rate = (b * b + a * a * upper * upper) / (2.0 * s * s * upper * upper) - rho;
        const double lower = upper - std::fmin(0.5 * upper, 1.0 / rate);
        // A rate past 2^52 / t is an exponent past 2^52 (the rate is about the exponent
        // over t): P(tau <= t) is 0 there and below, and the panel could not move.
        if (!(lower < upper)) break;
        integral += gauss_legendre_8([&](double t) { return std::exp(-rho * t) * hit_probability(a, s, b, t); },
                                     0.5 * (upper + lower), 0.5 * (upper - lower));
        if (exponent(lower) > last) break;
        upper = lower;
    }
    return std::exp(-rho) * hit_probability(a, s, b, 1.0) + rho * integral;
}

// ln of one of the two terms, exp(b (a + k) / s^2) Phi((b + k) / s), in units of s: the
// barrier u = b / s, the drift alpha = a / s and kappa = +-k / s, kappa^2 = alpha^2 + 2 rT,
// so that no s^2 is formed (it underflows as sigma sqrt(T) -> 0, and the two parts become
// inf - inf). alpha + kappa cancels where the two have opposite signs; there it is
// (kappa^2 - alpha^2) / (kappa - alpha) = 2 rT / (kappa - alpha). In Phi's lower tail,
// ln Phi(z) = ln(erfcx(-z / sqrt 2) / 2) - z^2 / 2, and the quadratic parts cancel
// exactly: u (alpha + kappa) - (u + kappa)^2 / 2 = -(u - alpha)^2 / 2 - rT.
inline double passage_log_term(double u, double alpha, double kappa, double rT) {
    const double z = u + kappa;
    if (z < -5.0)
        return -0.5 * (u - alpha) * (u - alpha) - rT + std::log(0.5 * special::erfcx(-z * special::inverse_sqrt_two));
    const double sum = (alpha < 0.0) == (kappa < 0.0) ? alpha + kappa : 2.0 * rT / (kappa - alpha);
    return u * sum + log_normal_cdf(z);
}

// E[e^{-rT tau}; tau <= 1] for the first passage tau of X (risk-neutral drift a) to b.
inline double hit_discount(double a, double s, double b, bool up, double rT) {
    if (up) {
        a = -a;
        b = -b;
    }
    const double u = b / s, alpha = a / s;
    // alpha^2 overflows where s is tiny against the drift (alpha ~ 1e158): there kappa is
    // |alpha| sqrt(1 + 2 rT / alpha^2).
    const bool huge = std::fabs(alpha) > 1e150;
    const double kappa2 = huge ? 1.0 + 2.0 * rT / alpha / alpha : alpha * alpha + 2.0 * rT;
    if (kappa2 < 0.0) return hit_discount_by_parts(a, s, b, rT);
    const double kappa = huge ? std::fabs(alpha) * std::sqrt(kappa2) : std::sqrt(kappa2);
    return std::exp(passage_log_term(u, alpha, kappa, rT)) + std::exp(passage_log_term(u, alpha, -kappa, rT));
}

}  // namespace barrier_detail

// The price of a continuously monitored barrier option.
inline double barrier_price(double sigma, const BarrierMarket& m, double T, Product product, const Barrier& barrier) {
    using namespace barrier_detail;
    const bool call = product.call();
    // At or beyond the barrier at the start: knocked in (a European option) or knocked
    // out (the rebate, paid now).
    if (barrier.up ? m.b <= 0.0 : m.b >= 0.0) {
        return barrier.knock_in ? price(sigma, m.forward, T, product) : barrier.rebate;
    }
    const double s = sigma * std::sqrt(T);
    const double share_drift = m.carry + 0.5 * s * s;
    const double risk_neutral_drift = m.carry - 0.5 * s * s;
    const bool hit = barrier.knock_in;
    const double p_share = probability(share_drift, s, m.b, barrier.up, m.c, call, hit);
    const double p_strike = probability(risk_neutral_drift, s, m.b, barrier.up, m.c, call, hit);
    const market::Forward& f = m.forward;
    // Where both terms are a few ulps of the smallest doubles their difference can round
    // below zero, which no price is.
    double value = std::fmax(0.0, call ? f.discounted_forward * p_share - f.discounted_strike * p_strike
                                       : f.discounted_strike * p_strike - f.discounted_forward * p_share);
    if (barrier.rebate != 0.0) {
        value += barrier.knock_in
            ? barrier.rebate * std::exp(-m.rT) * probability(risk_neutral_drift, s, m.b, barrier.up, m.b, !barrier.up, false)
            : barrier.rebate * hit_discount(risk_neutral_drift, s, m.b, barrier.up, m.rT);
    }
    return value;
}

}  // namespace tarnwick::blackscholes
