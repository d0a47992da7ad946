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

}  // namespace inversion_detail

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
    // the range at e^-43.
    // At most 4096 panels: only a tiny sigma sqrt(T) together with jumps too few to damp
    // phi needs more (then the literal series is far from cancelling and rarely replaced),
    // and the time of one price stays within a few milliseconds.
    const double u_max = std::fmin(std::sqrt(86.0 / m.s2T), 4096.0 * width);
    double integral = 0.0;
    for (double left = 0.0; left < u_max; left += width) {
        if (cf_bound(m, left) < 1e-19) break;
        const double mid = left + 0.5 * width;
        double panel = 0.0;
        for (int k = 0; k < 8; ++k) {
            const double offset = 0.5 * width * gl_node[k];
            const double below = mid - offset;
            const double above = mid + offset;
            panel += gl_weight[k] * (shifted_cf(m, below).imag() / below +
                                     shifted_cf(m, above).imag() / above);
        }
        integral += 0.5 * width * panel;
    }
    return 0.5 * mass + integral / 3.141592653589793;
}

}  // namespace dexpjump
