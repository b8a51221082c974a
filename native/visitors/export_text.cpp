// ExportVisitor's straight-text walk: the text of a tree that needs no
// Python code, written into one buffer.
//
// The common case of a whole walk needs no Python code at all: exact nodes,
// symbols and names that are exact str, ids that are exact ints, sort names
// held in slots.  Then the notation is known before the first piece, so the
// text goes straight into one growing buffer (Latin-1 bytes until a wider
// character turns up, code points after that) and becomes a str once at the
// end.  Levels are counted against what dispatch could manage instead of
// entering the interpreter's recursion check on each.  On anything else the
// walk gives up before any Python code ran or anything was allocated that
// Python can see, and the piece walk (export.cpp) takes over from the start.

#include "visitors/export.hpp"

#include <charconv>
#include <cstring>
#include <string>
#include <vector>

namespace kv::vis {

class TextBuf {
public:
    TextBuf() { narrow_.reserve(256); }
    void ascii(const char* s, size_t n) {
        if (!wide_mode_) {
            narrow_.append(s, n);
            return;
        }
        for (size_t i = 0; i < n; ++i) wide_.push_back(static_cast<unsigned char>(s[i]));
    }
    template <size_t N>
    void lit(const char (&s)[N]) {
        ascii(s, N - 1);
    }
    void number(long long v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        ascii(buf, static_cast<size_t>(r.ptr - buf));
    }
    void text(PyObject* s) {  // an exact str
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        Py_UCS4 mc = PyUnicode_MAX_CHAR_VALUE(s);
        if (mc > max_) max_ = mc;
        int kind = PyUnicode_KIND(s);
        if (kind == PyUnicode_1BYTE_KIND && !wide_mode_) {
            narrow_.append(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), static_cast<size_t>(n));
            return;
        }
        widen();
        const void* data = PyUnicode_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i) wide_.push_back(PyUnicode_READ(kind, data, i));
    }
    PyObject* finish() {
        if (!wide_mode_) {
            Py_ssize_t n = static_cast<Py_ssize_t>(narrow_.size());
            PyObject* out = check(PyUnicode_New(n, max_));
            std::memcpy(PyUnicode_1BYTE_DATA(out), narrow_.data(), narrow_.size());
            return out;
        }
        return check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, wide_.data(),
                                               static_cast<Py_ssize_t>(wide_.size())));
    }

private:
    void widen() {
        if (wide_mode_) return;
        wide_mode_ = true;
        wide_.reserve(narrow_.size() * 2 + 64);
        for (char ch : narrow_) wide_.push_back(static_cast<unsigned char>(ch));
        narrow_.clear();
    }
    std::string narrow_;
    std::u32string wide_;
    bool wide_mode_ = false;
    Py_UCS4 max_ = 127;
};

class TextWalk {
public:
    TextWalk(State* st, Notation nt, long left) : st_(st), nt_(nt), left_(left) {}
    bool node(PyObject* n);
    PyObject* finish() { return out_.finish(); }

private:
    // A name or symbol that enters the text as it is: an exact str.
    bool name(PyObject* v) {
        if (!v || !PyUnicode_CheckExact(v)) return false;
        out_.text(v);
        return true;
    }
    template <int K>
    bool app(PyObject* n);
    template <int K>
    bool quant(PyObject* n);
    bool sol(PyObject* n, int row);

    State* st_;
    Notation nt_;
    long left_;
    TextBuf out_;
};

template <int K>
bool TextWalk::app(PyObject* n) {
    PyObject* sym = K == K_FUNCTION_APP ? reinterpret_cast<FunctionAppNode*>(n)->func
                                        : reinterpret_cast<PredicateAppNode*>(n)->pred;
    PyObject* args = K == K_FUNCTION_APP ? reinterpret_cast<FunctionAppNode*>(n)->args
                                         : reinterpret_cast<PredicateAppNode*>(n)->args;
    if (!PyUnicode_CheckExact(sym) || !PyTuple_CheckExact(args)) return false;
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count == 0) {
        out_.text(sym);
        if (K == K_FUNCTION_APP && nt_ != N_PREFIX) out_.lit("()");
        return true;
    }
    if (nt_ == N_PREFIX) {
        out_.lit("(");
        out_.text(sym);
        for (Py_ssize_t i = 0; i < count; ++i) {
            out_.lit(" ");
            if (!node(PyTuple_GET_ITEM(args, i))) return false;
        }
    } else {
        out_.text(sym);
        out_.lit("(");
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i) out_.lit(", ");
            if (!node(PyTuple_GET_ITEM(args, i))) return false;
        }
    }
    out_.lit(")");
    return true;
}

template <int K>
bool TextWalk::quant(PyObject* n) {
    QuantNode* q = reinterpret_cast<QuantNode*>(n);
    if (st_->api.exact_kind(q->variable) != K_VARIABLE) return false;
    Ref sort_name = quiet_attr(reinterpret_cast<VariableNode*>(q->variable)->sort, st_->api.s_name);
    if (!sort_name || !PyUnicode_CheckExact(sort_name.get())) return false;
    const bool forall = K == K_FORALL;
    switch (nt_) {
        case N_PREFIX:
            if (forall) out_.lit("(forall (");
            else out_.lit("(exists (");
            break;
        case N_LATEX:
            if (forall) out_.lit("\\forall ");
            else out_.lit("\\exists ");
            break;
        default:
            if (forall) out_.lit("forall ");
            else out_.lit("exists ");
            break;
    }
    if (!node(q->variable)) return false;
    out_.lit(" : ");
    out_.text(sort_name.get());
    if (nt_ == N_PREFIX) out_.lit(") ");
    else out_.lit(", ");
    if (!node(q->body)) return false;
    if (nt_ == N_PREFIX) out_.lit(")");
    return true;
}

