#include <pybind11/pybind11.h>

#include "bindings/instance_guards.hpp"
#include "lognjump/merton_call.hpp"

namespace py = pybind11;

PYBIND11_MODULE(lognjump, m) {
    py::class_<lognjump::MertonEuropeanCall> call(m, "MertonEuropeanCall");
    call.def(py::init<double, double>())
        .def("JDAnalyticalPrice", &lognjump::MertonEuropeanCall::JDAnalyticalPrice, py::arg("S"),
             py::arg("sigma"), py::arg("r"), py::arg("lam"), py::arg("m"), py::arg("s"),
             py::arg("n"));
    tarnwick::bindings::guard_instances({call});
}
