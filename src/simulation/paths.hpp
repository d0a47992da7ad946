#pragma once

// Spot paths on a time grid: path i of a run is drawn from its own stream (seed, first
// path + i), so that a path's values do not depend on the thread count, nor on the batch
// it was asked for in. The log price is carried as the model's X plus (r - q) t: X sums
// the scheme's increments, and the carry is taken at each grid time rather than summed,
// so no rounding accumulates in it.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/parallel.hpp"
#include "random/stream.hpp"

namespace tarnwick::simulation {

struct Request {
    double spot;             // S at t = 0
    double carry;            // r - q
    const double* times;     // increasing, times[0] >= 0
    std::size_t columns;     // grid times
    std::uint64_t seed;
    std::uint64_t first_path;
    std::size_t paths;
    double* out;             // paths x columns, row by row
};

// The step lengths: from 0 to the first grid time, then between grid times.
inline std::vector<double> step_lengths(const double* times, std::size_t columns) {
    std::vector<double> dt(columns);
    for (std::size_t j = 0; j < columns; ++j) dt[j] = j == 0 ? times[0] : times[j] - times[j - 1];
    return dt;
}

// How a run ended: every path drawn, stopped by the schedule (Ctrl-C), or a value that is not
// a number (parameters beyond what the scheme's doubles carry); the values are partial
// unless complete.
enum class Outcome { complete, stopped, not_a_number };

// Path `path` of the request into its row; false if a value came out NaN.
template <class Scheme>
bool fill_path(const Scheme& scheme, const Request& request, std::size_t path) {
    random::Stream stream(request.seed, request.first_path + path);
    auto state = scheme.start();
    double* row = request.out + path * request.columns;
    double x = 0.0;
    for (std::size_t j = 0; j < request.columns; ++j) {
        x += scheme.increment(j, state, stream);
        row[j] = request.spot * std::exp(request.carry * request.times[j] + x);
    }
    // NaN propagates through the sum, so the last value tells.
    return request.columns == 0 || !std::isnan(row[request.columns - 1]);
}

// Draws per work item: some 10^5 (about a millisecond), long against taking an item, short
// against the wait for Ctrl-C.
inline constexpr double draws_per_item = 1 << 17;

// Fills request.out; `draws_per_path` (grid times plus expected jumps) sizes the work items.
// The first NaN stops the other paths: the run is refused as a whole.
template <class Scheme>
Outcome fill_paths(const Scheme& scheme, const Request& request, double draws_per_path, const Schedule& schedule) {
    const auto per_item = static_cast<std::size_t>(std::max(1.0, draws_per_item / std::max(1.0, draws_per_path)));
    const std::size_t items = (request.paths + per_item - 1) / per_item;
    std::atomic<bool> failed{false};
    const bool completed = parallel_each(items, schedule, 1, [&](std::size_t item, Stop stop) {
        const std::size_t end = std::min(request.paths, (item + 1) * per_item);
        for (std::size_t path = item * per_item; path < end; ++path) {
            if (stop.requested() || failed.load(std::memory_order_relaxed)) return;
            if (!fill_path(scheme, request, path)) failed.store(true, std::memory_order_relaxed);
        }
    });
    if (!completed) return Outcome::stopped;
    return failed.load() ? Outcome::not_a_number : Outcome::complete;
}

}  // namespace tarnwick::simulation
