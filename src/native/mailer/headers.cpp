#include "mailer/headers.hpp"

#include "mailer/folding.hpp"
#include "mailer/module.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace mailer {

using namespace pyglue;

namespace {

// The column kept free at the end of each line of an address list, for the
// comma glued after an address.
constexpr std::size_t comma_room = 1;

constexpr const char* line_break_error =
    "Header values may not contain linefeed or carriage return characters";

// Refuse a header value that holds CR, LF, another line break or NUL: it
// would add lines of its own to the header block.  Only text is inspected.
void refuse_line_breaks(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return;
    // Every character that str.splitlines() breaks at, CR and LF among them, and NUL.
    const int kind = PyUnicode_KIND(value.ptr());
    const void* data = PyUnicode_DATA(value.ptr());
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(value.ptr()); ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0 || Py_UNICODE_ISLINEBREAK(c)) raise(PyExc_ValueError, line_break_error);
    }
}

// ASCII text that a reader takes as it stands and that fits after "Name: ".
bool fits_as_is(const char* name, py::handle value) {
    if (!is_ascii(value)) return false;
    const std::string_view text = utf8(value);
    return value_column(name) + text.size() <= line_limit && !holds_encoded_word(text);
}

// Text that the standard library writes as one encoded word fitting after
// "Name: " when the message is flattened.
bool fits_one_word(const char* name, py::handle value) {
    return value_column(name) + encoded_size(utf8(value).size()) <= line_limit;
}

// The addresses of a getaddresses() result, in order.
py::list addresses_of(const py::object& pairs) {
    py::list out;
    for (py::handle pair : pairs) out.append(pair[py::int_(1)]);
    return out;
}

// An address that can stand between angle brackets as it is.
bool plain_address(py::handle address) {
    if (!PyUnicode_Check(address.ptr()) || !is_ascii(address)) return false;
    const std::string_view text = utf8(address);
    return !text.empty() && text.find_first_of(" \t\"<>,;()\\") == std::string_view::npos;
}

// A display name with its encoded words decoded, so that it can be split
// anew; one that does not decode (an unknown charset, bad base64) as it is.
// Encoded words are read only in ASCII text: beside other text they are taken
// as written (decode_header() would turn that text into escape sequences).
py::object decoded_name(const Scope& scope, const py::object& name) {
    if (!is_ascii(name) || !holds_encoded_word(utf8(name))) return name;
    try {
        py::object header = scope.pinned(email_header);
        return py::str(header.attr("make_header")(header.attr("decode_header")(name)));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) throw;
        return name;
    }
}

// Text as a quoted string.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// An ASCII display name as formataddr() writes it: quoted when it holds specials.
std::string quoted_name(std::string_view name) {
    if (name.find_first_of("[]\\()<>@,:;\".") == std::string_view::npos) return std::string(name);
    return quoted(name);
}

// Non-empty text of ASCII letters, digits and the given other characters.
bool made_of(std::string_view text, std::string_view others) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return alnum || others.find(c) != std::string_view::npos;
    });
}

// A word of a display name that may stand as it is (an RFC 5322 atom).
bool is_atom(std::string_view word) {
    return made_of(word, "!#$%&'*+-/^_`{|}~");
}

// A display name that needs encoding: its plain words as they are and each
// run of other words as encoded words, so that no two encoded words meet
// unless a run is too long for one.  (Readers join adjacent encoded words;
// some show a blank between them.)
void encoded_name(Folder& f, std::string_view name, Gap gap) {
    if (name.find("  ") != std::string_view::npos || name.front() == ' ' || name.back() == ' ')
        return f.encoded(name, gap);
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find(' ', start);
        if (end == std::string_view::npos) end = name.size();
        if (is_atom(name.substr(start, end - start))) {
            f.word(name.substr(start, end - start), gap);
        } else {  // the run of words up to the next plain one
            std::size_t run_end = end;
            while (run_end < name.size()) {
                std::size_t next = name.find(' ', run_end + 1);
                if (next == std::string_view::npos) next = name.size();
                if (is_atom(name.substr(run_end + 1, next - run_end - 1))) break;
                run_end = next;
            }
            f.encoded(name.substr(start, run_end - start), gap);
            end = run_end;
        }
        gap = Gap::space;
        start = end + 1;
    }
}

// How an address value was shaped.
enum class Shaped {
    as_text,   // ASCII, folded as it stands
    parsed,    // parsed, and written anew naming the same addresses
    unusable,  // no list of addresses that can be written anew: encoded as text
};

// An ASCII display name as formataddr() writes it, folded at its blanks; a
// name with a piece that no line holds (no blank to fold at) as encoded
// words instead, as attachment names are.  True when it was encoded.
bool place_ascii_name(Folder& f, std::string_view name, Gap gap) {
    const Folder::Mark start = f.mark();
    f.place(ascii_pieces(quoted_name(name), gap, true));
    if (!f.overflows(start)) return false;
    f.rollback(start);
    f.encoded(name, gap);
    return true;
}

