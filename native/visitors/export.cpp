// ExportVisitor: infix, prefix and LaTeX text of any term or formula.
//
// Module semantics are those of handlers that each return a string built
// with f-string interpolation from the strings `visit` returns for the
// children (argument lists joined with str.join).  Built that way, a tree of
// n nodes and depth d copies O(n * d) characters and allocates a string per
// node.  Here a traversal whose handlers are all ours writes into one list of
// pieces instead (literals, numbers and borrowed strings) and produces the
// final string in a single pass at the end.  Where a handler would read a
// layout piece only after visiting the children (the notation, a sort name),
// the pieces before the children are left as placeholders and filled in
// afterwards.  A child handled by Python code (an override anywhere) simply
// contributes the string it returned, interpolated as the f-string would.
#include "visitors/export.hpp"

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace kv::vis {

// How a child's value enters its parent's text.
enum Mode {
    M_FORMAT = 0,  // interpolated: format(value, "")
    M_JOIN = 1,    // an element of str.join: any str instance, else TypeError
    M_RETURN = 2,  // the handler's own return value (top level only)
};


struct Piece {
    enum Type : uint8_t { LIT, OBJ, NUM };
    Type type;
    const char* lit;  // LIT: ASCII text of length n
    long long n;      // LIT: length; NUM: the number
    PyObject* obj;    // OBJ: a str (owned)
};

struct ExportCtx {
    State* st;
    PyObject* self;
    std::vector<Piece> pieces;
    Ref raw;       // M_RETURN: the value returned unchanged
    Ref join_bad;  // M_JOIN: a value that is not a str
    // A whole walk (export_walk): while `pure`, children go straight to our
    // writers and the notation is `fixed`; see before_python().
    bool pure = false;
    bool depth_checked = false;
    Pristine snap;
    Notation fixed = N_INFIX;
    PyObject* root = nullptr;
    long left = 0;

    ExportCtx(State* s, PyObject* v) : st(s), self(v) { pieces.reserve(64); }
    ~ExportCtx() {
        for (Piece& p : pieces)
            if (p.type == Piece::OBJ) Py_XDECREF(p.obj);
    }
    ExportCtx(const ExportCtx&) = delete;
    ExportCtx& operator=(const ExportCtx&) = delete;

    size_t hole() {
        pieces.push_back(Piece{Piece::LIT, "", 0, nullptr});
        return pieces.size() - 1;
    }
    void lit(const char* s) { pieces.push_back(Piece{Piece::LIT, s, static_cast<long long>(std::strlen(s)), nullptr}); }
    void fill(size_t i, const char* s) { pieces[i] = Piece{Piece::LIT, s, static_cast<long long>(std::strlen(s)), nullptr}; }
    // Fills hole i with a str (new reference consumed).
    void fill_obj(size_t i, PyObject* s) { pieces[i] = Piece{Piece::OBJ, nullptr, 0, s}; }
    void obj(PyObject* s) { pieces.push_back(Piece{Piece::OBJ, nullptr, 0, Py_NewRef(s)}); }
    void obj_steal(PyObject* s) { pieces.push_back(Piece{Piece::OBJ, nullptr, 0, s}); }
    void num(long long v) { pieces.push_back(Piece{Piece::NUM, nullptr, v, nullptr}); }

    PyObject* finish();
};

static int num_len(long long v) {
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    int n = v < 0 ? 2 : 1;
    while (u >= 10) {
        u /= 10;
        ++n;
    }
    return n;
}

static int num_write(long long v, char* out) {
    char buf[24];
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    int n = 0;
    do {
        buf[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u);
    int k = 0;
    if (v < 0) out[k++] = '-';
    while (n) out[k++] = buf[--n];
    return k;
}

PyObject* ExportCtx::finish() {
    Py_ssize_t total = 0;
    Py_UCS4 maxchar = 127;
    for (const Piece& p : pieces) {
        switch (p.type) {
            case Piece::LIT: total += p.n; break;
            case Piece::NUM: total += num_len(p.n); break;
            case Piece::OBJ:
                total += PyUnicode_GET_LENGTH(p.obj);
                if (PyUnicode_MAX_CHAR_VALUE(p.obj) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(p.obj);
                break;
        }
    }
    Ref out = Ref::check(PyUnicode_New(total, maxchar));
    Py_ssize_t pos = 0;
    if (PyUnicode_KIND(out.get()) == PyUnicode_1BYTE_KIND) {
        Py_UCS1* d = PyUnicode_1BYTE_DATA(out.get());
        for (const Piece& p : pieces) {
            switch (p.type) {
                case Piece::LIT:
                    std::memcpy(d + pos, p.lit, static_cast<size_t>(p.n));
                    pos += p.n;
                    break;
                case Piece::NUM: pos += num_write(p.n, reinterpret_cast<char*>(d + pos)); break;
                case Piece::OBJ: {
                    Py_ssize_t n = PyUnicode_GET_LENGTH(p.obj);
                    std::memcpy(d + pos, PyUnicode_1BYTE_DATA(p.obj), static_cast<size_t>(n));
                    pos += n;
                    break;
                }
            }
        }
        return out.release();
    }
    int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    char num[24];
    for (const Piece& p : pieces) {
        switch (p.type) {
            case Piece::LIT:
                for (long long i = 0; i < p.n; ++i) PyUnicode_WRITE(kind, data, pos++, static_cast<Py_UCS1>(p.lit[i]));
                break;
            case Piece::NUM: {
                int n = num_write(p.n, num);
                for (int i = 0; i < n; ++i) PyUnicode_WRITE(kind, data, pos++, static_cast<Py_UCS1>(num[i]));
                break;
            }
            case Piece::OBJ: {
                Py_ssize_t n = PyUnicode_GET_LENGTH(p.obj);
                if (PyUnicode_CopyCharacters(out.get(), pos, p.obj, 0, n) < 0) throw PyErrorSet{};
                pos += n;
                break;
            }
        }
    }
    return out.release();
}

// ---------------------------------------------------------------- whole walks
//
// In a whole walk the writers call one another without looking anything up,
// which is what the lookups would find while the visitor stays pristine.
// Until Python code first runs (str() of a symbol, a property, a non-str
// name), the walk can still be abandoned unseen; that is the moment to make
// sure it never has to be abandoned later, i.e. that the tree is no deeper
// than dispatch would manage (walk_depth_limit).  After Python code ran the
// snapshot is checked again, and from the first change on every child goes
// through the lookups, as in dispatch.

struct Decline {};  // thrown to abandon a whole walk before any Python code ran

bool tree_within(State* st, PyObject* node, long limit);  // metrics.cpp

static void before_python(ExportCtx& c) {
    if (!c.pure || c.depth_checked) return;
    c.depth_checked = true;
    if (!tree_within(c.st, c.root, walk_depth_limit())) throw Decline{};
}

static void after_python(ExportCtx& c) {
    safe_point();
    if (c.pure) c.pure = c.snap.holds();
}

// ---------------------------------------------------------------- values into text

// format(value, "") as an f-string interpolation does it (new reference).
static PyObject* formatted(State* st, PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Py_NewRef(v);
    return check(PyObject_Format(v, st->empty_str));
}
static PyObject* formatted(ExportCtx& c, PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Py_NewRef(v);
    before_python(c);
    PyObject* r = formatted(c.st, v);
    after_python(c);
    return r;
}

// A child's value entering the text in `mode`.  A join element that is not a
// str is kept in `join_bad`: the caller reports it after all siblings ran.
static void embed(ExportCtx& c, PyObject* v, int mode) {
    switch (mode) {
        case M_RETURN: c.raw = Ref::borrow(v); break;
        case M_JOIN:
            if (PyUnicode_Check(v)) c.obj(v);
            else c.join_bad = Ref::borrow(v);
            break;
        default: c.obj_steal(formatted(c, v)); break;
    }
}

// The value a handler returns unchanged (a name): the declared result type str
// admits any str (subclasses included) or None.
static void embed_returned(ExportCtx& c, PyObject* v, int mode) {
    if (!PyUnicode_Check(v) && v != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(v)->tp_name);
        throw PyErrorSet{};
    }
    embed(c, v, mode);
}

// self.visit(child) entering the text in `mode` (M_FORMAT or M_JOIN).
static void child(ExportCtx& c, PyObject* node, int mode) {
    if (c.pure) {
        // Deeper than dispatch is known to manage: only dispatch can tell
        // how this ends, so the walk is handed to it while that is unseen.
        if (c.left <= 0 && !c.depth_checked) throw Decline{};
    }
    if (c.pure && c.left > 0) {
        int row = node_row(c.st, node);
        if (row >= 0) {
            VisitGuard guard;
            --c.left;
            kExportMethods[1 + row].write(c, node, mode);
            ++c.left;
            return;
        }
    }
    Ref result;
    if (const MethodDef* h = resolve_child(c.st, c.self, node, result)) {
        VisitGuard guard;
        if (h->write) {
            h->write(c, node, mode);
            return;
        }
        result = Ref::check(h->handler(c.st, c.self, node));
    }
    embed(c, result.get(), mode);
}

[[noreturn]] static void raise_join(Py_ssize_t index, PyObject* v) {
    PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", index,
                 Py_TYPE(v)->tp_name);
    throw PyErrorSet{};
}

// ---------------------------------------------------------------- notation

static bool text_equals(PyObject* v, PyObject* lit) {
    if (v == lit) return true;
    if (PyUnicode_CheckExact(v))
        return PyUnicode_GET_LENGTH(v) == PyUnicode_GET_LENGTH(lit) && PyUnicode_Compare(v, lit) == 0;
    Ref r = Ref::check(PyObject_RichCompare(v, lit, Py_EQ));
    return check_int(PyObject_IsTrue(r.get())) != 0;
}

// Reads self.notation and tests it against "prefix" then "latex" (each test
// only when asked for); anything else counts as infix.
static Notation notation(ExportCtx& c, bool prefix, bool latex) {
    if (c.pure) {
        Notation n = c.fixed;
        if ((n == N_PREFIX && !prefix) || (n == N_LATEX && !latex)) return N_INFIX;
        return n;
    }
    Ref n = read_notation(c.st, c.self);
    if (prefix && text_equals(n.get(), c.st->s_prefix)) return N_PREFIX;
    if (latex && text_equals(n.get(), c.st->s_latex)) return N_LATEX;
    return N_INFIX;
}

// ---------------------------------------------------------------- handlers

static Ref node_attr(State* st, PyObject* node, int k, PyObject* name, Py_ssize_t offset) {
    return field(st, node, k, name, offset);
}

static void w_variable(ExportCtx& c, PyObject* node, int) {
    State* st = c.st;
    size_t open = c.hole();
    Notation n = notation(c, false, true);
    Ref id = node_attr(st, node, K_VARIABLE, st->api.s_id, offsetof(VariableNode, id));
    int overflow = 0;
    long long v = PyLong_CheckExact(id.get()) ? PyLong_AsLongLongAndOverflow(id.get(), &overflow) : 0;
    if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (PyLong_CheckExact(id.get()) && !overflow) c.num(v);
    else c.obj_steal(formatted(c, id.get()));
    if (n == N_LATEX) {
        c.fill(open, "v_{");
        c.lit("}");
    } else {
        c.fill(open, "v");
    }
}

static void w_constant(ExportCtx& c, PyObject* node, int mode) {
    Ref name = node_attr(c.st, node, K_CONSTANT, c.st->api.s_name, offsetof(ConstantNode, name));
    embed_returned(c, name.get(), mode);
}

// The symbol text of an application: its `name` when it has one, else str().
static Ref symbol_text(ExportCtx& c, PyObject* sym) {
    if (PyUnicode_CheckExact(sym)) return Ref::borrow(sym);
    before_python(c);
    Ref name = lookup_attr(sym, c.st->api.s_name);
    if (!name) name = Ref::check(PyObject_Str(sym));
    after_python(c);
    return name;
}

template <int K>
static void w_app(ExportCtx& c, PyObject* node, int mode) {
    State* st = c.st;
    const AstApi& api = st->api;
    Ref sym = K == K_FUNCTION_APP ? node_attr(st, node, K, api.s_func, offsetof(FunctionAppNode, func))
                                  : node_attr(st, node, K, api.s_pred, offsetof(PredicateAppNode, pred));
    Ref f = symbol_text(c, sym.get());
    Ref args = K == K_FUNCTION_APP ? node_attr(st, node, K, api.s_args, offsetof(FunctionAppNode, args))
                                   : node_attr(st, node, K, api.s_args, offsetof(PredicateAppNode, args));
    if (K == K_PREDICATE_APP && !check_int(PyObject_IsTrue(args.get()))) {
        embed_returned(c, f.get(), mode);
        return;
    }
    size_t open = c.hole();
    size_t head = c.hole();
    size_t after_head = c.hole();
    // [self.visit(a) for a in node.args], joined below.
    Ref seq;
    if (PyTuple_CheckExact(args.get())) {
        seq = Ref::borrow(args.get());
    } else {
        before_python(c);
        seq = Ref::check(PySequence_List(args.get()));
        after_python(c);
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(seq.get());
    SmallStack<size_t, 8> seps;
    Py_ssize_t bad_index = -1;
    Ref bad;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i > 0) seps.emplace_back(c.hole());
        c.join_bad.reset();
        child(c, PySequence_Fast_GET_ITEM(seq.get(), i), M_JOIN);
        if (c.join_bad && bad_index < 0) {
            bad_index = i;
            bad = std::move(c.join_bad);
        }
        c.join_bad.reset();
    }
    Notation nt = notation(c, true, false);
    if (nt == N_PREFIX && count == 0) {
        // Nothing but the symbol: returned as it is.
        c.pieces.resize(open);
        embed_returned(c, f.get(), mode);
        return;
    }
    c.fill_obj(head, formatted(c, f.get()));
    if (bad_index >= 0) raise_join(bad_index, bad.get());
    if (nt == N_PREFIX) {
        c.fill(open, "(");
        c.fill(after_head, " ");
        for (size_t i = 0; i < seps.size(); ++i) c.fill(seps[i], " ");
    } else {
        c.fill(after_head, "(");
        for (size_t i = 0; i < seps.size(); ++i) c.fill(seps[i], ", ");
    }
    c.lit(")");
}

