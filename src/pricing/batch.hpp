#pragma once

// A batch of options under one model: picks the pricer of the model and splits the
// options over threads. Each option is independent; results go to row-major tables
// with one row per output quantity and one column per option.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <tuple>
#include <type_traits>
#include <vector>

#include "blackscholes/black_scholes.hpp"
#include "charfun/kou.hpp"
#include "charfun/merton.hpp"
#include "common/option.hpp"
#include "common/parallel.hpp"
#include "fourier/transform_pricer.hpp"

namespace tarnwick::pricing {

enum class ModelKind : int { black_scholes = 0, kou = 1, merton = 2 };
enum class Output : int { price = 0, greeks = 1, sensitivities = 2 };

struct Inputs {
    const double* S;
    const double* K;
    const double* T;
    const double* r;
    const double* q;
    const std::int8_t* call;  // 1 for a call, 0 for a put
    std::size_t count;
};

inline int parameter_count(ModelKind kind) {
    switch (kind) {
        case ModelKind::black_scholes: return blackscholes::BlackScholes::parameter_count;
        case ModelKind::kou: return charfun::Kou::parameter_count;
        case ModelKind::merton: return charfun::Merton::parameter_count;
    }
    return 0;
}

inline int output_rows(ModelKind kind, Output what) {
    switch (what) {
        case Output::price: return 1;
        case Output::greeks: return greek::count;
        case Output::sensitivities: return 1 + parameter_count(kind);
    }
    return 0;
}

// The closed form for the diffusion, the transform pricer for the jump models.
inline void evaluate_one(const blackscholes::BlackScholes& m, const Option& o, Output what, double* out) {
    if (what == Output::price) out[0] = blackscholes::price(m, o);
    else if (what == Output::greeks) blackscholes::greeks(m, o, out);
    else blackscholes::sensitivities(m, o, out);
}

// Under a jump model only the Greeks go option by option: prices and sensitivities go by
// chains (evaluate_chains).
template <class Model>
void evaluate_one(const Model& m, const Option& o, Output, double* out) {
    fourier::greeks(m, o, out);
}

// A few transform prices take well over a thread's start-up time (tens of microseconds);
// blocks smaller than this are not worth a thread. A chain is a whole strike range.
inline constexpr std::size_t min_block = 8;
inline constexpr std::size_t min_chains_per_block = 2;

// Prices or sensitivities under a jump model: options of one maturity and side are sorted
// by log-moneyness and evaluated in chains that share the characteristic-function values
// (and its gradient). Chains depend on the inputs only, not on the thread count, so results
// do not either.
template <class Model>
void evaluate_chains(const Model& model, Output what, int rows, const Inputs& in, double* out, unsigned threads) {
    const std::size_t n = in.count;
    std::vector<double> k(n);
    for (std::size_t i = 0; i < n; ++i) k[i] = std::log(in.K[i] / in.S[i]) - (in.r[i] - in.q[i]) * in.T[i];
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Prices are computed on their out-of-the-money side (chain_pricer.hpp). Sensitivities
    // stay on the option's own side: the out-of-the-money side's contour can fail where the
    // own side's does not (e.g. far from the money with large one-sided jumps), and the
    // intrinsic value added to cross sides would not change the derivatives anyway.
    const auto side_of = [&](std::size_t i) {
        return what == Output::price ? fourier::out_of_the_money_call(k[i]) : in.call[i] != 0;
    };
    const auto key = [&](std::size_t i) { return std::make_tuple(side_of(i), in.T[i], k[i]); };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
    std::vector<double> sorted_k(n);
    for (std::size_t i = 0; i < n; ++i) sorted_k[i] = k[order[i]];

    // Sensitivities integrate on the contour of the gradient's strip; chains are cut to it.
    const Model strip = what == Output::price ? model : model.for_parameter_derivatives();
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < n;) {
        const std::size_t first = order[i];
        std::size_t run = i + 1;
        const bool side = side_of(first);
        while (run < n && in.T[order[run]] == in.T[first] && side_of(order[run]) == side) ++run;
        while (i < run) {
            starts.push_back(i);
            i += fourier::chain_length(strip, in.T[first], side, &sorted_k[i], run - i);
        }
    }
    starts.push_back(n);

    // Threads take chains one at a time, the shortest maturities first: their integrands
    // decay slowest along the line (the diffusion's Gaussian has width 1 / (sigma sqrt T)),
    // so they take the most nodes, and the cheap ones fill in at the end. The order of
    // evaluation does not change any result.
    std::vector<std::size_t> chains(starts.size() - 1);
    std::iota(chains.begin(), chains.end(), std::size_t{0});
    std::stable_sort(chains.begin(), chains.end(),
                     [&](std::size_t a, std::size_t b) { return in.T[order[starts[a]]] < in.T[order[starts[b]]]; });

    parallel_each(chains.size(), threads, min_chains_per_block, [&](std::size_t index) {
        const std::size_t c = chains[index];
        const std::size_t from = starts[c];
        const std::size_t length = starts[c + 1] - from;
        const std::size_t first = order[from];
        const bool side = side_of(first);
        std::vector<double> values(static_cast<std::size_t>(rows) * length);
        if (what == Output::price)
            fourier::price_chain(model, in.T[first], side, &sorted_k[from], length, values.data());
        else
            fourier::sensitivities_chain(model, in.T[first], side, &sorted_k[from], length, values.data(), length);
        for (std::size_t j = 0; j < length; ++j) {
            const std::size_t i = order[from + j];
            const double scale = in.S[i] * std::exp(-in.q[i] * in.T[i]);
            out[i] = scale * fourier::from_side(values[j], sorted_k[from + j], side, in.call[i] != 0);
            for (std::size_t row = 1; row < static_cast<std::size_t>(rows); ++row)
                out[row * n + i] = scale * values[row * length + j];
        }
    });
}

template <class Model>
void evaluate_batch(const Model& model, Output what, int rows, const Inputs& in, double* out, unsigned threads) {
    if constexpr (!std::is_same_v<Model, blackscholes::BlackScholes>) {
        if (what != Output::greeks) {
            evaluate_chains(model, what, rows, in, out, threads);
            return;
        }
    }
    parallel_for(in.count, threads, min_block, [&](std::size_t begin, std::size_t end) {
        double values[greek::count];  // at least as many as any output has rows
        for (std::size_t i = begin; i < end; ++i) {
            const Option o{in.S[i], in.K[i], in.T[i], in.r[i], in.q[i], in.call[i] != 0};
            evaluate_one(model, o, what, values);
            for (int row = 0; row < rows; ++row) out[static_cast<std::size_t>(row) * in.count + i] = values[row];
        }
    });
}

// params holds the model's parameters in its own order (sigma first).
inline void evaluate(ModelKind kind, const double* params, Output what, const Inputs& in, double* out,
                     unsigned threads) {
    const int rows = output_rows(kind, what);
    switch (kind) {
        case ModelKind::black_scholes:
            evaluate_batch(blackscholes::BlackScholes{params[0]}, what, rows, in, out, threads);
            break;
        case ModelKind::kou:
            evaluate_batch(charfun::Kou{params[0], params[1], params[2], params[3], params[4]}, what, rows, in, out,
                           threads);
            break;
        case ModelKind::merton:
            evaluate_batch(charfun::Merton{params[0], params[1], params[2], params[3]}, what, rows, in, out, threads);
            break;
    }
}

}  // namespace tarnwick::pricing
