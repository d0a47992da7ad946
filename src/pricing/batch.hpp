#pragma once

// A batch of options under one model: forms each option's forward terms (market/), picks
// the engine of the model, splits the options over threads and maps the results back to
// the pricing API's spot conventions. Each option is independent; results go to row-major
// tables with one row per output quantity and one column per option, and a status per
// option (common/status.hpp) beside them: where it is not ok, the option's values are NaN.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "blackscholes/black_scholes.hpp"
#include "common/parallel.hpp"
#include "common/status.hpp"
#include "fourier/transform_pricer.hpp"
#include "market/forward.hpp"
#include "market/greeks.hpp"
#include "pricing/method.hpp"
#include "pricing/registry.hpp"
#include "product/option.hpp"

namespace tarnwick::pricing {

struct Inputs {
    const double* S;
    const double* K;
    const double* T;
    const double* r;
    const double* q;
    const std::int8_t* payoff;  // Payoff codes: 1 call, 0 put
    std::size_t count;
};

struct Outputs {
    double* table;        // rows x count
    std::int8_t* status;  // count Status codes
};

inline int output_rows(int code, Output what) {
    switch (what) {
        case Output::price: return 1;
        case Output::greeks: return greek::count;
        case Output::sensitivities: return 1 + parameter_count(code);
    }
    return 0;
}

inline Option option_at(const Inputs& in, std::size_t i) {
    return {in.S[i], in.K[i], in.T[i], in.r[i], in.q[i], Product{static_cast<Payoff>(in.payoff[i])}};
}

using BlackScholes = charfun::Levy<charfun::BlackScholes>;

// One option, in the order of the output's rows.
inline Status evaluate_one(const BlackScholes& m, const Option& o, Output what, double* out, Stop) {
    const double sigma = m.volatility();
    const market::Forward f = market::forward(o);
    if (what == Output::price) {
        out[0] = market::within_bounds(blackscholes::price(sigma, f, o.T, o.product), f, o.product);
    } else if (what == Output::greeks) {
        market::ForwardGreeks g = blackscholes::forward_greeks(sigma, f, o.T, o.product);
        g.value = market::within_bounds(g.value, f, o.product);
        market::spot_greeks(g, o, out);
    } else {
        blackscholes::sensitivities(sigma, f, o.T, o.product, out);
        out[0] = market::within_bounds(out[0], f, o.product);
    }
    return Status::ok;
}

// Under a stochastic-volatility model the Greeks go option by option, after their prices
// (evaluate_greeks).
template <class Model>
Status evaluate_one(const Model& m, const Option& o, double price, double* out, Stop stop) {
    market::ForwardGreeks g{};
    g.value = price;
    const Status status = forward_greeks(m, market::forward(o), o.T, o.product, g, stop);
    market::spot_greeks(g, o, out);
    if (status != Status::ok) std::fill(out, out + greek::count, std::nan(""));
    return status;
}

// Options per work item of the option-by-option path, and chains per thread at the least.
// A few transform prices take well over a thread's start-up time (tens of microseconds).
inline constexpr std::size_t options_per_item = 8;
inline constexpr std::size_t min_items_per_thread = 1;
inline constexpr std::size_t min_chains_per_thread = 2;

// One option's Greeks (rows of greek::count) from its chain's price c and Greeks' sums s
// (stride apart) on the side `side`.
template <class Model>
void greeks_from_chain(const Model& model, const Option& o, const market::Forward& f, bool side, double c,
                       const double* s, std::size_t stride, const GreekChain& chain, double* out, Stop stop,
                       std::int8_t& status) {
    market::ForwardGreeks g{};
    g.value = fourier::price_from_side(c, chain.status, f, side, o.product);
    Status result = chain.status;
    if (result == Status::ok) {
        if (chain.per_option)
            result = forward_greeks(model, f, o.T, o.product, g, stop);
        else
            fourier::greeks_from_sums(model, f, o.T, o.product, side, chain.between_poles, s, stride, g);
    }
    market::spot_greeks(g, o, out);
    if (result != Status::ok) std::fill(out, out + greek::count, std::nan(""));
    status = static_cast<std::int8_t>(result);
}

// The Fourier sums' error goals raised by `loosen` e-folds: 0 for the pricing API's promises,
// more for passes that need fewer digits (a calibration's search, whose residuals are
// implied vols known to 1e-3). The sums' nodes grow like the log of the goal squared.
struct Goals {
    double price, derivatives;
};
inline Goals loosened(double loosen) {
    return {fourier::price_log_tolerance + loosen, fourier::derivative_log_tolerance + loosen};
}

// Prices, sensitivities or (Lévy models) Greeks under a transform model: options of one
// maturity and side are sorted by log-moneyness and evaluated in chains that share the
// characteristic-function values (and its gradient). Chains depend on the inputs only, not
// on the thread count, so results do not either. The Greeks keep the full goals.
template <class Model>
bool evaluate_chains(const Model& model, Output what, int rows, const Inputs& in, const Outputs& out,
                     const Schedule& schedule, Goals goals = loosened(0.0)) {
    const std::size_t n = in.count;
    std::vector<market::Forward> forward(n);
    for (std::size_t i = 0; i < n; ++i) forward[i] = market::forward(in.S[i], in.K[i], in.T[i], in.r[i], in.q[i]);
    // Prices, and the Greeks with them, are computed on their out-of-the-money side
    // (chain_pricer.hpp). Sensitivities stay on the option's own side: the out-of-the-money
    // side's contour can fail where the own side's does not (e.g. far from the money with
    // large one-sided jumps), and the intrinsic value added to cross sides would not change
    // the derivatives anyway.
    const auto side_of = [&](std::size_t i) {
        return what != Output::sensitivities ? fourier::out_of_the_money_call(forward[i].k) : in.payoff[i] != 0;
    };
    // The sort keys side by side in memory: sorting indices through the input arrays would
    // wait on a cache miss per comparison, most of a large batch's time.
    struct Key {
        bool side;
        double T, k;
        std::size_t index;
        bool operator<(const Key& o) const { return std::tie(side, T, k, index) < std::tie(o.side, o.T, o.k, o.index); }
    };
    std::vector<Key> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = {side_of(i), in.T[i], forward[i].k, i};
    std::sort(keys.begin(), keys.end());
    std::vector<std::size_t> order(n);
    std::vector<double> sorted_k(n);
    for (std::size_t i = 0; i < n; ++i) {
        order[i] = keys[i].index;
        sorted_k[i] = keys[i].k;
    }

    // Sensitivities integrate on the contour of the gradient's strip; chains are cut to it.
    const Model strip = what != Output::sensitivities ? model : model.for_parameter_derivatives();
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < n;) {
        std::size_t run = i + 1;
        while (run < n && keys[run].T == keys[i].T && keys[run].side == keys[i].side) ++run;
        const double T = keys[i].T;
        const bool side = keys[i].side;
        while (i < run) {
            starts.push_back(i);
            i += fourier::chain_length(strip, T, side, &sorted_k[i], run - i);
        }
    }
    starts.push_back(n);

