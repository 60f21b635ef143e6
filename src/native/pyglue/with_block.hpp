// The `with` statement for C++ bodies.
#pragma once

#include "pyglue/objects.hpp"

#include <functional>

namespace pyglue {

// Makes an exception the one being handled (sys.exc_info()) for its lifetime.
class HandlingScope {
  public:
    explicit HandlingScope(const py::error_already_set& error)
        : HandlingScope(error.type(), error.value(), error.trace()) {}
    HandlingScope(py::handle type, py::handle value, py::handle traceback) {
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
        PyErr_SetExcInfo(new_ref(type.ptr()), new_ref(value.ptr()),
                         traceback ? new_ref(traceback.ptr()) : nullptr);
    }
    // Restored only by a thread that holds the GIL: a thread the interpreter
    // ends at exit unwinds without it, and must touch no interpreter state.
    ~HandlingScope() {
        if (PyGILState_Check()) PyErr_SetExcInfo(type_, value_, traceback_);
    }
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

  private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// Enter `manager`, run `body` with what its __enter__ returned, and leave it
// as Python's `with` statement does: __enter__ and __exit__ are looked up on
// the type (its MRO) and bound once through the descriptor protocol;
// __exit__(None, None, None) on success; on an exception __exit__(type, value,
// traceback) while that exception is being handled, suppressing it when
// __exit__ returns a true value.  An exception raised by __exit__ replaces the
// pending one and has it as its __context__.
void with_block(py::handle manager, const std::function<void(py::handle)>& body);

}  // namespace pyglue
