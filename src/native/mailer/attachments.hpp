// Attachments: one base64 MIME part per file path or in-memory item, the
// parts an HTML body shows inline, and calendar invitations (attachments.cpp).
#pragma once

#include "pyglue/module.hpp"
#include "pyglue/operation.hpp"

namespace mailer {

namespace py = pybind11;

extern const pyglue::Operation attach_file_operation;
extern const pyglue::Operation attach_binary_operation;

// A calendar invitation's two parts.
struct Invitation {
    py::object alternative;  // "text/calendar; method=M; charset="utf-8""
    py::object attachment;   // the same bytes, application/ics
};
// The attachment items of one mail by what they become, each list in the
// caller's order: items with a "cid" are parts of the HTML body, a
// text/calendar item with a method is the invitation (it is also attached,
// so it stays in `attached`), every other item is attached by the class's
// own steps.  Every new key is checked here, before anything is built.
struct Items {
    py::list attached;
    py::list shown;              // the inline items
    py::object invitation_item;  // the calendar item, or a null object
    Invitation invitation;       // its parts, built as it is checked
};
Items sort_items(const pyglue::Scope& scope, py::handle attachments, bool has_html);

// The inline part of an item with a "cid": its bytes in base64, its
// Content-ID and an inline Content-Disposition with its file name.
py::object inline_part(const pyglue::Scope& scope, py::handle item);

}  // namespace mailer