    // Threads take chains one at a time, the shortest maturities first: their integrands
    // decay slowest along the line, so they take the most nodes, and the cheap ones fill in
    // at the end. The order of evaluation does not change any result.
    // The chains of each side already come in increasing maturity: a merge orders them.
    const std::size_t count = starts.size() - 1;
    std::size_t puts = 0;
    while (puts < count && !keys[starts[puts]].side) ++puts;
    std::vector<std::size_t> all(count), chains(count);
    std::iota(all.begin(), all.end(), std::size_t{0});
    std::merge(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(puts), all.begin() + static_cast<std::ptrdiff_t>(puts),
               all.end(), chains.begin(), [&](std::size_t a, std::size_t b) { return keys[starts[a]].T < keys[starts[b]].T; });
    keys = {};

    return parallel_each(chains.size(), schedule, min_chains_per_thread, [&](std::size_t index, Stop stop) {
        const std::size_t c = chains[index];
        const std::size_t from = starts[c];
        const std::size_t length = starts[c + 1] - from;
        const std::size_t first = order[from];
        const bool side = side_of(first);
        const std::size_t sums = what == Output::greeks ? 1 + fourier::greek_rows : static_cast<std::size_t>(rows);
        std::vector<double> values(sums * length);
        if constexpr (levy<Model>::value) {
            if (what == Output::greeks) {
                const GreekChain chain = price_and_greeks_chain(model, in.T[first], side, &sorted_k[from], length,
                                                                values.data(), length, stop);
                double greeks[greek::count];
                for (std::size_t j = 0; j < length; ++j) {
                    const std::size_t i = order[from + j];
                    greeks_from_chain(model, option_at(in, i), forward[i], side, values[j], &values[length + j],
                                      length, chain, greeks, stop, out.status[i]);
                    for (int row = 0; row < greek::count; ++row)
                        out.table[static_cast<std::size_t>(row) * n + i] = greeks[row];
                }
                return;
            }
        }
        const Status status =
            what == Output::price
                ? price_chain(model, in.T[first], side, &sorted_k[from], length, values.data(), stop, goals.price)
                : sensitivities_chain(model, in.T[first], side, &sorted_k[from], length, values.data(), length,
                                      stop, goals.derivatives);
        for (std::size_t j = 0; j < length; ++j) {
            const std::size_t i = order[from + j];
            const market::Forward& f = forward[i];
            const Product product{static_cast<Payoff>(in.payoff[i])};
            out.status[i] = static_cast<std::int8_t>(status);
            out.table[i] = fourier::price_from_side(values[j], status, f, side, product);
            for (std::size_t row = 1; row < static_cast<std::size_t>(rows); ++row)
                out.table[row * n + i] =
                    status == Status::ok ? f.discounted_forward * values[row * length + j] : std::nan("");
        }
    });
}

