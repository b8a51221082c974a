// The parser of fof and cnf statements.  Formulas and terms are parsed with
// explicit stacks (no C recursion), so width and nesting depth are bounded
// only by memory.  Nodes are built bottom-up as their last token is read,
// with $true and $false propagated away on the spot.
#include "tptp/reader.hpp"

#include <cstring>

namespace kv::tptp {
namespace {

// A formula under construction: a node, or one of the two truth constants.
enum Truth : uint8_t { TV_NODE, TV_TRUE, TV_FALSE };
struct Val {
    Ref node;
    Truth tv = TV_NODE;
};
Val truth(bool value) {
    Val v;
    v.tv = value ? TV_TRUE : TV_FALSE;
    return v;
}

// Connectives of binary formulas, as read.
enum Op : uint8_t { OP_NONE, OP_OR, OP_AND, OP_IMPL, OP_RIMPL, OP_IFF, OP_XOR, OP_NOR, OP_NAND };

Op op_of(Tok t) {
    switch (t) {
        case T_OR: return OP_OR;
        case T_AND: return OP_AND;
        case T_IMPL: return OP_IMPL;
        case T_RIMPL: return OP_RIMPL;
        case T_IFF: return OP_IFF;
        case T_XOR: return OP_XOR;
        case T_NOR: return OP_NOR;
        case T_NAND: return OP_NAND;
        default: return OP_NONE;
    }
}

enum FrameKind : uint8_t { FR_LOGIC, FR_PAREN, FR_NOT, FR_QUANT };
struct Frame {
    explicit Frame(FrameKind k) : kind(k) {}
    FrameKind kind;
    Op op = OP_NONE;       // FR_LOGIC: the connective read after the first operand
    bool has_left = false;  // FR_LOGIC: the first operand (or the chain so far) is in `left`
    int quant = 0;          // FR_QUANT: K_FORALL or K_EXISTS
    size_t var_base = 0;    // FR_QUANT: first of its variables in Parser::bound_
    Val left;
};

struct TermFrame {
    Token functor;
    std::vector<Ref> args;
};

bool is_arithmetic(std::string_view w) {
    static const char* const words[] = {
        "$less", "$lesseq", "$greater", "$greatereq", "$uminus", "$sum", "$difference", "$product",
        "$quotient", "$quotient_e", "$quotient_t", "$quotient_f", "$remainder_e", "$remainder_t",
        "$remainder_f", "$floor", "$ceiling", "$truncate", "$round", "$is_int", "$is_rat", "$to_int",
        "$to_rat", "$to_real", "$int", "$rat", "$real", "$ite", "$let"};
    for (const char* w2 : words)
        if (w == w2) return true;
    return false;
}

bool is_role(std::string_view r) {
    static const char* const roles[] = {"axiom", "hypothesis", "definition", "assumption", "lemma", "theorem",
                                        "corollary", "conjecture", "negated_conjecture", "plain", "unknown"};
    for (const char* r2 : roles)
        if (r == r2) return true;
    return false;
}

class Parser {
public:
    Parser(const AstApi& api, ReaderData& data, const char* text, size_t size, const std::string& file)
        : api_(api), data_(data), lx_(text, size), file_(file) {}

    PyObject* run();

private:
    // ---- tokens and errors ----
    void advance() {
        tok_ = lx_.next();
        if (data_.check && ++data_.since_check >= kCheckEvery) {
            data_.since_check = 0;
            Ref r = Ref::check(PyObject_CallNoArgs(data_.check.get()));
        }
    }
    std::string_view text(const Token& t) const { return lx_.text(t); }
    [[noreturn]] void fail(Status s, const Token& t, std::string message) {
        Token where = t.kind == T_EOF ? lx_.end_token() : t;
        throw ReadFailure{s, std::move(message), where.line, lx_.column(where)};
    }
    std::string found(const Token& t) const {
        if (t.kind == T_EOF) return "end of input";
        if (t.kind == T_BAD) {
            std::string_view s = text(t);
            return !s.empty() && s[0] == '/' ? "an unterminated comment" : "an unterminated or empty quoted name";
        }
        std::string_view s = text(t);
        if (s.size() > 40) return "'" + std::string(s.substr(0, 37)) + "...'";
        return "'" + std::string(s) + "'";
    }
    [[noreturn]] void syntax(const Token& t, const char* expected) {
        fail(Status::SyntaxError, t, "syntax error: unexpected " + found(t) + ", expected " + expected);
    }
    void expect(Tok k, const char* expected) {
        if (tok_.kind != k) syntax(tok_, expected);
        advance();
    }
    // Reads one or more items separated by commas; `item` reads one and advances past it.
    template <class F>
    void comma_list(F&& item) {
        for (;;) {
            item();
            if (tok_.kind != T_COMMA) return;
            advance();
        }
    }
    std::string place(const Token& t) const {
        return file_ + ":" + std::to_string(t.line) + ":" + std::to_string(lx_.column(t));
    }

