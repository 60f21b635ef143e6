// The function object of our operations, modelled on CPython's own function
// type: vectorcall, binding as a method through the descriptor protocol, GC,
// and the usual introspection attributes derived from the operation's table.
#include "pyglue/function.hpp"

#include "pyglue/binder.hpp"

#include "pyglue/platform.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace pyglue {

namespace {

struct Fields {
    Binding binding;
    py::object module;  // the module whose globals the body uses
    py::object name, qualname, module_name, doc, defaults, annotations;
    py::object signature;  // built on first use
};

struct FunctionObject {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    PyObject* dict;      // managed by the interpreter through tp_dictoffset
    PyObject* weakrefs;  // the weak reference list (tp_weaklistoffset)
    Fields fields;
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}
Fields& fields_of(PyObject* self) {
    return as_function(self)->fields;
}

// True when this thread's C stack is nearly used up.  From 3.12 the
// interpreter counts C calls against a limit of its own, far deeper than a
// loop through our operations can go on an 8 MiB stack; so the stack itself
// is measured as well: a quarter of it (at most 1 MiB) is kept free.
bool stack_nearly_exhausted() {
    thread_local std::uintptr_t limit = 0;
    thread_local bool known = false;
    if (!known) {
        const StackExtent stack = current_stack();
        if (stack.low != 0) limit = stack.low + std::min<std::size_t>(stack.size / 4, 1 << 20);
        known = true;
    }
    return stack_position() < limit;
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const Fields& f = fields_of(self);
    // The same guard as CPython's own calls: a loop through the operations
    // (an operation replaced by one that calls it back) ends in RecursionError
    // rather than in a C stack overflow.
    if (stack_nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = guarded_call([&] {
        Call call(f.binding, f.module);
        bind_arguments(call, args, PyVectorcall_NARGS(nargsf), kwnames);
        return f.binding.op->body(call);
    });
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_function(self)->dict);
    const Fields& f = fields_of(self);
    for (const py::object* o : {&f.module, &f.name, &f.qualname, &f.module_name, &f.doc,
                                &f.defaults, &f.annotations, &f.signature})
        Py_VISIT(o->ptr());
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(as_function(self)->dict);
    Fields& f = fields_of(self);
    f.module = f.annotations = f.defaults = f.signature = py::object();
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    Py_CLEAR(as_function(self)->dict);
    fields_of(self).~Fields();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    const py::object& qualname = fields_of(self).qualname;
    if (!qualname) return PyUnicode_FromFormat("<function at %p>", self);
    return PyUnicode_FromFormat("<function %U at %p>", qualname.ptr(), self);
}

// The module's namespace, which the annotation strings name their types in
// (typing.get_type_hints reads it, as for a Python function).
PyObject* get_globals(PyObject* self, void*) {
    const py::object& module = fields_of(self).module;
    if (!module) Py_RETURN_NONE;
    return new_ref(PyModule_GetDict(module.ptr()));
}

// copy.copy and copy.deepcopy give the function itself, as for a Python function.
PyObject* function_copy(PyObject* self, PyObject*) {
    return new_ref(self);
}

// The getter of one field, as funcobject.c has one per attribute.
template <py::object Fields::*Member>
PyObject* get_field(PyObject* self, void*) {
    const py::object& value = fields_of(self).*Member;
    return new_ref(value ? value.ptr() : Py_None);
}

py::object build_signature(const Operation& op) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    py::object kind = parameter.attr("POSITIONAL_OR_KEYWORD");
    py::list params;
    for (const Param& p : op.params) {
        py::object default_value =
            p.default_value == Default::required
                ? empty
                : py::reinterpret_borrow<py::object>(default_object(p.default_value));
        py::object annotation = p.annotation ? py::object(py::str(p.annotation)) : empty;
        params.append(parameter(p.name, kind, py::arg("default") = default_value,
                                py::arg("annotation") = annotation));
    }
    py::object returns = op.returns ? py::object(py::str(op.returns)) : empty;
    return inspect.attr("Signature")(params, py::arg("return_annotation") = returns);
}

PyObject* get_signature(PyObject* self, void*) {
    return guarded_call([&] {
        Fields& f = fields_of(self);
        // An object that make_function did not fill has no table (on 3.9 the
        // type stays changeable, so a `__new__` assigned to it can make one).
        if (f.binding.op == nullptr) return py::object(py::none());
        if (!f.signature) f.signature = build_signature(*f.binding.op);
        return f.signature;
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&Fields::name>, nullptr, nullptr, nullptr},
    {"__qualname__", get_field<&Fields::qualname>, nullptr, nullptr, nullptr},
    {"__module__", get_field<&Fields::module_name>, nullptr, nullptr, nullptr},
    {"__doc__", get_field<&Fields::doc>, nullptr, nullptr, nullptr},
    {"__defaults__", get_field<&Fields::defaults>, nullptr, nullptr, nullptr},
    {"__annotations__", get_field<&Fields::annotations>, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_copy, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// Not callable and (from 3.10, which has the flag) not changeable; on 3.9 the
// type's tp_new is taken away after creation instead.
#if PY_VERSION_HEX >= 0x030A0000
constexpr auto final_type = Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
#else
constexpr auto final_type = 0UL;
#endif

PyType_Spec function_spec = {
    "brisvane.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | final_type,
    function_slots,
};

// One type per extension module, created on first use and kept for the
// process, like the module itself.  Its objects are made only by
// make_function.
PyTypeObject* function_type() {
    static KeptReference type;
    if (!type) {
        type.reset(checked(PyType_FromSpec(&function_spec)));
#if PY_VERSION_HEX < 0x030A0000
        reinterpret_cast<PyTypeObject*>(type.get())->tp_new = nullptr;
#endif
    }
    return reinterpret_cast<PyTypeObject*>(type.get());
}

}  // namespace

py::object make_function(py::handle module, const char* owner_qualname, const Operation& op) {
    py::list defaults;
    py::dict annotations;
    for (const Param& p : op.params) {
        if (p.annotation) annotations[p.name] = py::str(p.annotation);
        if (p.default_value != Default::required)
            defaults.append(py::handle(default_object(p.default_value)));
    }
    if (op.returns) annotations["return"] = py::str(op.returns);

    // Everything that can fail is made first; the object then takes it over.
    Fields fields{
        .binding = Binding(op),
        .module = py::reinterpret_borrow<py::object>(module),
        .name = py::str(op.name),
        .qualname = py::str(std::string(owner_qualname) + "." + op.name),
        .module_name = module.attr("__name__"),
        .doc = op.doc ? py::object(py::str(op.doc)) : py::none(),
        .defaults = defaults.empty() ? py::none() : py::object(py::tuple(defaults)),
        .annotations = std::move(annotations),
        .signature = py::object(),
    };
    PyTypeObject* type = function_type();
    py::object self = checked(type->tp_alloc(type, 0));
    FunctionObject* f = as_function(self.ptr());
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    new (&f->fields) Fields(std::move(fields));
    return self;
}

}  // namespace pyglue
