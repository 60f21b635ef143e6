// The interpreter's and pybind11's headers, included once, in this order, by
// every source file (through errors.hpp).
//
// A daemon thread still inside an operation when the interpreter exits is
// ended by the interpreter (pthread_exit, 3.9 to 3.13) as it waits for the
// GIL, and unwound through our C++ frames without it.  The destructors of
// those frames must then leave the interpreter alone, as CPython's own C
// frames do: a reference is released only where the GIL may be held.
#pragma once

#include <Python.h>

#include "pyglue/platform.hpp"

namespace pyglue {

inline bool may_release_references() {
#if PY_VERSION_HEX >= 0x030D0000
    if (!Py_IsFinalizing()) return true;
#else
    if (!_Py_IsFinalizing()) return true;
#endif
    return PyGILState_Check() != 0;
}

// Releasing the last reference may run Python code (a __del__, a weakref
// callback) that meets the interpreter's exit and ends the thread.  The
// destructor that released it cannot be unwound (it is noexcept), so the
// thread waits there for the process to end instead, as such threads do from
// 3.14 on.  Py_DECREF throws nothing of C++'s own: what arrives here is that
// unwinding (pthread_exit's), caught without binding a reference to it.
inline void release_reference(PyObject* object) {
    if (object == nullptr || !may_release_references()) return;
    try {
        Py_DECREF(object);
    } catch (...) {
        wait_for_process_end();
    }
}

}  // namespace pyglue

// pybind11's objects release their references in one place, handle::dec_ref,
// through Py_XDECREF.  For pybind11's headers alone, and so for every
// py::object destructor, that macro is release_reference above; our own code
// below keeps the interpreter's.
#pragma push_macro("Py_XDECREF")
#undef Py_XDECREF
#define Py_XDECREF(op) ::pyglue::release_reference(_PyObject_CAST(op))
#include <pybind11/pybind11.h>
#pragma pop_macro("Py_XDECREF")
