#pragma once

// A batch of European barrier options under a Lévy model with a diffusion, one option per
// work item, results in the tables of batch.hpp. Knock-outs come from the grid solver
// (grid/solver.hpp). A knock-in is the European option less a knock-out that pays minus
// the rebate at expiry if it survives: in every state the two together pay what the
// knock-in pays, and the European part comes from the exact European engine, leaving the
// grid only the knocked-out part. Under Black-Scholes with continuous monitoring the prices
// are the closed forms (blackscholes/barrier.hpp); the Greeks come from the grid.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "blackscholes/barrier.hpp"
#include "common/parallel.hpp"
#include "common/status.hpp"
#include "grid/solver.hpp"
#include "pricing/batch.hpp"
#include "pricing/registry.hpp"
#include "product/option.hpp"

namespace tarnwick::pricing {

// The terms shared by a batch: the kind, the monitoring times; and per option the level
// and the rebate.
struct BarrierInputs {
    BarrierKind kind;
    const double* level;
    const double* rebate;
    Monitoring monitoring;
};

// The knock-out that the grid prices for a barrier option: the option itself, or for a
// knock-in the knock-out on the same side paying -rebate at expiry if it survives.
inline Option knocked_out_part(Option o) {
    Barrier& b = o.product.barrier;
    if (!b.knock_in()) return o;
    b.kind = b.up() ? BarrierKind::up_out : BarrierKind::down_out;
    b.cash = -b.rebate;
    b.rebate = 0.0;
    return o;
}

// The closed-form price under Black-Scholes of a continuously watched barrier.
inline double closed_form(const BlackScholes& m, const Option& o) {
    const Barrier& b = o.product.barrier;
    const blackscholes::BarrierMarket market = blackscholes::barrier_market(o.S, o.K, b.level, o.T, o.r, o.q);
    return blackscholes::barrier_price(m.volatility(), market, o.T, o.product, {b.up(), b.knock_in(), b.rebate});
}

// One barrier option: its price or price and Greeks into `values`, given the European
// option's (`vanilla`, used by knock-ins).
template <class Model>
Status barrier_one(const Model& model, const Option& o, Output what, const double* vanilla, Stop stop,
                   double* values) {
    const int rows = what == Output::price ? 1 : greek::count;
    const Barrier& b = o.product.barrier;
    // At or beyond the barrier now: knocked in (the European option) or out (the rebate, paid
    // now, which no market move changes).
    if (b.breached_by(o.S)) {
        for (int row = 0; row < rows; ++row) values[row] = b.knock_in() ? vanilla[row] : 0.0;
        if (!b.knock_in()) values[0] = b.rebate;
        return Status::ok;
    }
    if constexpr (std::is_same_v<Model, BlackScholes>) {
        if (b.monitoring.continuous() && what == Output::price) {
            values[0] = closed_form(model, o);
            return Status::ok;
        }
    }
    const Option part = knocked_out_part(o);
    const Status status =
        what == Output::price ? grid::price(model, part, stop, values[0]) : grid::greeks(model, part, stop, values);
    if (status != Status::ok) return status;
    if (b.knock_in())
        for (int row = 0; row < rows; ++row) values[row] = vanilla[row] - values[row];
    if constexpr (std::is_same_v<Model, BlackScholes>)
        if (b.monitoring.continuous()) values[0] = closed_form(model, o);
    values[0] = std::max(values[0], 0.0);
    return Status::ok;
}

// Prices (what = price) or the price and twelve Greeks (what = greeks) of barrier options.
// Returns false if the schedule's keep_going stopped the batch.
inline bool evaluate_barrier(int code, const double* parameters, Output what, const BarrierInputs& barrier,
                             const Inputs& in, const Outputs& out, const Schedule& schedule) {
    const int rows = output_rows(code, what);
    const std::size_t n = in.count;
    // The European options of the knock-ins, all at once: the exact engine, and fast.
    std::vector<double> vanilla(barrier.kind == BarrierKind::down_in || barrier.kind == BarrierKind::up_in
                                    ? static_cast<std::size_t>(rows) * n : 0);
    std::vector<std::int8_t> vanilla_status(n, 0);
    if (!vanilla.empty() && !evaluate(code, parameters, what, in, {vanilla.data(), vanilla_status.data()}, schedule))
        return false;
    bool completed = true;
    with_model(code, parameters, [&](const auto& model) {
        using Model = std::decay_t<decltype(model)>;
        if constexpr (grid::on_grid<Model>::value) {
            completed = parallel_each(n, schedule, 1, [&](std::size_t i, Stop stop) {
                Option o = option_at(in, i);
                o.product.barrier = {barrier.kind, barrier.level[i], barrier.rebate[i], 0.0, barrier.monitoring};
                double european[greek::count] = {}, values[greek::count];
                for (int row = 0; !vanilla.empty() && row < rows; ++row)
                    european[row] = vanilla[static_cast<std::size_t>(row) * n + i];
                Status status = static_cast<Status>(vanilla_status[i]);
                if (status == Status::ok) status = barrier_one(model, o, what, european, stop, values);
                out.status[i] = static_cast<std::int8_t>(status);
                for (int row = 0; row < rows; ++row)
                    out.table[static_cast<std::size_t>(row) * n + i] = status == Status::ok ? values[row] : std::nan("");
            });
        }
    });
    return completed;
}

}  // namespace tarnwick::pricing
