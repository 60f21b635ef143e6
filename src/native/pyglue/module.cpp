#include "pyglue/module.hpp"

#include "pyglue/function.hpp"

#include <cstdio>
#include <string>

namespace pyglue {

namespace {

// Per-module state, kept in the module object.
struct ModuleState {
    PyObject* builtins;  // the builtins module, for global look-ups
    PyObject* pinned;    // dict: objects fetched once at load (such as `open`)
};

ModuleState& state_of(PyObject* module) {
    void* state = PyModule_GetState(module);
    if (state == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module state is missing");
        throw_current();
    }
    return *static_cast<ModuleState*>(state);
}

[[noreturn]] void raise_name_error(PyObject* name) {
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

// builtins.NAME, or NameError.
py::object builtin(PyObject* builtins, PyObject* name) {
    py::object value = optional_attribute(builtins, name);
    if (!value) raise_name_error(name);
    return value;
}

py::object lookup_global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (value != nullptr) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw_current();
    return builtin(state_of(module).builtins, name);
}

// sys.modules[name] or an empty object; an error other than absence throws.
py::object loaded_module(const py::str& name) {
    PyObject* module = PyImport_GetModule(name.ptr());
    if (module == nullptr && PyErr_Occurred()) throw_current();
    return py::reinterpret_steal<py::object>(module);
}

void copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool allow_none) {
    py::object value = optional_attribute(spec, from);
    if (value && (allow_none || !value.is_none()))
        checked(PyDict_SetItemString(dict, to, value.ptr()));
}

// The running interpreter's major and minor version, from its version text.
void runtime_version(int& major, int& minor) {
    major = minor = 0;
    std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_VISIT(state->builtins);
    Py_VISIT(state->pinned);
    return 0;
}

int module_clear(PyObject* module) {
    auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    Py_CLEAR(state->builtins);
    Py_CLEAR(state->pinned);
    return 0;
}

void module_free(void* module) {
    module_clear(static_cast<PyObject*>(module));
}

// This extension module's name and load steps, and its module object once
// initialised (kept for the process).
const char* short_name = nullptr;
Populate populate = nullptr;
KeptReference initialised;

PyObject* create(PyObject* spec, PyModuleDef*) {
    // Checked before anything else, with the C API alone.  Only the main
    // interpreter is accepted: the C++ error path takes the GIL through the
    // PyGILState API, which deadlocks in any other interpreter.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    return guarded_call([&] {
        py::object name = checked(PyObject_GetAttrString(spec, "name"));
        py::object module = checked(PyModule_NewObject(name.ptr()));
        PyObject* dict = PyModule_GetDict(module.ptr());
        copy_spec_attribute(spec, dict, "loader", "__loader__", true);
        copy_spec_attribute(spec, dict, "origin", "__file__", true);
        copy_spec_attribute(spec, dict, "parent", "__package__", true);
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false);
        return module;
    });
}

int exec(PyObject* module) {
    if (initialised.get() == module) return 0;
    if (initialised) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name);
        return -1;
    }
    // Claimed before loading, so that a second module object created meanwhile
    // is refused; given back if loading fails, so that a later import can retry.
    initialised.reset(borrow(module));
    const int status = guarded(
        [&] {
            int major = 0, minor = 0;
            runtime_version(major, minor);
            if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
                py::object full_name = checked(PyModule_GetNameObject(module));
                const char* text = PyUnicode_AsUTF8(full_name.ptr());
                if (text == nullptr) throw_current();
                checked(PyErr_WarnFormat(
                    PyExc_RuntimeWarning, 1,
                    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                    PY_MAJOR_VERSION, PY_MINOR_VERSION, text, "does not match", major, minor));
            }
            ModuleState& state = state_of(module);
            state.builtins = checked(PyImport_ImportModule("builtins")).release().ptr();
            state.pinned = checked(PyDict_New()).release().ptr();
            Loader loader(module);
            populate(loader);
            return 0;
        },
        -1);
    if (status < 0) initialised.reset();
    return status;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // One module object per process (exec above), so one interpreter only.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    // The operations rely on the GIL: a free-threaded build turns it back on.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // the name, set by init_module
    nullptr,
    sizeof(ModuleState),
    nullptr,
    slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace

