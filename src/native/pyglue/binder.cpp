// Argument binding with the interpreter's own error texts, and the entry type
// checks derived from the annotation strings.
#include "pyglue/binder.hpp"

#include <algorithm>
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

// Index of the parameter named `key`, or -1.  Keywords usually come in
// parameter order and interned (as in any call written in Python), so the
// parameter after `hint` is tried first, then every name by identity, then by
// value.
Py_ssize_t param_index(const Binding& binding, PyObject* key, Py_ssize_t hint) {
    const std::size_t n = binding.op->params.size();
    const auto first = static_cast<std::size_t>(hint);  // hint is never negative
    if (first < n && binding.names[first].ptr() == key) return hint;
    for (std::size_t i = 0; i < n; ++i)
        if (binding.names[i].ptr() == key) return static_cast<Py_ssize_t>(i);
    for (std::size_t i = 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(key, binding.op->params[i].name) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

// The first keyword that the binding cannot take, reported as the interpreter does.
[[noreturn]] void raise_bad_keyword(const Binding& binding, Py_ssize_t nargs, PyObject* kwnames) {
    const char* name = binding.op->name;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key))
            raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        const Py_ssize_t index = param_index(binding, key, 0);
        if (index < 0)
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         key);
        if (index < nargs)
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
    }
    raise(PyExc_SystemError, "keyword arguments rejected without a reason");
}

}  // namespace

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

void check_argument(const char* param, py::handle value, const TypeCheck& check) {
    if (check.type == nullptr || Py_IS_TYPE(value.ptr(), check.type)) return;
    if (check.admits_none && value.is_none()) return;
    raise_argument_type(param, check.type, Py_TYPE(value.ptr()), true);
}

Binding::Binding(const Operation& operation) : op(&operation) {
    for (std::size_t i = 0; i < operation.params.size(); ++i) {
        const Default d = operation.params[i].default_value;
        required += d == Default::required;
        if (d != Default::required) defaults[i] = default_object(d);
        checks[i] = check_for_annotation(operation.params[i].annotation);
        names[i] = checked(PyUnicode_InternFromString(operation.params[i].name));
    }
}

void bind_arguments(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Binding& binding = call.binding_;
    const Operation& op = *binding.op;
    const auto max = static_cast<Py_ssize_t>(op.params.size());
    const Py_ssize_t min = binding.required;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject** values = call.values_.data();

    if (nargs > max || (nkw == 0 && nargs < min)) raise_count(binding, nargs);
    std::copy(args, args + nargs, values);

    if (nkw > 0) {
        // Take every keyword that fits; what does not is reported only after
        // the missing required parameters, which are reported first, with the
        // count of those before the first one missing.
        bool rejected = false;
        Py_ssize_t hint = nargs;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t index = PyUnicode_Check(key) ? param_index(binding, key, hint) : -1;
            if (index < nargs) {
                rejected = true;
                continue;
            }
            values[index] = args[nargs + k];
            hint = index + 1;
        }
        for (Py_ssize_t i = nargs; i < min; ++i)
            if (values[i] == nullptr) raise_count(binding, i);
        if (rejected) raise_bad_keyword(binding, nargs, kwnames);
    }
    for (auto i = static_cast<std::size_t>(nargs); i < op.params.size(); ++i)
        if (values[i] == nullptr) values[i] = binding.defaults[i];

    if (op.prepare) op.prepare(call);
    for (std::size_t i = 0; i < op.params.size(); ++i) {
        PyTypeObject* type = binding.checks[i].type;
        if (type != nullptr && Py_TYPE(values[i]) != type)
            check_argument(op.params[i].name, values[i], binding.checks[i]);
    }
}

}  // namespace pyglue
