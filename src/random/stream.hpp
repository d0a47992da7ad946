#pragma once

// Reproducible streams of random variates for simulation: stream `index` of run `seed`
// gives the same numbers on every run and every thread count, so that paths can be split
// over threads by index. The distributions are drawn exactly (no approximation in law).
//
// The engine is xoshiro256++ (period 2^256 - 1, passes BigCrush), whose four words of state
// make a fresh stream per path cost a few multiplications, where a Mersenne twister fills
// 312 words. Its state comes from SplitMix64 run from a key that mixes the seed and the
// index: SplitMix64's output function is a bijection of 64-bit words, so distinct (seed,
// index) pairs of one seed always start distinct streams, and the 2^256 period makes
// overlapping stretches of two paths' streams a negligible event.

#include <cmath>
#include <cstdint>
#include <limits>

#include "random/ziggurat.hpp"

namespace tarnwick::random {

namespace stream_detail {

constexpr std::uint64_t golden_gamma = 0x9e3779b97f4a7c15ULL;

// SplitMix64's output function: a bijection that spreads every input bit over the word.
constexpr std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t rotate_left(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace stream_detail

// A uniform random bit generator in the standard library's sense (so that its
// distributions accept it) with the variates simulation needs.
class Stream {
  public:
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    Stream(std::uint64_t seed, std::uint64_t index) {
        std::uint64_t key = stream_detail::mix(stream_detail::mix(seed) ^ index);
        for (auto& word : state_) word = stream_detail::mix(key += stream_detail::golden_gamma);
    }

    result_type operator()() {
        using stream_detail::rotate_left;
        const std::uint64_t result = rotate_left(state_[0] + state_[3], 23) + state_[0];
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotate_left(state_[3], 45);
        return result;
    }

    // Uniform on [0, 1): the top 53 bits, each multiple of 2^-53 equally likely.
    double uniform() { return static_cast<double>((*this)() >> 11) * 0x1.0p-53; }

    // Exponential with mean 1 by inversion; 1 - u lies in (0, 1], so the log is finite.
    double exponential() { return -std::log(1.0 - uniform()); }

    // Standard normal by the ziggurat, about one word of the engine per draw.
    double normal() { return ziggurat_normal(*this); }

  private:
    std::uint64_t state_[4];
};

}  // namespace tarnwick::random
