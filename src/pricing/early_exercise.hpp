#pragma once

// A batch of options with early exercise (American or Bermudan) under a Lévy model with a
// diffusion, on the grid solver (grid/solver.hpp). Prices of options that differ in spot and
// strike alone (a strike chain of one maturity) come from one solution, the value per unit
// strike being a function of ln(S/K) alone; one chain, or one option's Greeks, per work
// item: each takes milliseconds, well above a thread's start-up time. The European batch
// (batch.hpp) does not come here. Results go to the tables of batch.hpp: one row per
// output, one column per option, a status per option.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "common/parallel.hpp"
#include "common/status.hpp"
#include "grid/solver.hpp"
#include "pricing/batch.hpp"
#include "pricing/registry.hpp"
#include "product/option.hpp"

namespace tarnwick::pricing {

// Whether the model of this code has a grid solver.
inline bool on_grid(int code) {
    bool supported = false;
    const std::vector<double> parameters(static_cast<std::size_t>(parameter_count(code)), 1.0);
    with_model(code, parameters.data(), [&](const auto& model) {
        supported = grid::on_grid<std::decay_t<decltype(model)>>::value;
    });
    return supported;
}

// The options of the batch grouped into chains that differ in S and K alone: the same
// maturity, rate, yield and payoff (the batch shares the model and the exercise).
inline std::vector<std::vector<std::size_t>> chains(const Inputs& in) {
    std::map<std::tuple<double, double, double, std::int8_t>, std::size_t> index;
    std::vector<std::vector<std::size_t>> out;
    for (std::size_t i = 0; i < in.count; ++i) {
        const auto [it, fresh] = index.emplace(std::make_tuple(in.T[i], in.r[i], in.q[i], in.payoff[i]), out.size());
        if (fresh) out.emplace_back();
        out[it->second].push_back(i);
    }
    return out;
}

// The prices of one chain into the batch's table. A chain too wide for one mesh is priced
// option by option.
template <class Model>
void chain_prices(const Model& model, const std::vector<std::size_t>& members, const Inputs& in, Exercise exercise,
                 ExerciseDates dates, const Outputs& out, Stop stop) {
    std::vector<Option> options;
    for (std::size_t i : members) {
        options.push_back(option_at(in, i));
        options.back().product.exercise = exercise;
        options.back().product.dates = dates;
    }
    std::vector<double> prices(members.size());
    const Status shared = grid::price_chain(model, options.data(), options.size(), stop, prices.data());
    for (std::size_t k = 0; k < members.size(); ++k) {
        const Status status = shared == Status::node_limit && members.size() > 1
                                  ? grid::price(model, options[k], stop, prices[k])
                                  : shared;
        out.status[members[k]] = static_cast<std::int8_t>(status);
        out.table[members[k]] = status == Status::ok ? prices[k] : std::nan("");
    }
}

// Prices (what = price) or the price and twelve Greeks (what = greeks) of options with this
// exercise. Returns false if the schedule's keep_going stopped the batch.
inline bool evaluate_early(int code, const double* parameters, Output what, Exercise exercise,
                           ExerciseDates dates, const Inputs& in, const Outputs& out, const Schedule& schedule) {
    const int rows = output_rows(code, what);
    bool completed = true;
    with_model(code, parameters, [&](const auto& model) {
        using Model = std::decay_t<decltype(model)>;
        if constexpr (grid::on_grid<Model>::value) {
            if (what == Output::price) {
                const auto groups = chains(in);
                completed = parallel_each(groups.size(), schedule, 1, [&](std::size_t g, Stop stop) {
                    chain_prices(model, groups[g], in, exercise, dates, out, stop);
                });
            } else {
                completed = parallel_each(in.count, schedule, 1, [&](std::size_t i, Stop stop) {
                    Option o = option_at(in, i);
                    o.product.exercise = exercise;
                    o.product.dates = dates;
                    double values[greek::count];
                    const Status status = grid::greeks(model, o, stop, values);
                    out.status[i] = static_cast<std::int8_t>(status);
                    for (int row = 0; row < rows; ++row)
                        out.table[static_cast<std::size_t>(row) * in.count + i] =
                            status == Status::ok ? values[row] : std::nan("");
                });
            }
        }
    });
    return completed;
}

}  // namespace tarnwick::pricing