static void w_equality(ExportCtx& c, PyObject* node, int) {
    State* st = c.st;
    Ref left = node_attr(st, node, K_EQUALITY, st->api.s_left, offsetof(EqualityNode, left));
    Ref right = node_attr(st, node, K_EQUALITY, st->api.s_right, offsetof(EqualityNode, right));
    size_t open = c.hole();
    child(c, left.get(), M_FORMAT);
    size_t mid = c.hole();
    child(c, right.get(), M_FORMAT);
    if (notation(c, true, false) == N_PREFIX) {
        c.fill(open, "(= ");
        c.fill(mid, " ");
        c.lit(")");
    } else {
        c.fill(mid, " = ");
    }
}

static bool is_connective(State* st, PyObject* o) {
    return is_instance_of_global(st, o, K_AND) || is_instance_of_global(st, o, K_OR) ||
           is_instance_of_global(st, o, K_IMPLIES) || is_instance_of_global(st, o, K_IFF);
}
static bool is_connective(ExportCtx& c, PyObject* o) {
    // isinstance against plain classes runs no Python code on our nodes.
    bool plain = c.st->api.exact_kind(o) >= 0;
    for (int k = K_AND; k <= K_IFF && plain; ++k) plain = PyType_CheckExact(global(c.st, k));
    if (plain) return is_connective(c.st, o);
    before_python(c);
    bool r = is_connective(c.st, o);
    after_python(c);
    return r;
}

