// The folding engine: header text cut into pieces at its fold points, written
// as RFC 2047 encoded words where it must be, and filled into lines of at
// most 78 characters.  Which header gets which treatment is decided by the
// header policy (headers.cpp); nothing here knows a header by name.
#pragma once

#include "pyglue/objects.hpp"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace mailer {

namespace py = pybind11;

constexpr std::size_t line_limit = 78;  // RFC 5322: at most 78 characters a line
constexpr std::size_t word_limit = 75;  // RFC 2047: at most 75 characters an encoded word
// The ": " between a header's name and its value, on the first line.
constexpr std::size_t name_separator = 2;
// The blank that begins every continuation line of a folded value.
constexpr std::size_t fold_indent = 1;

// The column where the value of header `name` begins.
std::size_t value_column(const char* name);

bool is_ascii(py::handle text);
// The UTF-8 text of a str, owned by the str.
std::string_view utf8(py::handle text);
// False for text that UTF-8 cannot encode (lone surrogates).
bool encodable(py::handle text);
bool holds_encoded_word(std::string_view text);
// The size of the UTF-8 character that begins with `lead`.
std::size_t char_size(unsigned char lead);
// The length of the encoded word of `bytes` bytes.
std::size_t encoded_size(std::size_t bytes);

// How a piece of a header value joins the one before it.
enum class Gap {
    none,      // glued to it
    space,     // after a blank, where the line may fold
    optional,  // glued, but the line may fold here (the fold adds a blank)
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
std::vector<Piece> ascii_pieces(std::string_view text, Gap gap, bool address_list);

// Builds a folded header value piece by piece: a piece that would pass the
// line limit goes to a new line, where the blank before it allows a fold.
// `reserve` columns are kept free at the end of every line for a glued
// separator (the comma after an address).
class Folder {
  public:
    explicit Folder(const char* header, std::size_t reserve = 0);

    // A piece that is never split.
    void word(std::string_view text, Gap gap);
    void place(const std::vector<Piece>& pieces);
    // Text as RFC 2047 encoded words, split between characters to fit the
    // lines; `before` is glued to the first word and `after` to the last.
    void encoded(std::string_view text, Gap gap, std::string_view before = {},
                 std::string_view after = {});
    // Unstructured text: ASCII folded at its blanks when every piece fits on
    // a line (the first in `first_room` columns), else the whole text as
    // encoded words.
    void unstructured(std::size_t first_room, std::string_view text, bool ascii, Gap gap);

    // The columns that a piece has on the current line.
    std::size_t column() const { return column_; }
    std::size_t limit() const { return limit_; }

    py::str result() const { return {out_.data(), out_.size()}; }
    bool empty() const { return out_.empty(); }
    bool folded() const { return out_.find('\n') != std::string::npos; }

    // A place in the value, to read or undo what was written after it.
    struct Mark {
        std::size_t size, column;
    };
    Mark mark() const { return {out_.size(), column_}; }
    py::str since(Mark m) const { return {out_.data() + m.size, out_.size() - m.size}; }
    void rollback(Mark m) {
        out_.resize(m.size);
        column_ = m.column;
    }
    // True when a line written since `m` is longer than the line limit: a
    // piece without a fold point that no line holds.
    bool overflows(Mark m) const;

  private:
    bool can_fold(Gap gap) const;
    void fold();
    void append(std::string_view text);
    std::size_t room(bool blank) const;
    static std::size_t span(std::string_view rest, std::size_t width, std::size_t suffix,
                            bool& last);

    std::string out_;
    std::size_t column_;
    std::size_t limit_;
};

}  // namespace mailer
