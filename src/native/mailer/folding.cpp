#include "mailer/folding.hpp"

#include <algorithm>

namespace mailer {

using pyglue::throw_current;

namespace {

constexpr std::string_view word_open = "=?utf-8?b?";
constexpr std::string_view word_close = "?=";

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

}  // namespace

std::size_t value_column(const char* name) {
    return std::char_traits<char>::length(name) + name_separator;
}

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

Folder::Folder(const char* header, std::size_t reserve)
    : column_(value_column(header)), limit_(line_limit - reserve) {}

void Folder::word(std::string_view text, Gap gap) {
    const bool blank = gap == Gap::space && !out_.empty();
    if (can_fold(gap) && !text.empty() && column_ + blank + text.size() > limit_) {
        fold();
    } else if (blank) {
        out_ += ' ';
        ++column_;
    }
    append(text);
}

void Folder::place(const std::vector<Piece>& pieces) {
    for (const Piece& piece : pieces) word(piece.text, piece.gap);
}

void Folder::encoded(std::string_view text, Gap gap, std::string_view before,
                     std::string_view after) {
    bool first = true;
    std::size_t pos = 0;
    while (first || pos < text.size()) {
        const std::string_view rest = text.substr(pos);
        const std::string_view prefix = first ? before : std::string_view{};
        const Gap g = first ? gap : Gap::space;
        bool last = false;
        const std::size_t r = room(g == Gap::space);
        std::size_t n = span(rest, r > prefix.size() ? r - prefix.size() : 0, after.size(), last);
        // Text that one word on a new line holds is not split.
        bool whole_on_new_line = false;
        span(rest, limit_ - fold_indent - prefix.size(), after.size(), whole_on_new_line);
        if (!last && (n == 0 || whole_on_new_line) && can_fold(g)) {
            fold();
            n = span(rest, limit_ - fold_indent - prefix.size(), after.size(), last);
        } else if (g == Gap::space && !out_.empty()) {
            out_ += ' ';
            ++column_;
        }
        if (n == 0 && !last) n = char_size(static_cast<unsigned char>(rest[0]));
        std::string piece(prefix);
        piece += word_open;
        append_base64(piece, rest.substr(0, n));
        piece += word_close;
        if (last) piece += after;
        append(piece);
        pos += n;
        first = false;
    }
}

bool Folder::can_fold(Gap gap) const {
    return gap != Gap::none && !out_.empty() && column_ > fold_indent;
}

void Folder::fold() {
    out_ += "\n ";
    column_ = fold_indent;
}

void Folder::append(std::string_view text) {
    out_ += text;
    column_ += text.size();
}

bool Folder::overflows(Mark m) const {
    std::size_t column = m.column;
    for (std::size_t i = m.size; i < out_.size(); ++i) {
        column = out_[i] == '\n' ? 0 : column + 1;
        if (column > line_limit) return true;
    }
    return false;
}

// Characters left on the current line, after a blank when `blank`.
std::size_t Folder::room(bool blank) const {
    const std::size_t used = column_ + (blank && !out_.empty());
    return used >= limit_ ? 0 : limit_ - used;
}

// Bytes of `rest` for the next encoded word in `width` characters: all of
// them (`last`) when they fit with `suffix`, else as many as fit, leaving
// at least one character for the last word.
std::size_t Folder::span(std::string_view rest, std::size_t width, std::size_t suffix, bool& last) {
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

// Unstructured text: ASCII folded at its blanks when every piece fits on a
// line, else the whole text as encoded words.
void Folder::unstructured(std::size_t first_room, std::string_view text, bool ascii, Gap gap) {
    if (ascii && !holds_encoded_word(text)) {
        std::vector<Piece> pieces = ascii_pieces(text, gap, false);
        std::size_t room = first_room;
        bool fits = true;
        for (const Piece& piece : pieces) {
            fits = fits && piece.text.size() <= room;
            room = line_limit - fold_indent;
        }
        if (fits) {
            const Mark start = mark();
            place(pieces);
            // The standard library drops the single blank that ends a folded
            // value when it flattens it: the last word then travels with its
            // blank as an encoded word.
            if (pieces.size() < 2 || !pieces.back().text.empty() || !folded()) return;
            rollback(start);
            pieces.pop_back();
            const Piece last = pieces.back();
            pieces.pop_back();
            place(pieces);
            return encoded(std::string(last.text) + ' ', last.gap);
        }
    }
    encoded(text, gap);
}

}  // namespace mailer
