#include "pyglue/objects.hpp"

namespace pyglue {

py::object optional_attribute(py::handle object, py::handle name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), name.ptr());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_current();
        PyErr_Clear();
    }
    return py::reinterpret_steal<py::object>(value);
}

py::object optional_attribute(py::handle object, const char* name) {
    return optional_attribute(object, py::str(name));
}

bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw_current();
    return result == 1;
}

py::str type_name(PyTypeObject* type) {
    return py::str(py::handle(reinterpret_cast<PyObject*>(type)).attr("__name__"));
}

PyObject* Name::intern() const {
    interned_.reset(checked(PyUnicode_InternFromString(text_)));
    return interned_.get();
}

}  // namespace pyglue
