#pragma once

// Poisson probabilities e^-mu mu^i / i! for any mean, without forming the power or the
// factorial: both overflow a double long before the weights that matter (mu^i from
// mu of about 65 at i = 170, i! from i = 171, e^-mu from mu = 745).

#include <cmath>

namespace tarnwick {

// ln(i!) - ((i + 1/2) ln i - i + ln sqrt(2 pi)), the error of Stirling's formula. Its
// asymptotic series is used from i = 16 on, where five terms reach double precision;
// below, lgamma's absolute error (a few units of 1e-15) is small against the weight.
inline double stirling_error(double i) {
    if (i <= 15.0) return std::lgamma(i + 1.0) - (i + 0.5) * std::log(i) + i - 0.91893853320467274;
    const double ii = i * i;
    if (i > 500.0) return (1.0 / 12 - (1.0 / 360) / ii) / i;
    if (i > 80.0) return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260) / ii) / ii) / i;
    if (i > 35.0) return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - (1.0 / 1680) / ii) / ii) / ii) / i;
    return (1.0 / 12 - (1.0 / 360 - (1.0 / 1260 - (1.0 / 1680 - (1.0 / 1188) / ii) / ii) / ii) / ii) / i;
}

// i ln(i / mu) + mu - i, with full relative accuracy when i is close to mu, where the
// three terms nearly cancel: there it is summed as the series in v = (i - mu) / (i + mu).
inline double poisson_deviance(double i, double mu) {
    if (std::fabs(i - mu) < 0.1 * (i + mu)) {
        const double v = (i - mu) / (i + mu);
        const double v2 = v * v;
        double sum = (i - mu) * v;
        double power = 2.0 * i * v;
        for (int k = 1; k < 1000; ++k) {
            power *= v2;
            const double next = sum + power / (2 * k + 1);
            if (next == sum) break;
            sum = next;
        }
        return sum;
    }
    return i * std::log(i / mu) + mu - i;
}

// e^-mu mu^i / i! for i >= 0 and mu >= 0, with a relative error of a few ulps where
// the weight is a normal double, whatever the size of i and mu.
inline double poisson_weight(double i, double mu) {
    if (mu == 0.0) return i == 0.0 ? 1.0 : 0.0;
    if (i == 0.0) return std::exp(-mu);
    return std::exp(-stirling_error(i) - poisson_deviance(i, mu)) /
           std::sqrt(6.283185307179586 * i);
}

// The counts lo ... hi outside which the Poisson law of mean mu has probability below
// about 1e-20 on either side: ten standard deviations, widened for small means, whose
// right tail is heavier than the normal one.
struct PoissonWindow {
    double lo;
    double hi;
};

inline PoissonWindow poisson_window(double mu) {
    const double spread = 10.0 * std::sqrt(mu);
    return {std::fmax(0.0, std::floor(mu - spread)), std::ceil(mu + spread + 30.0)};
}

// An upper bound of P(N >= i) for N Poisson with mean mu < i + 1: the tail is dominated
// by a geometric series of ratio mu / (i + 1).
inline double poisson_tail_bound(double i, double mu) {
    if (mu >= i + 1.0) return 1.0;
    return poisson_weight(i, mu) / (1.0 - mu / (i + 1.0));
}

}  // namespace tarnwick
