#include "mailer/headers.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace mailer {

namespace {

constexpr std::size_t line_limit = 78;  // RFC 5322: at most 78 characters a line
constexpr std::size_t word_limit = 75;  // RFC 2047: at most 75 characters an encoded word
constexpr std::string_view word_open = "=?utf-8?b?";
constexpr std::string_view word_close = "?=";

bool is_ascii(py::handle text) {
    return PyUnicode_MAX_CHAR_VALUE(text.ptr()) < 0x80;
}

// The UTF-8 text of a str, owned by the str.
std::string_view utf8(py::handle text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) throw_current();
    return {data, static_cast<std::size_t>(size)};
}

bool holds_encoded_word(std::string_view text) {
    return text.find("=?") != std::string_view::npos;
}

std::size_t char_size(unsigned char lead) {
    return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
}

std::size_t encoded_size(std::size_t bytes) {
    return word_open.size() + (bytes + 2) / 3 * 4 + word_close.size();
}

// ASCII text that a reader takes as it stands and that fits after "Name: ".
bool fits_as_is(const char* name, py::handle value) {
    if (!is_ascii(value)) return false;
    const std::string_view text = utf8(value);
    return std::char_traits<char>::length(name) + 2 + text.size() <= line_limit &&
           !holds_encoded_word(text);
}

// Text that the standard library writes as one encoded word fitting after
// "Name: " when the message is flattened.
bool fits_one_word(const char* name, py::handle value) {
    return std::char_traits<char>::length(name) + 2 + encoded_size(utf8(value).size()) <=
           line_limit;
}

void append_base64(std::string& out, std::string_view bytes) {
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const auto n = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16 |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6) out += alphabet[(n >> shift) & 0x3F];
    }
    if (i < bytes.size()) {
        const bool two = i + 1 < bytes.size();
        const auto n =
            static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16 |
            (two ? static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8 : 0u);
        out += alphabet[(n >> 18) & 0x3F];
        out += alphabet[(n >> 12) & 0x3F];
        out += two ? alphabet[(n >> 6) & 0x3F] : '=';
        out += '=';
    }
}

// The longest prefix of `text`, in whole characters, whose encoded word takes
// at most `width` characters.
std::size_t fitting(std::string_view text, std::size_t width) {
    std::size_t n = 0;
    while (n < text.size()) {
        const std::size_t next = n + char_size(static_cast<unsigned char>(text[n]));
        if (encoded_size(next) > width) break;
        n = next;
    }
    return n;
}

// How a piece of a header value joins the one before it.
enum class Gap {
    none,      // glued to it
    space,     // after a blank, where the line may fold
    optional,  // glued, but the line may fold here (the fold adds a blank)
};

// Builds a folded header value piece by piece: a piece that would pass the
// line limit goes to a new line, where the blank before it allows a fold.
// `reserve` columns are kept free at the end of every line for a glued
// separator (the comma after an address).
class Folder {
  public:
    explicit Folder(const char* header, std::size_t reserve = 0)
        : column_(std::char_traits<char>::length(header) + 2), limit_(line_limit - reserve) {}

    // A piece that is never split.
    void word(std::string_view text, Gap gap) {
        const bool blank = gap == Gap::space && !out_.empty();
        if (can_fold(gap) && !text.empty() && column_ + blank + text.size() > limit_) {
            fold();
        } else if (blank) {
            out_ += ' ';
            ++column_;
        }
        append(text);
    }

