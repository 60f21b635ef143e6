// Header values that every mail client reads correctly: the header policy.
//
// Every header value the package writes is shaped here, in one call per use:
// refused when it would break the header block (a line break or NUL in it),
// its non-ASCII text encoded as RFC 2047 words, and folded into lines of at
// most 78 characters wherever a fold point exists (the folding engine,
// folding.hpp).  The message is flattened by the standard library without
// folding of its own, so the values are assigned already folded; an ASCII
// value that fits on its line is assigned unchanged.
#pragma once

#include "pyglue/module.hpp"

#include <string_view>
#include <utility>

namespace mailer {

namespace py = pybind11;

// The Subject: unstructured text.
py::object subject_header(py::handle subject);

// The From header of `address` with the display name `name` (when it is
// non-empty text, joined by formataddr, looked up at this call):
// "张三 <zs@example.com>" becomes "=?utf-8?b?5byg5LiJ?= <zs@example.com>".
py::object from_header(const pyglue::Scope& scope, py::handle name, py::handle address);

// An address header (Reply-To) as given.  Values that are not text are
// returned as they are.
py::object address_header(const pyglue::Scope& scope, const char* header, py::handle value);

// A recipient header (To, Cc): a list is joined with ", ", each item shaped
// as an address; anything else as address_header.
py::object recipient_header(const pyglue::Scope& scope, const char* header, py::handle value);

// The part's Content-Type `content_type`, as (maintype, subtype).
std::pair<py::object, py::object> content_type_header(const py::object& content_type);

// The name of an attachment part: its Content-Disposition ("attachment", or
// "inline" for a part the HTML shows), and for names that need encoding also a
// `name` parameter on its Content-Type, the form that clients which ignore
// RFC 2231 read.
void add_attachment_name(py::handle part, const py::str& name,
                         std::string_view disposition = "attachment");

// The Content-ID of an inline part, "<cid>", the value the HTML names as
// "cid:VALUE": refused unless it is printable ASCII with nothing a message id
// or a URL cannot carry (blanks, quotes, backslashes, angle brackets).
py::str content_id_header(py::handle cid);

}  // namespace mailer
