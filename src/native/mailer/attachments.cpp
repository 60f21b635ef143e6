// Attachments: one base64 MIME part per file path or in-memory item.
#include "mailer/headers.hpp"

namespace mailer {

namespace {

const char octet_stream[] = "application/octet-stream";

// maintype, subtype = content_type.split("/", 1)
std::pair<py::object, py::object> split_content_type(const py::object& content_type) {
    check_header_value(content_type);  // it becomes the part's Content-Type header
    py::list parts(content_type.attr("split")("/", 1));
    const Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n < 2)
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                     n == 1 ? "" : "s");
    if (n > 2)
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    return {parts[0], parts[1]};
}

// mimetypes.guess_type(name)[0], or application/octet-stream.
py::object guessed_type(Call& call, py::handle name) {
    py::object guess = call.global(mimetypes).attr("guess_type")(name)[py::int_(0)];
    return truth(guess) ? guess : py::str(octet_stream);
}

}  // namespace

py::object attach_file(Call& call) {
    auto [msg, filepath] = call.args<2>();
    py::object path = call.global(Path)(filepath);
    if (!truth(path.attr("is_file")())) {
        py::object text = py::str("Attachment not found: ") + filepath;
        PyErr_SetObject(PyExc_FileNotFoundError, text.ptr());
        throw_current();
    }
    py::object content_type = guessed_type(call, py::str(path));
    auto [maintype, subtype] = split_content_type(content_type);
    py::object part = call.global(MIMEBase)(maintype, subtype);
    with_block(call.pinned(builtin_open)(path, "rb"),
               [&](py::handle f) { part.attr("set_payload")(f.attr("read")()); });
    call.global(encoders).attr("encode_base64")(part);
    add_attachment_name(part, path.attr("name"));
    msg.attr("attach")(part);
    return py::none();
}

py::object attach_binary(Call& call) {
    auto [msg, item] = call.args<2>();
    py::object filename = item["filename"];
    py::object data = item["data"];
    py::object content_type = item.attr("get")("content_type");
    if (!truth(content_type)) content_type = guessed_type(call, filename);
    auto [maintype, subtype] = split_content_type(content_type);
    py::object part = call.global(MIMEBase)(maintype, subtype);
    part.attr("set_payload")(data);
    call.global(encoders).attr("encode_base64")(part);
    add_attachment_name(part, checked(PyObject_Format(filename.ptr(), py::str("").ptr())));
    msg.attr("attach")(part);
    return py::none();
}

}  // namespace mailer
