// Message composition: the MIME tree and headers of one mail, and the
// envelope recipient list.
#include "mailer/compose.hpp"

#include "mailer/attachments.hpp"
#include "mailer/headers.hpp"
#include "mailer/module.hpp"

#include <array>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

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

// A multipart container of `subtype` (with the parameters `parameters`, if
// any, before the boundary) whose Content-Type fits the line limit: the
// boundary is chosen here and written on a line of its own.
py::object multipart(const Scope& scope, const char* subtype, std::string_view parameters = {}) {
    py::object container = scope.global(MIMEMultipart)(subtype);
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<unsigned long long> token(0, boundary_token_max);
    std::array<char, boundary_size> boundary{};
    std::snprintf(boundary.data(), boundary.size(), boundary_format, token(random));
    std::string value = std::string("multipart/") + subtype + ";";
    if (!parameters.empty()) value += " " + std::string(parameters) + ";";
    container.attr("replace_header")("Content-Type",
                                     value + "\n boundary=\"" + boundary.data() + "\"");
    return container;
}

// The HTML body, and the parts it shows inline with it in a
// multipart/related container.
py::object html_body(const Scope& scope, py::handle html, py::handle shown) {
    py::object part = text_part(scope, html, "html");
    if (py::len(shown) == 0) return part;
    py::object related = multipart(scope, "related", "type=\"text/html\"");
    related.attr("attach")(part);
    for_each_item(shown,
                  [&](py::handle item) { related.attr("attach")(inline_part(scope, item)); });
    return related;
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
// header block, and the attachment items are sorted and checked, so that
// nothing is built from such a value.
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

    const bool has_body = non_empty_text(body);
    const bool has_html = non_empty_text(html);
    const Items items = sort_items(scope, attachments, has_html);

    py::object msg = args.global(MIMEMultipart)("mixed");
    msg["From"] = from_value;
    msg["To"] = to_value;
    msg["Subject"] = subject_value;
    msg["Date"] = args.global(formatdate)(py::arg("localtime") = true);
    if (cc_value) msg["Cc"] = cc_value;
    if (reply_to_value) msg["Reply-To"] = reply_to_value;

    // The bodies are alternatives of one another: the text, the HTML (with
    // what it shows) and the invitation, as many as there are.
    std::vector<py::object> bodies;
    if (has_body) bodies.push_back(text_part(scope, body, "plain"));
    if (has_html) bodies.push_back(html_body(scope, html, items.shown));
    if (items.invitation_item) bodies.push_back(items.invitation.alternative);
    if (bodies.size() > 1) {
        py::object alt = multipart(scope, "alternative");
        for (const py::object& part : bodies) alt.attr("attach")(part);
        msg.attr("attach")(alt);
    } else if (bodies.size() == 1) {
        msg.attr("attach")(bodies.front());
    }

    for_each_item(items.attached, [&, self = self](py::handle item) {
        if (item.is(items.invitation_item)) {
            msg.attr("attach")(items.invitation.attachment);
            return;
        }
        const char* step = PyDict_Check(item.ptr()) ? "_attach_binary" : "_attach_file";
        self.attr(step)(msg, item);
    });
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
