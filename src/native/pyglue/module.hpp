// Module lifecycle (PEP 489 multi-phase initialisation, once per process), the
// steps a module takes when it loads (imports, pinned objects, classes), and
// the look-ups of its operations in its namespace.
#pragma once

#include "pyglue/operation.hpp"

#include <initializer_list>
#include <span>

namespace pyglue {

class Loader;
using Populate = void (*)(Loader&);

// The module definition for the PyInit_<name> entry point of this extension
// module: multi-phase initialisation, executed once per process, in the main
// interpreter only; `populate` fills the namespace.  Each extension module
// links its own copy of this layer, so each has its own once-only state.
PyObject* init_module(const char* short_name, Populate populate);

// A module's namespace, as its operations look names up in it.
class Scope {
  public:
    explicit Scope(py::handle module) : module_(module) {}
    // A module-level name, looked up now: the module's namespace, then the
    // builtins, else NameError.
    py::object global(const Name& name) const;
    // An object that the module fetched once when it was loaded
    // (Loader::pin_builtin, Loader::pin_module).
    py::object pinned(const Name& name) const;

  private:
    py::handle module_;  // borrowed: the function object owns it
};

// What a module's load steps use to fill its namespace.
class Loader {
  public:
    explicit Loader(PyObject* module);

    // import NAME
    void import(const char* name);
    // from MODULE import NAMES (level 0), or from .MODULE import NAMES (level 1)
    void from_import(const char* module, std::initializer_list<const char*> names, int level = 0);
    // A builtin fetched once, on first request, and kept for the module's life
    // (Scope::pinned).
    py::object pin_builtin(const char* name);
    // A module imported now and kept for the module's life under its full
    // name (Scope::pinned), not bound in the namespace.
    void pin_module(const char* name);
    // `value` kept for the module's life under `key` (Scope::pinned), not
    // bound in the namespace: an object to recognise later as the original.
    void pin(const char* key, py::handle value);
    void bind(const char* name, py::handle value);
    py::object global(const char* name) const;
    // type(name, (), namespace) with the operations in order.
    py::object make_class(const char* name, const char* doc,
                          std::span<const Operation* const> operations);

    py::handle module() const { return module_; }

  private:
    py::handle module_;
    py::dict globals_;
};

}  // namespace pyglue