// body(i, stop) for the options of each work item.
template <class Body>
bool each_option(std::size_t count, const Schedule& schedule, Body&& body) {
    const std::size_t items = (count + options_per_item - 1) / options_per_item;
    return parallel_each(items, schedule, min_items_per_thread, [&](std::size_t item, Stop stop) {
        const std::size_t end = std::min(count, (item + 1) * options_per_item);
        for (std::size_t i = item * options_per_item; i < end; ++i) body(i, stop);
    });
}

// Greeks under a stochastic-volatility model: the prices exactly as a price batch of the
// same options computes them, then the other Greeks option by option (their own line). A
// batch of one option, whose price is summed alone, gets both from one sum.
template <class Model>
bool evaluate_greeks(const Model& model, const Inputs& in, const Outputs& out, const Schedule& schedule) {
    if (in.count == 1)
        return each_option(1, schedule, [&](std::size_t, Stop stop) {
            const Option o = option_at(in, 0);
            market::ForwardGreeks g{};
            const Status status = price_and_forward_greeks(model, market::forward(o), o.T, o.product, g, stop);
            market::spot_greeks(g, o, out.table);
            if (status != Status::ok) std::fill(out.table, out.table + greek::count, std::nan(""));
            out.status[0] = static_cast<std::int8_t>(status);
        });
    if (!evaluate_chains(model, Output::price, 1, in, out, schedule)) return false;
    return each_option(in.count, schedule, [&](std::size_t i, Stop stop) {
        double values[greek::count];
        if (out.status[i] == static_cast<std::int8_t>(Status::ok))
            out.status[i] = static_cast<std::int8_t>(evaluate_one(model, option_at(in, i), out.table[i], values, stop));
        else
            std::fill(values, values + greek::count, std::nan(""));
        // A price whose Greeks failed is NaN with them: the status covers the whole row.
        for (int row = 0; row < greek::count; ++row)
            if (row > 0 || out.status[i] != static_cast<std::int8_t>(Status::ok))
                out.table[static_cast<std::size_t>(row) * in.count + i] = values[row];
    });
}

// Returns false if the schedule's keep_going stopped the batch (its outputs are partial).
template <class Model>
bool evaluate_batch(const Model& model, Output what, int rows, const Inputs& in, const Outputs& out,
                    const Schedule& schedule, Goals goals = loosened(0.0)) {
    if constexpr (!std::is_same_v<Model, BlackScholes>) {
        if (what == Output::greeks && !levy<Model>::value) return evaluate_greeks(model, in, out, schedule);
        return evaluate_chains(model, what, rows, in, out, schedule, goals);
    } else {
        return each_option(in.count, schedule, [&](std::size_t i, Stop stop) {
            double values[greek::count];  // at least as many as any output has rows
            out.status[i] = static_cast<std::int8_t>(evaluate_one(model, option_at(in, i), what, values, stop));
            for (int row = 0; row < rows; ++row) out.table[static_cast<std::size_t>(row) * in.count + i] = values[row];
        });
    }
}

// The model of this code (pricing/registry.hpp), from its parameters in its own order.
inline bool evaluate(int code, const double* parameters, Output what, const Inputs& in, const Outputs& out,
                     const Schedule& schedule, Goals goals = loosened(0.0)) {
    const int rows = output_rows(code, what);
    bool completed = true;
    with_model(code, parameters,
               [&](const auto& model) { completed = evaluate_batch(model, what, rows, in, out, schedule, goals); });
    return completed;
}

}  // namespace tarnwick::pricing