static void w_not(ExportCtx& c, PyObject* node, int) {
    State* st = c.st;
    Ref operand = node_attr(st, node, K_NOT, st->api.s_operand, offsetof(NotNode, operand));
    size_t open = c.hole();
    child(c, operand.get(), M_FORMAT);
    Notation n = notation(c, true, true);
    if (n == N_PREFIX) {
        c.fill(open, "(not ");
        c.lit(")");
        return;
    }
    bool wrap = is_connective(c, operand.get());
    if (n == N_LATEX) c.fill(open, wrap ? "\\neg (" : "\\neg ");
    else c.fill(open, wrap ? "~(" : "~");
    if (wrap) c.lit(")");
}

struct BinaryText {
    const char* prefix_open;
    const char* latex_sep;
    const char* infix_sep;
};

template <int K>
static void w_binary(ExportCtx& c, PyObject* node, int) {
    static const BinaryText kText[4] = {
        {"(and ", " \\land ", " & "},
        {"(or ", " \\lor ", " | "},
        {"(=> ", " \\implies ", " => "},
        {"(<=> ", " \\iff ", " <=> "},
    };
    const BinaryText& t = kText[K - K_AND];
    State* st = c.st;
    Ref left = node_attr(st, node, K, st->api.s_left, offsetof(BinaryNode, left));
    Ref right = node_attr(st, node, K, st->api.s_right, offsetof(BinaryNode, right));
    size_t open = c.hole();
    child(c, left.get(), M_FORMAT);
    size_t mid = c.hole();
    child(c, right.get(), M_FORMAT);
    switch (notation(c, true, true)) {
        case N_PREFIX:
            c.fill(open, t.prefix_open);
            c.fill(mid, " ");
            break;
        case N_LATEX:
            c.fill(open, "(");
            c.fill(mid, t.latex_sep);
            break;
        default:
            c.fill(open, "(");
            c.fill(mid, t.infix_sep);
            break;
    }
    c.lit(")");
}

