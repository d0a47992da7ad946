#pragma once

// A batch of options under one model: picks the pricer of the model and splits the
// options over threads. Each option is independent; results go to row-major tables
// with one row per output quantity and one column per option.

#include <cstddef>
#include <cstdint>

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
        case Output::greeks: return Greek::greek_count;
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

template <class Model>
void evaluate_one(const Model& m, const Option& o, Output what, double* out) {
    if (what == Output::price) out[0] = fourier::price(m, o);
    else if (what == Output::greeks) fourier::greeks(m, o, out);
    else fourier::sensitivities(m, o, out);
}

// A few transform prices take well over a thread's start-up time; blocks smaller than
// this are not worth a thread.
inline constexpr std::size_t min_block = 8;

template <class Model>
void evaluate_batch(const Model& model, Output what, int rows, const Inputs& in, double* out, unsigned threads) {
    parallel_for(in.count, threads, min_block, [&](std::size_t begin, std::size_t end) {
        double values[Greek::greek_count];  // at least as many as any output has rows
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
