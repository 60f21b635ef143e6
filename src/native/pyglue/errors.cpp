#include "pyglue/errors.hpp"

#include <cstdarg>

namespace pyglue {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_current();
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw_current();
}

py::str type_name(PyTypeObject* type) {
    return checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
}

}  // namespace pyglue