template <int K>
static void w_quant(ExportCtx& c, PyObject* node, int) {
    State* st = c.st;
    const AstApi& api = st->api;
    Ref var = node_attr(st, node, K, api.s_variable, offsetof(QuantNode, variable));
    Ref body = node_attr(st, node, K, api.s_body, offsetof(QuantNode, body));
    size_t open = c.hole();
    child(c, var.get(), M_FORMAT);
    size_t colon = c.hole();
    size_t sort_name = c.hole();
    size_t comma = c.hole();
    child(c, body.get(), M_FORMAT);
    Ref sort = st->api.exact_kind(var.get()) == K_VARIABLE
                   ? Ref::borrow(reinterpret_cast<VariableNode*>(var.get())->sort)
                   : Ref();
    Ref name = sort ? quiet_attr(sort.get(), api.s_name) : Ref();
    if (!name) {
        before_python(c);
        if (!sort) sort = attr(var.get(), api.s_sort);
        name = attr(sort.get(), api.s_name);
        after_python(c);
    }
    Notation n = notation(c, true, true);
    c.fill(colon, " : ");
    c.fill_obj(sort_name, formatted(c, name.get()));
    const bool forall = K == K_FORALL;
    switch (n) {
        case N_PREFIX:
            c.fill(open, forall ? "(forall (" : "(exists (");
            c.fill(comma, ") ");
            c.lit(")");
            break;
        case N_LATEX:
            c.fill(open, forall ? "\\forall " : "\\exists ");
            c.fill(comma, ", ");
            break;
        default:
            c.fill(open, forall ? "forall " : "exists ");
            c.fill(comma, ", ");
            break;
    }
}