// One address value: ASCII as it stands, unless a display name in it is too
// long for a line; otherwise parsed, with each display name encoded, and kept
// only when it reads back as the same addresses.
Shaped shape_address(const Scope& scope, Folder& f, const py::str& value, Gap gap) {
    const std::string_view text = utf8(value);
    const Folder::Mark mark = f.mark();
    const bool plain_text = is_ascii(value) && !holds_encoded_word(text);
    if (plain_text) {
        f.place(ascii_pieces(text, gap, true));
        if (!f.overflows(mark)) return Shaped::as_text;
        f.rollback(mark);
    }
    py::object getaddresses = scope.pinned(email_utils).attr("getaddresses");
    py::list pairs;  // what getaddresses() read, less the empty entries of stray commas
    for (py::handle pair : getaddresses(py::make_tuple(value)))
        if (truth(pair[py::int_(0)]) || truth(pair[py::int_(1)])) pairs.append(pair);
    bool usable = !pairs.empty();
    for (py::handle pair : pairs) usable = usable && plain_address(pair[py::int_(1)]);

    bool encoded_ascii_name = false;
    if (usable) {
        bool first = true;
        for (py::handle pair : pairs) {
            if (!first) f.word(",", Gap::none);
            const Gap g = first ? gap : Gap::space;
            first = false;
            py::object name = decoded_name(scope, pair[py::int_(0)]);
            const std::string address(utf8(pair[py::int_(1)]));
            if (PyUnicode_GET_LENGTH(name.ptr()) == 0) {
                f.word(address, g);
                continue;
            }
            if (is_ascii(name))
                encoded_ascii_name |= place_ascii_name(f, utf8(name), g);
            else
                encoded_name(f, utf8(name), g);
            f.word("<" + address + ">", Gap::space);
        }
        // ASCII text too long for its lines for some other reason than a
        // display name (a long address) is left as it stands.
        if ((!plain_text || encoded_ascii_name) &&
            addresses_of(getaddresses(py::make_tuple(f.since(mark)))).equal(addresses_of(pairs)))
            return Shaped::parsed;
        f.rollback(mark);
    }
    if (plain_text) {
        f.place(ascii_pieces(text, gap, true));
        return Shaped::as_text;
    }
    f.unstructured(line_limit - fold_indent, text, false, gap);
    return Shaped::unusable;
}

// RFC 2045 token characters, less "'" and "*", which readers of RFC 2231
// parameters take as syntax.
bool is_token(std::string_view text) {
    return made_of(text, "!#$%&+-.^_`{|}~");
}

// RFC 2231 percent-encoding, one character at a time.
std::string percent_encoded(std::string_view utf8_char) {
    constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : utf8_char) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-' || c == '~';
        if (safe) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        }
    }
    return out;
}

// "attachment; filename*=utf-8''…", continued over numbered parameters
// (filename*0*=, filename*1*=, …) when it does not fit on one line.
py::str encoded_disposition(std::string_view disposition, std::string_view name) {
    const char* header = "Content-Disposition";
    std::string whole = "filename*=utf-8''";
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = char_size(static_cast<unsigned char>(name[i]));
        whole += percent_encoded(name.substr(i, n));
        i += n;
    }
    Folder f(header);
    f.word(std::string(disposition) + ";", Gap::none);
    if (fold_indent + whole.size() <= line_limit) {
        f.word(whole, Gap::space);
        return f.result();
    }
    // Each numbered parameter on a line of its own, split between characters.
    int index = 0;
    auto head = [&] {
        std::string text = "filename*" + std::to_string(index) + "*=";
        if (index++ == 0) text += "utf-8''";
        return text;
    };
    std::string line = head();
    bool holds_text = false;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = char_size(static_cast<unsigned char>(name[i]));
        const std::string piece = percent_encoded(name.substr(i, n));
        // a blank before, and the ";" that ends every line but the last
        if (holds_text && fold_indent + line.size() + piece.size() + 1 > line_limit) {
            f.word(line + ";", Gap::space);
            line = head();
        }
        line += piece;
        holds_text = true;
        i += n;
    }
    f.word(line, Gap::space);
    return f.result();
}

// The value of the unstructured header `name`, already refused if need be.
py::object text_value(const char* name, py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || !encodable(value) || fits_as_is(name, value) ||
        (!is_ascii(value) && fits_one_word(name, value)))
        return borrow(value);
    Folder f(name);
    f.unstructured(line_limit - value_column(name), utf8(value), is_ascii(value), Gap::none);
    return f.result();
}