PyObject* init_module(const char* name, Populate steps) {
    short_name = name;
    populate = steps;
    definition.m_name = name;
    return PyModuleDef_Init(&definition);
}

py::object Scope::global(const Name& name) const {
    return lookup_global(module_.ptr(), name.ptr());
}

py::object Scope::pinned(const Name& name) const {
    PyObject* value = PyDict_GetItemWithError(state_of(module_.ptr()).pinned, name.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred()) raise_name_error(name.ptr());
        throw_current();
    }
    return py::reinterpret_borrow<py::object>(value);
}

Loader::Loader(PyObject* module)
    : module_(module), globals_(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))) {}

void Loader::bind(const char* name, py::handle value) {
    globals_[name] = value;
}

py::object Loader::global(const char* name) const {
    return lookup_global(module_.ptr(), py::str(name).ptr());
}

void Loader::import(const char* name) {
    py::str key(name);
    py::object module = loaded_module(key);
    if (!module)
        module = checked(
            PyImport_ImportModuleLevelObject(key.ptr(), globals_.ptr(), nullptr, nullptr, 0));
    bind(name, module);
}

void Loader::from_import(const char* module_name, std::initializer_list<const char*> names,
                         int level) {
    py::str name(module_name);
    // A relative import is found in sys.modules under its full name.
    py::str full_name =
        level == 0 ? name
                   : py::str(std::string(py::str(globals_["__package__"])) + "." + module_name);
    py::object module = loaded_module(full_name);
    bool complete = bool(module);
    for (const char* n : names)
        if (complete && !optional_attribute(module, n)) complete = false;
    if (!complete) {
        py::list from_list;
        for (const char* n : names) from_list.append(py::str(n));
        module = checked(PyImport_ImportModuleLevelObject(name.ptr(), globals_.ptr(), nullptr,
                                                          py::tuple(from_list).ptr(), level));
    }
    for (const char* n : names) {
        py::str attr(n);
        py::object value = optional_attribute(module, attr);
        if (!value) {
            py::object own_name = checked(PyModule_GetNameObject(module.ptr()));
            value = loaded_module(py::str(std::string(py::str(own_name)) + "." + n));
            if (!value) raise_format(PyExc_ImportError, "cannot import name %S", attr.ptr());
        }
        bind(n, value);
    }
}

py::object Loader::pin_builtin(const char* name) {
    const ModuleState& state = state_of(module_.ptr());
    py::str key(name);
    if (PyObject* pinned = PyDict_GetItemWithError(state.pinned, key.ptr()))
        return py::reinterpret_borrow<py::object>(pinned);
    if (PyErr_Occurred()) throw_current();
    py::object value = builtin(state.builtins, key.ptr());
    checked(PyDict_SetItem(state.pinned, key.ptr(), value.ptr()));
    return value;
}

void Loader::pin_module(const char* name) {
    const ModuleState& state = state_of(module_.ptr());
    py::str key(name);
    checked(PyImport_ImportModuleLevelObject(key.ptr(), globals_.ptr(), nullptr, nullptr, 0));
    // `import a.b` gives `a`: the submodule itself is the one in sys.modules.
    py::object module = loaded_module(key);
    if (!module) raise_format(PyExc_ImportError, "No module named %R", key.ptr());
    checked(PyDict_SetItem(state.pinned, key.ptr(), module.ptr()));
}

void Loader::pin(const char* key, py::handle value) {
    const ModuleState& state = state_of(module_.ptr());
    checked(PyDict_SetItemString(state.pinned, key, value.ptr()));
}

py::object Loader::make_class(const char* name, const char* doc,
                              std::span<const Operation* const> operations) {
    py::dict ns;
    ns["__module__"] = module_.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::none();
    for (const Operation* operation : operations) {
        const Operation& op = *operation;
        py::object function = make_function(module_, name, op);
        switch (op.kind) {
            case Kind::method:
                ns[op.name] = function;
                break;
            case Kind::static_method:
                ns[op.name] = pin_builtin("staticmethod")(function);
                break;
            case Kind::property:
                ns[op.name] = pin_builtin("property")(function);
                break;
        }
    }
    py::handle type(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(py::str(name), py::tuple(), ns);
}

}  // namespace pyglue
