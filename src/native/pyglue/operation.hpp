// Operations declared as data.
//
// One table row per operation: its name, kind, docstring, parameters (name,
// annotation string, default) and return annotation.  `__annotations__`,
// `__defaults__`, `__signature__`, the positional bounds of the count errors and
// the entry type checks are all derived from that row; the body receives the
// arguments bound, defaulted and checked.
#pragma once

#include "pyglue/errors.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

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

inline constexpr std::size_t max_params = 12;

class Call;
using Body = py::object (*)(Call&);
// Conversions that run after binding and before the type checks.
using Prepare = void (*)(Call&);

struct Operation {
    // The parameter table is taken as an array, so that its size is checked
    // against the limit of the binding arrays when the table is compiled.
    template <std::size_t N>
    constexpr Operation(const char* name, Kind kind, const char* doc, const Param (&params)[N],
                        const char* returns, Body body, Prepare prepare = nullptr)
        : name(name),
          kind(kind),
          doc(doc),
          params(params),
          returns(returns),
          body(body),
          prepare(prepare) {
        static_assert(N <= max_params, "more parameters than a binding holds");
    }

    const char* name;
    Kind kind;
    const char* doc;  // nullptr: __doc__ is None
    std::span<const Param> params;
    const char* returns;  // nullptr: no "return" annotation
    Body body;
    Prepare prepare;
};

// The position of the parameter `name` in a table, found when the table is
// compiled (a name that is not there does not compile).
template <std::size_t N>
consteval std::size_t index_of_param(const Param (&params)[N], std::string_view name) {
    for (std::size_t i = 0; i < N; ++i)
        if (std::string_view(params[i].name) == name) return i;
    throw "no parameter of that name";
}

// What binding needs of an operation, derived once from its table.
struct Binding {
    explicit Binding(const Operation& op);
    const Operation* op;
    Py_ssize_t required;  // parameters without a default
    std::array<TypeCheck, max_params> checks;
    // The parameter names, interned, so that keywords usually match by identity.
    std::array<PyObject*, max_params> names;
    // The default of each parameter (borrowed), nullptr where it is required.
    std::array<PyObject*, max_params> defaults;
};

// A name used at run time (an attribute, a global, a keyword), interned once.
class Name {
  public:
    constexpr explicit Name(const char* text) : text_(text) {}
    const char* text() const { return text_; }
    // Borrowed; the interned string lives as long as the process.
    PyObject* ptr() const { return interned_ ? interned_ : intern(); }
    operator py::handle() const { return ptr(); }

  private:
    PyObject* intern() const;
    const char* text_;
    mutable PyObject* interned_ = nullptr;
};

// One call of an operation, as its body sees it.
//
// The arguments are borrowed: the caller holds them for the length of the
// call, like the arguments of any vectorcall.  A value put in place by a
// conversion is owned by the call.
class Call {
  public:
    Call(const Binding& binding, PyObject* module) : binding_(binding), module_(module) {}

    // The arguments in parameter order: `auto [self, to] = call.args<2>();`
    // A body must take exactly the parameters of its table.
    template <std::size_t N>
    std::array<py::handle, N> args() const {
        static_assert(N <= max_params);
        if (N != binding_.op->params.size())
            raise(PyExc_SystemError, "an operation's body and its table differ in parameters");
        std::array<py::handle, N> out;
        for (std::size_t i = 0; i < N; ++i) out[i] = values_[i];
        return out;
    }
    py::handle operator[](std::size_t i) const { return values_[i]; }
    // Replace argument `i` by a converted value.
    void replace(std::size_t i, py::object value) {
        owned_[i] = std::move(value);
        values_[i] = owned_[i].ptr();
    }

    // A module-level name, looked up now: the module's namespace, then the
    // builtins, else NameError.
    py::object global(const Name& name) const;
    // An object that the module fetched once when it was loaded.
    py::object pinned(const Name& name) const;

  private:
    friend void bind_arguments(Call&, PyObject* const*, Py_ssize_t, PyObject*);
    const Binding& binding_;
    PyObject* module_;  // borrowed: the function object owns it
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

// A fixed set of keyword names for calls made from C++, as one tuple made on
// first use and kept for the process.
class KeywordNames {
  public:
    KeywordNames(std::initializer_list<const char*> names) : names_(names) {}
    PyObject* tuple() const;
    std::size_t size() const { return names_.size(); }

  private:
    std::vector<const char*> names_;
    mutable PyObject* tuple_ = nullptr;
};

// callable(arg, ...) by vectorcall.
py::object call_positional(py::handle callable, std::initializer_list<py::handle> args);

// callable(name=value, ...) for the names in order, by vectorcall.
py::object call_with_keywords(py::handle callable, const KeywordNames& names,
                              std::initializer_list<py::handle> values);

// A new function object for `op`, of the module `module`, with the qualified
// name `owner_qualname + "." + op.name`.
py::object make_function(py::handle module, const char* owner_qualname, const Operation& op);

}  // namespace pyglue
