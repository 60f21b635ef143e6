// Argument binding with the interpreter's own error texts, and the entry type
// checks derived from the annotation strings.
#include "pyglue/module.hpp"
#include "pyglue/operation.hpp"

#include <string_view>

namespace pyglue {

namespace {

[[noreturn]] void raise_count(const Binding& binding, Py_ssize_t given) {
    const Operation& op = *binding.op;
    const Py_ssize_t min = binding.required;
    const auto max = static_cast<Py_ssize_t>(op.params.size());
    const bool too_few = given < min;
    const Py_ssize_t expected = too_few ? min : max;
    const char* bound = min == max ? "exactly" : too_few ? "at least" : "at most";
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 op.name, bound, expected, expected == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, or -1: by identity first (the names of
// a call written in Python are interned), then by value.
Py_ssize_t param_index(const Binding& binding, PyObject* key) {
    const auto n = static_cast<Py_ssize_t>(binding.op->params.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (binding.names[i] == key) return i;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(key, binding.op->params[i].name) == 0) return i;
    return -1;
}

}  // namespace

PyObject* default_object(Default d) {
    switch (d) {
        case Default::true_:
            return Py_True;
        case Default::false_:
            return Py_False;
        default:
            return Py_None;
    }
}

void raise_argument_type(const char* param, PyTypeObject* expected, PyTypeObject* got,
                         bool note_subclass) {
    const py::str expected_name = type_name(expected);
    const py::str got_name = type_name(got);
    if (note_subclass && PyType_IsSubtype(got, expected))
        raise_format(
            PyExc_TypeError,
            "Argument '%.200s' has incorrect type (expected %.200U, got %.200U). Subclasses "
            "of built-in types are rejected; pass a plain %U",
            param, expected_name.ptr(), got_name.ptr(), expected_name.ptr());
    raise_format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200U, got %.200U)", param,
                 expected_name.ptr(), got_name.ptr());
}

TypeCheck check_for_annotation(const char* annotation) {
    TypeCheck check;
    if (annotation == nullptr) return check;
    std::string_view text(annotation);
    if (text.starts_with("Optional[") && text.ends_with("]")) {
        check.admits_none = true;
        text = text.substr(9, text.size() - 10);
    }
    if (text == "str")
        check.type = &PyUnicode_Type;
    else if (text == "int")
        check.type = &PyLong_Type;
    else if (text == "dict" || text == "Dict")
        check.type = &PyDict_Type;
    else if (text.starts_with("List"))
        check.type = &PyList_Type;
    return check;
}

void check_argument(const char* param, py::handle value, const TypeCheck& check) {
    if (check.type == nullptr || Py_IS_TYPE(value.ptr(), check.type)) return;
    if (check.admits_none && value.is_none()) return;
    raise_argument_type(param, check.type, Py_TYPE(value.ptr()), true);
}

Binding::Binding(const Operation& operation) : op(&operation), required(0), checks{}, names{} {
    for (std::size_t i = 0; i < operation.params.size(); ++i) {
        required += operation.params[i].default_value == Default::required;
        checks[i] = check_for_annotation(operation.params[i].annotation);
        names[i] = checked(PyUnicode_InternFromString(operation.params[i].name)).release().ptr();
    }
}

void bind_arguments(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Binding& binding = call.binding_;
    const Operation& op = *binding.op;
    const auto max = static_cast<Py_ssize_t>(op.params.size());
    const Py_ssize_t min = binding.required;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > max || (nkw == 0 && nargs < min)) raise_count(binding, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        call.values_[i] = py::reinterpret_borrow<py::object>(args[i]);

    if (nkw > 0) {
        // Required parameters not given by position must come by keyword; the
        // first one missing is reported with the count of those before it.
        for (Py_ssize_t i = nargs; i < min; ++i) {
            for (Py_ssize_t k = 0; k < nkw && !call.values_[i]; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (PyUnicode_Check(key) && param_index(binding, key) == i)
                    call.values_[i] = py::reinterpret_borrow<py::object>(args[nargs + k]);
            }
            if (!call.values_[i]) raise_count(binding, i);
        }
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key))
                raise_format(PyExc_TypeError, "%.200s() keywords must be strings", op.name);
            const Py_ssize_t index = param_index(binding, key);
            if (index < 0)
                raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             op.name, key);
            if (index < nargs)
                raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             op.name, key);
            call.values_[index] = py::reinterpret_borrow<py::object>(args[nargs + k]);
        }
    }
    for (Py_ssize_t i = nargs; i < max; ++i)
        if (!call.values_[i])
            call.values_[i] =
                py::reinterpret_borrow<py::object>(default_object(op.params[i].default_value));

    if (op.prepare) op.prepare(call);
    for (Py_ssize_t i = 0; i < max; ++i)
        check_argument(op.params[i].name, call.values_[i],
                       check_for_annotation(op.params[i].annotation));
}

}  // namespace pyglue
