#pragma once

// Kou's probability Upsilon = P(Z(T) >= a) of the series cut after jump count n, by
// Fourier inversion instead of the closed form. The closed form multiplies sums of I_k
// values by exp((eta sigma)^2 T / 2), which cancel to all digits once eta sigma sqrt(T)
// passes about 7 and overflows past 37.7; the inversion has no such factor.
//
// With X = sigma W(T) + (sum of the jumps), the cut series is the measure
// sum_{j=0..n} pi_j P(X in . | j jumps), of total mass sum_j pi_j, whose characteristic
// function is
//     phi(u) = exp(-sigma^2 T u^2 / 2) sum_{j=0..n} pi_j psi(u)^j,
//     psi(u) = p eta1 / (eta1 - i u) + q eta2 / (eta2 + i u),
// and Gil-Pelaez's formula for a measure without atoms gives its mass at or above b:
//     mass / 2 + (1/pi) int_0^inf Im[exp(-i u b) phi(u)] / u du.
// Once n is past the Poisson window the sum over j is the whole exponential
// exp(lambda T (psi(u) - 1)); the part left out is below 1e-20.

#include <cmath>
#include <complex>
#include <vector>

#include "common/poisson.hpp"

namespace dexpjump {

namespace inversion_detail {

using complex = std::complex<double>;

// The 16-point Gauss-Legendre rule on [-1, 1]: the positive nodes and their weights.
inline constexpr double gl_node[8] = {0.09501250983763745, 0.2816035507792589,
                                      0.45801677765722737, 0.6178762444026438,
                                      0.755404408355003,   0.8656312023878318,
                                      0.9445750230732326,  0.9894009349916499};
inline constexpr double gl_weight[8] = {0.18945061045506859, 0.1826034150449236,
                                        0.16915651939500262, 0.14959598881657676,
                                        0.12462897125553403, 0.09515851168249259,
                                        0.062253523938647706, 0.027152459411754037};

// The work one inversion may do, in count terms summed (a nanosecond or two each; the
// complex exponential and logarithm of a node count as 30 more): a few milliseconds. An inversion that would need more gives up (NaN), and so does one
// whose integrand has not fallen below its cut-off within 4096 panels.
class Budget {
public:
    bool spend(double work) {
        left -= work;
        return left >= 0.0;
    }

private:
    double left = 1e6;
};

inline constexpr int max_panels = 4096;
inline constexpr double node_overhead = 30.0;

// The jump count law: the counts lo ... hi that are summed, and the Poisson weights.
struct JumpCounts {
    double lambda_T;
    int lo;
    int hi;
    bool whole;  // hi is past the window: use the whole exponential
};

struct Model {
    const double* weights;  // weights[j - lo] = pi_j for the counts summed
    double s2T;        // sigma^2 T
    double p, q;
    double eta1, eta2;
    double mean_jump;  // E[Y] = p / eta1 - q / eta2
    double b;          // the level relative to the drift, a - mu T
    JumpCounts counts;
};

// exp(-i u b) phi(u). For the whole exponential the drift of the jumps is split off
// and combined with b first: psi - 1 - i u E[Y] = -u^2 (p / (eta1 (eta1 - i u)) +
// q / (eta2 (eta2 + i u))) has no cancellation, and the phase u (b - lambda T E[Y])
// stays small where the two large phases would nearly cancel.
inline complex shifted_cf(const Model& m, double u) {
    const complex iu(0.0, u);
    const double gauss = -0.5 * m.s2T * u * u;
    if (m.counts.whole) {
        const complex centred = -(u * u) * (m.p / (m.eta1 * (m.eta1 - iu)) +
                                            m.q / (m.eta2 * (m.eta2 + iu)));
        const double shift = m.b - m.counts.lambda_T * m.mean_jump;
        return std::exp(m.counts.lambda_T * centred + complex(gauss, -u * shift));
    }
    const complex psi = m.p * m.eta1 / (m.eta1 - iu) + m.q * m.eta2 / (m.eta2 + iu);
    // psi^lo through its logarithm (|psi| > 0), then one factor per count, multiplied out
    // in real arithmetic: the operator of std::complex checks every product for
    // infinities and NaNs, which none of these (all of modulus <= 1) can be.
    const complex start = m.counts.lo == 0 ? complex(1.0) : std::exp(double(m.counts.lo) * std::log(psi));
    double re = start.real(), im = start.imag();
    const double psi_re = psi.real(), psi_im = psi.imag();
    double sum_re = 0.0, sum_im = 0.0;
    for (int j = m.counts.lo; j <= m.counts.hi; ++j) {
        const double w = m.weights[j - m.counts.lo];
        sum_re += w * re;
        sum_im += w * im;
        const double next_re = re * psi_re - im * psi_im;
        im = re * psi_im + im * psi_re;
        re = next_re;
    }
    return complex(sum_re, sum_im) * std::exp(complex(gauss, -u * m.b));
}

// An upper bound of |phi(u)| for all arguments >= u: |psi| <= r(u), decreasing, and
// sum_j pi_j r^j <= exp(-lambda T (1 - r)), with 1 - eta / sqrt(eta^2 + u^2) formed
// without cancellation.
inline double cf_bound(const Model& m, double u) {
    const double u2 = u * u;
    const double h1 = std::sqrt(m.eta1 * m.eta1 + u2);
    const double h2 = std::sqrt(m.eta2 * m.eta2 + u2);
    const double one_minus_r = m.p * u2 / (h1 * (h1 + m.eta1)) + m.q * u2 / (h2 * (h2 + m.eta2));
    return std::exp(-0.5 * m.s2T * u2 - m.counts.lambda_T * one_minus_r);
}

// The tilted contour Re s = theta of the Laplace inversion
//     mass at or above b = [theta < 0] mass + (1/pi) int_0^inf Re[Phi(s) e^{-s b} / s] du,
// with s = theta + i u, Phi(s) = E[e^{s X}] and -eta2 < theta < eta1, theta != 0. At the
// saddle point, where the tilted law of X has its mean at b, the integrand has no phase
// of frequency |b - mean| left: where the plain contour needs thousands of panels for a
// level many standard deviations from the bulk, this one needs a few dozen.
//
// The counts are weighted by pi_j rho^j, rho = psi(theta), scaled by their largest
// weight C, so that every power is of psi(s) / rho (modulus <= 1) and the whole scale
// exp(log C + sigma^2 T theta^2 / 2 - theta b) multiplies the integrand once. That scale
// is Phi(theta) e^{-theta b}, convex in theta with its minimum at the saddle point and
// equal to the mass at theta = 0: near the saddle it cannot overflow.
struct Tilt {
    double theta;
    double rho;                  // psi(theta)
    double log_scale;            // log C + sigma^2 T theta^2 / 2 - theta b
    double mean;                 // mean of the tilted law
    double sd;                   // its standard deviation
    std::vector<double> weights; // pi_j rho^j / C for the counts summed
};

// psi and its first two derivatives at the real point theta.
struct PsiDerivatives {
    double value, first, second;
};

inline PsiDerivatives psi_at(const Model& m, double theta) {
    const double up = m.eta1 / (m.eta1 - theta);
    const double down = m.eta2 / (m.eta2 + theta);
    return {m.p * up + m.q * down, m.p * up / (m.eta1 - theta) - m.q * down / (m.eta2 + theta),
            2.0 * (m.p * up / ((m.eta1 - theta) * (m.eta1 - theta)) +
                   m.q * down / ((m.eta2 + theta) * (m.eta2 + theta)))};
}

// The law of X tilted by e^{theta x}: the counts weighted by pi_j rho^j / C (their
// logarithms log_pi[j - lo] = log pi_j given), with the cumulant derivatives
// K'(theta) (the tilted mean of X) and K''(theta) (its variance).
inline Tilt tilt_at(const Model& m, const std::vector<double>& log_pi, double theta) {
    Tilt t;
    t.theta = theta;
    const PsiDerivatives psi = psi_at(m, theta);
    t.rho = psi.value;
    const double log_rho = std::log(psi.value);
    double log_C = -INFINITY;
    for (size_t k = 0; k < log_pi.size(); ++k) log_C = std::fmax(log_C, log_pi[k] + k * log_rho);
    // Count moments about lo, which keeps them small against lo itself.
    double total = 0.0, first = 0.0, second = 0.0;
    t.weights.resize(log_pi.size());
    for (size_t k = 0; k < log_pi.size(); ++k) {
        const double w = std::exp(log_pi[k] + k * log_rho - log_C);
        t.weights[k] = w;
        total += w;
        first += w * double(k);
        second += w * double(k) * double(k);
    }
    const double offset = first / total;
    const double count_mean = m.counts.lo + offset;
    const double count_variance = std::fmax(0.0, second / total - offset * offset);
    const double jump_mean = psi.first / psi.value;
    const double jump_variance = psi.second / psi.value - jump_mean * jump_mean;
    t.mean = m.s2T * theta + count_mean * jump_mean;
    t.sd = std::sqrt(m.s2T + count_mean * jump_variance + count_variance * jump_mean * jump_mean);
    t.log_scale = (log_C + m.counts.lo * log_rho) + 0.5 * m.s2T * theta * theta - theta * m.b;
    return t;
}

// Near the saddle point: Newton steps on the increasing K'(theta) = b, kept inside a
// bracket within 0.95 of the strip, until the tilted mean is within a tenth of a
// standard deviation of b. Any theta of the strip gives the same mass; the saddle only
// removes the phase.
// Each step costs about ten count terms per count (an exponential each).
inline Tilt saddle_tilt(const Model& m, const double* pi, Budget& budget) {
    std::vector<double> log_pi(m.counts.hi - m.counts.lo + 1);
    for (size_t k = 0; k < log_pi.size(); ++k) log_pi[k] = std::log(pi[k]);
    double lo = -0.95 * m.eta2, hi = 0.95 * m.eta1;
    Tilt t = tilt_at(m, log_pi, 0.0);
    for (int step = 0; step < 100 && std::fabs(t.mean - m.b) > 0.1 * t.sd &&
                       budget.spend(10.0 * log_pi.size());
         ++step) {
        if (t.mean < m.b) lo = t.theta;
        else hi = t.theta;
        double next = t.theta + (m.b - t.mean) / (t.sd * t.sd);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        t = tilt_at(m, log_pi, next);
    }
    return t;
}

// Phi(theta + i u) e^{-(theta + i u) b} / (theta + i u), the integrand before Re.
inline complex tilted_integrand(const Model& m, const Tilt& t, double u) {
    const complex s(t.theta, u);
    const complex ratio = (m.p * m.eta1 / (m.eta1 - s) + m.q * m.eta2 / (m.eta2 + s)) / t.rho;
    const complex start = std::exp(double(m.counts.lo) * std::log(ratio));  // rho^lo is in the scale
    double re = start.real(), im = start.imag();
    const double ratio_re = ratio.real(), ratio_im = ratio.imag();
    double sum_re = 0.0, sum_im = 0.0;
    for (size_t k = 0; k < t.weights.size(); ++k) {
        sum_re += t.weights[k] * re;
        sum_im += t.weights[k] * im;
        const double next_re = re * ratio_re - im * ratio_im;
        im = re * ratio_im + im * ratio_re;
        re = next_re;
    }
    // sigma^2 T s^2 / 2 - s b less its value at u = 0, which is in the scale.
    const complex exponent(t.log_scale - 0.5 * m.s2T * u * u, u * (m.s2T * t.theta - m.b));
    return complex(sum_re, sum_im) * std::exp(exponent) / s;
}

// A bound of |integrand| for all arguments >= u: |psi(theta + i u)| <= r(u), decreasing,
// so every count's power is at most (r / rho)^lo, and |1 / s| <= 1 / u.
inline double tilted_bound(const Model& m, const Tilt& t, double total_weight, double u) {
    const double r = m.p * m.eta1 / std::hypot(m.eta1 - t.theta, u) +
                     m.q * m.eta2 / std::hypot(m.eta2 + t.theta, u);
    return total_weight * std::exp(t.log_scale - 0.5 * m.s2T * u * u +
                                   m.counts.lo * std::log(std::fmin(1.0, r / t.rho))) / u;
}

// 16-point Gauss-Legendre sum of f over [left, left + width].
template <class F>
double panel_integral(double left, double width, F f) {
    const double mid = left + 0.5 * width;
    double panel = 0.0;
    for (int k = 0; k < 8; ++k) {
        const double offset = 0.5 * width * gl_node[k];
        panel += gl_weight[k] * (f(mid - offset) + f(mid + offset));
    }
    return 0.5 * width * panel;
}

// The integral of f over [0, u_end) in panels of the given width, ended early at the first
// panel from whose left end on the integrand is below bound(u) < 1e-19. Each node costs
// node_work count terms. NaN where the range needs more than 4096 panels and the bound
// has not ended it by then (the rest of the integral is unknown), or where the budget
// runs out.
template <class F, class Bound>
double panel_sum(double width, double u_end, double node_work, Budget& budget, F f, Bound bound) {
    if (!(width > 0.0)) return NAN;
    const double needed = std::ceil(u_end / width);
    const bool capped = !(needed <= max_panels);
    const int panels = capped ? max_panels : static_cast<int>(needed);
    double integral = 0.0;
    double left = 0.0;
    for (int panel = 0; panel < panels; ++panel, left += width) {
        if (panel > 0 && bound(left) < 1e-19) return integral;
        if (!budget.spend(16.0 * node_work)) return NAN;
        integral += panel_integral(left, width, f);
    }
    return capped ? NAN : integral;
}

// The mass at or above b of the cut series on the saddle-point contour of the tilt.
inline double Upsilon_by_tilted_contour(const Model& m, const Tilt& t, double mass, Budget& budget) {
    double total_weight = 0.0;
    for (double w : t.weights) total_weight += w;
    const double width = std::fmin(std::fmin(1.0 / t.sd, std::fabs(t.theta)),
                                   std::fmin(m.eta1 - t.theta, m.eta2 + t.theta));
    const double integral = panel_sum(
        width, std::sqrt(86.0 / m.s2T), t.weights.size() + node_overhead, budget,
        [&](double u) { return tilted_integrand(m, t, u).real(); },
        [&](double u) { return tilted_bound(m, t, total_weight, u); });
    return (t.theta < 0.0 ? mass : 0.0) + integral / 3.141592653589793;
}

}  // namespace inversion_detail

// Past lambda T of 1e6 a Poisson window holds more than 2e4 counts: more than the budget
// allows for anything but the whole exponential, and no longer an int.
inline constexpr double max_jumps_expected = 1e6;

// Upsilon of the series cut after jump count n; NaN where the inversion cannot reach
// double precision within its budget (see Budget).
inline double Upsilon_by_inversion(double mu, double sigma, double lambda, double p, double eta1,
                                   double eta2, double a, double T, int n) {
    using namespace inversion_detail;
    Model m{};
    m.s2T = sigma * sigma * T;
    m.p = p;
    m.q = 1.0 - p;
    m.eta1 = eta1;
    m.eta2 = eta2;
    m.mean_jump = p / eta1 - m.q / eta2;
    m.b = a - mu * T;
    const double lambda_T = lambda * T;
    if (!(lambda_T <= max_jumps_expected)) return NAN;
    const tarnwick::PoissonWindow window = tarnwick::poisson_window(lambda_T);
    const double last = n < 0 ? 0.0 : double(n);
    m.counts = {lambda_T, int(window.lo), int(std::fmin(last, window.hi)), last >= window.hi};

    double mass = 1.0;
    std::vector<double> weights;
    if (!m.counts.whole) {
        // No count within reach: what is left is below 1e-20.
        if (m.counts.hi < m.counts.lo) return 0.0;
        mass = 0.0;
        for (int j = m.counts.lo; j <= m.counts.hi; ++j) {
            weights.push_back(tarnwick::poisson_weight(j, lambda_T));
            mass += weights.back();
        }
        m.weights = weights.data();
    }

    // Panel width: a fraction of the scale on which phi varies (one over the standard
    // deviation of X, for the counts summed), of the oscillation period of the phase, and
    // of the distance of psi's poles from the real axis, so that 16 nodes resolve every
    // panel to double precision.
    const double jump_var = 2.0 * (p / (eta1 * eta1) + m.q / (eta2 * eta2));
    const double counts_hi = m.counts.whole ? window.hi : m.counts.hi;
    const double sd = std::sqrt(m.s2T + counts_hi * jump_var);
    // The summed counts oscillate at about j E[Y]: their bulk near the Poisson mean (or
    // below it when the cut is), and, when the cut falls inside the window, the last
    // count with a weight that still matters.
    const double drift_bulk = std::fmin(lambda_T, counts_hi) * m.mean_jump;
    const double drift_cut = m.counts.whole ? drift_bulk : counts_hi * m.mean_jump;
    const double frequency = std::fmax(std::fabs(m.b - drift_bulk), std::fabs(m.b - drift_cut)) + sd;
    const double width = std::fmin(std::fmin(1.0 / sd, 2.0 / frequency), std::fmin(eta1, eta2));

    // Stop where |phi| has fallen below 1e-19 for good; the Gaussian factor alone ends
    // the range at e^-43. Within 4096 panels, or not at all: only a tiny sigma sqrt(T)
    // together with few jumps, or a jump rate near 0, needs more.
    Budget budget;
    const double gaussian_end = std::sqrt(86.0 / m.s2T);
    // A cut inside the window with the level far out in the tails of the summed counts
    // (a cut well below lambda T, or lambda T in the thousands): the plain contour's
    // phase turns thousands of times, each panel a sum over thousands of counts. The
    // saddle-point contour takes a few dozen panels; it is kept for such cases, and for
    // saddles away from 0, where 1 / s would need panels finer than the law's scale.
    if (!m.counts.whole && std::fmin(gaussian_end, max_panels * width) > 512.0 * width) {
        const Tilt tilt = saddle_tilt(m, m.weights, budget);
        if (std::fabs(tilt.theta) * tilt.sd >= 0.5)
            return Upsilon_by_tilted_contour(m, tilt, mass, budget);
    }
    const double node_work = (m.counts.whole ? 1.0 : double(weights.size())) + node_overhead;
    const double integral = panel_sum(
        width, gaussian_end, node_work, budget,
        [&m](double u) { return shifted_cf(m, u).imag() / u; },
        [&m](double u) { return cf_bound(m, u); });
    return 0.5 * mass + integral / 3.141592653589793;
}

}  // namespace dexpjump
