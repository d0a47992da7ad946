// Binding of the path simulator: the grid and the model's parameters in, a (paths, times)
// array out, filled with the GIL released. Argument validation happens in Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>

#include "bindings/interrupt.hpp"
#include "simulation/simulate.hpp"

namespace py = pybind11;
namespace pricing = tarnwick::pricing;
namespace simulation = tarnwick::simulation;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

py::array_t<double> simulate(int model, const Doubles& params, double S, const Doubles& times, double carry,
                             std::size_t paths, std::uint64_t first_path, std::uint64_t seed, unsigned threads) {
    if (!pricing::known_model(model)) throw std::invalid_argument("unknown model code");
    if (params.size() != pricing::parameter_count(model))
        throw std::invalid_argument("wrong number of model parameters");
    const auto columns = static_cast<std::size_t>(times.size());
    py::array_t<double> out({static_cast<py::ssize_t>(paths), static_cast<py::ssize_t>(columns)});
    const simulation::Request request{S, carry, times.data(), columns, seed, first_path, paths, out.mutable_data()};
    const double* p = params.data();
    simulation::Outcome outcome;
    {
        py::gil_scoped_release release;
        outcome = simulation::simulate(model, p, request, tarnwick::bindings::interruptible(threads));
    }
    tarnwick::bindings::raise_if_stopped(outcome != simulation::Outcome::stopped);
    if (outcome == simulation::Outcome::not_a_number)
        throw std::invalid_argument(
            "model: a simulated value is not a number; the parameters are beyond what the scheme carries in "
            "doubles (for a stochastic variance, try shorter steps)");
    return out;
}

}  // namespace

PYBIND11_MODULE(_simulation, m) {
    m.doc() = "Path simulator behind tarnwick.simulate.";
    m.def("simulate", &simulate, py::arg("model"), py::arg("params"), py::arg("S"), py::arg("times"),
          py::arg("carry"), py::arg("paths"), py::arg("first_path"), py::arg("seed"), py::arg("threads"),
          "Spot paths at increasing times >= 0: a (paths, len(times)) array; carry is r - q, threads = 0 uses "
          "every hardware thread.");
}
