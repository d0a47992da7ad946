#pragma once

// Kou's Hh, I_n and Upsilon evaluated literally: plain recursion for Hh, every Hh of
// an I_n recomputed from scratch, and every weight, power, gamma value and I_n value
// of Upsilon recomputed where it is used, with no cap on the term count. Slow
// (exponential in n) but with an obvious operation order, it is the reference that
// the fast evaluation must match bit for bit.

#include <cmath>

namespace kou_literal {

inline constexpr double sqrt_two = 1.4142135623730951;
inline constexpr double sqrt_two_pi = 2.5066282746310002;
inline constexpr double two_pi = 6.283185307179586;

// Complement form: the lower tail is lost below about -8.3, exactly as in production.
inline double Phi(double y) { return 1.0 - std::erfc(y / sqrt_two) * 0.5; }

inline double Hh(int n, double x) {
    if (n == -1) return std::exp((-0.5 * x) * x);
    if (n == 0) return (1.0 - std::erfc((-x) / sqrt_two) * 0.5) * sqrt_two_pi;
    const double lower = Hh(n - 2, x);
    return (lower - x * Hh(n - 1, x)) / static_cast<double>(n);
}

inline double In(int n, double c, double alpha, double beta, double delta) {
    if (beta > 0 && alpha == 0) return 0;
    const bool first_form = beta > 0;
    if (!first_form && !(beta < 0 && alpha < 0)) return 0;

    const double x = beta * c - delta;
    double s = 0.0;
    for (int i = 0; i <= n; ++i)
        s = std::pow(beta / alpha, static_cast<double>(n - i)) * Hh(i, x) + s;
    const double G = std::exp(c * alpha) / alpha;
    const double W = (sqrt_two_pi / beta) * std::pow(beta / alpha, static_cast<double>(n + 1));
    const double E = std::exp((alpha * alpha) / ((beta + beta) * beta) + (delta * alpha) / beta);
    if (first_form) return (W * E) * Phi(alpha / beta + (delta - beta * c)) - s * G;
    return (-G) * s - (W * E) * Phi(x - alpha / beta);
}

inline double binom(double u, double v) {
    return std::tgamma(u + 1.0) / (std::tgamma(v + 1.0) * std::tgamma((u - v) + 1.0));
}

// Kou's weight of k jumps of one kind among j: P_{j,k} (up, own = p, other = q) or
// Q_{j,k} (down, own = q, other = p). In both the eta1 ratio power comes first in the
// product; only the exponents i - k and j - i of the two ratio powers trade places.
inline double mixture_weight(int j, int k, double own, double other, double eta1,
                             double eta2, bool up) {
    if (k == j) return std::pow(own, static_cast<double>(j));
    double sum = 0.0;
    for (int i = k; i < j; ++i) {
        const double spread = static_cast<double>(i - k);
        const double rest = static_cast<double>(j - i);
        const double eta1_power = std::pow(eta1 / (eta1 + eta2), up ? spread : rest);
        const double eta2_power = std::pow(eta2 / (eta1 + eta2), up ? rest : spread);
        const double term =
            (((binom(j, i) * binom(j - k - 1, i - k)) * eta1_power) * eta2_power) *
            (std::pow(own, static_cast<double>(i)) * std::pow(other, rest));
        sum = term + sum;
    }
    return sum;
}

inline double Upsilon(double mu, double sigma, double lambda, double p, double eta1,
                      double eta2, double a, double T, int n) {
    const double q = 1.0 - p;
    const double sqrt_T = std::sqrt(T);
    const double s_T = sigma * sqrt_T;
    const double m = a - mu * T;
    const double e0 = std::exp((-lambda) * T);

    double A1 = 0.0;
    double A2 = 0.0;
    for (int j = 1; j <= n; ++j) {
        const double pi_j = (std::exp((-lambda) * T) * std::pow(lambda * T, static_cast<double>(j))) /
                            std::tgamma(static_cast<double>(j) + 1.0);
        double S1 = 0.0;
        double S2 = 0.0;
        for (int k = 1; k <= j; ++k) {
            const double P = mixture_weight(j, k, p, q, eta1, eta2, true);
            S1 = In(k - 1, m, -eta1, -1.0 / s_T, sqrt_T * (eta1 * (-sigma))) *
                     (P * std::pow(eta1 * s_T, static_cast<double>(k))) +
                 S1;
            const double Q = mixture_weight(j, k, q, p, eta1, eta2, false);
            S2 = In(k - 1, m, eta2, 1.0 / s_T, sqrt_T * ((-sigma) * eta2)) *
                     (Q * std::pow(eta2 * s_T, static_cast<double>(k))) +
                 S2;
        }
        A1 = S1 * pi_j + A1;
        A2 = S2 * pi_j + A2;
    }

    const double D = std::sqrt(two_pi * T) * sigma;
    const double t1 = (std::exp((((eta1 * sigma) * (eta1 * sigma)) * T) * 0.5) / D) * A1;
    const double t2 = (std::exp((((eta2 * sigma) * (eta2 * sigma)) * T) * 0.5) / D) * A2;
    const double y = (-(a - mu * T)) / (sqrt_T * sigma);
    return Phi(y) * e0 + (t2 + t1);
}

}  // namespace kou_literal
