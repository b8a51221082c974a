// The order of the literals of a clause: each literal gets a byte string whose
// byte-wise order is the order of the structural key of the Python reference
// (literal_sort_key in kelvara.prover.clausifier), so both sort every clause
// the same way.  The key depends on symbol names, arities, variable ids and
// kinds, sort class names and sort names, and the sign; never on hash() or id().
//
// Encoding, position by position as the reference's nested tuples compare:
//   str    UTF-8 with bytes 0x00/0x01 escaped as 0x01 0x01/0x01 0x02, then 0x00
//          (so a string sorts before its extensions)
//   int    eight bytes, big-endian, sign bit flipped (ints beyond 64 bits: fallback)
//   tag    one byte 0x01.. (the small leading integer of each tuple)
//   tuple  of terms: the elements, then 0x00 (every element starts with a tag >= 0x01)
// Anything the encoding does not cover (subclasses of node classes, symbols or
// sorts with unusual attributes) sends the whole clause to the reference.
#include "companions/state.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kv::native {

namespace {

struct Encoder {
    // Room for the keys of a usual clause, taken once instead of grown by steps.
    Encoder(State* s, const AstApi& a) : st(s), api(a) { out.reserve(256); }

    State* st;
    const AstApi& api;
    std::string out;
    PyObject* last_sort = nullptr;  // compared by address only
    Ref last_sort_key;
    uintptr_t floor = stack_floor();

    void tag(int t) { out.push_back(static_cast<char>(t)); }

    void str(PyObject* s) {
        if (!PyUnicode_CheckExact(s)) throw Fallback{};
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        if (!p) {
            PyErr_Clear();  // lone surrogates: let the reference order it
            throw Fallback{};
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(p[i]);
            if (c <= 1) {
                out.push_back('\x01');
                out.push_back(static_cast<char>(c + 1));
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        out.push_back('\0');
    }

    void integer(PyObject* o) {
        long small;
        long long v;
        if (small_int_value(o, small)) {
            v = small;
        } else {
            if (!PyLong_Check(o)) throw Fallback{};
            int overflow = 0;
            v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (overflow) throw Fallback{};
            if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
        }
        unsigned long long u = static_cast<unsigned long long>(v) ^ (1ULL << 63);
        char bytes[8];
        for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((u >> (56 - 8 * i)) & 0xff);
        out.append(bytes, 8);
    }

    // (type(sort).__name__, sort.name or str(sort)); cached for interned sorts,
    // the last one used also here.
    void sort(PyObject* s) {
        if (s == last_sort && last_sort_key) {
            out.append(PyBytes_AS_STRING(last_sort_key.get()), static_cast<size_t>(PyBytes_GET_SIZE(last_sort_key.get())));
            return;
        }
        bool interned = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(api.sort_types); ++i)
            if (reinterpret_cast<PyObject*>(Py_TYPE(s)) == PyTuple_GET_ITEM(api.sort_types, i)) interned = true;
        if (interned) {
            PyObject* cached = PyDict_GetItemWithError(st->sort_keys, s);
            if (cached) {
                last_sort = s;  // interned sorts live as long as the cache holds them
                last_sort_key = Ref::borrow(cached);
                out.append(PyBytes_AS_STRING(cached), static_cast<size_t>(PyBytes_GET_SIZE(cached)));
                return;
            }
            if (PyErr_Occurred()) throw PyErrorSet{};
        }
        size_t mark = out.size();
        Ref tname = Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(s)), st->s___name__));
        str(tname.get());
        Ref name = lookup_attr(s, api.s_name);
        if (!name) name = Ref::check(PyObject_Str(s));
        str(name.get());
        if (interned) {
            Ref bytes = Ref::check(PyBytes_FromStringAndSize(out.data() + mark, static_cast<Py_ssize_t>(out.size() - mark)));
            check_int(PyDict_SetItem(st->sort_keys, s, bytes.get()));
        }
    }

    // (0, name) for a str symbol; (1, type name, str(name), index, arity) otherwise.
    void symbol(PyObject* sym) {
        if (PyUnicode_CheckExact(sym)) {
            tag(1);
            str(sym);
            return;
        }
        if (PyUnicode_Check(sym)) throw Fallback{};
        tag(2);
        Ref tname = Ref::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(sym)), st->s___name__));
        str(tname.get());
        Ref name = lookup_attr(sym, api.s_name);
        Ref text = Ref::check(PyObject_Str(name && name.get() != Py_None ? name.get() : sym));
        str(text.get());
        Ref index = lookup_attr(sym, api.s_index);
        Ref arity = lookup_attr(sym, api.s_arity);
        Ref minus_one = Ref::check(PyLong_FromLong(-1));
        integer(index ? index.get() : minus_one.get());
        integer(arity ? arity.get() : minus_one.get());
    }

    void term(PyObject* t) {
        switch (api.exact_kind(t)) {
            case K_VARIABLE: {
                auto* v = reinterpret_cast<VariableNode*>(t);
                tag(1);
                integer(v->id);
                sort(v->sort);
                if (v->vkind == api.vk_individual) str_ascii("INDIVIDUAL");
                else if (v->vkind == api.vk_predicate) str_ascii("PREDICATE");
                else if (v->vkind == api.vk_function) str_ascii("FUNCTION");
                else throw Fallback{};
                return;
            }
            case K_CONSTANT: {
                auto* c = reinterpret_cast<ConstantNode*>(t);
                tag(2);
                str(c->name);
                sort(c->sort);
                return;
            }
            case K_FUNCTION_APP: {
                RecursionGuard guard(" while ordering literals", floor);
                auto* f = reinterpret_cast<FunctionAppNode*>(t);
                tag(3);
                symbol(f->func);
                integer(f->arity);
                sort(f->return_sort);
                terms(f->args);
                return;
            }
            default: throw Fallback{};
        }
    }

    void terms(PyObject* args) {
        if (!PyTuple_CheckExact(args)) throw Fallback{};
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) term(PyTuple_GET_ITEM(args, i));
        out.push_back('\0');
    }

    void str_ascii(const char* s) {
        out.append(s);
        out.push_back('\0');
    }

    void atom(PyObject* a) {
        switch (api.exact_kind(a)) {
            case K_PREDICATE_APP: {
                auto* p = reinterpret_cast<PredicateAppNode*>(a);
                tag(1);
                symbol(p->pred);
                integer(p->arity);
                terms(p->args);
                return;
            }
            case K_EQUALITY: {
                auto* e = reinterpret_cast<EqualityNode*>(a);
                tag(2);
                term(e->left);
                term(e->right);
                return;
            }
            default: throw Fallback{};
        }
    }
};

