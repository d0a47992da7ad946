#pragma once

// The schedule of a batch run from Python with the GIL released: between slices the
// waiting thread takes the GIL back and lets the interpreter run its signal handlers, so
// that Ctrl-C stops the batch within a slice.

#include <pybind11/pybind11.h>

#include "common/parallel.hpp"

namespace tarnwick::bindings {

inline Schedule interruptible(unsigned threads) {
    return {threads, [] {
                pybind11::gil_scoped_acquire acquire;
                return PyErr_CheckSignals() == 0;
            }};
}

// After a batch with the GIL held again: a batch that stopped raises the interpreter's
// pending exception (KeyboardInterrupt), and its partial results are dropped with it.
inline void raise_if_stopped(bool completed) {
    if (!completed) throw pybind11::error_already_set();
}

}  // namespace tarnwick::bindings
