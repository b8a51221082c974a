// Tokens of the TPTP problem language and the lexer that cuts a UTF-8 buffer
// into them.  Comments and whitespace are skipped; the lexer tracks the line
// and the offset where it starts, so every token knows its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kv::tptp {

enum Tok : uint8_t {
    T_EOF,
    T_LOWER,   // lower-case word
    T_UPPER,   // upper-case word (a variable)
    T_DOLLAR,  // $word or $$word
    T_SQUOTE,  // 'single quoted'
    T_DQUOTE,  // "distinct object"
    T_NUMBER,  // integer, rational or real, signed or not
    T_LPAR,
    T_RPAR,
    T_LBRK,
    T_RBRK,
    T_COMMA,
    T_DOT,
    T_COLON,
    T_TILDE,   // ~
    T_OR,      // |
    T_AND,     // &
    T_FORALL,  // !
    T_EXISTS,  // ?
    T_EQ,      // =
    T_NEQ,     // !=
    T_IMPL,    // =>
    T_RIMPL,   // <=
    T_IFF,     // <=>
    T_XOR,     // <~>
    T_NOR,     // ~|
    T_NAND,    // ~&
    T_OTHER,   // any other character (typed and higher-order syntax)
    T_BAD,     // an unterminated quote or comment
};

struct Token {
    Tok kind = T_EOF;
    uint32_t line = 1;
    size_t start = 0;       // byte offset of the first character
    size_t end = 0;         // byte offset past the last character
    size_t line_start = 0;  // byte offset where the token's line starts
};

class Lexer {
public:
    Lexer(const char* text, size_t size) : s_(text), n_(size) {}

    // The next token (T_EOF at the end; T_BAD for an unterminated quote or comment).
    Token next();
    std::string_view text(const Token& t) const { return std::string_view(s_ + t.start, t.end - t.start); }
    // 1-based column of the token, counted in characters.
    uint32_t column(const Token& t) const { return column_at(t.line_start, t.start); }
    uint32_t column_at(size_t line_start, size_t offset) const;
    // Where the input ends (for "unexpected end of input").
    Token end_token() const;
    size_t tokens() const { return count_; }

private:
    void skip_space();
    const char* s_;
    size_t n_;
    size_t pos_ = 0;
    uint32_t line_ = 1;
    size_t line_start_ = 0;
    size_t count_ = 0;
    // The last column answered (see column_at).
    mutable size_t col_line_ = SIZE_MAX;
    mutable size_t col_offset_ = 0;
    mutable uint32_t col_ = 1;
};

// The name a quoted token stands for: quotes removed and \\ and \' (or \")
// unescaped.
std::string unquote(std::string_view quoted);

}  // namespace kv::tptp
