// Calls from C++ into Python objects by vectorcall, without building an
// argument tuple or a keyword dictionary.
#include "pyglue/operation.hpp"

namespace pyglue {

PyObject* KeywordNames::tuple() const {
    if (tuple_ == nullptr) {
        py::tuple names(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i)
            names[i] = py::reinterpret_steal<py::object>(
                checked(PyUnicode_InternFromString(names_[i])).release());
        tuple_ = names.release().ptr();
    }
    return tuple_;
}

namespace {

// callable with `args`: the first `npositional` by position, the rest by the
// keywords named in `kwnames`.
py::object vectorcall(py::handle callable, std::initializer_list<py::handle> args,
                      std::size_t npositional, PyObject* kwnames) {
    std::array<PyObject*, max_params + 1> stack{};  // stack[0] is free for the callee
    if (args.size() > max_params) raise(PyExc_SystemError, "too many arguments");
    std::size_t n = 0;
    for (py::handle arg : args) stack[++n] = arg.ptr();
    return checked(PyObject_Vectorcall(callable.ptr(), stack.data() + 1,
                                       npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace

py::object call_positional(py::handle callable, std::initializer_list<py::handle> args) {
    return vectorcall(callable, args, args.size(), nullptr);
}

py::object call_with_keywords(py::handle callable, const KeywordNames& names,
                              std::initializer_list<py::handle> values) {
    if (values.size() != names.size())
        raise(PyExc_SystemError, "keyword names and values differ in number");
    return vectorcall(callable, values, 0, names.tuple());
}

}  // namespace pyglue
