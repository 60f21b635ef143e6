// Header values that every mail client reads correctly.
//
// Every header value the package writes is shaped here: refused when it would
// break the header block, its non-ASCII text encoded as RFC 2047 words of at
// most 75 characters, and folded into lines of at most 78 characters wherever
// a fold point exists.  The message is flattened by the standard library
// without folding of its own, so the values are assigned already folded; an
// ASCII value that fits on its line is assigned unchanged.
#pragma once

#include "mailer/operations.hpp"

namespace mailer {

// Refuse a header value that holds CR, LF, another line break or NUL: it would
// add lines of its own to the header block.  Only text values are inspected.
void check_header_value(py::handle value);
// A recipient value (a string or a list of strings) as above.
void check_recipient_header(py::handle value);

// The value of the unstructured header `name` (Subject).
py::object text_header(const char* name, py::handle value);

// The value of the address header `name` (From, Reply-To): "张三 <zs@example.com>"
// becomes "=?utf-8?b?5byg5LiJ?= <zs@example.com>".  Values that are not text
// are returned as they are.
py::object address_header(const char* name, py::handle value);

// The value of the recipient header `name` (To, Cc): a list is joined with
// ", ", each item shaped as an address header; anything else as above.
py::object recipient_header(const char* name, py::handle value);

// The name of an attachment part: its Content-Disposition, and for names that
// need encoding also a `name` parameter on its Content-Type, the form that
// clients which ignore RFC 2231 read.
void add_attachment_name(py::handle part, const py::str& name);

}  // namespace mailer
