// Argument binding: from the vectorcall arguments to one array in parameter
// order, defaults filled in, with the interpreter's own error texts; then the
// entry type checks.  The body reads the result through Args<table>.
#pragma once

#include "pyglue/calls.hpp"
#include "pyglue/module.hpp"
#include "pyglue/operation.hpp"

#include <array>
#include <tuple>
#include <utility>

namespace pyglue {

// What binding needs of an operation, derived once from its table.
struct Binding {
    explicit Binding(const Operation& operation);
    const Operation* op;
    Py_ssize_t required = 0;  // parameters without a default
    std::array<TypeCheck, max_params> checks{};
    // The parameter names, interned, so that keywords usually match by identity.
    std::array<py::object, max_params> names{};
    // The default of each parameter (borrowed), nullptr where it is required.
    std::array<PyObject*, max_params> defaults{};
};

// One call of an operation, bound.
//
// The arguments are borrowed: the caller holds them for the length of the
// call, like the arguments of any vectorcall.  A value put in place by a
// conversion is owned by the call.
class Call {
  public:
    Call(const Binding& binding, py::handle module) : binding_(binding), scope_(module) {}

    py::handle operator[](std::size_t i) const { return values_[i]; }
    // Replace argument `i` by a converted value.
    void replace(std::size_t i, py::object value) {
        owned_[i] = std::move(value);
        values_[i] = owned_[i].ptr();
    }
    const Scope& scope() const { return scope_; }

  private:
    friend void bind_arguments(Call&, PyObject* const*, Py_ssize_t, PyObject*);
    const Binding& binding_;
    Scope scope_;
    std::array<PyObject*, max_params> values_{};
    std::array<py::object, max_params> owned_;
};

// Bind vectorcall arguments to the operation's parameters, with the
// interpreter-style count and keyword errors; fill in defaults; run the
// operation's conversions and then its entry type checks.
void bind_arguments(Call& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The argument type check of one value, with the standard message.
void check_argument(const char* param, py::handle value, const TypeCheck& check);
// Its TypeError; the note on subclasses only where `note_subclass` is set.
[[noreturn]] void raise_argument_type(const char* param, PyTypeObject* expected, PyTypeObject* got,
                                      bool note_subclass);

// A value given by name for a parameter of a call made from C++
// (Args::call_by_keyword).
template <FixedString Key>
struct Keyword {
    static constexpr std::string_view name() { return Key.view(); }
    py::handle value;
};
template <FixedString Key>
Keyword<Key> keyword(py::handle value) {
    return {value};
}

// The arguments of one call of the operation whose parameters are `Table`,
// as its body reads them.
template <const auto& Table>
class Args {
  public:
    static constexpr std::size_t size = std::size(Table);

    explicit Args(Call& call) : call_(call) {}

    // All the arguments, for a structured binding whose names are checked
    // against the table (PYGLUE_ARGUMENTS).
    template <FixedString Names>
    std::array<py::handle, size> named() const {
        static_assert(names_in_order(Table, Names.view()),
                      "the names differ from the operation's parameter table");
        std::array<py::handle, size> out;
        for (std::size_t i = 0; i < size; ++i) out[i] = call_[i];
        return out;
    }
    // The argument of parameter `Key`.
    template <FixedString Key>
    py::handle get() const {
        return call_[index_of_param(Table, Key.view())];
    }
    // The table row of parameter `Key`.
    template <FixedString Key>
    static constexpr const Param& param() {
        return Table[index_of_param(Table, Key.view())];
    }
    // Replace the argument of `Key` by a converted value (in a conversion step).
    template <FixedString Key>
    void replace(py::object&& value) {
        call_.replace(index_of_param(Table, Key.view()), std::move(value));
    }

    py::object global(const Name& name) const { return call_.scope().global(name); }
    py::object pinned(const Name& name) const { return call_.scope().pinned(name); }
    const Scope& scope() const { return call_.scope(); }

    // callable(name=value, ...) for every parameter of `Callee` but those
    // listed in `Omit`, in the callee's order: each value is the one given
    // for it as keyword<"name">(value), else this call's argument of the same
    // name (a parameter neither given nor found here does not compile).
    template <const auto& Callee, FixedString Omit, class... Given>
    py::object call_by_keyword(py::handle callable, const Given&... given) const {
        using Keywords = KeywordsOf<Callee, Omit>;
        static_assert((Keywords::passes(Given::name()) && ...),
                      "a value given for a parameter that the call does not pass");
        std::array<py::handle, Keywords::size> values;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((values[I] = value_for<Callee, Keywords::indices[I]>(given...)), ...);
        }
        (std::make_index_sequence<Keywords::size>{});
        return call_with_keywords(callable, Keywords::tuple(), values);
    }

  private:
    // The position of `key` among the names of `Given`, or their number.
    template <class... Given>
    static consteval std::size_t given_index(std::string_view key) {
        const std::array<std::string_view, sizeof...(Given)> names{Given::name()...};
        std::size_t i = 0;
        while (i < names.size() && names[i] != key) ++i;
        return i;
    }

    template <const auto& Callee, std::size_t At, class... Given>
    py::handle value_for(const Given&... given) const {
        constexpr std::string_view key = Callee[At].name;
        constexpr std::size_t given_at = given_index<Given...>(key);
        if constexpr (given_at < sizeof...(Given))
            return std::get<given_at>(std::forward_as_tuple(given...)).value;
        else
            return call_[index_of_param(Table, key)];
    }

    Call& call_;
};

}  // namespace pyglue

// auto [a, b, ...] = the arguments of `args`, the names written exactly as the
// parameter table has them, in its order: a name out of place, missing or
// extra does not compile.
#define PYGLUE_ARGUMENTS(args, ...) \
    auto [__VA_ARGS__] = (args).template named<::pyglue::FixedString(#__VA_ARGS__)>()
