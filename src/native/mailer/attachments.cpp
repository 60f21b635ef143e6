// Attachments: one base64 MIME part per file path or in-memory item.
#include "mailer/attachments.hpp"

#include "mailer/headers.hpp"
#include "mailer/module.hpp"

namespace mailer {

using namespace pyglue;

namespace {

const char octet_stream[] = "application/octet-stream";

// mimetypes.guess_type(name)[0], or application/octet-stream.
py::object guessed_type(const Scope& scope, py::handle name) {
    py::object guess = scope.global(mimetypes).attr("guess_type")(name)[py::int_(0)];
    return truth(guess) ? guess : py::str(octet_stream);
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
    with_block(args.pinned(builtin_open)(path, "rb"),
               [&](py::handle f) { part.attr("set_payload")(f.attr("read")()); });
    args.global(encoders).attr("encode_base64")(part);
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
    py::object data = item["data"];
    py::object content_type = item.attr("get")("content_type");
    if (!truth(content_type)) content_type = guessed_type(args.scope(), filename);
    auto [maintype, subtype] = content_type_header(content_type);
    py::object part = args.global(MIMEBase)(maintype, subtype);
    part.attr("set_payload")(data);
    args.global(encoders).attr("encode_base64")(part);
    add_attachment_name(part, py::str("{}").format(filename));  // format(filename)
    msg.attr("attach")(part);
    return py::none();
}

}  // namespace

constexpr Operation attach_file_operation = operation<attach_file_params, attach_file>(
    "_attach_file", Kind::static_method, "Attach a file from a file path.", "None");
constexpr Operation attach_binary_operation = operation<attach_binary_params, attach_binary>(
    "_attach_binary", Kind::static_method, attach_binary_doc, "None");

}  // namespace mailer
