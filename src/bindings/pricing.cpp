// Array-in, array-out entry points of the pricer: checks sizes, releases the GIL and hands
// the batch to pricing/batch.hpp. Broadcasting and argument validation happen in Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bindings/interrupt.hpp"
#include "pricing/barrier.hpp"
#include "pricing/batch.hpp"
#include "pricing/early_exercise.hpp"

namespace py = pybind11;
using tarnwick::Output;
namespace pricing = tarnwick::pricing;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>;

void check_model(int model, std::size_t parameters) {
    if (!pricing::known_model(model)) throw std::invalid_argument("unknown model code");
    if (parameters != static_cast<std::size_t>(pricing::parameter_count(model)))
        throw std::invalid_argument("wrong number of model parameters");
}

// The (rows, n) table and the n status codes.
std::pair<py::array_t<double>, py::array_t<std::int8_t>> run(Output what, int model, const Doubles& params,
                                                              const Doubles& S, const Doubles& K, const Doubles& T,
                                                              const Doubles& r, const Doubles& q, const Flags& call,
                                                              unsigned threads, double loosen = 0.0) {
    check_model(model, static_cast<std::size_t>(params.size()));
    const auto n = S.size();
    for (const auto* a : {&K, &T, &r, &q})
        if (a->size() != n) throw std::invalid_argument("S, K, T, r and q must have one size");
    if (call.size() != n) throw std::invalid_argument("call must have the size of S");
    const auto rows = pricing::output_rows(model, what);
    py::array_t<double> table({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(n)});
    py::array_t<std::int8_t> status(static_cast<py::ssize_t>(n));
    const pricing::Inputs in{S.data(), K.data(), T.data(), r.data(), q.data(), call.data(), static_cast<std::size_t>(n)};
    const pricing::Outputs out{table.mutable_data(), status.mutable_data()};
    const double* p = params.data();
    bool completed;
    {
        py::gil_scoped_release release;
        completed = pricing::evaluate(model, p, what, in, out, tarnwick::bindings::interruptible(threads),
                                      pricing::loosened(loosen));
    }
    tarnwick::bindings::raise_if_stopped(completed);
    return {std::move(table), std::move(status)};
}

// Prices (output 0) or sensitivities (2) with the Fourier sums' goals raised by `loosen`
// e-folds: for a calibration's search, not for results it reports.
std::pair<py::array_t<double>, py::array_t<std::int8_t>> coarse(int output, int model, const Doubles& params,
                                                                 const Doubles& S, const Doubles& K, const Doubles& T,
                                                                 const Doubles& r, const Doubles& q, const Flags& call,
                                                                 double loosen, unsigned threads) {
    if (output != 0 && output != 2) throw std::invalid_argument("unknown output code");
    if (!(loosen >= 0.0 && loosen <= 30.0)) throw std::invalid_argument("loosen must be in [0, 30]");
    return run(static_cast<Output>(output), model, params, S, K, T, r, q, call, threads, loosen);
}

template <Output what>
std::pair<py::array_t<double>, py::array_t<std::int8_t>> entry(int model, const Doubles& params, const Doubles& S,
                                                                const Doubles& K, const Doubles& T, const Doubles& r,
                                                                const Doubles& q, const Flags& call, unsigned threads) {
    return run(what, model, params, S, K, T, r, q, call, threads);
}

using Table = std::pair<py::array_t<double>, py::array_t<std::int8_t>>;
using One = std::pair<std::vector<double>, int>;

// The checks of a batch on the grid solver: a known model with a grid solver, prices (0) or
// Greeks (1).
void check_grid(int output, int model, std::size_t parameters) {
    check_model(model, parameters);
    if (!pricing::on_grid(model)) throw std::invalid_argument("the model has no grid solver");
    if (output < 0 || output > 1) throw std::invalid_argument("unknown output code");
}

// A batch on the grid solver: checks the arrays, makes the (rows, n) table and the n status
// codes, and runs `batch(what, in, out, schedule)` without the GIL.
template <class Batch>
Table on_grid(int output, int model, const Doubles& params, const Doubles& S, const Doubles& K, const Doubles& T,
              const Doubles& r, const Doubles& q, const Flags& call, unsigned threads, Batch&& batch) {
    check_grid(output, model, static_cast<std::size_t>(params.size()));
    const auto n = S.size();
    for (const auto* a : {&K, &T, &r, &q})
        if (a->size() != n) throw std::invalid_argument("S, K, T, r and q must have one size");
    if (call.size() != n) throw std::invalid_argument("call must have the size of S");
    const auto what = static_cast<Output>(output);
    const auto rows = pricing::output_rows(model, what);
    py::array_t<double> table({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(n)});
    py::array_t<std::int8_t> status(static_cast<py::ssize_t>(n));
    const pricing::Inputs in{S.data(), K.data(), T.data(), r.data(), q.data(), call.data(), static_cast<std::size_t>(n)};
    const pricing::Outputs out{table.mutable_data(), status.mutable_data()};
    bool completed;
    {
        py::gil_scoped_release release;
        completed = batch(what, in, out, tarnwick::bindings::interruptible(threads));
    }
    tarnwick::bindings::raise_if_stopped(completed);
    return {std::move(table), std::move(status)};
}