    // ---- statements ----
    void statement(PyObject* out, bool cnf);
    void include(PyObject* out);
    void skip_general_terms();
    Ref name_of(const Token& t);

    // ---- formulas and terms ----
    Val formula();
    Val atom();
    Ref term_or_top(bool top, Token& functor, std::vector<Ref>& args);
    Ref term() {
        Token f;
        std::vector<Ref> a;
        return term_or_top(false, f, a);
    }
    Ref application(const Token& functor, std::vector<Ref>& args, bool predicate);
    Symbol& symbol(const Token& t, SymKind kind, int arity);
    Ref variable_occurrence(const Token& t);
    Val mk_not(Val v, const Token& at);
    Val mk_binary(Op op, Val l, Val r);
    Val mk_quant(int k, PyObject* var, Val body);
    Ref binary_node(int k, PyObject* l, PyObject* r) {
        return Ref::check(make_binary(api_, k, nullptr, l, r));
    }
    [[noreturn]] void not_a_clause() {
        fail(Status::SyntaxError, stmt_start_,
             "cnf formula '" + stmt_name_ + "' is not a disjunction of literals");
    }

    const AstApi& api_;
    ReaderData& data_;
    Lexer lx_;
    std::string file_;
    Token tok_;
    // Per statement.
    Token stmt_start_;
    std::string stmt_name_;
    bool cnf_ = false;
    bool has_free_fof_ = false;  // a fof formula uses a variable free (first one in free_fof_)
    Token free_fof_;
    std::vector<std::pair<std::string, Ref>> bound_;  // variables in scope, innermost last
    std::unordered_map<std::string, std::vector<PyObject*>, StringHash, std::equal_to<>> scope_;
    std::vector<Ref> free_;                            // cnf: variables used free, in id order
    std::vector<std::string> names_;                   // input name of each variable id
};

PyObject* Parser::run() {
    Ref out = Ref::check(PyList_New(0));
    advance();
    while (tok_.kind != T_EOF) {
        if (tok_.kind == T_LOWER) {
            std::string_view w = text(tok_);
            if (w == "fof" || w == "cnf") {
                statement(out.get(), w == "cnf");
                continue;
            }
            if (w == "include") {
                include(out.get());
                continue;
            }
            if (w == "tff" || w == "thf" || w == "tcf" || w == "tpi")
                fail(Status::Inappropriate, tok_,
                     "language '" + std::string(w) + "' is not supported (only fof and cnf)");
        }
        syntax(tok_, "'fof', 'cnf' or 'include'");
    }
    return out.release();
}

Ref Parser::name_of(const Token& t) {
    std::string_view s = text(t);
    if (t.kind == T_SQUOTE) {
        std::string u = unquote(s);
        return Ref::check(PyUnicode_FromStringAndSize(u.data(), static_cast<Py_ssize_t>(u.size())));
    }
    return Ref::check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

static bool is_name_token(const Token& t, std::string_view s) {
    if (t.kind == T_LOWER || t.kind == T_SQUOTE) return true;
    if (t.kind != T_NUMBER) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void Parser::statement(PyObject* out, bool cnf) {
    stmt_start_ = tok_;
    cnf_ = cnf;
    advance();
    expect(T_LPAR, "'('");
    if (!is_name_token(tok_, text(tok_))) syntax(tok_, "a formula name");
    Ref name = name_of(tok_);
    stmt_name_ = tok_.kind == T_SQUOTE ? unquote(text(tok_)) : std::string(text(tok_));
    advance();
    expect(T_COMMA, "','");
    if (tok_.kind != T_LOWER) syntax(tok_, "a role");
    std::string_view role_text = text(tok_);
    if (!is_role(role_text))
        fail(Status::InputError, tok_,
             "unknown role '" + std::string(role_text) + "' of formula '" + stmt_name_ + "'");
    Ref role = Ref::check(PyUnicode_InternFromString(std::string(role_text).c_str()));
    advance();
    expect(T_COMMA, "','");

    bound_.clear();
    scope_.clear();
    free_.clear();
    names_.clear();
    has_free_fof_ = false;
    Val f = formula();
    // cnf clauses (and, until the error is raised, fof formulas) are closed universally over their variables, outermost first.
    for (size_t i = free_.size(); i-- > 0;) f = mk_quant(K_FORALL, free_[i].get(), std::move(f));

    if (tok_.kind == T_COMMA) {
        advance();
        skip_general_terms();
    }
    expect(T_RPAR, "')' or ','");
    expect(T_DOT, "'.'");
    if (has_free_fof_)
        fail(Status::InputError, free_fof_,
             "variable '" + std::string(text(free_fof_)) + "' is free in fof formula '" + stmt_name_ + "'");

    Ref names = Ref::check(PyDict_New());
    for (size_t i = 0; i < names_.size(); ++i) {
        Ref key = Ref::check(PyLong_FromSize_t(i));
        Ref value = Ref::check(PyUnicode_FromStringAndSize(names_[i].data(), static_cast<Py_ssize_t>(names_[i].size())));
        check_int(PyDict_SetItem(names.get(), key.get(), value.get()));
    }
    PyObject* formula_obj = f.tv == TV_NODE ? f.node.release() : Py_NewRef(f.tv == TV_TRUE ? Py_True : Py_False);
    Ref fobj = Ref::steal(formula_obj);
    Ref item = Ref::check(Py_BuildValue("(sOOOIIO)", cnf ? "cnf" : "fof", name.get(), role.get(), fobj.get(),
                                        stmt_start_.line, lx_.column(stmt_start_), names.get()));
    check_int(PyList_Append(out, item.get()));
    bound_.clear();
    scope_.clear();
    free_.clear();
}

void Parser::include(PyObject* out) {
    Token start = tok_;
    advance();
    expect(T_LPAR, "'('");
    if (tok_.kind != T_SQUOTE) syntax(tok_, "a quoted file name");
    Ref target = name_of(tok_);
    advance();
    Ref selection = Ref::borrow(Py_None);
    if (tok_.kind == T_COMMA) {
        advance();
        if (tok_.kind == T_LBRK) {
            advance();
            Ref names = Ref::check(PyList_New(0));
            if (tok_.kind != T_RBRK) {
                comma_list([&] {
                    if (!is_name_token(tok_, text(tok_))) syntax(tok_, "a formula name");
                    Ref n = name_of(tok_);
                    check_int(PyList_Append(names.get(), n.get()));
                    advance();
                });
            }
            expect(T_RBRK, "',' or ']'");
            selection = Ref::check(PyList_AsTuple(names.get()));
            if (tok_.kind == T_COMMA) {
                advance();
                skip_general_terms();
            }
        } else {
            skip_general_terms();
        }
    }
    expect(T_RPAR, "')'");
    expect(T_DOT, "'.'");
    Ref item = Ref::check(Py_BuildValue("(sOOII)", "include", target.get(), selection.get(), start.line,
                                        lx_.column(start)));
    check_int(PyList_Append(out, item.get()));
}

// Skips annotation terms up to (not including) the ')' that closes the statement.
void Parser::skip_general_terms() {
    std::vector<Tok> open;
    for (;;) {
        switch (tok_.kind) {
            case T_EOF:
            case T_BAD: syntax(tok_, open.empty() ? "')'" : (open.back() == T_LPAR ? "')'" : "']'"));
            case T_LPAR:
            case T_LBRK: open.push_back(tok_.kind); break;
            case T_RPAR:
            case T_RBRK:
                if (open.empty()) {
                    if (tok_.kind == T_RPAR) return;
                    syntax(tok_, "')'");
                }
                if ((open.back() == T_LPAR) != (tok_.kind == T_RPAR))
                    syntax(tok_, open.back() == T_LPAR ? "')'" : "']'");
                open.pop_back();
                break;
            case T_DOT:
                if (open.empty()) syntax(tok_, "')'");
                break;
            default: break;
        }
        advance();
    }
}

// ---- formulas ----

Val Parser::mk_not(Val v, const Token& at) {
    (void)at;
    if (v.tv == TV_TRUE) return truth(false);
    if (v.tv == TV_FALSE) return truth(true);
    if (cnf_) {
        int k = api_.exact_kind(v.node.get());
        if (k != K_PREDICATE_APP && k != K_EQUALITY) not_a_clause();
    }
    Val r;
    r.node = Ref::check(make_not(api_, nullptr, v.node.get()));
    return r;
}

Val Parser::mk_binary(Op op, Val l, Val r) {
    switch (op) {
        case OP_RIMPL: return mk_binary(OP_IMPL, std::move(r), std::move(l));
        case OP_XOR: return mk_not(mk_binary(OP_IFF, std::move(l), std::move(r)), tok_);
        case OP_NOR: return mk_not(mk_binary(OP_OR, std::move(l), std::move(r)), tok_);
        case OP_NAND: return mk_not(mk_binary(OP_AND, std::move(l), std::move(r)), tok_);
        case OP_AND:
            if (l.tv == TV_FALSE || r.tv == TV_FALSE) return truth(false);
            if (l.tv == TV_TRUE) return r;
            if (r.tv == TV_TRUE) return l;
            break;
        case OP_OR:
            if (l.tv == TV_TRUE || r.tv == TV_TRUE) return truth(true);
            if (l.tv == TV_FALSE) return r;
            if (r.tv == TV_FALSE) return l;
            break;
        case OP_IMPL:
            if (l.tv == TV_FALSE || r.tv == TV_TRUE) return truth(true);
            if (l.tv == TV_TRUE) return r;
            if (r.tv == TV_FALSE) return mk_not(std::move(l), tok_);
            break;
        case OP_IFF:
            if (l.tv == TV_TRUE) return r;
            if (r.tv == TV_TRUE) return l;
            if (l.tv == TV_FALSE) return mk_not(std::move(r), tok_);
            if (r.tv == TV_FALSE) return mk_not(std::move(l), tok_);
            break;
        default: break;
    }
    int k = op == OP_AND ? K_AND : op == OP_OR ? K_OR : op == OP_IMPL ? K_IMPLIES : K_IFF;
    Val v;
    v.node = binary_node(k, l.node.get(), r.node.get());
    return v;
}

Val Parser::mk_quant(int k, PyObject* var, Val body) {
    if (body.tv != TV_NODE) return body;
    Val v;
    v.node = Ref::check(make_quant(api_, k, nullptr, var, body.node.get()));
    return v;
}

Val Parser::formula() {
    std::vector<Frame> stack;
    stack.push_back(Frame(FR_LOGIC));
    Val v;
    for (;;) {
        // Read one unitary formula: prefixes push frames, an atom ends the read.
        switch (tok_.kind) {
            case T_LPAR:
                advance();
                stack.push_back(Frame(FR_PAREN));
                stack.push_back(Frame(FR_LOGIC));
                continue;
            case T_TILDE:
                advance();
                stack.push_back(Frame(FR_NOT));
                continue;
            case T_FORALL:
            case T_EXISTS: {
                if (cnf_) not_a_clause();
                Frame fr(FR_QUANT);
                fr.quant = tok_.kind == T_FORALL ? K_FORALL : K_EXISTS;
                fr.var_base = bound_.size();
                advance();
                expect(T_LBRK, "'['");
                comma_list([&] {
                    if (tok_.kind != T_UPPER) syntax(tok_, "a variable");
                    std::string name(text(tok_));
                    Ref id = Ref::check(PyLong_FromSize_t(names_.size()));
                    Ref var = Ref::check(make_variable(api_, nullptr, id.get(), api_.vk_individual, api_.ind));
                    names_.push_back(name);
                    scope_[name].push_back(var.get());
                    bound_.emplace_back(std::move(name), std::move(var));
                    advance();
                });
                expect(T_RBRK, "',' or ']'");
                expect(T_COLON, "':'");
                stack.push_back(std::move(fr));
                continue;
            }
            default:
                v = atom();
        }
        // Hand the finished unitary formula to the frames waiting for it.
        for (;;) {
            Frame& top = stack.back();
            if (top.kind == FR_NOT) {
                v = mk_not(std::move(v), tok_);
                stack.pop_back();
                continue;
            }
            if (top.kind == FR_QUANT) {
                Val body = std::move(v);
                for (size_t i = bound_.size(); i-- > top.var_base;) {
                    body = mk_quant(top.quant, bound_[i].second.get(), std::move(body));
                    auto it = scope_.find(bound_[i].first);
                    it->second.pop_back();
                }
                bound_.resize(top.var_base);
                v = std::move(body);
                stack.pop_back();
                continue;
            }
            if (top.kind == FR_PAREN) {
                expect(T_RPAR, "')'");
                stack.pop_back();
                continue;
            }
            // FR_LOGIC
            if (top.has_left) {
                top.left = mk_binary(top.op, std::move(top.left), std::move(v));
                if (top.op != OP_OR && top.op != OP_AND) {
                    v = std::move(top.left);
                    stack.pop_back();
                    if (stack.empty()) return v;
                    continue;
                }
            } else {
                top.left = std::move(v);
                top.has_left = true;
            }
            Op next = op_of(tok_.kind);
            if (next == OP_NONE || (top.op != OP_NONE && next != top.op)) {
                if (next != OP_NONE && top.op != OP_NONE) {
                    // a | b & c: TPTP needs parentheses here.
                    syntax(tok_, top.op == OP_OR ? "'|', ')' or ','" : "'&', ')' or ','");
                }
                v = std::move(top.left);
                stack.pop_back();
                if (stack.empty()) return v;
                continue;
            }
            if (cnf_ && next != OP_OR) not_a_clause();
            top.op = next;
            advance();
            break;  // read the next operand
        }
    }
}

Val Parser::atom() {
    Token first = tok_;
    if (first.kind == T_UPPER) {
        Ref var = variable_occurrence(first);
        advance();
        if (tok_.kind != T_EQ && tok_.kind != T_NEQ)
            fail(Status::SyntaxError, first, "syntax error: a variable cannot stand as a formula");
        bool neq = tok_.kind == T_NEQ;
        advance();
        Ref right = term();
        Val v;
        v.node = Ref::check(make_equality(api_, nullptr, var.get(), right.get()));
        if (neq) return mk_not(std::move(v), first);
        return v;
    }
    if (first.kind == T_DOLLAR) {
        std::string_view w = text(first);
        if (is_arithmetic(w))
            fail(Status::Inappropriate, first, "arithmetic (" + std::string(w) + ") is not supported");
        advance();
        if ((w == "$true" || w == "$false") && tok_.kind != T_LPAR) return truth(w == "$true");
        fail(Status::SyntaxError, first, "unsupported defined predicate " + std::string(w));
    }
    if (first.kind != T_LOWER && first.kind != T_SQUOTE && first.kind != T_DQUOTE && first.kind != T_NUMBER)
        syntax(first, "a formula");
    Token functor;
    std::vector<Ref> args;
    Ref left = term_or_top(true, functor, args);
    if (tok_.kind == T_EQ || tok_.kind == T_NEQ) {
        bool neq = tok_.kind == T_NEQ;
        if (!left) left = application(functor, args, false);
        advance();
        Ref right = term();
        Val v;
        v.node = Ref::check(make_equality(api_, nullptr, left.get(), right.get()));
        if (neq) return mk_not(std::move(v), first);
        return v;
    }
    if (functor.kind == T_DQUOTE || functor.kind == T_NUMBER)
        fail(Status::SyntaxError, functor, std::string(text(functor)) + " cannot stand as a formula");
    Val v;
    v.node = application(functor, args, true);
    return v;
}

Ref Parser::variable_occurrence(const Token& t) {
    std::string_view name = text(t);
    auto it = scope_.find(name);
    if (it != scope_.end() && !it->second.empty()) return Ref::borrow(it->second.back());
    if (!cnf_ && !has_free_fof_) {
        // Reported once the statement has been read: a syntax error comes first.
        has_free_fof_ = true;
        free_fof_ = t;
    }
    Ref id = Ref::check(PyLong_FromSize_t(names_.size()));
    Ref var = Ref::check(make_variable(api_, nullptr, id.get(), api_.vk_individual, api_.ind));
    names_.emplace_back(name);
    scope_[std::string(name)].push_back(var.get());
    free_.push_back(Ref::borrow(var.get()));
    return var;
}

// Reads a term.  With `top`, the outermost application is not built: its
// functor and arguments are handed back (and an empty Ref returned) unless the
// term is a variable, because only what follows tells a predicate from a function.
Ref Parser::term_or_top(bool top, Token& functor, std::vector<Ref>& top_args) {
    std::vector<TermFrame> stack;
    for (;;) {
        Ref v;
        Token t = tok_;
        switch (t.kind) {
            case T_UPPER:
                v = variable_occurrence(t);
                advance();
                break;
            case T_LOWER:
            case T_SQUOTE:
            case T_DQUOTE:
            case T_NUMBER:
                advance();
                if (tok_.kind == T_LPAR && (t.kind == T_LOWER || t.kind == T_SQUOTE)) {
                    advance();
                    stack.push_back(TermFrame{t, {}});
                    continue;
                }
                if (top && stack.empty()) {
                    functor = t;
                    return Ref();
                }
                {
                    std::vector<Ref> none;
                    v = application(t, none, false);
                }
                break;
            case T_DOLLAR: {
                std::string_view w = text(t);
                if (is_arithmetic(w))
                    fail(Status::Inappropriate, t, "arithmetic (" + std::string(w) + ") is not supported");
                fail(Status::SyntaxError, t, "unsupported defined term " + std::string(w));
            }
            default: syntax(t, "a term");
        }
        // Hand the finished term to the applications waiting for it.
        for (;;) {
            if (stack.empty()) return v;
            stack.back().args.push_back(std::move(v));
            if (tok_.kind == T_COMMA) {
                advance();
                break;
            }
            if (tok_.kind != T_RPAR) syntax(tok_, "',' or ')'");
            advance();
            TermFrame fr = std::move(stack.back());
            stack.pop_back();
            if (top && stack.empty()) {
                functor = fr.functor;
                top_args = std::move(fr.args);
                return Ref();
            }
            v = application(fr.functor, fr.args, false);
        }
    }
}

Symbol& Parser::symbol(const Token& t, SymKind kind, int arity) {
    std::string_view raw = text(t);
    std::string unq;
    std::string_view key = raw;
    if (t.kind == T_SQUOTE) {
        unq = unquote(raw);
        key = unq;
    }
    auto it = data_.symbols.find(key);
    if (it == data_.symbols.end()) {
        Symbol s;
        PyObject* name = check(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
        PyUnicode_InternInPlace(&name);
        s.name = Ref::check(name);
        s.arity = arity;
        s.kind = kind;
        s.where = place(t);
        s.arity_obj = Ref::check(PyLong_FromLong(arity));
        if (arity == 0 && kind != SK_PREDICATE)
            s.constant = Ref::check(make_constant(api_, nullptr, s.name.get(), api_.ind));
        it = data_.symbols.emplace(std::string(key), std::move(s)).first;
        if (kind == SK_DISTINCT || kind == SK_NUMBER) data_.specials.push_back(it->second.name.get());
        return it->second;
    }
    Symbol& s = it->second;
    bool s_pred = s.kind == SK_PREDICATE, pred = kind == SK_PREDICATE;
    if (s_pred != pred)
        fail(Status::InputError, t,
             "'" + std::string(key) + "' is used as a " + (pred ? "predicate" : "function") + " here but as a " +
                 (s_pred ? "predicate" : "function") + " at " + s.where);
    if (s.arity != arity)
        fail(Status::InputError, t,
             "'" + std::string(key) + "' is used with arity " + std::to_string(arity) + " here but with arity " +
                 std::to_string(s.arity) + " at " + s.where);
    return s;
}

Ref Parser::application(const Token& functor, std::vector<Ref>& args, bool predicate) {
    int arity = static_cast<int>(args.size());
    SymKind kind = predicate ? SK_PREDICATE
                   : functor.kind == T_DQUOTE ? SK_DISTINCT
                   : functor.kind == T_NUMBER ? SK_NUMBER
                                              : SK_FUNCTION;
    Symbol& s = symbol(functor, kind, arity);
    if (!predicate && arity == 0) return Ref::borrow(s.constant.get());
    Ref tuple = Ref::check(PyTuple_New(arity));
    for (int i = 0; i < arity; ++i) PyTuple_SET_ITEM(tuple.get(), i, args[i].release());
    if (predicate)
        return Ref::check(make_predicate_app(api_, nullptr, s.name.get(), s.arity_obj.get(), tuple.get()));
    return Ref::check(make_function_app(api_, nullptr, s.name.get(), s.arity_obj.get(), tuple.get(), api_.ind));
}

}  // namespace

PyObject* parse_text(const AstApi& api, ReaderData& data, const char* text, size_t size, const std::string& file) {
    Parser p(api, data, text, size, file);
    return p.run();
}

}  // namespace kv::tptp
