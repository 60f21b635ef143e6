#include "pyglue/with_block.hpp"

namespace pyglue {

namespace {

// type(manager).NAME bound to manager, as the interpreter looks up special methods.
py::object special_method(py::handle manager, const char* name, const char* missing) {
    py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    PyObject* descriptor = PyObject_GetAttrString(type.ptr(), name);
    if (descriptor == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s",
                     Py_TYPE(manager.ptr())->tp_name, missing);
    }
    py::object unbound = py::reinterpret_steal<py::object>(descriptor);
    descrgetfunc get = Py_TYPE(descriptor)->tp_descr_get;
    if (get == nullptr) return unbound;
    return checked(get(descriptor, manager.ptr(), type.ptr()));
}

// True when __exit__ asks for the pending exception to be suppressed.
bool exit_with(const py::object& exit, const py::error_already_set& error) {
    HandlingScope handling(error);
    py::object result =
        exit(error.type(), error.value(), error.trace() ? error.trace() : py::none());
    const int suppress = PyObject_IsTrue(result.ptr());
    if (suppress < 0) throw_current();
    return suppress == 1;
}

}  // namespace

void with_block(py::handle manager, const std::function<void(py::handle)>& body) {
    py::object enter = special_method(manager, "__enter__", "");
    py::object exit = special_method(manager, "__exit__", " (missed __exit__ method)");
    py::object value = enter();
    try {
        body(value);
    } catch (py::error_already_set& error) {
        if (exit_with(exit, error)) return;
        throw;
    } catch (...) {
        set_error_from_current_exception();
        py::error_already_set error;
        if (exit_with(exit, error)) return;
        throw error;
    }
    exit(py::none(), py::none(), py::none());
}

}  // namespace pyglue