template <int R>
static void w_sol(ExportCtx& c, PyObject* node, int) {
    static const char* const kPrefixOpen[4] = {"(forall_pred (", "(exists_pred (", "(forall_func (",
                                               "(exists_func ("};
    static const char* const kInfixOpen[4] = {"forall_pred ", "exists_pred ", "forall_func ", "exists_func "};
    State* st = c.st;
    Ref body = quiet_attr(node, st->api.s_body);
    if (!body) {
        before_python(c);
        body = attr(node, st->api.s_body);
        after_python(c);
    }
    size_t open = c.hole();
    size_t symbol = c.hole();
    size_t sep = c.hole();
    child(c, body.get(), M_FORMAT);
    Ref var = quiet_attr(node, st->api.s_variable);
    Ref name = var ? quiet_attr(var.get(), st->api.s_name) : Ref();
    if (!name) {
        before_python(c);
        if (!var) var = attr(node, st->api.s_variable);
        name = attr(var.get(), st->api.s_name);
        after_python(c);
    }
    Notation n = notation(c, true, true);
    c.fill_obj(symbol, formatted(c, name.get()));
    const bool universal = R == R_FORALL_PRED || R == R_FORALL_FUNC;
    switch (n) {
        case N_PREFIX:
            c.fill(open, kPrefixOpen[R - R_FORALL_PRED]);
            c.fill(sep, ") ");
            c.lit(")");
            break;
        case N_LATEX:
            c.fill(open, universal ? "\\forall " : "\\exists ");
            c.fill(sep, ", ");
            break;
        default:
            c.fill(open, kInfixOpen[R - R_FORALL_PRED]);
            c.fill(sep, ", ");
            break;
    }
}

