#pragma once

// Two ways in which Python reached an instance of a bound class without a native object
// behind it, both now refused with a TypeError.
//
// 1. pybind11's common instance base type creates instances through a tp_new that throws
//    a C++ exception when the type has no bound native class among its bases (the base
//    type itself, or a Python class derived from it alone). The exception leaves through
//    the interpreter's C frames, which cannot pass it on, and the process ends in
//    std::terminate. Pickling with protocol 0 or 1 gets there: copyreg's reducer calls the
//    nearest base class that defines its own __new__, which is that base type.
// 2. X.__new__(X) for a bound class X (the base type's __new__, inherited) makes an
//    instance without running __init__. Its native value is then allocated on first use
//    but never constructed, so a method reads uninitialised memory (a garbage dispatch
//    table for a virtual call: a segmentation fault).
//
// The base type's tp_new gets the check of case 1. Each class of these modules keeps
// pybind11's own tp_new in its slot, which then differs from the base type's: CPython
// refuses the base type's __new__ for a type whose own tp_new differs ("is not safe"),
// and that closes case 2, while calling the class (tp_new, then __init__) works as before.

#include <initializer_list>

#include <pybind11/pybind11.h>

namespace tarnwick::bindings {

extern "C" inline PyObject* guarded_instance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (pybind11::detail::all_type_info(type).empty()) {
        PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances: no bound native class behind them",
                     type->tp_name);
        return nullptr;
    }
    return pybind11::detail::pybind11_object_new(type, args, kwargs);
}

// Installs case 1's check in the base type, which all modules built against the same
// pybind11 internals share (installing it again changes nothing; classes that other
// modules register later inherit it and work as before), and gives each of the module's
// classes pybind11's own tp_new back.
inline void guard_instances(std::initializer_list<pybind11::handle> classes) {
    auto* base = reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
    base->tp_new = guarded_instance_new;
    for (pybind11::handle cls : classes)
        reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_new = pybind11::detail::pybind11_object_new;
}

}  // namespace tarnwick::bindings
