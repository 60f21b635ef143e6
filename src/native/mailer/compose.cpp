// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list.
#include "mailer/headers.hpp"

namespace mailer {

namespace {

bool non_empty_text(py::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

// The "To"/"Cc" value: a list joined with ", " (each item with its display
// name encoded), anything else as it is.
py::object recipient_header(Call& call, py::handle value) {
    if (!PyList_Check(value.ptr())) return address_header(call, value);
    py::list items;
    for (py::handle item : py::reinterpret_borrow<py::list>(value))
        items.append(address_header(call, item));
    return py::str(", ").attr("join")(items);
}

py::object text_part(Call& call, py::handle text, const char* subtype) {
    return call.global(MIMEText)(text, subtype, "utf-8");
}

}  // namespace

py::object build_message(Call& call) {
    auto [self, to, subject, body, html, cc, sender, sender_name, attachments, reply_to] =
        call.args<10>();
    const bool has_name = non_empty_text(sender_name);
    const bool has_cc = truth(cc);
    const bool has_reply_to = non_empty_text(reply_to);

    // Nothing is built from a value that would break the header block.
    py::object from_addr = truth(sender) ? borrow(sender) : self.attr("default_sender");
    for (py::handle value : {subject, sender, sender_name, reply_to, py::handle(from_addr)})
        check_header_value(value);
    check_recipient_header(to);
    if (has_cc) check_recipient_header(cc);

    py::object msg = call.global(MIMEMultipart)("mixed");
    msg["From"] = has_name ? call.global(formataddr)(py::make_tuple(sender_name, from_addr))
                           : address_header(call, from_addr);
    msg["To"] = recipient_header(call, to);
    msg["Subject"] = subject;
    msg["Date"] = call.global(formatdate)(py::arg("localtime") = true);
    if (has_cc) msg["Cc"] = recipient_header(call, cc);
    if (has_reply_to) msg["Reply-To"] = address_header(call, reply_to);

    const bool has_body = non_empty_text(body);
    const bool has_html = non_empty_text(html);
    if (has_body && has_html) {
        py::object alt = call.global(MIMEMultipart)("alternative");
        alt.attr("attach")(text_part(call, body, "plain"));
        alt.attr("attach")(text_part(call, html, "html"));
        msg.attr("attach")(alt);
    } else if (has_html) {
        msg.attr("attach")(text_part(call, html, "html"));
    } else if (has_body) {
        msg.attr("attach")(text_part(call, body, "plain"));
    }

    if (!attachments.is_none()) {
        // Indexed like Python's list iterator: an item is held while it is used.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attachments.ptr()); ++i) {
            py::object item =
                py::reinterpret_borrow<py::object>(PyList_GET_ITEM(attachments.ptr(), i));
            py::object attach =
                self.attr(PyDict_Check(item.ptr()) ? "_attach_binary" : "_attach_file");
            attach(msg, item);
        }
    }
    return msg;
}

py::object collect_recipients(Call& call) {
    auto [to, cc, bcc] = call.args<3>();
    py::list recipients;
    for (py::handle value : {to, cc, bcc}) {
        if (value.is_none()) continue;
        if (PyUnicode_Check(value.ptr()))
            recipients.append(value);
        else  // list += value extends the list in place, from any iterable
            checked(PySequence_InPlaceConcat(recipients.ptr(), value.ptr()));
    }
    return recipients;
}

}  // namespace mailer
