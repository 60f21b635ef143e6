// Attachments: one base64 MIME part per file path or in-memory item, the
// inline parts of an HTML body, and calendar invitations.
#include "mailer/attachments.hpp"

#include "mailer/folding.hpp"
#include "mailer/headers.hpp"
#include "mailer/module.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <utility>

namespace mailer {

using namespace pyglue;

namespace {

const char octet_stream[] = "application/octet-stream";

// mimetypes.guess_type(name)[0], or application/octet-stream.
py::object guessed_type(const Scope& scope, py::handle name) {
    py::object guess = scope.global(mimetypes).attr("guess_type")(name)[py::int_(0)];
    return truth(guess) ? guess : py::str(octet_stream);
}

// Bytes from this size on are encoded with the interpreter released.
constexpr Py_ssize_t release_from = Py_ssize_t{64} * 1024;

// base64 of `in` as base64.encodebytes writes it for
// email.encoders.encode_base64: lines of 76 characters, each ending in "\n".
void encode_base64_lines(const unsigned char* in, std::size_t n, Py_UCS1* out) {
    static constexpr unsigned char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr std::size_t line_bytes = 57;
    for (std::size_t start = 0; start < n; start += line_bytes) {
        const std::size_t end = std::min(start + line_bytes, n);
        std::size_t i = start;
        for (; i + 3 <= end; i += 3) {
            const unsigned v = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
            *out++ = alphabet[(v >> 18) & 63];
            *out++ = alphabet[(v >> 12) & 63];
            *out++ = alphabet[(v >> 6) & 63];
            *out++ = alphabet[v & 63];
        }
        if (i < end) {
            const bool two = i + 1 < end;
            const unsigned v = (unsigned{in[i]} << 16) | (two ? unsigned{in[i + 1]} << 8 : 0U);
            *out++ = alphabet[(v >> 18) & 63];
            *out++ = alphabet[(v >> 12) & 63];
            *out++ = two ? alphabet[(v >> 6) & 63] : '=';
            *out++ = '=';
        }
        *out++ = '\n';
    }
}

py::str base64_text(py::handle data) {
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data.ptr()));
    const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()));
    if (n == 0) return {""};
    const std::size_t lines = (n + 56) / 57;
    const std::size_t size = (n + 2) / 3 * 4 + lines;
    const py::object text = checked(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    auto* out = PyUnicode_1BYTE_DATA(text.ptr());
    if (PyBytes_GET_SIZE(data.ptr()) < release_from) {
        encode_base64_lines(in, n, out);
    } else {
        // The bytes object is immutable and kept alive by the caller, and the
        // new text is seen by no one else yet.
        const py::gil_scoped_release released;
        encode_base64_lines(in, n, out);
    }
    return py::reinterpret_borrow<py::str>(text);
}

// part.set_payload(data) and encoders.encode_base64(part).  Bytes given to
// the standard library's own part and encoder are encoded here, to the same
// text, while other threads (an event loop) run; anything else goes through
// the calls themselves.
void set_base64_payload(const Scope& scope, py::handle part, py::handle data) {
    py::object encoder = scope.global(encoders);
    const bool standard =
        PyBytes_CheckExact(data.ptr()) &&
        Py_TYPE(part.ptr()) ==
            reinterpret_cast<PyTypeObject*>(scope.pinned(email_mime_base_MIMEBase).ptr()) &&
        encoder.is(scope.pinned(email_encoders)) &&
        py::object(encoder.attr("encode_base64")).is(scope.pinned(email_encoders_encode_base64));
    if (!standard) {
        part.attr("set_payload")(data);
        encoder.attr("encode_base64")(part);
        return;
    }
    part.attr("set_payload")(base64_text(data));
    part["Content-Transfer-Encoding"] = "base64";
}

// The part of an in-memory item named `filename`: its data in base64 under its content type
// (given, or guessed from its file name).
py::object binary_part(const Scope& scope, py::handle item, py::handle filename) {
    py::object data = item["data"];
    py::object content_type = item.attr("get")("content_type");
    if (!truth(content_type)) content_type = guessed_type(scope, filename);
    auto [maintype, subtype] = content_type_header(content_type);
    py::object part = scope.global(MIMEBase)(maintype, subtype);
    set_base64_payload(scope, part, data);
    return part;
}

constexpr Param attach_file_params[] = {{"msg", "MIMEMultipart"}, {"filepath", "str"}};

py::object attach_file(Args<attach_file_params>& args) {
    PYGLUE_ARGUMENTS(args, msg, filepath);
    py::object path = args.global(Path)(filepath);
    if (!truth(path.attr("is_file")())) {
        py::object text = py::str("Attachment not found: ") + filepath;
        PyErr_SetObject(PyExc_FileNotFoundError, text.ptr());
        throw_current();
    }
    auto [maintype, subtype] = content_type_header(guessed_type(args.scope(), py::str(path)));
    py::object part = args.global(MIMEBase)(maintype, subtype);
    py::object data;
    with_block(args.pinned(builtin_open)(path, "rb"),
               [&](py::handle f) { data = f.attr("read")(); });
    set_base64_payload(args.scope(), part, data);
    add_attachment_name(part, path.attr("name"));
    msg.attr("attach")(part);
    return py::none();
}

const char attach_binary_doc[] =
    "Attach binary data.\n"
    "\n"
    "        Args:\n"
    "            item: a dict with the keys \"filename\", \"data\" (bytes) and \"content_type\",\n"
    "                for example {\"filename\": \"name.png\", \"data\": b\"...\", "
    "\"content_type\": \"image/png\"}\n"
    "                content_type is optional, auto-detected from filename.\n        ";
constexpr Param attach_binary_params[] = {{"msg", "MIMEMultipart"}, {"item", "Dict"}};

