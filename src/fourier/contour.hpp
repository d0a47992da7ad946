#pragma once

// Where to integrate: the contour Re w = theta and the trapezoid step along it.
//
// With X = ln(S_T / F) and k = ln(K / F), the normalised call E[(e^X - e^k)^+] and put
// E[(e^k - e^X)^+] are both
//
//     (1 / 2 pi) int exp(L(w, T) + (1 - w) k) / (w (w - 1)) du,    w = theta + i u,
//
// the call for theta > 1 and the put for theta < 0 (moving the line across the poles at
// w = 1 and w = 0 turns one into the other). Each side is priced on its own line, so no
// price is obtained by subtracting two larger ones. L(w, T) = ln E[e^{wX}] is the model's
// log-moment generating function (charfun/model_interface.hpp), read through the members
// of that interface only.

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

#include "charfun/model_interface.hpp"

namespace tarnwick::fourier {

inline constexpr double pi = 3.141592653589793;
inline constexpr double infinity = std::numeric_limits<double>::infinity();

// Log of the integrand's modulus at u = 0, which also bounds it along the whole line:
// |E[e^{wX}]| <= E[e^{theta X}] and |w (w - 1)| >= |theta (theta - 1)|.
// Its largest value for k in [k_lo, k_hi] is at an end (it is linear in k): one log-MGF
// serves both.
template <class Model>
double log_size(const Model& model, double T, double k_lo, double k_hi, double theta) {
    const double at_zero = model.log_mgf(theta, T).value.real();
    const double pole_factors = std::log(std::abs(theta * (theta - 1.0)));
    return std::max(at_zero + (1.0 - theta) * k_lo - pole_factors, at_zero + (1.0 - theta) * k_hi - pole_factors);
}

template <class Model>
double log_size(const Model& model, double T, double k, double theta) {
    return log_size(model, T, k, k, theta);
}

template <class Model>
double log_size_slope(const Model& model, double T, double k, double theta) {
    return model.log_mgf_dw(theta, T).real() - k - 1.0 / theta - 1.0 / (theta - 1.0);
}

// The admissible interval of theta for one side: between the pole and the strip edge. A
// stochastic variance's strip edges take a root search each (some 7 k instructions, a few
// nodes' worth), so a caller that looks at both sides or at the strip itself computes the
// strip once and passes it.
struct Interval {
    double lo, hi;
};

inline Interval admissible(const charfun::Strip& strip, bool call) {
    return call ? Interval{1.0, strip.hi} : Interval{strip.lo, 0.0};
}

template <class Model>
Interval admissible(const Model& model, double T, bool call) {
    return admissible(model.strip(T), call);
}

// The line between the poles, 0 < Re w < 1 (line.hpp).
inline Interval between_poles() { return {0.0, 1.0}; }
inline bool is_between_poles(const Interval& range) { return range.lo == 0.0 && range.hi == 1.0; }

// Along the line the integrand's modulus falls at least like the decay the model states.
// span: the u beyond which that decay alone is below exp(log_tolerance) (infinite without
// one). tail_length: a bound of int_u^inf decay(v) / decay(u) dv, the Gaussian's
// min(1 / (a u), sqrt(pi / 2a)), the exponential's 1 / c and the power's e u / (power - 1).
// finest_step: a step that still resolves the decay's width, for lines where the error
// estimate allows any step.
inline double span(const charfun::Decay& d, double log_tolerance) {
    double result = infinity;
    if (d.variance > 0.0) result = std::sqrt(-2.0 * log_tolerance / d.variance);
    if (d.rate > 0.0) result = std::min(result, -log_tolerance / d.rate);
    if (d.power > 0.0) result = std::min(result, d.scale * std::exp((1.0 - log_tolerance) / d.power));
    return result;
}

inline double tail_length(const charfun::Decay& d, double u) {
    double result = infinity;
    if (d.variance > 0.0) result = std::min(1.0 / (d.variance * u), std::sqrt(0.5 * pi / d.variance));
    if (d.rate > 0.0) result = std::min(result, 1.0 / d.rate);
    if (d.power > 1.0 && u >= d.scale) result = std::min(result, 2.718281828459045 * u / (d.power - 1.0));
    return result;
}

inline double finest_step(const charfun::Decay& d) {
    double step = 1.0 / std::max(d.deviation, d.rate);
    if (d.power > 0.0) step = std::min(step, d.scale / d.power);
    return step;
}

// How a line's choice searches. The saddle is found to a fraction of its distance to the
// nearer end of its interval, and a side's step is the best of twelve strip half-widths.
// Neither needs to be exact: the line only has to be near the minimum, and the step within
// a few percent of the best. A model whose log-MGF costs a Riccati solution
// (charfun::costly) settles for 3% for the saddle and finds the best half-width by
// narrowing (largest_of) instead of trying all twelve: its line's choice then takes about
// half the evaluations, and its sums as many nodes to within a few tenths of a percent.
struct Search {
    double saddle_resolution;
    bool narrowing;
};

template <class Model>
constexpr Search search_of() {
    return charfun::costly<Model>::value ? Search{3e-2, true} : Search{1e-3, false};
}

// The largest of f(1), ..., f(n), n <= 16, for f >= 0 that rises and then falls, by golden-
// section narrowing of the index range: about 2 + log(n) / log(1.618) looks instead of n.
// An infinite value is the largest; where two looks tie (a flat stretch, e.g. of zeros
// where the estimate failed) the rest of the range is scanned, so that no peak is missed.
template <class F>
double largest_of(int n, F&& f) {
    double seen[17];
    for (double& v : seen) v = -1.0;
    const auto at = [&](int j) { return seen[j] >= 0.0 ? seen[j] : (seen[j] = f(j)); };
    int lo = 1, hi = n;
    while (hi - lo >= 3) {
        const int gap = static_cast<int>(0.382 * (hi - lo) + 0.5);
        const int a = lo + gap, b = hi - gap;
        const double fa = at(a), fb = at(b);
        if (fa == infinity || fb == infinity) return infinity;
        if (fa == fb) break;
        if (fa < fb) lo = a + 1;
        else hi = b - 1;
    }
    double best = 0.0;
    for (int j = lo; j <= hi && best < infinity; ++j) best = std::max(best, at(j));
    return best;
}

// The theta that minimises log_size over the interval: there the integrand is smallest
// and flat near u = 0 (a saddle point), so it neither oscillates nor cancels much. log_size
// is convex (a cumulant generating function plus -log of two linear factors), so
// bisection on its slope finds the minimum. A finite strip edge is kept at a fifth of the
// interval's width: closer, the exponent's singularity there would force tiny steps.
// For a costly model (charfun::costly) the search takes log_size's slope as a central
// difference of two real-arithmetic evaluations, a third of the cost of the dual-number
// derivative: it needs the slope's sign and rough size only, and a difference step of a
// thousandth of the distance to the interval's nearer end (pole or strip edge, where
// log_size is singular) keeps it within about 1e-6 of the slope however close to an end.
template <class Model>
double saddle(const Model& model, double T, double k, Interval range) {
    const auto slope = [&](double theta) {
        if constexpr (charfun::costly<Model>::value) {
            const double d = 1e-3 * std::min(theta - range.lo, range.hi - theta);
            return (log_size(model, T, k, theta + d) - log_size(model, T, k, theta - d)) / (2.0 * d);
        }
        return log_size_slope(model, T, k, theta);
    };
    double lo = range.lo;
    double hi = range.hi;
    // The slopes at the bracket's ends where known (the search's first looks).
    double lo_slope = std::nan(""), hi_slope = std::nan("");
    // The slope is -inf at the pole end and +inf at a finite strip edge (or far away), or at
    // the other pole.
    if (is_between_poles(range)) {
        // Both ends are poles: bisect between them.
    } else if (std::isfinite(lo) && std::isfinite(hi)) {
        if (lo == 1.0) hi = lo + 0.8 * (hi - lo);
        else lo = hi - 0.8 * (hi - lo);
        if (lo == 1.0 && (hi_slope = slope(hi)) <= 0.0) return hi;
        if (hi == 0.0 && (lo_slope = slope(lo)) >= 0.0) return lo;
    } else if (!std::isfinite(hi)) {
        double width = 1.0;
        while (slope(lo + width) < 0.0 && width < 1e7) width *= 2.0;
        hi = lo + width;
        if ((hi_slope = slope(hi)) < 0.0) return hi;
    } else {
        double width = 1.0;
        while (slope(hi - width) > 0.0 && width < 1e7) width *= 2.0;
        lo = hi - width;
        if ((lo_slope = slope(lo)) > 0.0) return lo;
    }
    // The ends themselves (pole, strip edge) are excluded. The line need not sit exactly at
    // the minimum, but within a small fraction (search_of) of its distance to the nearer end
    // of the interval: near an end log_size rises steeply (huge variances put the saddle within
    // 1e-5 of the pole). Nor may log_size change by more than about one across the bracket:
    // a jump transform like exp(s^2 theta^2 / 2) far out in an unbounded strip turns from
    // negligible to overflowing within a bracket that is small relative to the room.
    // A costly model's search steps by regula falsi wherever both ends' slopes are finite (the
    // slope is smooth and monotone between pole and edge), kept a fiftieth of the bracket
    // from its ends, with the Illinois rule's halving of the slope at an end that stays put
    // (strip_edge in charfun/heston.hpp), and stops once the bracket itself is narrow enough:
    // about two thirds of bisection's evaluations, for a line within the same resolution.
    constexpr Search search = search_of<Model>();
    // Whether a bracket [a, b] with the slope s inside it is narrow enough to stop.
    const auto settled = [&](double a, double b, double s) {
        return b - a <= search.saddle_resolution * std::min(a - range.lo, range.hi - b) && std::abs(s) * (b - a) <= 1.0;
    };
    int kept = 0;  // the end that stayed put last step: -1 lo, +1 hi
    for (int i = 0; i < 200; ++i) {
        double mid = 0.5 * (lo + hi);
        if (search.narrowing && std::isfinite(lo_slope) && std::isfinite(hi_slope)) {
            const double secant = hi - hi_slope * (hi - lo) / (hi_slope - lo_slope);
            mid = std::min(std::max(secant, lo + 0.02 * (hi - lo)), hi - 0.02 * (hi - lo));
        }
        if (mid <= lo || mid >= hi) break;
        const double at_mid = slope(mid);
        if (settled(lo, hi, at_mid)) return mid;
        if (at_mid < 0.0) {
            lo = mid;
            lo_slope = at_mid;
            if (kept == 1) hi_slope *= 0.5;
            kept = 1;
        } else {
            hi = mid;
            hi_slope = at_mid;
            if (kept == -1) lo_slope *= 0.5;
            kept = -1;
        }
        // A costly model's search also stops on the narrowed bracket, at its middle.
        if (search.narrowing && settled(lo, hi, at_mid)) break;
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
// The step is exact between `least` and `enough`; one below least comes back as some value
// below least, one of at least enough as some value of at least enough, which is all a
// caller comparing with them needs. Each side's best only rises along its search, so the
// search stops once it reaches enough. The strip edge's side goes first: where it is below
// least it decides, else the pole's side stops once it reaches the first's. That side is
// looked at from the pole end, where its best usually lies (log_size rises only like -log
// of the distance to a pole, faster toward a strip edge), so one look often settles it:
// about half the evaluations of a line's choice.
// The step, and whether the side toward a pole set it (the other side's allows at least as
// long a step).
struct Step {
    double length;
    bool by_pole;
};

template <class Model>
Step trapezoid_step_and_side(const Model& model, double T, double k_lo, double k_hi, double theta, Interval range,
                             double log_tolerance, double least = 0.0, double enough = infinity) {
    const double span = fourier::span(model.decay(T), log_tolerance);
    // The step that a strip of half-width b allows on one side; infinity where that side's
    // whole error is below tolerance at any step, 0 where the estimate is not a number.
    const auto allowed = [&](double shifted, double b) {
        // The L1 norm along the line: its sup times at most the span where the model's
        // decay has not yet cut the integrand off (jump parts can keep it up all along).
        const double length = std::log(4.0 + std::abs(shifted) + std::abs(shifted - 1.0) + span);
        const double size = model.log_mgf(shifted, T).value.real() + std::max((1.0 - shifted) * k_lo, (1.0 - shifted) * k_hi) -
                            std::log(std::abs(shifted * (shifted - 1.0)));
        const double budget = size + length - log_tolerance;
        if (std::isnan(budget)) return 0.0;
        return budget <= 0.0 ? infinity : 2.0 * pi * b / budget;
    };
    const auto is_pole = [](double limit) { return limit == 0.0 || limit == 1.0; };
    const auto side = [&](double direction, double limit, double enough) {
        const double distance = std::abs(limit - theta);
        double best = 0.0;
        if (std::isfinite(distance)) {
            // Up to 95% of the way to the pole or edge. The step 2 pi b over a convex
            // function of b rises and then falls.
            const auto at = [&](int j) {
                const double b = distance * (0.95 * j / 12);
                return allowed(theta + direction * b, b);
            };
            if constexpr (search_of<Model>().narrowing) return largest_of(12, at);
            const bool from_limit = is_pole(limit);
            for (int i = 0; i < 12 && best < enough; ++i) best = std::max(best, at(from_limit ? 12 - i : 1 + i));
            return best;
        }
        // An unbounded side: the step allowed is 2 pi b over a convex function of b, which
        // has a single maximum; doubling and halving from 1 + |theta| / 4 find it to a
        // factor of two, and one more look either side to a factor of sqrt 2.
        double b = 0.25 * (1.0 + std::abs(theta));
        best = allowed(theta + direction * b, b);
        for (double factor : {0.5, 2.0}) {
            for (int i = 0; i < 40 && best < enough; ++i) {
                const double next = allowed(theta + direction * b * factor, b * factor);
                if (!(next > best)) break;
                best = next;
                b *= factor;
            }
        }
        for (double factor : {0.7071067811865476, 1.4142135623730951})
            if (best < enough) best = std::max(best, allowed(theta + direction * b * factor, b * factor));
        return best;
    };
    const bool lower_first = !is_pole(range.lo) || is_pole(range.hi);
    const double first_limit = lower_first ? range.lo : range.hi, second_limit = lower_first ? range.hi : range.lo;
    const double first = side(lower_first ? -1.0 : 1.0, first_limit, enough);
    if (first < least) return {first, is_pole(first_limit)};
    const double second = side(lower_first ? 1.0 : -1.0, second_limit, std::min(enough, first));
    return second < first ? Step{second, is_pole(second_limit)} : Step{first, is_pole(first_limit)};
}

template <class Model>
double trapezoid_step(const Model& model, double T, double k_lo, double k_hi, double theta, Interval range,
                      double log_tolerance, double least = 0.0, double enough = infinity) {
    return trapezoid_step_and_side(model, T, k_lo, k_hi, theta, range, log_tolerance, least, enough).length;
}

// The contour for log-moneyness in [k_lo, k_hi]: the saddle of the middle k, or a line
// moved from it toward the middle of the strip when that allows a longer step. The saddle
// minimises the integrand's size, but a strip edge or pole close to it forces short steps;
// a line up to e^log_excess larger at u = 0 that sits farther from both often needs
// half the nodes, and the absolute error goal does not change. The Greeks' integrands carry
// polynomial factors in w up to the third power that the step estimate does not see, so they
// stay at the saddle (log_excess = 0).
struct Contour {
    double theta;
    double step;
};

// The candidates are the saddle and the points a quarter, half and three quarters of the
// way, those within the size limit: a set of t from 0 up to some largest (size is convex
// and least near the saddle). The steps are looked at from that largest t down, where the
// step is usually longest: each nearer one then stops early (trapezoid_step's least) once
// its strip edge's side falls short of the best so far. Among equal steps the nearest the
// saddle is kept. A costly model (search_of) stops at the first candidate whose step is set
// by the side the candidates after it move toward (the pole where the shift is away from
// it): a line nearer a pole or edge allows no longer a step on that side, since each
// shifted line it could use is one the farther line uses at a larger shift b, so none of
// them could be longer. Where the pole's side limits every candidate (the usual case) this
// takes half the evaluations off a line's choice.
template <class Model>
Contour choose_contour(const Model& model, double T, double k_lo, double k_hi, Interval range, double log_tolerance,
                       double log_excess) {
    const double theta0 = saddle(model, T, 0.5 * (k_lo + k_hi), range);
    const auto size = [&](double theta) { return log_size(model, T, k_lo, k_hi, theta); };
    // Between the poles the saddle already sits as far from both as the integrand allows.
    if (log_excess <= 0.0 || is_between_poles(range))
        return {theta0, trapezoid_step(model, T, k_lo, k_hi, theta0, range, log_tolerance)};
    const double pole = range.lo == 1.0 ? 1.0 : 0.0;
    const double edge = pole == 1.0 ? range.hi : range.lo;
    // Toward the middle between pole and edge, or away from the pole in an unbounded strip.
    const double shift = std::isfinite(edge) ? 0.5 * (pole + edge) - theta0 : theta0 - pole;
    const double limit = size(theta0) + log_excess;
    constexpr double fractions[] = {0.0, 0.25, 0.5, 0.75};
    int last = 0;
    while (last < 3 && size(theta0 + fractions[last + 1] * shift) <= limit) ++last;
    const bool toward_pole = shift * (theta0 - pole) > 0.0;  // the loop's direction
    Contour best{theta0, 0.0};
    for (int i = last; i >= 0; --i) {
        const double theta = theta0 + fractions[i] * shift;
        const Step step = trapezoid_step_and_side(model, T, k_lo, k_hi, theta, range, log_tolerance, best.step);
        if (step.length >= best.step) best = {theta, step.length};
        if (search_of<Model>().narrowing && step.by_pole == toward_pole) break;
    }
    return best;
}

// Where to stop the sum. The model's bound B(u) of Re L at u and beyond does not increase
// with u, and beyond it |e^L| decays as the model states (tail_length). With the integrand
// bounded by e^{B(u)} / |w (w - 1)|, the tail beyond u is at most that bound times the tail
// length, and, for the price's integrand, at most e^{B(u)} / u (since |w (w - 1)| >= u^2).
// `factor` bounds the polynomial factors of derivative integrands. The bound is monotone,
// so callers may test only every few nodes (tail_test_interval) at the price of a few extra
// nodes.
inline constexpr long tail_test_interval = 4;

template <class Model>
class TailTest {
  public:
    TailTest(const Model& model, double T, double theta, double k, double log_tolerance, bool inverse_square)
        : model_(model), decay_(model.decay(T)), T_(T), theta_(theta), k_(k), tolerance_(std::exp(log_tolerance)),
          inverse_square_(inverse_square) {}

    // at_node, Re L at u itself where the caller has it, is at most the bound there: where the
    // test fails with it, it fails with the bound, which is then not evaluated (for a
    // stochastic variance the bound costs as much as a node).
    bool done(double u, double factor, double at_node = -infinity) const {
        return passes(u, factor, at_node) && passes(u, factor, model_.log_bound(theta_, u, T_));
    }

  private:
    bool passes(double u, double factor, double log_bound) const {
        const double w_size = std::sqrt((theta_ * theta_ + u * u) * ((theta_ - 1.0) * (theta_ - 1.0) + u * u));
        const double envelope = std::exp(log_bound + (1.0 - theta_) * k_);
        double tail = envelope / w_size * tail_length(decay_, u);
        if (inverse_square_) tail = std::min(tail, envelope / u);
        return tail * factor < tolerance_;
    }

    const Model& model_;
    charfun::Decay decay_;
    double T_, theta_, k_, tolerance_;
    bool inverse_square_;
};

}  // namespace tarnwick::fourier