// Sets `enc.out` to the key of (atom, positive).
void encode(Encoder& enc, PyObject* atom, bool positive) {
    enc.out.clear();
    enc.atom(atom);
    enc.tag(positive ? 1 : 2);
}

Ref key_bytes(const Encoder& enc) {
    return Ref::check(PyBytes_FromStringAndSize(enc.out.data(), static_cast<Py_ssize_t>(enc.out.size())));
}

// The cached ordering key of a literal, computed and stored on first use.
Ref literal_key(State* st, Encoder& enc, PyObject* lit) {
    if (is_exact_literal(lit)) {
        auto* l = reinterpret_cast<LiteralObject*>(lit);
        if (l->order) {
            if (!PyBytes_CheckExact(l->order)) throw Fallback{};
            return Ref::borrow(l->order);
        }
        bool positive = is_positive(l);
        Ref atom = hold(l->atom);
        encode(enc, atom.get(), positive);
        Ref key = key_bytes(enc);
        // Python code run by the encoding may have written the slot meanwhile.
        Py_XSETREF(l->order, Ref::borrow(key.get()).release());
        return key;
    }
    Ref cached = Ref::check(PyObject_GetAttr(lit, st->s_order));
    if (cached.get() != Py_None) {
        if (!PyBytes_CheckExact(cached.get())) throw Fallback{};
        return cached;
    }
    Ref atom = Ref::check(PyObject_GetAttr(lit, st->s_atom));
    Ref positive = Ref::check(PyObject_GetAttr(lit, st->s_positive));
    encode(enc, atom.get(), check_int(PyObject_IsTrue(positive.get())) != 0);
    Ref key = key_bytes(enc);
    // Literals are frozen for their users; the cache slot is written past that.
    check_int(PyObject_GenericSetAttr(lit, st->s_order, key.get()));
    return key;
}

struct Entry {
    PyObject* lit;  // borrowed from the input set
    Ref key;
};

bool key_less(PyObject* a, PyObject* b) {
    Py_ssize_t na = PyBytes_GET_SIZE(a), nb = PyBytes_GET_SIZE(b);
    int c = std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<size_t>(std::min(na, nb)));
    return c < 0 || (c == 0 && na < nb);
}

// The literals of a frozenset in clause order; throws Fallback.
Ref sorted_literals(State* st, PyObject* lits) {
    Encoder enc{st, st->api};
    Py_ssize_t n = PySet_GET_SIZE(lits);
    SmallStack<Entry, 8> entries;
    try {
        // The set owns the literals for as long as `entries` lives.
        for_each_in_set(lits, [&](PyObject* lit) { entries.emplace_back(Entry{lit, literal_key(st, enc, lit)}); });
    } catch (const PyErrorSet&) {
        // The reference raises its own error for such a literal, if any.
        if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
        PyErr_Clear();
        throw Fallback{};
    }
    // Insertion sort: clauses are short, and it is stable.
    for (size_t i = 1; i < entries.size(); ++i) {
        for (size_t j = i; j > 0 && key_less(entries[j].key.get(), entries[j - 1].key.get()); --j)
            std::swap(entries[j], entries[j - 1]);
    }
    Ref result = Ref::check(PyTuple_New(n));
    for (size_t i = 0; i < entries.size(); ++i)
        PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(entries[i].lit));
    return result;
}

PyObject* sort_literals(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"literals"};
        PyObject* lits;
        parse_args("sort_literals", names, 1, 1, args, nargs, kwnames, &lits);
        State* st = state_of_module(module);
        if (!PyFrozenSet_CheckExact(lits))
            return call_reference(st, "kelvara.prover.clausifier", st->s_sort_literals, &lits, 1);
        return order_literal_set(st, lits).release();
    });
}

}  // namespace

Ref literal_order_key(State* st, PyObject* lit) {
    Encoder enc{st, st->api};
    return literal_key(st, enc, lit);
}

Ref order_literal_set(State* st, PyObject* lits) {
    try {
        return sorted_literals(st, lits);
    } catch (const Fallback&) {
        return Ref::check(call_reference(st, "kelvara.prover.clausifier", st->s_sort_literals, &lits, 1));
    }
}

PyMethodDef sort_literals_def = {
    "sort_literals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sort_literals)),
    METH_FASTCALL | METH_KEYWORDS,
    "sort_literals($module, /, literals)\n--\n\n"
    "The literals of a frozenset as a tuple in the deterministic clause order."};

}  // namespace kv::native
