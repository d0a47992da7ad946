#pragma once

// A batch of options with early exercise (American or Bermudan) under a Lévy model with a
// diffusion, on the grid solver (grid/solver.hpp), one option per work item: each takes
// milliseconds, well above a thread's start-up time. The European batch (batch.hpp) does
// not come here. Results go to the tables of batch.hpp: one row per output, one column per
// option, a status per option.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
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

// Prices (what = price) or the price and twelve Greeks (what = greeks) of options with this
// exercise. Returns false if the schedule's keep_going stopped the batch.
inline bool evaluate_early(int code, const double* parameters, Output what, Exercise exercise,
                           ExerciseDates dates, const Inputs& in, const Outputs& out, const Schedule& schedule) {
    const int rows = output_rows(code, what);
    bool completed = true;
    with_model(code, parameters, [&](const auto& model) {
        using Model = std::decay_t<decltype(model)>;
        if constexpr (grid::on_grid<Model>::value) {
            completed = parallel_each(in.count, schedule, 1, [&](std::size_t i, Stop stop) {
                Option o = option_at(in, i);
                o.product.exercise = exercise;
                o.product.dates = dates;
                double values[greek::count];
                const Status status = what == Output::price ? grid::price(model, o, stop, values[0])
                                                            : grid::greeks(model, o, stop, values);
                out.status[i] = static_cast<std::int8_t>(status);
                for (int row = 0; row < rows; ++row)
                    out.table[static_cast<std::size_t>(row) * in.count + i] =
                        status == Status::ok ? values[row] : std::nan("");
            });
        }
    });
    return completed;
}

}  // namespace tarnwick::pricing
