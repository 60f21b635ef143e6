#include "pyglue/with_block.hpp"

#include "pyglue/objects.hpp"

namespace pyglue {

namespace {

const Name enter_attr{"__enter__"};
const Name exit_attr{"__exit__"};

// type(manager).NAME bound to manager, as the interpreter looks up special
// methods: found on the type's MRO (never on its metaclass), then bound once.
py::object special_method(py::handle manager, const Name& name, const char* missing) {
    PyTypeObject* type = Py_TYPE(manager.ptr());
    PyObject* found = _PyType_Lookup(type, name.ptr());  // borrowed; sets no error
    if (found == nullptr)
        raise_format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s",
                     type->tp_name, missing);
    py::object descriptor = borrow(found);
    descrgetfunc get = Py_TYPE(descriptor.ptr())->tp_descr_get;
    if (get == nullptr) return descriptor;
    return checked(get(descriptor.ptr(), manager.ptr(), reinterpret_cast<PyObject*>(type)));
}

// The exception that left the body, taken out of the interpreter's error
// indicator as one normalised (type, value, traceback).
struct Pending {
    py::object type, value, traceback;

    static Pending take() {
        Pending p;
#if PY_VERSION_HEX >= 0x030C0000
        p.value = py::reinterpret_steal<py::object>(PyErr_GetRaisedException());
        p.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(p.value.ptr())));
        p.traceback = py::reinterpret_steal<py::object>(PyException_GetTraceback(p.value.ptr()));
#else
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        p.type = py::reinterpret_steal<py::object>(type);
        p.value = py::reinterpret_steal<py::object>(value);
        p.traceback = py::reinterpret_steal<py::object>(traceback);
#endif
        if (!p.traceback) p.traceback = py::none();
        return p;
    }

    [[noreturn]] void raise_again() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value.release().ptr());
#else
        PyErr_Restore(type.release().ptr(), value.release().ptr(),
                      traceback.is_none() ? nullptr : traceback.release().ptr());
#endif
        throw_current();
    }
};

// True when __exit__ asks for the pending exception to be suppressed.
bool exit_with(const py::object& exit, const Pending& error) {
    HandlingScope handling(error.type, error.value,
                           error.traceback.is_none() ? py::handle() : py::handle(error.traceback));
    return truth(exit(error.type, error.value, error.traceback));
}

}  // namespace

void with_block(py::handle manager, const std::function<void(py::handle)>& body) {
    py::object enter = special_method(manager, enter_attr, "");
    py::object exit = special_method(manager, exit_attr, " (missed __exit__ method)");
    py::object value = enter();
    // The exception is taken out of its C++ carrier before __exit__ runs, so
    // that nothing but plain references is alive while Python code does.
    bool failed = false;
    try {
        body(value);
    } catch (const std::exception&) {  // not the unwinding of an ending thread (see guarded)
        set_error_from_current_exception();
        failed = true;
    }
    if (!failed) {
        exit(py::none(), py::none(), py::none());
        return;
    }
    Pending error = Pending::take();
    if (!exit_with(exit, error)) error.raise_again();
}

}  // namespace pyglue
