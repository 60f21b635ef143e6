// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list.
#include "mailer/compose.hpp"

#include "mailer/headers.hpp"
#include "mailer/module.hpp"

#include <array>
#include <cstdio>
#include <random>
#include <string>

namespace mailer {

using namespace pyglue;

namespace {

const Name default_sender_attr{"default_sender"};

bool non_empty_text(py::handle value) {
    return PyUnicode_Check(value.ptr()) && PyUnicode_GET_LENGTH(value.ptr()) > 0;
}

py::object text_part(const Scope& scope, py::handle text, const char* subtype) {
    return scope.global(MIMEText)(text, subtype, "utf-8");
}

// The boundary in the standard library's form: fifteen "=", a random number
// below sys.maxsize written with nineteen digits, two "=".
constexpr unsigned long long boundary_token_max = 9223372036854775806ULL;  // sys.maxsize - 1
constexpr const char* boundary_format = "===============%019llu==";
constexpr std::size_t boundary_size = 15 + 19 + 2 + 1;

// A multipart/alternative container whose Content-Type, boundary included,
// fits the line limit: the boundary is chosen here and written on a line of
// its own.
py::object alternative(const Scope& scope) {
    py::object alt = scope.global(MIMEMultipart)("alternative");
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<unsigned long long> token(0, boundary_token_max);
    std::array<char, boundary_size> boundary{};
    std::snprintf(boundary.data(), boundary.size(), boundary_format, token(random));
    alt.attr("replace_header")("Content-Type", std::string("multipart/alternative;\n boundary=\"") +
                                                   boundary.data() + "\"");
    return alt;
}

constexpr Param build_message_params[] = {
    {"self", nullptr},
    {"to", recipients_type},
    {"subject", "str"},
    {"body", "Optional[str]"},
    {"html", "Optional[str]"},
    {"cc", optional_recipients},
    {"sender", "Optional[str]"},
    {"sender_name", "Optional[str]"},
    {"attachments", attachments_type},
    {"reply_to", "Optional[str]"},
};

// The header values are shaped first, each refused if it would break the
// header block, so that nothing is built from such a value.
py::object build_message(Args<build_message_params>& args) {
    PYGLUE_ARGUMENTS(args, self, to, subject, body, html, cc, sender, sender_name, attachments,
                     reply_to);
    const Scope& scope = args.scope();
    py::object subject_value = subject_header(subject);
    py::object from_addr = truth(sender) ? borrow(sender) : self.attr(default_sender_attr);
    py::object from_value = from_header(scope, sender_name, from_addr);
    py::object reply_to_value;
    if (non_empty_text(reply_to)) reply_to_value = address_header(scope, "Reply-To", reply_to);
    py::object to_value = recipient_header(scope, "To", to);
    py::object cc_value;
    if (truth(cc)) cc_value = recipient_header(scope, "Cc", cc);

    py::object msg = args.global(MIMEMultipart)("mixed");
    msg["From"] = from_value;
    msg["To"] = to_value;
    msg["Subject"] = subject_value;
    msg["Date"] = args.global(formatdate)(py::arg("localtime") = true);
    if (cc_value) msg["Cc"] = cc_value;
    if (reply_to_value) msg["Reply-To"] = reply_to_value;

    const bool has_body = non_empty_text(body);
    const bool has_html = non_empty_text(html);
    if (has_body && has_html) {
        py::object alt = alternative(scope);
        alt.attr("attach")(text_part(scope, body, "plain"));
        alt.attr("attach")(text_part(scope, html, "html"));
        msg.attr("attach")(alt);
    } else if (has_html) {
        msg.attr("attach")(text_part(scope, html, "html"));
    } else if (has_body) {
        msg.attr("attach")(text_part(scope, body, "plain"));
    }

    if (!attachments.is_none()) {
        for_each_item(attachments, [&, self = self](py::handle item) {
            const char* step = PyDict_Check(item.ptr()) ? "_attach_binary" : "_attach_file";
            self.attr(step)(msg, item);
        });
    }
    return msg;
}

constexpr Param collect_recipients_params[] = {
    {"to", recipients_type}, {"cc", optional_recipients}, {"bcc", optional_recipients}};

py::object collect_recipients(Args<collect_recipients_params>& args) {
    PYGLUE_ARGUMENTS(args, to, cc, bcc);
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

}  // namespace

constexpr Operation build_message_operation = operation<build_message_params, build_message>(
    "_build_message", Kind::method, nullptr, "MIMEMultipart");
constexpr Operation collect_recipients_operation =
    operation<collect_recipients_params, collect_recipients>(
        "_collect_recipients", Kind::static_method, nullptr, "List[str]");

}  // namespace mailer
