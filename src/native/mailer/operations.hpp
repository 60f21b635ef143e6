// The operations of EasyMailer, one file per concern.  Operations that call
// each other do so through attribute look-ups on the instance, so that a
// caller may replace any of them.
#pragma once

#include "pyglue/pyglue.hpp"

namespace mailer {

using namespace pyglue;

// Module-level names, looked up at each use.
inline const Name smtplib{"smtplib"};
inline const Name ssl{"ssl"};
inline const Name mimetypes{"mimetypes"};
inline const Name datetime{"datetime"};
inline const Name MIMEMultipart{"MIMEMultipart"};
inline const Name MIMEText{"MIMEText"};
inline const Name MIMEBase{"MIMEBase"};
inline const Name encoders{"encoders"};
inline const Name formataddr{"formataddr"};
inline const Name formatdate{"formatdate"};
inline const Name Path{"Path"};
inline const Name TemplateEngine{"TemplateEngine"};
inline const Name builtin_open{"open"};  // pinned at load

// Calls `f` with each item of `list` the way Python's list iterator yields
// them: the length read afresh at every step and the item held while `f` runs,
// so that Python code run meanwhile may change the list.  A subclass of list
// is walked through its own iterator.
template <class F>
void for_each_item(py::handle list, F&& f) {
    if (!PyList_CheckExact(list.ptr())) {
        for (py::handle item : list) f(item);
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        py::object item = borrow(PyList_GET_ITEM(list.ptr(), i));
        f(item);
    }
}

// Configuration (module.cpp)
void convert_init_arguments(Call& call);
py::object init(Call& call);
// Composition (compose.cpp)
py::object build_message(Call& call);
py::object collect_recipients(Call& call);
// Attachments (attachments.cpp)
py::object attach_file(Call& call);
py::object attach_binary(Call& call);
// Delivery (delivery.cpp)
py::object do_send(Call& call);
// Send operations (send.cpp)
py::object send(Call& call);
py::object send_template(Call& call);

}  // namespace mailer
