#pragma once

// Spot paths on a time grid: path i of a run is drawn from its own stream (seed, first
// path + i), so that a path's values do not depend on the thread count, nor on the batch
// it was asked for in. The log price is carried as the model's X plus (r - q) t: X sums
// the scheme's increments, and the carry is taken at each grid time rather than summed,
// so no rounding accumulates in it.

#include <algorithm>
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

template <class Scheme>
void fill_path(const Scheme& scheme, const Request& request, std::size_t path) {
    random::Stream stream(request.seed, request.first_path + path);
    auto state = scheme.start();
    double* row = request.out + path * request.columns;
    double x = 0.0;
    for (std::size_t j = 0; j < request.columns; ++j) {
        x += scheme.increment(j, state, stream);
        row[j] = request.spot * std::exp(request.carry * request.times[j] + x);
    }
}

// Grid values per work item: some 10^5 (about a millisecond), long against taking an item,
// short against the wait for Ctrl-C.
inline constexpr std::size_t values_per_item = 1 << 17;

// Fills request.out; false if the schedule's keep_going stopped it (the values are partial).
template <class Scheme>
bool fill_paths(const Scheme& scheme, const Request& request, const Schedule& schedule) {
    const std::size_t per_item = std::max<std::size_t>(1, values_per_item / std::max<std::size_t>(1, request.columns));
    const std::size_t items = (request.paths + per_item - 1) / per_item;
    return parallel_each(items, schedule, 1, [&](std::size_t item, Stop stop) {
        const std::size_t end = std::min(request.paths, (item + 1) * per_item);
        for (std::size_t path = item * per_item; path < end && !stop.requested(); ++path)
            fill_path(scheme, request, path);
    });
}

}  // namespace tarnwick::simulation
