// Operations declared as data.
//
// One table per operation, beside its body: its parameters (name, annotation
// string, default) in order.  With the operation's name, kind, docstring and
// return annotation it makes one Operation, from which `__annotations__`,
// `__defaults__`, `__signature__`, the positional bounds of the count errors and
// the entry type checks are all derived; the body receives the arguments
// bound, defaulted and checked, through an Args<table> (binder.hpp), so that
// the compiler holds body and table to each other.
#pragma once

#include "pyglue/objects.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>
#include <span>
#include <string_view>

namespace pyglue {

enum class Default { required, none, true_, false_ };
// The object of a default (borrowed: None, True or False).
PyObject* default_object(Default d);

struct Param {
    const char* name;
    const char* annotation;  // nullptr: none (as for `self`)
    Default default_value = Default::required;
};

enum class Kind {
    method,         // binds to the instance like a Python function
    static_method,  // stored wrapped in the builtin staticmethod
    property,       // a getter, stored wrapped in the builtin property
};

// The exact built-in type an annotation string asks for on entry.
struct TypeCheck {
    PyTypeObject* type = nullptr;  // nullptr: not checked
    bool admits_none = false;
};
TypeCheck check_for_annotation(const char* annotation);

// The most parameters a table may have (the size of the binding arrays).
inline constexpr std::size_t max_params = 12;

// A string literal as a template argument: a parameter's name, or a list of
// names written "a, b, c".
template <std::size_t N>
struct FixedString {
    constexpr FixedString(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT
    constexpr std::string_view view() const { return {chars, N - 1}; }
    char chars[N]{};  // NOLINT(modernize-avoid-c-arrays): a structural type holds a plain array
};

// The names of a list "a, b, c", one at a time.
class NameList {
  public:
    constexpr explicit NameList(std::string_view text) : rest_(text) {}
    constexpr bool done() const { return rest_.empty(); }
    constexpr std::string_view next() {
        const std::size_t comma = rest_.find(',');
        std::string_view name = rest_.substr(0, comma);
        rest_ = comma == std::string_view::npos ? std::string_view{} : rest_.substr(comma + 1);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        return name;
    }
    constexpr bool contains(std::string_view name) const {
        NameList names = *this;
        while (!names.done())
            if (names.next() == name) return true;
        return false;
    }

  private:
    std::string_view rest_;
};

// The position of the parameter `name` in a table, found when the table is
// compiled (a name that is not there does not compile).
template <std::size_t N>
consteval std::size_t index_of_param(const Param (&params)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::string_view(params[i].name) == name) return i;
    throw "no parameter of that name";
}

// True when `list` names every parameter of the table, in order.
template <std::size_t N>
consteval bool names_in_order(const Param (&params)[N], std::string_view list) {
    NameList names(list);
    for (std::size_t i = 0; i < N; ++i)
        if (names.done() || names.next() != params[i].name) return false;
    return names.done();
}

class Call;
template <const auto& Table>
class Args;

struct Operation {
    const char* name;
    Kind kind;
    const char* doc;  // nullptr: __doc__ is None
    std::span<const Param> params;
    const char* returns;  // nullptr: no "return" annotation
    py::object (*body)(Call&);
    // Conversions that run after binding and before the type checks.
    void (*prepare)(Call&);
};

namespace detail {
template <const auto& Table, py::object (*Body)(Args<Table>&)>
py::object run_body(Call& call) {
    Args<Table> args(call);
    return Body(args);
}
template <const auto& Table, void (*Prepare)(Args<Table>&)>
void run_prepare(Call& call) {
    Args<Table> args(call);
    Prepare(args);
}
}  // namespace detail

// The operation of `Body` over the parameters of `Table`: a body that takes
// the arguments of another table does not compile.
template <const auto& Table, py::object (*Body)(Args<Table>&)>
constexpr Operation operation(const char* name, Kind kind, const char* doc, const char* returns) {
    static_assert(std::size(Table) <= max_params, "more parameters than a binding holds");
    return {name, kind, doc, Table, returns, detail::run_body<Table, Body>, nullptr};
}

// The same, with conversions that run before the type checks.
template <const auto& Table, py::object (*Body)(Args<Table>&), void (*Prepare)(Args<Table>&)>
constexpr Operation operation(const char* name, Kind kind, const char* doc, const char* returns) {
    Operation op = operation<Table, Body>(name, kind, doc, returns);
    op.prepare = detail::run_prepare<Table, Prepare>;
    return op;
}

}  // namespace pyglue
