// Module lifecycle (PEP 489 multi-phase initialisation, once per process) and
// the steps a module takes when it loads: imports, pinned builtins, classes.
#pragma once

#include "pyglue/operation.hpp"

#include <initializer_list>
#include <span>

namespace pyglue {

// Per-module state, kept in the module object.
struct ModuleState {
    PyObject* builtins;  // the builtins module, for global look-ups
    PyObject* pinned;    // dict: objects fetched once at load (such as `open`)
};
int module_traverse(PyObject* module, visitproc visit, void* arg);
int module_clear(PyObject* module);
void module_free(void* module);

class Loader;

// The life of one extension module in this process.  Each module holds one
// instance and forwards its Py_mod_create and Py_mod_exec slots to it.
class ModuleLife {
  public:
    using Populate = void (*)(Loader&);
    constexpr ModuleLife(const char* short_name, Populate populate)
        : short_name_(short_name), populate_(populate) {}

    PyObject* create(PyObject* spec, PyModuleDef* def) noexcept;
    int exec(PyObject* module) noexcept;

  private:
    const char* short_name_;
    Populate populate_;
    PyObject* initialised_ = nullptr;  // kept for the process once set
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
    // (Call::pinned).
    py::object pin_builtin(const char* name);
    void bind(const char* name, py::handle value);
    py::object global(const char* name) const;
    // type(name, (), namespace) with the operations in order.
    py::object make_class(const char* name, const char* doc, std::span<const Operation> ops);

    py::handle module() const { return module_; }

  private:
    py::handle module_;
    py::dict globals_;
};

}  // namespace pyglue
