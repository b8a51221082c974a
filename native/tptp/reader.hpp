// The state of one problem being read (symbols seen so far, the budget
// callback) and the parser that turns one file's text into statements.
//
// A Reader lives for one problem: every file of the problem (the problem and
// its includes) goes through the same Reader, so symbol arities are checked
// across files and each symbol's name string and constant node are made once.
#pragma once

#include "common/nodes.hpp"
#include "tptp/lexer.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv::tptp {

// SZS status of a read failure.
enum class Status : uint8_t { SyntaxError, InputError, Inappropriate };

// Thrown by the parser; the module turns it into a ReadError.
struct ReadFailure {
    Status status;
    std::string message;
    uint32_t line;
    uint32_t column;
};

enum SymKind : uint8_t { SK_PREDICATE, SK_FUNCTION, SK_DISTINCT, SK_NUMBER };

struct Symbol {
    Ref name;      // the symbol's name as a str (made once per problem)
    int arity;     // arity of the first use
    SymKind kind;  // how it was first used
    std::string where;  // file:line:col of the first use
    Ref arity_obj;      // the arity as an int
    Ref constant;       // the Constant node, for arity-0 function symbols
};

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct ReaderData {
    std::unordered_map<std::string, Symbol, StringHash, std::equal_to<>> symbols;
    std::vector<PyObject*> specials;  // names of distinct objects and numbers (borrowed from symbols)
    Ref check;                        // budget callback, or empty
    size_t since_check = 0;           // tokens read since the callback last ran
};

// How often (in tokens) the budget callback runs.
constexpr size_t kCheckEvery = 1 << 14;

// Parses `text` (the contents of `file`) into a new list of statement tuples:
//   (language, name, role, formula, line, column, names)  for fof and cnf,
//   ("include", target, selection or None, line, column)   for includes.
// `formula` is a node, True or False ($true/$false after propagation).
PyObject* parse_text(const AstApi& api, ReaderData& data, const char* text, size_t size, const std::string& file);

}  // namespace kv::tptp