// The value of the address header `name`, already refused if need be.
py::object address_value(const Scope& scope, const char* name, py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || !encodable(value) || fits_as_is(name, value))
        return borrow(value);
    Folder f(name, comma_room);
    if (shape_address(scope, f, py::reinterpret_borrow<py::str>(value), Gap::none) ==
        Shaped::unusable)
        return text_value(name, value);
    return f.result();
}

}  // namespace

py::object subject_header(py::handle subject) {
    refuse_line_breaks(subject);
    return text_value("Subject", subject);
}

py::object from_header(const Scope& scope, py::handle name, py::handle address) {
    refuse_line_breaks(address);
    refuse_line_breaks(name);
    const bool named = PyUnicode_Check(name.ptr()) && PyUnicode_GET_LENGTH(name.ptr()) > 0;
    if (!named) return address_value(scope, "From", address);
    py::object value = scope.global(formataddr)(py::make_tuple(name, address));
    return address_value(scope, "From", value);
}

py::object address_header(const Scope& scope, const char* header, py::handle value) {
    refuse_line_breaks(value);
    return address_value(scope, header, value);
}

py::object recipient_header(const Scope& scope, const char* header, py::handle value) {
    if (!PyList_Check(value.ptr())) return address_header(scope, header, value);
    // The items are refused as they are read, before str.join could raise
    // its TypeError for one that is not text.  The header is then written
    // from one more reading of the list, as str.join reads it, and that text
    // is refused in turn: a list changed in between (by another thread)
    // cannot put a line break into what is written.
    for_each_item(value, [](py::handle item) { refuse_line_breaks(item); });
    const py::list items(checked(PySequence_List(value.ptr())));
    py::str joined = py::str(", ").attr("join")(items);  // its TypeError for an item not text
    refuse_line_breaks(joined);
    if (!encodable(joined) || fits_as_is(header, joined)) return joined;
    Folder f(header, comma_room);
    Py_ssize_t index = 0;
    for (py::handle item : items) {
        if (!encodable(item)) continue;
        if (index++ > 0) f.word(",", Gap::none);
        shape_address(scope, f, py::reinterpret_borrow<py::str>(item),
                      f.empty() ? Gap::none : Gap::space);
    }
    return f.result();
}

// maintype, subtype = content_type.split("/", 1)
std::pair<py::object, py::object> content_type_header(const py::object& content_type) {
    refuse_line_breaks(content_type);
    py::list parts(content_type.attr("split")("/", 1));
    const Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
    if (n < 2)
        raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n,
                     n == 1 ? "" : "s");
    if (n > 2)
        raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
    return {parts[0], parts[1]};
}

void add_attachment_name(py::handle part, const py::str& name, std::string_view disposition) {
    refuse_line_breaks(name);
    const std::string_view text = utf8(name);
    const bool plain = is_ascii(name) && !holds_encoded_word(text);
    if (plain) {
        const std::string value = is_token(text) ? std::string(text) : quoted(text);
        const std::string head = std::string(disposition) + ";";
        const std::size_t first_line = value_column("Content-Disposition") + head.size() +
                                       std::char_traits<char>::length(" filename=");
        if (first_line + value.size() <= line_limit) {
            part.attr("add_header")("Content-Disposition", head + " filename=" + value);
            return;
        }
        if (fold_indent + std::char_traits<char>::length("filename=") + value.size() <=
            line_limit) {
            part.attr("add_header")("Content-Disposition", head + "\n filename=" + value);
            return;
        }
    }
    // Readers that know only RFC 2047 take the name from the Content-Type.
    py::str content_type = part.attr("get")("Content-Type");
    Folder type("Content-Type");
    type.word(std::string(utf8(content_type)) + ";", Gap::none);
    type.encoded(text, Gap::space, "name=\"", "\"");
    part.attr("replace_header")("Content-Type", type.result());
    part.attr("add_header")("Content-Disposition", encoded_disposition(disposition, text));
}

py::str content_id_header(py::handle cid) {
    if (!PyUnicode_Check(cid.ptr()))
        raise_format(PyExc_TypeError, "cid must be str, not %.200U",
                     type_name(Py_TYPE(cid.ptr())).ptr());
    refuse_line_breaks(cid);
    const std::string_view text = utf8(cid);
    const bool usable = !text.empty() && is_ascii(cid) && std::ranges::all_of(text, [](char c) {
        return c > ' ' && c < 0x7f && c != '<' && c != '>' && c != '"' && c != '\\';
    });
    if (!usable)
        raise_format(PyExc_ValueError,
                     "cid must be printable ASCII without blanks, quotes, backslashes, "
                     "'<' or '>': %R",
                     cid.ptr());
    if (value_column("Content-ID") + text.size() + 2 > line_limit)
        raise_format(PyExc_ValueError, "cid is too long for its header line: %R", cid.ptr());
    return {"<" + std::string(text) + ">"};
}

}  // namespace mailer