// The Python-visible handler: the text of `node`, or the name it returns as
// it is.
template <WriteFn W>
static PyObject* handler(State* st, PyObject* self, PyObject* node) {
    ExportCtx c(st, self);
    W(c, node, M_RETURN);
    if (c.raw) return c.raw.release();
    return c.finish();
}

static PyObject* export_init(State* st, PyObject** argv, PyObject*) {
    PyObject* self = argv[0];
    PyObject* notation = argv[1] ? argv[1] : st->s_infix;
    if (!PyUnicode_CheckExact(notation)) {
        PyErr_Format(PyExc_TypeError, "Argument 'notation' has incorrect type (expected str, got %.200s)",
                     Py_TYPE(notation)->tp_name);
        throw PyErrorSet{};
    }
    if (PyUnicode_Compare(notation, st->s_infix) != 0 && PyUnicode_Compare(notation, st->s_prefix) != 0 &&
        PyUnicode_Compare(notation, st->s_latex) != 0) {
        PyErr_Format(PyExc_ValueError, "Unsupported notation: %U", notation);
        throw PyErrorSet{};
    }
    check_int(PyObject_SetAttr(self, st->s_notation, notation));
    Py_RETURN_NONE;
}

#define KV_EXPORT(NAME, DOC, W)                                                                                  \
    {NAME, DOC, "(self, node)", ROLE_HANDLER, false, 2, 2, {"self", "node"}, false, false, handler<W>, nullptr, W, \
     nullptr}

