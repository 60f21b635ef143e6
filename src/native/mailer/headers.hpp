// Header values that every mail client reads correctly.
#pragma once

#include "mailer/operations.hpp"

namespace mailer {

// Refuse a header value that holds CR, LF or another line break: it would
// add lines of its own to the header block.  Only text values are inspected.
void check_header_value(py::handle value);
// A recipient value (a string or a list of strings) as above.
void check_recipient_header(py::handle value);

// An address header value, with non-ASCII display names encoded so that the
// addresses stay readable: "张三 <zs@example.com>" becomes
// "=?utf-8?b?5byg5LiJ?= <zs@example.com>".  ASCII text, and text that does
// not split cleanly into ASCII addresses, are returned unchanged.
py::object address_header(Call& call, py::handle value);

// The Content-Disposition of an attachment named `name`.
void add_attachment_disposition(py::handle part, const py::str& name);

}  // namespace mailer