// One option from Python floats, without the arrays' conversion costs (several times the
// price of a closed-form option): `batch` run on a batch of one on the calling thread, so
// that the values are those of the same option in an array, and its kernel stops on
// Ctrl-C as a batch's do. The values as a list, and the status.
template <class Batch>
One one_option(Output what, int model, double S, double K, double T, double r, double q, bool call, Batch&& batch) {
    std::vector<double> values(static_cast<std::size_t>(pricing::output_rows(model, what)));
    const std::int8_t flag = call ? 1 : 0;
    std::int8_t status = 0;
    const pricing::Inputs in{&S, &K, &T, &r, &q, &flag, 1};
    bool completed;
    {
        py::gil_scoped_release release;
        completed = batch(what, in, pricing::Outputs{values.data(), &status}, tarnwick::bindings::interruptible(1));
    }
    tarnwick::bindings::raise_if_stopped(completed);
    return {std::move(values), status};
}

// The batch of options with early exercise: exercise 1 American, 2 Bermudan on `dates`
// (years from now, increasing).
auto early_batch(int model, const double* params, int exercise, const Doubles& dates) {
    if (exercise < 1 || exercise > 2) throw std::invalid_argument("unknown exercise code");
    const tarnwick::ExerciseDates on{dates.data(), static_cast<std::size_t>(dates.size())};
    const auto style = static_cast<tarnwick::Exercise>(exercise);
    return [=](Output what, const pricing::Inputs& in, const pricing::Outputs& out, const tarnwick::Schedule& schedule) {
        return pricing::evaluate_early(model, params, what, style, on, in, out, schedule);
    };
}

// The batch of European barrier options: kind 1 down-and-out, 2 down-and-in, 3 up-and-out,
// 4 up-and-in; levels H and rebates per option; monitoring times (years from now,
// increasing) for all, none: continuous.
auto barrier_batch(int model, const double* params, int kind, const double* H, const double* rebate,
                   const Doubles& monitoring) {
    if (kind < 1 || kind > 4) throw std::invalid_argument("unknown barrier kind");
    const pricing::BarrierInputs terms{static_cast<tarnwick::BarrierKind>(kind), H, rebate,
                                       {monitoring.data(), static_cast<std::size_t>(monitoring.size())}};
    return [=](Output what, const pricing::Inputs& in, const pricing::Outputs& out, const tarnwick::Schedule& schedule) {
        return pricing::evaluate_barrier(model, params, what, terms, in, out, schedule);
    };
}

// Options with early exercise on the grid: output 0 prices, 1 Greeks.
Table early_exercise(int output, int model, const Doubles& params, const Doubles& S, const Doubles& K, const Doubles& T,
                     const Doubles& r, const Doubles& q, const Flags& call, int exercise, const Doubles& dates,
                     unsigned threads) {
    return on_grid(output, model, params, S, K, T, r, q, call, threads,
                   early_batch(model, params.data(), exercise, dates));
}

One early_exercise_one(int output, int model, const std::vector<double>& params, double S, double K, double T,
                       double r, double q, bool call, int exercise, const Doubles& dates) {
    check_grid(output, model, params.size());
    return one_option(static_cast<Output>(output), model, S, K, T, r, q, call,
                      early_batch(model, params.data(), exercise, dates));
}

// European barrier options on the grid: output 0 prices, 1 Greeks.
Table barrier(int output, int model, const Doubles& params, const Doubles& S, const Doubles& K, const Doubles& T,
              const Doubles& r, const Doubles& q, const Flags& call, int kind, const Doubles& H, const Doubles& rebate,
              const Doubles& monitoring, unsigned threads) {
    if (H.size() != S.size() || rebate.size() != S.size())
        throw std::invalid_argument("H and rebate must have the size of S");
    return on_grid(output, model, params, S, K, T, r, q, call, threads,
                   barrier_batch(model, params.data(), kind, H.data(), rebate.data(), monitoring));
}

