#include "mailer/headers.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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

// False for text that UTF-8 cannot encode (lone surrogates): such a value is
// left to the standard library, as it always was.
bool encodable(py::handle text) {
    if (PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) != nullptr) return true;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_current();
    PyErr_Clear();
    return false;
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
    bool folded() const { return out_.find('\n') != std::string::npos; }

    // A place in the value, to read or undo what was written after it.
    struct Mark {
        std::size_t size, column;
    };
    Mark mark() const { return {out_.size(), column_}; }
    py::str since(Mark m) const { return py::str(out_.data() + m.size, out_.size() - m.size); }
    void rollback(Mark m) {
        out_.resize(m.size);
        column_ = m.column;
    }

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
        if (n == rest.size()) {  // back to where the last character starts
            do --n;
            while (n > 0 && (static_cast<unsigned char>(rest[n]) & 0xC0) == 0x80);
        }
        return n;
    }

    std::string out_;
    std::size_t column_;
    std::size_t limit_;
};

// A piece of ASCII text and how it joins the one before it.
struct Piece {
    std::string_view text;
    Gap gap;
};

// ASCII text split at its fold points: blanks that follow a non-blank and, in
// an address list, commas that no blank follows.  In an address list the
// blanks inside quoted strings, comments and angle brackets are kept in their
// piece, unless that piece is too long for a line of its own.
std::vector<Piece> ascii_pieces(std::string_view text, Gap gap, bool address_list) {
    std::vector<Piece> pieces;
    std::size_t start = 0;
    bool quoted = false, escaped = false, angle = false;
    int comment = 0;
    auto cut = [&](std::size_t end, std::size_t next, Gap next_gap) {
        const std::string_view piece = text.substr(start, end - start);
        if (address_list && piece.size() >= line_limit) {
            for (const Piece& inner : ascii_pieces(piece, gap, false)) pieces.push_back(inner);
        } else {
            pieces.push_back({piece, gap});
        }
        start = next;
        gap = next_gap;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!address_list) {
        } else if (escaped) {
            escaped = false;
            continue;
        } else if (c == '\\' && (quoted || comment > 0)) {
            escaped = true;
            continue;
        } else if (quoted) {
            quoted = c != '"';
            continue;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            ++comment;
        } else if (comment > 0) {
            comment -= c == ')';
            continue;
        } else if (c == '<' || c == '>') {
            angle = c == '<';
        }
        if (angle) continue;
        if (c == ' ' && i > start && text[i - 1] != ' ')
            cut(i, i + 1, Gap::space);
        else if (address_list && c == ',' && i + 1 < text.size() && text[i + 1] != ' ')
            cut(i + 1, i + 1, Gap::optional);
    }
    cut(text.size(), text.size(), gap);
    return pieces;
}

void place(Folder& f, const std::vector<Piece>& pieces) {
    for (const Piece& piece : pieces) f.word(piece.text, piece.gap);
}

// Unstructured text: ASCII folded at its blanks when every piece fits on a
// line, else the whole text as encoded words.
void unstructured(Folder& f, std::size_t first_room, std::string_view text, bool ascii, Gap gap) {
    if (ascii && !holds_encoded_word(text)) {
        std::vector<Piece> pieces = ascii_pieces(text, gap, false);
        std::size_t room = first_room;
        bool fits = true;
        for (const Piece& piece : pieces) {
            fits = fits && piece.text.size() <= room;
            room = line_limit - 1;
        }
        if (fits) {
            const Folder::Mark start = f.mark();
            place(f, pieces);
            // The standard library drops the single blank that ends a folded
            // value when it flattens it: the last word then travels with its
            // blank as an encoded word.
            if (pieces.size() < 2 || !pieces.back().text.empty() || !f.folded()) return;
            f.rollback(start);
            pieces.pop_back();
            const Piece last = pieces.back();
            pieces.pop_back();
            place(f, pieces);
            return f.encoded(std::string(last.text) + ' ', last.gap);
        }
    }
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

// A display name with its encoded words decoded, so that it can be split
// anew; one that does not decode (an unknown charset, bad base64) as it is.
// Encoded words are read only in ASCII text: beside other text they are taken
// as written (decode_header() would turn that text into escape sequences).
py::object decoded_name(const py::object& name) {
    if (!is_ascii(name) || !holds_encoded_word(utf8(name))) return name;
    try {
        py::module_ header = py::module_::import("email.header");
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

// One address value: ASCII as it stands; otherwise parsed, with each display
// name encoded, and kept only when it reads back as the same addresses.
Shaped shape_address(Folder& f, const py::str& value, Gap gap) {
    const std::string_view text = utf8(value);
    if (is_ascii(value) && !holds_encoded_word(text)) {
        place(f, ascii_pieces(text, gap, true));
        return Shaped::as_text;
    }
    py::object getaddresses = email_utils("getaddresses");
    py::list pairs;  // what getaddresses() read, less the empty entries of stray commas
    for (py::handle pair : getaddresses(py::make_tuple(value)))
        if (truth(pair[py::int_(0)]) || truth(pair[py::int_(1)])) pairs.append(pair);
    bool usable = !pairs.empty();
    for (py::handle pair : pairs) usable = usable && plain_address(pair[py::int_(1)]);

    const Folder::Mark mark = f.mark();
    if (usable) {
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
                place(f, ascii_pieces(quoted_name(utf8(name)), g, true));
            else
                encoded_name(f, utf8(name), g);
            f.word("<" + address + ">", Gap::space);
        }
        if (addresses_of(getaddresses(py::make_tuple(f.since(mark)))).equal(addresses_of(pairs)))
            return Shaped::parsed;
        f.rollback(mark);
    }
    unstructured(f, line_limit - 1, text, false, gap);
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
    if (!PyUnicode_Check(value.ptr()) || !encodable(value) || fits_as_is(name, value) ||
        (!is_ascii(value) && fits_one_word(name, value)))
        return borrow(value);
    Folder f(name);
    unstructured(f, line_limit - std::char_traits<char>::length(name) - 2, utf8(value),
                 is_ascii(value), Gap::none);
    return f.result();
}

py::object address_header(const char* name, py::handle value) {
    if (!PyUnicode_Check(value.ptr()) || !encodable(value) || fits_as_is(name, value))
        return borrow(value);
    Folder f(name, 1);
    if (shape_address(f, py::reinterpret_borrow<py::str>(value), Gap::none) == Shaped::unusable)
        return text_header(name, value);
    return f.result();
}

py::object recipient_header(const char* name, py::handle value) {
    if (!PyList_Check(value.ptr())) return address_header(name, value);
    // str.join's own TypeError for an item that is not text.
    // The list may have changed since it was checked (another thread): what
    // is written is checked again.
    py::str joined = py::str(", ").attr("join")(value);
    check_header_value(joined);
    if (!encodable(joined) || fits_as_is(name, joined)) return joined;
    Folder f(name, 1);
    Py_ssize_t index = 0;
    for_each_item(value, [&](py::handle item) {
        // (the list was text when joined; an item changed since then is left out)
        if (!PyUnicode_Check(item.ptr()) || !encodable(item)) return;
        check_header_value(item);
        if (index++ > 0) f.word(",", Gap::none);
        shape_address(f, py::reinterpret_borrow<py::str>(item), f.empty() ? Gap::none : Gap::space);
    });
    return f.result();
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