    // Text as RFC 2047 encoded words, split between characters to fit the
    // lines; `before` is glued to the first word and `after` to the last.
    void encoded(std::string_view text, Gap gap, std::string_view before = {},
                 std::string_view after = {}) {
        bool first = true;
        std::size_t pos = 0;
        while (first || pos < text.size()) {
            const std::string_view rest = text.substr(pos);
            const std::string_view prefix = first ? before : std::string_view{};
            const Gap g = first ? gap : Gap::space;
            bool last = false;
            const std::size_t r = room(g == Gap::space);
            std::size_t n =
                span(rest, r > prefix.size() ? r - prefix.size() : 0, after.size(), last);
            // Text that one word on a new line holds is not split.
            bool whole_on_new_line = false;
            span(rest, limit_ - 1 - prefix.size(), after.size(), whole_on_new_line);
            if (!last && (n == 0 || whole_on_new_line) && can_fold(g)) {
                fold();
                n = span(rest, limit_ - 1 - prefix.size(), after.size(), last);
            } else if (g == Gap::space && !out_.empty()) {
                out_ += ' ';
                ++column_;
            }
            if (n == 0 && !last) n = char_size(static_cast<unsigned char>(rest[0]));
            std::string word(prefix);
            word += word_open;
            append_base64(word, rest.substr(0, n));
            word += word_close;
            if (last) word += after;
            append(word);
            pos += n;
            first = false;
        }
    }

    py::str result() const { return py::str(out_.data(), out_.size()); }
    bool empty() const { return out_.empty(); }

  private:
    bool can_fold(Gap gap) const { return gap != Gap::none && !out_.empty() && column_ > 1; }
    void fold() {
        out_ += "\n ";
        column_ = 1;
    }
    void append(std::string_view text) {
        out_ += text;
        column_ += text.size();
    }
    // Characters left on the current line, after a blank when `blank`.
    std::size_t room(bool blank) const {
        const std::size_t used = column_ + (blank && !out_.empty());
        return used >= limit_ ? 0 : limit_ - used;
    }
    // Bytes of `rest` for the next encoded word in `width` characters: all of
    // them (`last`) when they fit with `suffix`, else as many as fit, leaving
    // at least one character for the last word.
    static std::size_t span(std::string_view rest, std::size_t width, std::size_t suffix,
                            bool& last) {
        const std::size_t whole = std::min(word_limit, width > suffix ? width - suffix : 0);
        if (encoded_size(rest.size()) <= whole) {
            last = true;
            return rest.size();
        }
        last = false;
        std::size_t n = fitting(rest, std::min(word_limit, width));
        if (n == rest.size()) {
            n = 0;
            for (std::size_t next = 0; next < rest.size() - 1;) {
                n = next;
                next += char_size(static_cast<unsigned char>(rest[next]));
            }
        }
        return n;
    }

    std::string out_;
    std::size_t column_;
    std::size_t limit_;
};

// The pieces of ASCII text split at its fold points: blanks that follow a
// non-blank, outside quoted strings, comments and angle brackets; and, in an
// address list, commas that no blank follows.
void ascii_words(Folder& f, std::string_view text, Gap gap, bool address_list) {
    std::size_t start = 0;
    bool quoted = false, escaped = false, angle = false;
    int comment = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (escaped) {
            escaped = false;
        } else if (address_list && c == '\\' && (quoted || comment > 0)) {
            escaped = true;
        } else if (address_list && quoted) {
            quoted = c != '"';
        } else if (address_list && c == '"') {
            quoted = true;
        } else if (address_list && c == '(') {
            ++comment;
        } else if (address_list && comment > 0) {
            comment -= c == ')';
        } else if (address_list && (c == '<' || c == '>')) {
            angle = c == '<';
        } else if (angle) {
        } else if (c == ' ' && i > start && text[i - 1] != ' ') {
            f.word(text.substr(start, i - start), gap);
            start = i + 1;
            gap = Gap::space;
        } else if (address_list && c == ',' && i + 1 < text.size() && text[i + 1] != ' ') {
            f.word(text.substr(start, i + 1 - start), gap);
            start = i + 1;
            gap = Gap::optional;
        }
    }
    f.word(text.substr(start), gap);
}

