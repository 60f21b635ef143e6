// Walking a Python list from C++ while Python code runs for its items.
#pragma once

#include "pyglue/objects.hpp"

namespace pyglue {

// visit(item) for each item of the list `list`, as Python's own list iterator
// walks it: the length and the item are read afresh at each step, and each
// item (and the list) is held while it is used, so that code run by `visit`
// may change the list without harm.  Items appended meanwhile are visited,
// as in `for item in list:`.  A subclass of list is walked through its own
// iterator, as `for` and str.join walk it.
template <class Visit>
void for_each_item(py::handle list, Visit&& visit) {
    const py::object held = borrow(list);
    if (!PyList_CheckExact(held.ptr())) {
        for (py::handle item : held) visit(item);
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.ptr()); ++i) {
        const py::object item = borrow(PyList_GET_ITEM(held.ptr(), i));
        visit(py::handle(item));
    }
}

}  // namespace pyglue