One barrier_one(int output, int model, const std::vector<double>& params, double S, double K, double T, double r,
                double q, bool call, int kind, double H, double rebate, const Doubles& monitoring) {
    check_grid(output, model, params.size());
    return one_option(static_cast<Output>(output), model, S, K, T, r, q, call,
                      barrier_batch(model, params.data(), kind, &H, &rebate, monitoring));
}

// The exercise boundary of an American option: times to expiry, boundary spots, status.
std::tuple<std::vector<double>, std::vector<double>, int> exercise_boundary(int model, const std::vector<double>& params,
                                                                          double K, double T, double r, double q,
                                                                          bool call) {
    check_model(model, params.size());
    if (!pricing::on_grid(model)) throw std::invalid_argument("the model has no grid solver");
    tarnwick::grid::Trace trace;
    tarnwick::Status status = tarnwick::Status::ok;
    const tarnwick::Option o{K, K, T, r, q, {call ? tarnwick::Payoff::call : tarnwick::Payoff::put, tarnwick::Exercise::american}};
    bool completed;
    {
        py::gil_scoped_release release;
        // A batch of one on the calling thread, so that its kernel's polls ask for Ctrl-C.
        completed = tarnwick::parallel_each(1, tarnwick::bindings::interruptible(1), 1,
                                            [&](std::size_t, tarnwick::Stop stop) {
            pricing::with_model(model, params.data(), [&](const auto& m) {
                if constexpr (tarnwick::grid::on_grid<std::decay_t<decltype(m)>>::value)
                    status = tarnwick::grid::boundary(m, o, stop, trace);
            });
        });
    }
    tarnwick::bindings::raise_if_stopped(completed);
    return {std::move(trace.tau), std::move(trace.x), static_cast<int>(status)};
}

// One European option from Python floats: output 0 price, 1 Greeks, 2 sensitivities.
One evaluate_one(int output, int model, const std::vector<double>& params, double S, double K, double T, double r,
                 double q, bool call) {
    check_model(model, params.size());
    if (output < 0 || output > 2) throw std::invalid_argument("unknown output code");
    return one_option(static_cast<Output>(output), model, S, K, T, r, q, call,
                      [&](Output what, const auto& in, const auto& out, const auto& schedule) {
                          return pricing::evaluate(model, params.data(), what, in, out, schedule);
                      });
}

}  // namespace

PYBIND11_MODULE(_pricing, m) {
    m.doc() = "Batch pricer behind tarnwick.price, tarnwick.greeks and tarnwick.sensitivities.";
    std::vector<std::string> names(pricing::Registered::names.begin(), pricing::Registered::names.end());
    m.attr("model_names") = py::tuple(py::cast(names));
    m.def("price", &entry<Output::price>, py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Prices of equally long 1-D arrays of options: a (1, n) array and n status codes (0 ok).");
    m.def("greeks", &entry<Output::greeks>, py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Price and twelve Greeks: a (13, n) array and n status codes.");
    m.def("sensitivities", &entry<Output::sensitivities>, py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Price and its derivative in each model parameter: a (1 + parameters, n) array and n status codes.");
    m.def("coarse", &coarse, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("loosen"), py::arg("threads"),
          "Prices (output 0) or sensitivities (2) as price and sensitivities return them, with the Fourier sums' "
          "error goals raised by loosen (0 to 30) e-folds.");
    m.def("early_exercise", &early_exercise, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("exercise"),
          py::arg("dates"), py::arg("threads"),
          "Options with early exercise (1 American, 2 Bermudan on dates): output 0 prices (1, n), 1 Greeks (13, n); "
          "and n status codes.");
    m.def("barrier", &barrier, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("kind"), py::arg("H"), py::arg("rebate"),
          py::arg("monitoring"), py::arg("threads"),
          "European barrier options (kind 1 down-out, 2 down-in, 3 up-out, 4 up-in; monitoring times, none: "
          "continuous): output 0 prices (1, n), 1 Greeks (13, n); and n status codes.");
    m.def("exercise_boundary", &exercise_boundary, py::arg("model"), py::arg("params"), py::arg("K"), py::arg("T"),
          py::arg("r"), py::arg("q"), py::arg("call"),
          "The American exercise boundary: times to expiry, boundary spots and a status code.");
    m.def("early_exercise_one", &early_exercise_one, py::arg("output"), py::arg("model"), py::arg("params"),
          py::arg("S"), py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("exercise"),
          py::arg("dates"), "One option of early_exercise: the values as a list and the status code.");
    m.def("barrier_one", &barrier_one, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("kind"), py::arg("H"),
          py::arg("rebate"), py::arg("monitoring"), "One option of barrier: the values as a list and the status code.");
    m.def("evaluate_one", &evaluate_one, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"),
          "One option: output 0 price, 1 Greeks, 2 sensitivities; the values as a list and the status code.");
}
