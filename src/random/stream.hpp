#pragma once

// Reproducible streams of random variates for simulation: stream `index` of run `seed`
// gives the same numbers on every run and every thread count, so that paths can be split
// over threads by index. The distributions are drawn exactly (no approximation in law),
// each by the standard library's algorithm for it.

#include <cstdint>
#include <random>

namespace tarnwick::random {

class Stream {
  public:
    Stream(std::uint64_t seed, std::uint64_t index) {
        std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                               static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
        engine_.seed(sequence);
    }

    double normal() { return std::normal_distribution<double>{}(engine_); }
    // Exponential with mean 1.
    double exponential() { return std::exponential_distribution<double>{}(engine_); }
    double uniform() { return std::uniform_real_distribution<double>{}(engine_); }
    long poisson(double mean) { return mean > 0.0 ? std::poisson_distribution<long>{mean}(engine_) : 0; }

  private:
    std::mt19937_64 engine_;
};

}  // namespace tarnwick::random
