#include <pybind11/pybind11.h>

#include "dexpjump/options.hpp"

namespace py = pybind11;
using namespace dexpjump;

PYBIND11_MODULE(dexpjump, m) {
    py::class_<Option>(m, "Option");
    py::class_<EuropeanOption, Option>(m, "EuropeanOption")
        .def("priceByKouJumpDiffusion", &EuropeanOption::priceByKouJumpDiffusion, py::arg("S"),
             py::arg("r"), py::arg("sigma"), py::arg("lam"), py::arg("p"), py::arg("eta1"),
             py::arg("eta2"), py::arg("n"));
    py::class_<EuropeanCall, EuropeanOption>(m, "KouEuropeanCall").def(py::init<double, double>());
    py::class_<EuropeanPut, EuropeanOption>(m, "KouEuropeanPut").def(py::init<double, double>());
    m.def("create_european_call", &create_european_call, py::arg("T"), py::arg("K"));
    m.def("create_european_put", &create_european_put, py::arg("T"), py::arg("K"));
}
