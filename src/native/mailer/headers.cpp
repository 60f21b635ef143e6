#include "mailer/headers.hpp"

#include <string_view>

namespace mailer {

namespace {

bool is_ascii(const py::str& text) {
    return PyUnicode_MAX_CHAR_VALUE(text.ptr()) < 0x80;
}

// RFC 2045 token characters.
bool is_token(const py::str& text) {
    if (!is_ascii(text) || PyUnicode_GET_LENGTH(text.ptr()) == 0) return false;
    constexpr std::string_view specials = "!#$%&'*+-.^_`{|}~";
    const auto* data = PyUnicode_1BYTE_DATA(text.ptr());
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text.ptr()); ++i) {
        const char c = static_cast<char>(data[i]);
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && specials.find(c) == std::string_view::npos) return false;
    }
    return true;
}

py::object getaddresses() {
    return py::module_::import("email.utils").attr("getaddresses");
}

// The addresses of a getaddresses() result, in order.
py::list addresses_of(const py::object& pairs) {
    py::list out;
    for (py::handle pair : pairs) out.append(pair[py::int_(1)]);
    return out;
}

// One address value with a non-ASCII display name re-written with formataddr.
py::object encode_addresses(Call& call, const py::str& value) {
    if (is_ascii(value)) return value;
    py::object pairs = getaddresses()(py::make_tuple(value));
    py::list parts;
    for (py::handle pair : pairs) {
        py::str address = pair[py::int_(1)];
        if (PyUnicode_GET_LENGTH(address.ptr()) == 0 || !is_ascii(address)) return value;
        parts.append(call.global(formataddr)(pair));
    }
    if (parts.empty()) return value;
    py::str joined = py::str(", ").attr("join")(parts);
    // The re-written text must name exactly the addresses found in the original.
    if (!addresses_of(getaddresses()(py::make_tuple(joined))).equal(addresses_of(pairs)))
        return value;
    return joined;
}

}  // namespace

void check_header_value(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return;
    // Every character that str.splitlines() breaks at, CR and LF among them.
    const int kind = PyUnicode_KIND(value.ptr());
    const void* data = PyUnicode_DATA(value.ptr());
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(value.ptr()); ++i)
        if (Py_UNICODE_ISLINEBREAK(PyUnicode_READ(kind, data, i)))
            raise(PyExc_ValueError,
                  "Header values may not contain linefeed or carriage return characters");
}

void check_recipient_header(py::handle value) {
    if (PyList_Check(value.ptr())) {
        for (py::handle item : py::reinterpret_borrow<py::list>(value)) check_header_value(item);
    } else {
        check_header_value(value);
    }
}

py::object address_header(Call& call, py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return borrow(value);
    return encode_addresses(call, py::reinterpret_borrow<py::str>(value));
}

void add_attachment_disposition(py::handle part, const py::str& name) {
    check_header_value(name);
    py::object add_header = part.attr("add_header");
    if (is_token(name)) {
        add_header("Content-Disposition", py::str("attachment; filename=") + name);
    } else if (is_ascii(name)) {
        add_header("Content-Disposition", "attachment", py::arg("filename") = name);
    } else {
        add_header("Content-Disposition", "attachment",
                   py::arg("filename") = py::make_tuple("utf-8", "", name));
    }
}

}  // namespace mailer
