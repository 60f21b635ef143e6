// Calls from C++ into Python objects by vectorcall, with keyword names
// derived from a parameter table.
#pragma once

#include "pyglue/operation.hpp"

#include <array>

namespace pyglue {

// The keywords of a call that passes the parameters of `Table` by name, all
// but those listed in `Omit`, in the table's order.
template <const auto& Table, FixedString Omit>
struct KeywordsOf {
    static constexpr bool passes(std::string_view name) {
        for (const Param& p : Table)
            if (name == p.name) return !NameList(Omit.view()).contains(name);
        return false;
    }
    static constexpr std::size_t size = [] {
        std::size_t n = 0;
        for (const Param& p : Table) n += passes(p.name);
        return n;
    }();
    // The position of each keyword in the table.
    static constexpr std::array<std::size_t, size> indices = [] {
        std::array<std::size_t, size> out{};
        std::size_t n = 0;
        for (std::size_t i = 0; i < std::size(Table); ++i)
            if (passes(Table[i].name)) out[n++] = i;
        return out;
    }();
    // The names as one tuple of interned strings, made on first use and kept
    // for the process (borrowed).
    static PyObject* tuple() {
        static KeptReference names;
        if (!names) {
            py::tuple made(size);
            for (std::size_t i = 0; i < size; ++i)
                made[i] = checked(PyUnicode_InternFromString(Table[indices[i]].name));
            names.reset(std::move(made));
        }
        return names.get();
    }
};

// callable(name=value, ...) by vectorcall, for the keyword names of `kwnames`
// (a tuple of N strings), without building a keyword dictionary.
template <std::size_t N>
py::object call_with_keywords(py::handle callable, PyObject* kwnames,
                              const std::array<py::handle, N>& values) {
    std::array<PyObject*, N + 1> stack{};  // stack[0] is free for the callee
    for (std::size_t i = 0; i < N; ++i) stack[i + 1] = values[i].ptr();
    return checked(PyObject_Vectorcall(callable.ptr(), stack.data() + 1,
                                       PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// callable(**keywords) as Python makes that call: the keywords are copied into
// a new dictionary, and a key that is not a string is refused by the
// interpreter ("keywords must be strings").  pybind11's own `**` converts
// every key with str() instead.
inline py::object call_with_keyword_dict(py::handle callable, const py::dict& keywords) {
    const py::object copy = checked(PyDict_Copy(keywords.ptr()));
    return checked(PyObject_Call(callable.ptr(), py::tuple().ptr(), copy.ptr()));
}

}  // namespace pyglue
