// The `with` statement for C++ bodies.
#pragma once

#include "pyglue/errors.hpp"

#include <functional>

namespace pyglue {

// Makes `error` the exception being handled (sys.exc_info()) for its lifetime.
class HandlingScope {
  public:
    explicit HandlingScope(const py::error_already_set& error) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyErr_SetExcInfo(new_ref(error.type().ptr()), new_ref(error.value().ptr()),
                         error.trace() ? new_ref(error.trace().ptr()) : nullptr);
    }
    ~HandlingScope() { PyErr_SetExcInfo(type_, value_, traceback_); }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Enter `manager`, run `body` with what its __enter__ returned, and leave it
// as Python's `with` statement does: __exit__(None, None, None) on success;
// on an exception __exit__(type, value, traceback) while that exception is
// being handled, suppressing it when __exit__ returns a true value.  An
// exception raised by __exit__ replaces the pending one and has it as its
// __context__.
void with_block(py::handle manager, const std::function<void(py::handle)>& body);

}  // namespace pyglue
