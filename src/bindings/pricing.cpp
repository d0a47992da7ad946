// Array-in, array-out entry points of the pricer: checks sizes, releases the GIL and hands
// the batch to pricing/batch.hpp. Broadcasting and argument validation happen in Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "pricing/batch.hpp"

namespace py = pybind11;
using tarnwick::pricing::ModelKind;
using tarnwick::pricing::Output;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Flags = py::array_t<std::int8_t, py::array::c_style | py::array::forcecast>;

py::array_t<double> run(Output what, int model, const Doubles& params, const Doubles& S, const Doubles& K,
                        const Doubles& T, const Doubles& r, const Doubles& q, const Flags& call, unsigned threads) {
    if (model < 0 || model > 2) throw std::invalid_argument("unknown model code");
    const auto kind = static_cast<ModelKind>(model);
    if (params.size() != tarnwick::pricing::parameter_count(kind))
        throw std::invalid_argument("wrong number of model parameters");
    const auto n = S.size();
    for (const auto* a : {&K, &T, &r, &q})
        if (a->size() != n) throw std::invalid_argument("S, K, T, r and q must have one size");
    if (call.size() != n) throw std::invalid_argument("call must have the size of S");
    const auto rows = tarnwick::pricing::output_rows(kind, what);
    py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(n)});
    const tarnwick::pricing::Inputs in{S.data(), K.data(), T.data(), r.data(), q.data(), call.data(),
                                       static_cast<std::size_t>(n)};
    const double* p = params.data();
    double* o = out.mutable_data();
    {
        py::gil_scoped_release release;
        tarnwick::pricing::evaluate(kind, p, what, in, o, threads);
    }
    return out;
}

template <Output what>
py::array_t<double> entry(int model, const Doubles& params, const Doubles& S, const Doubles& K, const Doubles& T,
                          const Doubles& r, const Doubles& q, const Flags& call, unsigned threads) {
    return run(what, model, params, S, K, T, r, q, call, threads);
}

// One option from Python floats, without the arrays' conversion costs (several times the
// price of a closed-form option).
std::vector<double> evaluate_one(int output, int model, const std::vector<double>& params, double S, double K,
                                 double T, double r, double q, bool call) {
    if (model < 0 || model > 2) throw std::invalid_argument("unknown model code");
    if (output < 0 || output > 2) throw std::invalid_argument("unknown output code");
    const auto kind = static_cast<ModelKind>(model);
    const auto what = static_cast<Output>(output);
    if (params.size() != static_cast<std::size_t>(tarnwick::pricing::parameter_count(kind)))
        throw std::invalid_argument("wrong number of model parameters");
    std::vector<double> out(static_cast<std::size_t>(tarnwick::pricing::output_rows(kind, what)));
    const std::int8_t flag = call ? 1 : 0;
    const tarnwick::pricing::Inputs in{&S, &K, &T, &r, &q, &flag, 1};
    py::gil_scoped_release release;
    tarnwick::pricing::evaluate(kind, params.data(), what, in, out.data(), 1);
    return out;
}

}  // namespace

PYBIND11_MODULE(_pricing, m) {
    m.doc() = "Batch pricer behind tarnwick.price, tarnwick.greeks and tarnwick.sensitivities.";
    m.def("price", &entry<Output::price>, py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Prices of equally long 1-D arrays of options; a (1, n) array.");
    m.def("greeks", &entry<Output::greeks>, py::arg("model"), py::arg("params"), py::arg("S"), py::arg("K"),
          py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Price and twelve Greeks; a (13, n) array.");
    m.def("sensitivities", &entry<Output::sensitivities>, py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Price and its derivative in each model parameter; a (1 + parameters, n) array.");
    m.def("evaluate_one", &evaluate_one, py::arg("output"), py::arg("model"), py::arg("params"), py::arg("S"),
          py::arg("K"), py::arg("T"), py::arg("r"), py::arg("q"), py::arg("call"),
          "One option: output 0 price, 1 Greeks, 2 sensitivities; the values as a list.");
}
