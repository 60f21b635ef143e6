// Python errors inside C++ code.
//
// A Python error travels through C++ as py::error_already_set, which holds the
// original exception object (type, value, traceback) untouched.  Every C entry
// point runs its body through `guarded`, which puts the exception back into the
// interpreter and returns the C-API failure value.
#pragma once

#include "pyglue/python.hpp"

#include <exception>

namespace pyglue {

namespace py = pybind11;

// Raise a new Python exception of `type`.
[[noreturn]] void raise(PyObject* type, const char* message);
// Raise with a PyUnicode_FromFormat format.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);
// A C-API call failed and set the error indicator: carry it on as a C++ exception.
[[noreturn]] inline void throw_current() {
    throw py::error_already_set();
}

// Set the interpreter's error indicator from the C++ exception being handled
// (inside a catch block): a Python error is restored as it was; any other
// failure becomes MemoryError or SystemError.
void set_error_from_current_exception() noexcept;

// Run `body` at a C entry point: its result is returned to the caller, or the
// pending exception is set in the interpreter and `failure` returned.
//
// Only C++ exceptions (every one that pybind11 and this layer throw is a
// std::exception) are caught.  A thread that the interpreter ends while it
// waits for the GIL at exit (a daemon thread) is unwound by pthread_exit with
// a foreign exception (abi::__forced_unwind), which must pass through every
// C++ frame untouched, or the process aborts: no handler here matches it.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure) -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception&) {
        set_error_from_current_exception();
    }
    return failure;
}

inline PyObject* guarded_call(auto&& body) {
    return guarded([&]() -> PyObject* { return py::object(body()).release().ptr(); }, nullptr);
}

}  // namespace pyglue