// Unstructured text: ASCII words folded at blanks when each word fits on a
// line, else the whole text as encoded words.
void unstructured(Folder& f, const char* name, py::handle value, Gap gap) {
    const std::string_view text = utf8(value);
    bool plain = is_ascii(value) && !holds_encoded_word(text);
    std::size_t room = line_limit - std::char_traits<char>::length(name) - 2;
    for (std::size_t start = 0; plain && start <= text.size();) {
        std::size_t end = text.find(' ', start + 1);
        if (end == std::string_view::npos) end = text.size();
        plain = end - start <= room;
        room = line_limit - 1;
        start = end + 1;
    }
    if (plain)
        ascii_words(f, text, gap, false);
    else
        f.encoded(text, gap);
}

py::object email_utils(const char* name) {
    return py::module_::import("email.utils").attr(name);
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

// A display name with its encoded words decoded, so that it can be split anew.
py::object decoded_name(const py::object& name) {
    if (!holds_encoded_word(utf8(name))) return name;
    py::module_ header = py::module_::import("email.header");
    PyObject* words = PyObject_CallOneArg(header.attr("decode_header").ptr(), name.ptr());
    if (words == nullptr) {  // not valid encoded words: the text as it is
        PyErr_Clear();
        return name;
    }
    return py::str(header.attr("make_header")(py::reinterpret_steal<py::object>(words)));
}

// An ASCII display name as formataddr() writes it: quoted when it holds specials.
std::string quoted_name(std::string_view name) {
    if (name.find_first_of("[]\\()<>@,:;\".") == std::string_view::npos) return std::string(name);
    std::string out = "\"";
    for (const char c : name) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

// How an address value was shaped.
enum class Shaped {
    as_text,   // ASCII, folded as it stands
    parsed,    // parsed and written anew: to be checked against the original
    unusable,  // not a list of addresses that can be written anew: encoded as text
};

Shaped shape_address(Folder& f, const py::str& value, Gap gap) {
    const std::string_view text = utf8(value);
    if (is_ascii(value) && !holds_encoded_word(text)) {
        ascii_words(f, text, gap, true);
        return Shaped::as_text;
    }
    py::object pairs = email_utils("getaddresses")(py::make_tuple(value));
    bool usable = py::len(pairs) > 0;
    for (py::handle pair : pairs) usable = usable && plain_address(pair[py::int_(1)]);
    if (!usable) {
        unstructured(f, "", value, gap);
        return Shaped::unusable;
    }
    bool first = true;
    for (py::handle pair : pairs) {
        if (!first) f.word(",", Gap::none);
        const Gap g = first ? gap : Gap::space;
        first = false;
        py::object name = decoded_name(pair[py::int_(0)]);
        const std::string address(utf8(pair[py::int_(1)]));
        if (PyUnicode_GET_LENGTH(name.ptr()) == 0) {
            f.word(address, g);
            continue;
        }
        if (is_ascii(name))
            ascii_words(f, quoted_name(utf8(name)), g, true);
        else
            f.encoded(utf8(name), g);
        f.word("<" + address + ">", Gap::space);
    }
    return Shaped::parsed;
}

// The folded address header, or, when its addresses no longer read as they
// did, the original text folded as unstructured text.
py::object checked_addresses(const char* name, Folder& f, bool parsed, const py::str& original) {
    py::str result = f.result();
    if (!parsed) return result;
    py::object getaddresses = email_utils("getaddresses");
    if (addresses_of(getaddresses(py::make_tuple(result)))
            .equal(addresses_of(getaddresses(py::make_tuple(original)))))
        return result;
    return text_header(name, original);
}

// RFC 2045 token characters.
bool is_token(std::string_view text) {
    constexpr std::string_view specials = "!#$%&'*+-.^_`{|}~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [&](char c) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return alnum || specials.find(c) != std::string_view::npos;
    });
}

