// The TPTP lexer: words, quoted names, numbers, connectives and punctuation;
// line comments (%) and block comments (/* */) are skipped like whitespace.
#include "tptp/lexer.hpp"

namespace kv::tptp {

static inline bool is_alnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
static inline bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

void Lexer::skip_space() {
    while (pos_ < n_) {
        unsigned char c = static_cast<unsigned char>(s_[pos_]);
        if (c == '\n') {
            ++pos_;
            ++line_;
            line_start_ = pos_;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            ++pos_;
        } else if (c == '%') {
            while (pos_ < n_ && s_[pos_] != '\n') ++pos_;
        } else if (c == '/' && pos_ + 1 < n_ && s_[pos_ + 1] == '*') {
            size_t p = pos_ + 2;
            uint32_t line = line_;
            size_t line_start = line_start_;
            bool closed = false;
            while (p < n_) {
                if (s_[p] == '*' && p + 1 < n_ && s_[p + 1] == '/') {
                    closed = true;
                    p += 2;
                    break;
                }
                if (s_[p] == '\n') {
                    ++line;
                    line_start = p + 1;
                }
                ++p;
            }
            if (!closed) return;  // next() reports the unterminated comment
            pos_ = p;
            line_ = line;
            line_start_ = line_start;
        } else {
            return;
        }
    }
}

Token Lexer::next() {
    skip_space();
    ++count_;
    Token t;
    t.line = line_;
    t.line_start = line_start_;
    t.start = pos_;
    if (pos_ >= n_) {
        t.kind = T_EOF;
        t.end = pos_;
        return t;
    }
    unsigned char c = static_cast<unsigned char>(s_[pos_]);
    size_t p = pos_ + 1;
    auto two = [&](char d) { return p < n_ && s_[p] == d; };
    if (c >= 'a' && c <= 'z') {
        while (p < n_ && is_alnum(static_cast<unsigned char>(s_[p]))) ++p;
        t.kind = T_LOWER;
    } else if (c >= 'A' && c <= 'Z') {
        while (p < n_ && is_alnum(static_cast<unsigned char>(s_[p]))) ++p;
        t.kind = T_UPPER;
    } else if (c == '$') {
        if (p < n_ && s_[p] == '$') ++p;
        if (p < n_ && s_[p] >= 'a' && s_[p] <= 'z') {
            while (p < n_ && is_alnum(static_cast<unsigned char>(s_[p]))) ++p;
            t.kind = T_DOLLAR;
        } else {
            t.kind = T_OTHER;
        }
    } else if (c == '\'' || c == '"') {
        // Quoted names may span no newline; a backslash escapes the next character.
        bool closed = false;
        while (p < n_) {
            char d = s_[p];
            if (d == '\\' && p + 1 < n_) {
                p += 2;
                continue;
            }
            if (d == '\n') break;
            ++p;
            if (d == static_cast<char>(c)) {
                closed = true;
                break;
            }
        }
        t.kind = !closed ? T_BAD : (c == '\'' ? (p - pos_ > 2 ? T_SQUOTE : T_BAD) : T_DQUOTE);
    } else if (is_digit(c) || ((c == '+' || c == '-') && p < n_ && is_digit(static_cast<unsigned char>(s_[p])))) {
        while (p < n_ && is_digit(static_cast<unsigned char>(s_[p]))) ++p;
        if (p + 1 < n_ && s_[p] == '/' && is_digit(static_cast<unsigned char>(s_[p + 1]))) {
            p += 1;
            while (p < n_ && is_digit(static_cast<unsigned char>(s_[p]))) ++p;
        } else {
            if (p + 1 < n_ && s_[p] == '.' && is_digit(static_cast<unsigned char>(s_[p + 1]))) {
                p += 1;
                while (p < n_ && is_digit(static_cast<unsigned char>(s_[p]))) ++p;
            }
            if (p < n_ && (s_[p] == 'e' || s_[p] == 'E')) {
                size_t q = p + 1;
                if (q < n_ && (s_[q] == '+' || s_[q] == '-')) ++q;
                if (q < n_ && is_digit(static_cast<unsigned char>(s_[q]))) {
                    p = q;
                    while (p < n_ && is_digit(static_cast<unsigned char>(s_[p]))) ++p;
                }
            }
        }
        t.kind = T_NUMBER;
    } else {
        switch (c) {
            case '(': t.kind = T_LPAR; break;
            case ')': t.kind = T_RPAR; break;
            case '[': t.kind = T_LBRK; break;
            case ']': t.kind = T_RBRK; break;
            case ',': t.kind = T_COMMA; break;
            case '.': t.kind = T_DOT; break;
            case ':': t.kind = T_COLON; break;
            case '|': t.kind = T_OR; break;
            case '&': t.kind = T_AND; break;
            case '?': t.kind = T_EXISTS; break;
            case '~':
                if (two('|')) ++p, t.kind = T_NOR;
                else if (two('&')) ++p, t.kind = T_NAND;
                else t.kind = T_TILDE;
                break;
            case '!':
                if (two('=')) ++p, t.kind = T_NEQ;
                else t.kind = T_FORALL;
                break;
            case '=':
                if (two('>')) ++p, t.kind = T_IMPL;
                else t.kind = T_EQ;
                break;
            case '<':
                if (two('=') && p + 1 < n_ && s_[p + 1] == '>') p += 2, t.kind = T_IFF;
                else if (two('=')) ++p, t.kind = T_RIMPL;
                else if (two('~') && p + 1 < n_ && s_[p + 1] == '>') p += 2, t.kind = T_XOR;
                else t.kind = T_OTHER;
                break;
            case '/':
                t.kind = (p < n_ && s_[p] == '*') ? T_BAD : T_OTHER;
                if (t.kind == T_BAD) p = n_;
                break;
            default:
                // One whole UTF-8 character.
                while (p < n_ && (static_cast<unsigned char>(s_[p]) & 0xC0) == 0x80) ++p;
                t.kind = T_OTHER;
        }
    }
    t.end = p;
    pos_ = p;
    return t;
}

uint32_t Lexer::column_at(size_t line_start, size_t offset) const {
    // Counting resumes from the previous answer when it lies on the same line
    // (forwards or backwards, whichever is shorter than from the line's start),
    // so a long line with many symbols and statements is not counted again for
    // each of them.
    auto starts = [this](size_t from, size_t to) {
        uint32_t n = 0;
        for (size_t i = from; i < to; ++i)
            if ((static_cast<unsigned char>(s_[i]) & 0xC0) != 0x80) ++n;
        return n;
    };
    if (offset > n_) offset = n_;
    if (offset <= line_start) return 1;
    uint32_t col;
    if (col_line_ == line_start && col_offset_ <= offset)
        col = col_ + starts(col_offset_, offset);
    else if (col_line_ == line_start && col_offset_ - offset < offset - line_start)
        col = col_ - starts(offset, col_offset_);
    else
        col = 1 + starts(line_start, offset);
    col_line_ = line_start;
    col_offset_ = offset;
    col_ = col;
    return col;
}

Token Lexer::end_token() const {
    Token t;
    t.kind = T_EOF;
    t.start = t.end = n_;
    uint32_t line = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < n_; ++i)
        if (s_[i] == '\n') ++line, line_start = i + 1;
    t.line = line;
    t.line_start = line_start;
    return t;
}

std::string unquote(std::string_view q) {
    std::string out;
    if (q.size() < 2) return std::string(q);
    out.reserve(q.size() - 2);
    for (size_t i = 1; i + 1 < q.size(); ++i) {
        if (q[i] == '\\' && i + 2 < q.size()) ++i;
        out.push_back(q[i]);
    }
    return out;
}

}  // namespace kv::tptp
