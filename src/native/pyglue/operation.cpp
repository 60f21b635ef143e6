// What is derived from a parameter table at run time.
#include "pyglue/operation.hpp"

namespace pyglue {

namespace {
constexpr std::string_view optional_open = "Optional[";
constexpr std::string_view optional_close = "]";
}  // namespace

PyObject* default_object(Default d) {
    switch (d) {
        case Default::true_:
            return Py_True;
        case Default::false_:
            return Py_False;
        default:
            return Py_None;
    }
}

TypeCheck check_for_annotation(const char* annotation) {
    TypeCheck check;
    if (annotation == nullptr) return check;
    std::string_view text(annotation);
    if (text.starts_with(optional_open) && text.ends_with(optional_close)) {
        check.admits_none = true;
        text.remove_prefix(optional_open.size());
        text.remove_suffix(optional_close.size());
    }
    if (text == "str")
        check.type = &PyUnicode_Type;
    else if (text == "int")
        check.type = &PyLong_Type;
    else if (text == "dict" || text == "Dict")
        check.type = &PyDict_Type;
    else if (text.starts_with("List"))
        check.type = &PyList_Type;
    return check;
}

}  // namespace pyglue
