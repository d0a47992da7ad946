// Binding of the implied-volatility batch: equal-length contiguous arrays in, one array out.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "bindings/interrupt.hpp"
#include "common/parallel.hpp"
#include "impliedvol/implied_volatility.hpp"

namespace py = pybind11;

namespace {

using Array = py::array_t<double, py::array::c_style>;
using Kinds = py::array_t<std::int8_t, py::array::c_style>;

// Options per work item: about a millisecond, long against taking an item, short against
// the wait for Ctrl-C.
constexpr std::size_t options_per_item = 4096;

Array implied_volatility(const Array& price, const Array& S, const Array& K, const Array& T, const Array& r,
                         const Array& q, const Kinds& call, unsigned threads) {
    const auto count = static_cast<std::size_t>(price.size());
    for (const auto* array : {&S, &K, &T, &r, &q}) {
        if (static_cast<std::size_t>(array->size()) != count) throw std::invalid_argument("arrays differ in length");
    }
    if (static_cast<std::size_t>(call.size()) != count) throw std::invalid_argument("arrays differ in length");
    Array result(static_cast<py::ssize_t>(count));
    const double *p = price.data(), *s = S.data(), *k = K.data(), *t = T.data(), *rr = r.data(), *qq = q.data();
    const std::int8_t* c = call.data();
    double* out = result.mutable_data();
    const std::size_t items = (count + options_per_item - 1) / options_per_item;
    bool completed;
    {
        py::gil_scoped_release release;
        completed = tarnwick::parallel_each(items, tarnwick::bindings::interruptible(threads), 1,
                                            [=](std::size_t item, tarnwick::Stop) {
                                                const std::size_t begin = item * options_per_item;
                                                const std::size_t n = std::min(count - begin, options_per_item);
                                                tarnwick::impliedvol::implied_volatilities(
                                                    p + begin, s + begin, k + begin, t + begin, rr + begin,
                                                    qq + begin, c + begin, out + begin, n);
                                            });
    }
    tarnwick::bindings::raise_if_stopped(completed);
    return result;
}

}  // namespace

PYBIND11_MODULE(_volatility, m) {
    m.def("implied_volatility", &implied_volatility, py::arg("price"), py::arg("S"), py::arg("K"), py::arg("T"),
          py::arg("r"), py::arg("q"), py::arg("call"), py::arg("threads"),
          "Black-Scholes implied volatilities of equal-length float64 arrays (call: 1, put: 0); "
          "threads = 0 uses every hardware thread.");
}
