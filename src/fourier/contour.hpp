#pragma once

// Where to integrate: the contour Re w = theta and the trapezoid step along it.
//
// With X = ln(S_T / F) and k = ln(K / F), the normalised call E[(e^X - e^k)^+] and put
// E[(e^k - e^X)^+] are both
//
//     (1 / 2 pi) int exp(T kappa(w) + (1 - w) k) / (w (w - 1)) du,    w = theta + i u,
//
// the call for theta > 1 and the put for theta < 0 (moving the line across the poles at
// w = 1 and w = 0 turns one into the other). Each side is priced on its own line, so no
// price is obtained by subtracting two larger ones.

#include <cmath>
#include <complex>
#include <limits>

namespace tarnwick::fourier {

inline constexpr double pi = 3.141592653589793;
inline constexpr double infinity = std::numeric_limits<double>::infinity();

// Log of the integrand's modulus at u = 0, which also bounds it along the whole line:
// |E[e^{wX}]| <= E[e^{theta X}] and |w (w - 1)| >= |theta (theta - 1)|.
template <class Model>
double log_size(const Model& model, double T, double k, double theta) {
    return T * model.exponent(theta).real() + (1.0 - theta) * k - std::log(std::abs(theta * (theta - 1.0)));
}

template <class Model>
double log_size_slope(const Model& model, double T, double k, double theta) {
    return T * model.slope(theta).real() - k - 1.0 / theta - 1.0 / (theta - 1.0);
}

// The admissible interval of theta for one side: between the pole and the strip edge.
struct Interval {
    double lo, hi;
};

template <class Model>
Interval admissible(const Model& model, bool call) {
    return call ? Interval{1.0, model.upper_edge()} : Interval{model.lower_edge(), 0.0};
}

// The theta that minimises log_size over the interval: there the integrand is smallest
// and flat near u = 0 (a saddle point), so it neither oscillates nor cancels much. log_size
// is convex (a cumulant generating function plus -log of two linear factors), so
// bisection on its slope finds the minimum. A finite strip edge is kept at a fifth of the
// interval's width: closer, the exponent's singularity there would force tiny steps.
template <class Model>
double saddle(const Model& model, double T, double k, Interval range) {
    const auto slope = [&](double theta) { return log_size_slope(model, T, k, theta); };
    double lo = range.lo;
    double hi = range.hi;
    // The slope is -inf at the pole end and +inf at a finite strip edge (or far away).
    if (std::isfinite(lo) && std::isfinite(hi)) {
        if (lo == 1.0) hi = lo + 0.8 * (hi - lo);
        else lo = hi - 0.8 * (hi - lo);
        if (lo == 1.0 && slope(hi) <= 0.0) return hi;
        if (hi == 0.0 && slope(lo) >= 0.0) return lo;
    } else if (!std::isfinite(hi)) {
        double width = 1.0;
        while (slope(lo + width) < 0.0 && width < 1e7) width *= 2.0;
        hi = lo + width;
        if (slope(hi) < 0.0) return hi;
    } else {
        double width = 1.0;
        while (slope(hi - width) > 0.0 && width < 1e7) width *= 2.0;
        lo = hi - width;
        if (slope(lo) > 0.0) return lo;
    }
    // The ends themselves (the pole) are excluded; 60 halvings reach the rounding level.
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        if (mid <= lo || mid >= hi) break;
        if (slope(mid) < 0.0) lo = mid;
        else hi = mid;
    }
    return 0.5 * (lo + hi);
}

// Trapezoid step along the line for an absolute error of about exp(log_tolerance) (in
// units of the forward) for every k in [k_lo, k_hi]. The integrand is analytic in the
// strip of shifts b of the line up to the next pole or strip edge on each side, and the
// trapezoid error from the side shifted by b is about L1(theta -+ b) exp(-2 pi b / h), where
// the L1 norm along the shifted line is bounded by its modulus at u = 0 times a length. So
// each side allows h = 2 pi b / (log_size(theta -+ b) + log length - log_tolerance) for any
// admissible b; the best b on each side is searched over a few candidates and the smaller
// step taken. log_size is linear in k, so its largest value over the k range is at an end.
template <class Model>
double trapezoid_step(const Model& model, double T, double k_lo, double k_hi, double theta, Interval range,
                      double log_tolerance) {
    const auto side = [&](double direction, double limit) {
        const double distance = std::abs(limit - theta);
        double best = 0.0;
        const bool bounded = std::isfinite(distance);
        const int candidates = bounded ? 12 : 40;
        for (int j = 1; j <= candidates; ++j) {
            // Up to 95% of the way to a pole or edge; geometrically spaced shifts otherwise.
            const double b = bounded ? distance * (0.95 * j / candidates)
                                     : 0.125 * std::ldexp(1.0 + std::abs(theta), j / 2) * (j % 2 ? 1.0 : 1.5);
            const double shifted = theta + direction * b;
            const double length = std::log(4.0 + std::abs(shifted) + std::abs(shifted - 1.0));
            const double size = std::max(log_size(model, T, k_lo, shifted), log_size(model, T, k_hi, shifted));
            const double budget = size + length - log_tolerance;
            if (std::isnan(budget)) continue;
            if (budget <= 0.0) return infinity;  // that side's error is below tolerance at any step
            best = std::max(best, 2.0 * pi * b / budget);
        }
        return best;
    };
    return std::min(side(-1.0, range.lo), side(1.0, range.hi));
}

// Where to stop the sum: the tail beyond u of an integrand that decays at least like the
// diffusion's Gaussian exp(-a u^2 / 2), a = sigma^2 T, is at most its size at u times
// 1 / (a u), and, when it also decays like 1 / u^2 (the price's does), at most size times u.
// Three small nodes in a row past u = 1 + |theta| (where a jump part may still bump) end it.
class TailTest {
  public:
    TailTest(double a, double theta, double log_tolerance, bool inverse_square)
        : a_(a), start_(1.0 + std::abs(theta)), tolerance_(std::exp(log_tolerance)), inverse_square_(inverse_square) {}

    bool done(double u, double size) {
        const double length = inverse_square_ ? std::min(u, 1.0 / (a_ * u)) : 1.0 / (a_ * u);
        quiet_ = size * length < tolerance_ ? quiet_ + 1 : 0;
        return quiet_ >= 3 && u > start_;
    }

  private:
    double a_, start_, tolerance_;
    bool inverse_square_;
    int quiet_ = 0;
};

}  // namespace tarnwick::fourier
