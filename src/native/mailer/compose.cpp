// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list.
#include "mailer/headers.hpp"

#include <cstdio>
#include <random>
#include <string>

namespace mailer {

namespace {

bool non_empty_text(py::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

py::object text_part(Call& call, py::handle text, const char* subtype) {
    return call.global(MIMEText)(text, subtype, "utf-8");
}

// A multipart/alternative container whose Content-Type, boundary included,
// fits the line limit: the boundary is chosen here, in the standard library's
// form, and written on a line of its own.
py::object alternative(Call& call) {
    py::object alt = call.global(MIMEMultipart)("alternative");
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<unsigned long long> token(0, 9223372036854775806ULL);
    char boundary[40];
    std::snprintf(boundary, sizeof boundary, "===============%019llu==", token(random));
    alt.attr("replace_header")(
        "Content-Type", std::string("multipart/alternative;\n boundary=\"") + boundary + "\"");
    return alt;
}

}  // namespace

py::object build_message(Call& call) {
    auto [self, to, subject, body, html, cc, sender, sender_name, attachments, reply_to] =
        call.args<10>();
    // Nothing is built from a value that would break the header block.
    for (py::handle value : {subject, sender, sender_name, reply_to}) check_header_value(value);
    check_recipient_header(to);
    check_recipient_header(cc);

    py::object msg = call.global(MIMEMultipart)("mixed");
    py::object from_addr = truth(sender) ? borrow(sender) : self.attr("default_sender");
    check_header_value(from_addr);
    msg["From"] =
        address_header("From", non_empty_text(sender_name)
                                   ? call.global(formataddr)(py::make_tuple(sender_name, from_addr))
                                   : from_addr);
    msg["To"] = recipient_header("To", to);
    msg["Subject"] = text_header("Subject", subject);
    msg["Date"] = call.global(formatdate)(py::arg("localtime") = true);
    if (truth(cc)) msg["Cc"] = recipient_header("Cc", cc);
    if (non_empty_text(reply_to)) msg["Reply-To"] = address_header("Reply-To", reply_to);

    const bool has_body = non_empty_text(body);
    const bool has_html = non_empty_text(html);
    if (has_body && has_html) {
        py::object alt = alternative(call);
        alt.attr("attach")(text_part(call, body, "plain"));
        alt.attr("attach")(text_part(call, html, "html"));
        msg.attr("attach")(alt);
    } else if (has_html) {
        msg.attr("attach")(text_part(call, html, "html"));
    } else if (has_body) {
        msg.attr("attach")(text_part(call, body, "plain"));
    }

    if (!attachments.is_none()) {
        for_each_item(attachments, [&](py::handle item) {
            const char* step = PyDict_Check(item.ptr()) ? "_attach_binary" : "_attach_file";
            call_positional(self.attr(step), {msg, item});
        });
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