bool TextWalk::sol(PyObject* n, int row) {
    static const char* const kPrefixOpen[4] = {"(forall_pred (", "(exists_pred (", "(forall_func (",
                                               "(exists_func ("};
    static const char* const kInfixOpen[4] = {"forall_pred ", "exists_pred ", "forall_func ", "exists_func "};
    Ref body = quiet_attr(n, st_->api.s_body);
    Ref var = quiet_attr(n, st_->api.s_variable);
    Ref sym = var ? quiet_attr(var.get(), st_->api.s_name) : Ref();
    if (!body || !sym || !PyUnicode_CheckExact(sym.get())) return false;
    const bool universal = row == R_FORALL_PRED || row == R_FORALL_FUNC;
    const char* open = nt_ == N_PREFIX ? kPrefixOpen[row - R_FORALL_PRED]
                       : nt_ == N_LATEX ? (universal ? "\\forall " : "\\exists ")
                                        : kInfixOpen[row - R_FORALL_PRED];
    out_.ascii(open, std::strlen(open));
    out_.text(sym.get());
    if (nt_ == N_PREFIX) out_.lit(") ");
    else out_.lit(", ");
    if (!node(body.get())) return false;
    if (nt_ == N_PREFIX) out_.lit(")");
    return true;
}

bool TextWalk::node(PyObject* n) {
    if (left_-- <= 0) return false;
    struct Up {
        long& l;
        ~Up() { ++l; }
    } up{left_};
    static const char* const kOpen[4] = {"(and ", "(or ", "(=> ", "(<=> "};
    static const char* const kLatex[4] = {" \\land ", " \\lor ", " \\implies ", " \\iff "};
    static const char* const kInfix[4] = {" & ", " | ", " => ", " <=> "};
    int row = node_row(st_, n);
    switch (row) {
        case K_VARIABLE: {
            PyObject* id = reinterpret_cast<VariableNode*>(n)->id;
            if (!PyLong_CheckExact(id)) return false;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(id, &overflow);
            if (overflow || (v == -1 && PyErr_Occurred())) {
                PyErr_Clear();
                return false;
            }
            if (nt_ == N_LATEX) {
                out_.lit("v_{");
                out_.number(v);
                out_.lit("}");
            } else {
                out_.lit("v");
                out_.number(v);
            }
            return true;
        }
        case K_CONSTANT: return name(reinterpret_cast<ConstantNode*>(n)->name);
        case K_FUNCTION_APP: return app<K_FUNCTION_APP>(n);
        case K_PREDICATE_APP: return app<K_PREDICATE_APP>(n);
        case K_EQUALITY: {
            EqualityNode* e = reinterpret_cast<EqualityNode*>(n);
            if (nt_ == N_PREFIX) {
                out_.lit("(= ");
                if (!node(e->left)) return false;
                out_.lit(" ");
                if (!node(e->right)) return false;
                out_.lit(")");
                return true;
            }
            if (!node(e->left)) return false;
            out_.lit(" = ");
            return node(e->right);
        }
        case K_NOT: {
            PyObject* o = reinterpret_cast<NotNode*>(n)->operand;
            if (nt_ == N_PREFIX) {
                out_.lit("(not ");
                if (!node(o)) return false;
                out_.lit(")");
                return true;
            }
            // The operand is exact (or the walk gives up on it), and the
            // module's connective names are the node classes themselves.
            bool wrap = kind_is_binary(st_->api.exact_kind(o));
            if (nt_ == N_LATEX) {
                if (wrap) out_.lit("\\neg (");
                else out_.lit("\\neg ");
            } else {
                if (wrap) out_.lit("~(");
                else out_.lit("~");
            }
            if (!node(o)) return false;
            if (wrap) out_.lit(")");
            return true;
        }
        case K_AND:
        case K_OR:
        case K_IMPLIES:
        case K_IFF: {
            BinaryNode* b = reinterpret_cast<BinaryNode*>(n);
            int i = row - K_AND;
            const char* sep = nt_ == N_PREFIX ? " " : nt_ == N_LATEX ? kLatex[i] : kInfix[i];
            if (nt_ == N_PREFIX) out_.ascii(kOpen[i], std::strlen(kOpen[i]));
            else out_.lit("(");
            if (!node(b->left)) return false;
            out_.ascii(sep, std::strlen(sep));
            if (!node(b->right)) return false;
            out_.lit(")");
            return true;
        }
        case K_FORALL: return quant<K_FORALL>(n);
        case K_EXISTS: return quant<K_EXISTS>(n);
        case R_FORALL_PRED:
        case R_EXISTS_PRED:
        case R_FORALL_FUNC:
        case R_EXISTS_FUNC: return sol(n, row);
        default: return false;
    }
}

PyObject* export_text(State* st, Notation nt, long limit, PyObject* node) {
    TextWalk walk(st, nt, limit);
    return walk.node(node) ? walk.finish() : nullptr;
}

}  // namespace kv::vis
