// Small helpers for Python objects held from C++: owned results of C-API
// calls, attribute and truth tests, and references kept for the process.
#pragma once

#include "pyglue/errors.hpp"

namespace pyglue {

// A new strong reference to `o` (Py_NewRef, which 3.9 lacks).
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// A new strong reference to a borrowed object, as a py::object.
inline py::object borrow(py::handle o) {
    return py::reinterpret_borrow<py::object>(o);
}

// Own a new reference returned by a C-API call, throwing if it is NULL.
inline py::object checked(PyObject* result) {
    if (result == nullptr) throw_current();
    return py::reinterpret_steal<py::object>(result);
}
inline void checked(int status) {
    if (status < 0) throw_current();
}

// object.name, or an empty object when it has no such attribute (an
// AttributeError); any other error propagates.
py::object optional_attribute(py::handle object, py::handle name);
py::object optional_attribute(py::handle object, const char* name);

// The truth value of `value`, as `if value:` tests it.
bool truth(py::handle value);

// The name of a type as Python's `type.__name__` gives it.
py::str type_name(PyTypeObject* type);

// A strong reference kept until the process ends: set once (or replaced, with
// the GIL held) and never released at exit, when the interpreter may be gone.
// Trivially destructible, so that a static one has no exit-time destructor.
class KeptReference {
  public:
    constexpr KeptReference() = default;
    KeptReference(const KeptReference&) = delete;
    KeptReference& operator=(const KeptReference&) = delete;

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Keep `object` from now on; the reference kept before is released.
    void reset(py::object object = py::object()) {
        PyObject* old = object_;
        object_ = object.release().ptr();
        Py_XDECREF(old);
    }

  private:
    PyObject* object_ = nullptr;
};

// A name used at run time (an attribute, a global, a keyword), interned on
// first use and kept for the process.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    const char* text() const { return text_; }
    // Borrowed from the interned string this name keeps.
    PyObject* ptr() const { return interned_ ? interned_.get() : intern(); }
    operator py::handle() const { return ptr(); }

  private:
    PyObject* intern() const;
    const char* text_;
    mutable KeptReference interned_;
};

}  // namespace pyglue