py::object attach_binary(Args<attach_binary_params>& args) {
    PYGLUE_ARGUMENTS(args, msg, item);
    py::object filename = item["filename"];
    py::object part = binary_part(args.scope(), item, filename);
    add_attachment_name(part, py::str("{}").format(filename));
    msg.attr("attach")(part);
    return py::none();
}

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// The text before the first `separator` in `text`, which is left with the rest.
std::string_view take(std::string_view& text, char separator) {
    const std::size_t end = std::min(text.find(separator), text.size());
    const std::string_view head = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    return head;
}

// The method parameter of a text/calendar content type
// ("text/calendar; method=REQUEST"), or a null object for any other value.
py::object calendar_method(py::handle content_type) {
    if (!PyUnicode_Check(content_type.ptr()) || !is_ascii(content_type)) return {};
    std::string_view rest = utf8(content_type);
    if (!same_text_ignoring_case(trimmed(take(rest, ';')), "text/calendar")) return {};
    while (!rest.empty()) {
        std::string_view value = take(rest, ';');
        const std::string_view name = trimmed(take(value, '='));
        value = trimmed(value);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (same_text_ignoring_case(name, "method") && !value.empty())
            return py::str(std::string(value));
    }
    return {};
}

// The METHOD property of iCalendar text (the value of its first METHOD line),
// or an empty view.
std::string_view method_property(std::string_view text) {
    constexpr std::string_view name = "METHOD:";
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() >= name.size() &&
            same_text_ignoring_case(line.substr(0, name.size()), name))
            return line.substr(name.size());
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return {};
}

// The calendar text of an invitation item: its data as UTF-8 text, whose
// METHOD is the one its content type names.
py::str calendar_text(py::handle data, py::handle method) {
    py::object text;
    if (PyBytes_Check(data.ptr())) {
        text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
            PyBytes_AS_STRING(data.ptr()), PyBytes_GET_SIZE(data.ptr()), "strict"));
        if (!text) {
            PyErr_Clear();
            raise(PyExc_ValueError, "calendar data must be UTF-8 text");
        }
    } else if (PyUnicode_Check(data.ptr())) {
        text = borrow(data);
    } else {
        raise_format(PyExc_TypeError, "calendar data must be bytes or str, not %.200U",
                     type_name(Py_TYPE(data.ptr())).ptr());
    }
    const std::string_view found = method_property(utf8(text));
    const std::string_view wanted = utf8(method);
    if (found.empty())
        raise_format(PyExc_ValueError,
                     "calendar data has no METHOD line, its content type says "
                     "method=%U",
                     method.ptr());
    if (!same_text_ignoring_case(found, wanted))
        raise_format(PyExc_ValueError, "calendar data says METHOD:%s, its content type method=%U",
                     std::string(found).c_str(), method.ptr());
    return py::reinterpret_borrow<py::str>(text);
}

// The invitation as calendar servers write it, into `parts`: the calendar
// text as an alternative body, and the same bytes as an application/ics
// attachment.
void invitation_parts(const Scope& scope, py::handle item, py::handle method, Invitation& parts) {
    py::str text = calendar_text(item["data"], method);
    py::object shown = scope.global(MIMEText)(text, "calendar", "utf-8");
    shown.attr("replace_header")(
        "Content-Type", "text/calendar; method=" + std::string(utf8(method.attr("upper")())) +
                            "; charset=\"utf-8\"");
    py::object filename = item.attr("get")("filename");
    if (!truth(filename)) filename = py::str("invite.ics");
    py::object attached = scope.global(MIMEBase)("application", "ics");
    set_base64_payload(scope, attached, text.attr("encode")("utf-8"));
    add_attachment_name(attached, py::str("{}").format(filename));
    parts.alternative = std::move(shown);
    parts.attachment = std::move(attached);
}

}  // namespace

Items sort_items(const Scope& scope, py::handle attachments, bool has_html) {
    Items items;
    if (attachments.is_none()) return items;
    py::set cids;
    for_each_item(attachments, [&](py::handle item) {
        if (PyDict_Check(item.ptr())) {
            if (PyDict_Contains(item.ptr(), py::str("cid").ptr()) == 1) {
                py::str id = content_id_header(item["cid"]);
                if (cids.contains(id))
                    raise_format(PyExc_ValueError, "two inline items have the cid %R",
                                 item["cid"].ptr());
                cids.add(id);
                items.shown.append(item);
                return;
            }
            py::object method = calendar_method(item.attr("get")("content_type"));
            if (method) {
                if (items.invitation_item)
                    raise(PyExc_ValueError,
                          "a mail carries one calendar invitation: two items are text/calendar "
                          "with a method");
                invitation_parts(scope, item, method, items.invitation);
                items.invitation_item = borrow(item);
            }
        }
        items.attached.append(item);
    });
    if (py::len(items.shown) > 0 && !has_html) {
        py::object cid = items.shown[0]["cid"];
        raise_format(PyExc_ValueError,
                     "the inline item with cid %R needs an HTML body that shows it "
                     "(<img src=\"cid:%U\">)",
                     cid.ptr(), cid.ptr());
    }
    return items;
}

py::object inline_part(const Scope& scope, py::handle item) {
    py::object filename = item["filename"];
    py::object part = binary_part(scope, item, filename);
    part.attr("add_header")("Content-ID", content_id_header(item["cid"]));
    add_attachment_name(part, py::str("{}").format(filename), "inline");
    return part;
}

constexpr Operation attach_file_operation = operation<attach_file_params, attach_file>(
    "_attach_file", Kind::static_method, "Attach a file from a file path.", "None");
constexpr Operation attach_binary_operation = operation<attach_binary_params, attach_binary>(
    "_attach_binary", Kind::static_method, attach_binary_doc, "None");

}  // namespace mailer
