#pragma once

// Poisson counts for a fixed mean drawn many times (the jumps of one time step on every
// path): the set-up, e^{-mean}, is paid once.

#include <cmath>
#include <random>

namespace tarnwick::random {

class Poisson {
  public:
    explicit Poisson(double mean) : mean_(mean), zero_(std::exp(-mean)) {}

    double mean() const { return mean_; }

    // Below a mean of 10, by inversion: one uniform, and a search up the distribution
    // function from 0 that takes about mean + 1 terms (a step's mean is usually far below 1,
    // so nearly every draw ends at the first test). The search also ends where the terms
    // underflow, since a u within rounding of 1 may lie above the sum's last value. From 10
    // on, where the search would grow long, the standard library's rejection sampler.
    template <class Generator>
    long operator()(Generator& g) const {
        if (mean_ <= 0.0) return 0;
        if (mean_ >= inversion_limit) return std::poisson_distribution<long>(mean_)(g);
        const double u = g.uniform();
        long k = 0;
        double term = zero_, sum = zero_;
        while (u >= sum && term > 0.0) {
            ++k;
            term *= mean_ / static_cast<double>(k);
            sum += term;
        }
        return k;
    }

  private:
    static constexpr double inversion_limit = 10.0;
    double mean_;
    double zero_;
};

}  // namespace tarnwick::random