// A parameter value as a quoted string.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
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
py::str encoded_disposition(std::string_view name) {
    const char* header = "Content-Disposition";
    std::string whole = "filename*=utf-8''";
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = char_size(static_cast<unsigned char>(name[i]));
        whole += percent_encoded(name.substr(i, n));
        i += n;
    }
    Folder f(header);
    f.word("attachment;", Gap::none);
    if (1 + whole.size() <= line_limit) {
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
        if (holds_text && 1 + line.size() + piece.size() + 1 > line_limit) {
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

}  // namespace

void check_header_value(py::handle value) {
    if (!PyUnicode_Check(value.ptr())) return;
    // Every character that str.splitlines() breaks at, CR and LF among them, and NUL.
    const int kind = PyUnicode_KIND(value.ptr());
    const void* data = PyUnicode_DATA(value.ptr());
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(value.ptr()); ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == 0 || Py_UNICODE_ISLINEBREAK(c))
            raise(PyExc_ValueError,
                  "Header values may not contain linefeed or carriage return characters");
    }
}

void check_recipient_header(py::handle value) {
    if (PyList_Check(value.ptr()))
        for_each_item(value, [](py::handle item) { check_header_value(item); });
    else
        check_header_value(value);
}

py::object text_header(const char* name, py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || fits_as_is(name, value)) return borrow(value);
    if (!is_ascii(value) && fits_one_word(name, value)) return borrow(value);
    Folder f(name);
    unstructured(f, name, value, Gap::none);
    return f.result();
}

py::object address_header(const char* name, py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || fits_as_is(name, value)) return borrow(value);
    const auto text = py::reinterpret_borrow<py::str>(value);
    Folder f(name, 1);
    const Shaped shaped = shape_address(f, text, Gap::none);
    if (shaped == Shaped::unusable) return text_header(name, value);
    return checked_addresses(name, f, shaped == Shaped::parsed, text);
}

py::object recipient_header(const char* name, py::handle value) {
    if (!PyList_Check(value.ptr())) return address_header(name, value);
    // str.join's own TypeError for an item that is not text.
    py::str joined = py::str(", ").attr("join")(value);
    if (fits_as_is(name, joined)) return std::move(joined);
    Folder f(name, 1);
    bool parsed = false;
    Py_ssize_t index = 0;
    for_each_item(value, [&](py::handle item) {
        if (!PyUnicode_Check(item.ptr()))
            raise_format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                         index, Py_TYPE(item.ptr())->tp_name);
        if (index++ > 0) f.word(",", Gap::none);
        parsed |= shape_address(f, py::reinterpret_borrow<py::str>(item),
                                f.empty() ? Gap::none : Gap::space) != Shaped::as_text;
    });
    return checked_addresses(name, f, parsed, joined);
}

void add_attachment_name(py::handle part, const py::str& name) {
    check_header_value(name);
    const std::string_view text = utf8(name);
    const bool plain = is_ascii(name) && !holds_encoded_word(text);
    if (plain) {
        const std::string value = is_token(text) ? std::string(text) : quoted(text);
        const std::size_t first_line = std::char_traits<char>::length("Content-Disposition: ") +
                                       std::char_traits<char>::length("attachment; filename=");
        if (first_line + value.size() <= line_limit) {
            part.attr("add_header")("Content-Disposition", "attachment; filename=" + value);
            return;
        }
        if (1 + std::char_traits<char>::length("filename=") + value.size() <= line_limit) {
            part.attr("add_header")("Content-Disposition", "attachment;\n filename=" + value);
            return;
        }
    }
    // Readers that know only RFC 2047 take the name from the Content-Type.
    py::str content_type = part.attr("get")("Content-Type");
    Folder type("Content-Type");
    type.word(std::string(utf8(content_type)) + ";", Gap::none);
    type.encoded(text, Gap::space, "name=\"", "\"");
    part.attr("replace_header")("Content-Type", type.result());
    part.attr("add_header")("Content-Disposition", encoded_disposition(text));
}

}  // namespace mailer
