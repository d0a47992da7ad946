#include <pybind11/pybind11.h>

#include "bindings/instance_guards.hpp"
#include "dexpjump/options.hpp"

namespace py = pybind11;
using namespace dexpjump;

PYBIND11_MODULE(dexpjump, m) {
    py::class_<Option> option(m, "Option");
    py::class_<EuropeanOption, Option> european(m, "EuropeanOption");
    european.def("priceByKouJumpDiffusion", &EuropeanOption::priceByKouJumpDiffusion, py::arg("S"),
                 py::arg("r"), py::arg("sigma"), py::arg("lam"), py::arg("p"), py::arg("eta1"),
                 py::arg("eta2"), py::arg("n"));
    py::class_<EuropeanCall, EuropeanOption> call(m, "KouEuropeanCall");
    call.def(py::init<double, double>());
    py::class_<EuropeanPut, EuropeanOption> put(m, "KouEuropeanPut");
    put.def(py::init<double, double>());
    m.def("create_european_call", &create_european_call, py::arg("T"), py::arg("K"));
    m.def("create_european_put", &create_european_put, py::arg("T"), py::arg("K"));
    tarnwick::bindings::guard_instances({option, european, call, put});
}