const MethodDef kExportMethods[] = {
    {"__init__",
     "Creates an exporter for `notation`, one of 'infix' (the default), 'prefix' and 'latex'; any other text "
     "raises ValueError, anything but a str TypeError.",
     "(self, notation='infix')", ROLE_OTHER, false, 2, 1, {"self", "notation"}, false, false, nullptr,
     export_init, nullptr, nullptr},
    KV_EXPORT("visit_variable", "Returns 'v' followed by the variable's id ('v_{id}' in LaTeX).", w_variable),
    KV_EXPORT("visit_constant", "Returns the constant's name.", w_constant),
    KV_EXPORT("visit_function_app", "Returns the application with its exported arguments.", w_app<K_FUNCTION_APP>),
    KV_EXPORT("visit_predicate_app", "Returns the application with its exported arguments.",
              w_app<K_PREDICATE_APP>),
    KV_EXPORT("visit_equality", "Returns the equality of the exported sides.", w_equality),
    KV_EXPORT("visit_not", "Returns the negation of the exported operand.", w_not),
    KV_EXPORT("visit_and", "Returns the parenthesised conjunction.", w_binary<K_AND>),
    KV_EXPORT("visit_or", "Returns the parenthesised disjunction.", w_binary<K_OR>),
    KV_EXPORT("visit_implies", "Returns the parenthesised implication.", w_binary<K_IMPLIES>),
    KV_EXPORT("visit_iff", "Returns the parenthesised equivalence.", w_binary<K_IFF>),
    KV_EXPORT("visit_forall", "Returns the universal quantifier with the sort of its variable.", w_quant<K_FORALL>),
    KV_EXPORT("visit_exists", "Returns the existential quantifier with the sort of its variable.",
              w_quant<K_EXISTS>),
    KV_EXPORT("visit_forall_pred", "Returns the quantifier over the named predicate variable.",
              w_sol<R_FORALL_PRED>),
    KV_EXPORT("visit_exists_pred", "Returns the quantifier over the named predicate variable.",
              w_sol<R_EXISTS_PRED>),
    KV_EXPORT("visit_forall_func", "Returns the quantifier over the named function variable.",
              w_sol<R_FORALL_FUNC>),
    KV_EXPORT("visit_exists_func", "Returns the quantifier over the named function variable.",
              w_sol<R_EXISTS_FUNC>),
};
const int kExportMethodCount = sizeof(kExportMethods) / sizeof(kExportMethods[0]);

// Whether the module's names of the four connectives are still the node
// classes (the negation's wrapping test is isinstance against those names).
static bool connectives_plain(State* st) {
    for (int k = K_AND; k <= K_IFF; ++k) {
        PyObject* v = PyDict_GetItemWithError(st->module_dict, st->global_names[k]);
        if (v != reinterpret_cast<PyObject*>(st->api.types[k])) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            return false;
        }
    }
    return true;
}

// The roots whose text is a name handed back as the very object.
static bool returns_name(State* st, PyObject* node, Notation nt) {
    switch (st->api.exact_kind(node)) {
        case K_CONSTANT: return true;
        case K_PREDICATE_APP: {
            PyObject* args = reinterpret_cast<PredicateAppNode*>(node)->args;
            return !PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) == 0;
        }
        case K_FUNCTION_APP: {
            PyObject* args = reinterpret_cast<FunctionAppNode*>(node)->args;
            return nt == N_PREFIX && (!PyTuple_CheckExact(args) || PyTuple_GET_SIZE(args) == 0);
        }
        default: return false;
    }
}

PyObject* export_walk(State* st, PyObject* self, PyObject* node) {
    ExportCtx c(st, self);  // allocates before the snapshot
    if (!c.snap.begin(st, self, FAM_EXPORT) || !c.snap.notation_plain()) return nullptr;
    // The notation as every handler would read it: a plain instance attribute.
    PyObject* dict = c.snap.dict();
    PyObject* n = dict ? PyDict_GetItemWithError(dict, st->s_notation) : nullptr;
    if (!n) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return nullptr;
    }
    if (!PyUnicode_CheckExact(n)) return nullptr;
    c.fixed = PyUnicode_Compare(n, st->s_prefix) == 0  ? N_PREFIX
              : PyUnicode_Compare(n, st->s_latex) == 0 ? N_LATEX
                                                       : N_INFIX;
    int row = node_row(st, node);
    if (row < 0) return nullptr;
    long limit = walk_depth_limit();
    if (!returns_name(st, node, c.fixed) && connectives_plain(st)) {
        if (PyObject* text = export_text(st, c.fixed, limit, node)) {
            ++st->whole_walks;
            return text;
        }
    }
    c.pure = true;
    c.root = node;
    c.left = limit;
    try {
        VisitGuard guard;
        --c.left;
        kExportMethods[1 + row].write(c, node, M_RETURN);
    } catch (Decline&) {
        return nullptr;
    }
    if (c.pure) ++st->whole_walks;
    if (c.raw) return c.raw.release();
    return c.finish();
}

}  // namespace kv::vis
