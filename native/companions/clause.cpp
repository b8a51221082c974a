// Clause: a disjunction of literals, the native twin of the Python class of
// the same name in kelvara.prover.clausifier (which exports this one).
//
// A clause holds the frozenset it was built from (equality and hashing are
// those of the set; the hash is taken once) and the same literals as a tuple
// in the deterministic clause order of the native literal order, whose byte
// keys are cached in the literals.  `substitute` substitutes every atom with
// the native substitution, which returns an atom untouched by the mapping
// itself (its cached free variables say so without a walk); when no literal
// changes, the new clause shares the set, the tuple and the hash.
//
// Garbage collection: a clause whose literals are all untracked literals
// cannot be on a reference cycle and is left untracked; so are the tuple and
// the frozenset that the clause creates itself (never a caller's set).  The
// one way around this is writing an object that refers back to the clause
// into a literal's private cache slot with object.__setattr__: such a cycle
// is never collected (a leak, not a crash).
#include "companions/state.hpp"
#include "companions/display.hpp"

#include <structmember.h>

namespace kv::native {

namespace {

inline ClauseObject* as_clause(PyObject* o) { return reinterpret_cast<ClauseObject*>(o); }

void clause_dealloc(PyObject* self) noexcept;

// True when every element of the tuple is an untracked Literal of the exact class.
bool literals_gc_safe(PyObject* literals) {
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(literals); i < n; ++i) {
        PyObject* l = PyTuple_GET_ITEM(literals, i);
        if (!is_exact_literal(l) || PyObject_GC_IsTracked(l)) return false;
    }
    return true;
}

// The parts of a clause.
struct Parts {
    Ref set;       // frozenset of the literals
    Ref literals;  // the same in clause order
    Py_hash_t hash;
    bool safe;     // every literal is an untracked Literal of the exact class
};

// The parts of a clause with the literal set `set`; `own_set` when the set was made here.
Parts parts_from_set(State* st, Ref set, bool own_set) {
    PyObject* s = set.get();
    Ref literals = PySet_GET_SIZE(s) < 2 ? Ref::check(PySequence_Tuple(s)) : order_literal_set(st, s);
    if (!PyTuple_CheckExact(literals.get())) literals = Ref::check(PySequence_Tuple(literals.get()));
    Py_hash_t hash = PyObject_Hash(s);
    if (hash == -1) throw PyErrorSet{};
    bool safe = literals_gc_safe(literals.get());
    if (safe) {
        // Immutable containers of untracked objects: the interpreter untracks
        // such tuples itself, lazily.
        PyObject_GC_UnTrack(literals.get());
        if (own_set) PyObject_GC_UnTrack(s);
    }
    return {std::move(set), std::move(literals), hash, safe};
}

// Every element of a clause's literal set is a Literal: of this module, or of
// the Python reference class (subclasses included); anything else is refused
// with a TypeError naming the received type, as by the twin.
void check_literals(State* st, PyObject* set) {
    Ref reference;
    Ref it = Ref::check(PyObject_GetIter(set));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        PyObject* o = item.get();
        if (Py_TYPE(o) == st->literal_type) continue;
        if (check_int(PyObject_IsInstance(o, reinterpret_cast<PyObject*>(st->literal_type)))) continue;
        if (!reference) {
            Ref name = Ref::check(PyUnicode_FromString("_PythonLiteral"));
            reference = clausifier_global(st, name.get());
        }
        if (check_int(PyObject_IsInstance(o, reference.get()))) continue;
        Ref type_name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
        PyErr_Format(PyExc_TypeError, "Clause literals must be Literal, not %S", type_name.get());
        throw PyErrorSet{};
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

// The parts of Clause(literals); nullptr stands for the default, no literals.
Parts parts_from_argument(State* st, PyObject* literals) {
    if (!literals) return parts_from_set(st, Ref::check(PyFrozenSet_New(nullptr)), true);
    if (PyFrozenSet_CheckExact(literals)) {
        check_literals(st, literals);
        return parts_from_set(st, Ref::borrow(literals), false);
    }
    Ref set = Ref::check(PyFrozenSet_New(literals));
    check_literals(st, set.get());
    return parts_from_set(st, std::move(set), true);
}

// Allocates a clause of `type` holding the parts.
PyObject* alloc_clause(State* st, PyTypeObject* type, Parts p) {
    PyObject* o;
    bool exact = type == st->clause_type;
    if (exact) {
        o = reinterpret_cast<PyObject*>(PyObject_GC_New(ClauseObject, type));
    } else {
        o = type->tp_alloc(type, 0);  // tracked
    }
    if (!o) throw PyErrorSet{};
    ClauseObject* c = as_clause(o);
    c->hash = p.hash;
    c->set = p.set.release();
    c->literals = p.literals.release();
    if (exact && !p.safe) PyObject_GC_Track(o);
    return o;
}

// A new clause of the exact class with the parts of `c`.
PyObject* share_clause(State* st, PyObject* c) {
    ClauseObject* src = as_clause(c);
    bool safe = Py_TYPE(c) == st->clause_type ? !PyObject_GC_IsTracked(c) : literals_gc_safe(src->literals);
    return alloc_clause(st, st->clause_type, {hold(src->set), hold(src->literals), src->hash, safe});
}

const char* const kInitNames[] = {"literals"};

PyObject* clause_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type)));
        if (!st) throw PyErrorSet{};
        PyObject* lits;
        parse_args("Clause.__init__", kInitNames, 1, 0, args, PyVectorcall_NARGS(nargsf), kwnames, &lits, true);
        return alloc_clause(st, reinterpret_cast<PyTypeObject*>(type), parts_from_argument(st, lits));
    });
}

// Clause.__new__: the exact class builds the clause from the arguments (its
// calls normally take the vectorcall above); a subclass gets an empty clause
// that __init__ fills, as the Python twin's __init__ does.
PyObject* clause_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* m = module_by_def(type, &module_def);
        if (!m) throw PyErrorSet{};
        State* st = state_of_module(m);
        PyObject* lits = nullptr;
        if (type == st->clause_type) parse_call_args("Clause.__init__", kInitNames, 1, 0, args, kwds, &lits);
        return alloc_clause(st, type, parts_from_argument(st, lits));
    });
}

// Clause.__init__: (re)initialises the fields, as the Python twin's does.
int clause_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    return boundary<int>(-1, [&]() -> int {
        PyObject* m = module_by_def(Py_TYPE(self), &module_def);
        if (!m) throw PyErrorSet{};
        State* st = state_of_module(m);
        PyObject* lits;
        parse_call_args("Clause.__init__", kInitNames, 1, 0, args, kwds, &lits);
        Parts p = parts_from_argument(st, lits);
        if (!p.safe && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
        ClauseObject* c = as_clause(self);
        PyObject* old_set = c->set;
        PyObject* old_lits = c->literals;
        c->set = p.set.release();
        c->literals = p.literals.release();
        c->hash = p.hash;
        Py_XDECREF(old_set);
        Py_XDECREF(old_lits);
        return 0;
    });
}

void clause_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Literals may be arbitrary objects, clauses included: the trashcan bounds
    // the C stack when a deep chain is freed.
    Py_TRASHCAN_BEGIN(self, clause_dealloc)
    ClauseObject* c = as_clause(self);
    Py_CLEAR(c->set);
    Py_CLEAR(c->literals);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

int clause_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    ClauseObject* c = as_clause(self);
    Py_VISIT(c->set);
    Py_VISIT(c->literals);
    return 0;
}

Py_hash_t clause_hash(PyObject* self) noexcept { return as_clause(self)->hash; }

PyObject* clause_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (self == other) return Py_NewRef(op == Py_EQ ? Py_True : Py_False);
    if (!is_exact_clause(other)) Py_RETURN_NOTIMPLEMENTED;
    ClauseObject* a = as_clause(self);
    ClauseObject* b = as_clause(other);
    if (a->hash != b->hash) return Py_NewRef(op == Py_EQ ? Py_False : Py_True);
    Ref set_a = hold(a->set), set_b = hold(b->set);
    return PyObject_RichCompare(set_a.get(), set_b.get(), op);
}

Py_ssize_t clause_length(PyObject* self) noexcept { return PyTuple_GET_SIZE(as_clause(self)->literals); }

int clause_contains(PyObject* self, PyObject* item) noexcept {
    Ref set = hold(as_clause(self)->set);
    return PySequence_Contains(set.get(), item);
}

PyObject* clause_iter(PyObject* self) noexcept { return PyObject_GetIter(as_clause(self)->literals); }

// Joins f(literal) for every literal with `sep`.
template <class F>
PyObject* join_literals(PyObject* self, PyObject* sep, F&& f) {
    Ref held = hold(as_clause(self)->literals);
    PyObject* lits = held.get();
    Py_ssize_t n = PyTuple_GET_SIZE(lits);
    Ref parts = Ref::check(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(parts.get(), i, check(f(PyTuple_GET_ITEM(lits, i))));
    return check(PyUnicode_Join(sep, parts.get()));
}

State* state_of_instance(PyObject* self) {
    PyObject* m = module_by_def(Py_TYPE(self), &module_def);
    if (!m) throw PyErrorSet{};
    return state_of_module(m);
}

PyObject* clause_str(PyObject* self) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_instance(self);
        if (PyTuple_GET_SIZE(as_clause(self)->literals) == 0) return Py_NewRef(st->s_empty_text);
        return join_literals(self, st->s_bar, PyObject_Str);
    });
}

PyObject* clause_repr(PyObject* self) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = state_of_instance(self);
        if (PyTuple_GET_SIZE(as_clause(self)->literals) == 0) return PyUnicode_FromString("Clause(frozenset())");
        Ref inner = Ref::steal(join_literals(self, st->s_comma, PyObject_Repr));
        return PyUnicode_FromFormat("Clause(frozenset({%U}))", inner.get());
    });
}

PyObject* clause_frozen(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        raise_frozen(state_of_class(cls), "_frozen", args, nargs, kwnames);
    });
}

PyMemberDef clause_members[] = {
    {"literals", T_OBJECT_EX, offsetof(ClauseObject, literals), READONLY, "The literals as a tuple, in clause order."},
    {"literal_set", T_OBJECT_EX, offsetof(ClauseObject, set), READONLY, "The literals as a frozenset."},
    {"_set", T_OBJECT_EX, offsetof(ClauseObject, set), READONLY, nullptr},
    {"_hash_cache", T_PYSSIZET, offsetof(ClauseObject, hash), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* clause_is_empty(PyObject* self, PyTypeObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        parse_args("Clause.is_empty", nullptr, 0, 0, args, nargs, kwnames, nullptr, true);
        return Py_NewRef(PyTuple_GET_SIZE(as_clause(self)->literals) == 0 ? Py_True : Py_False);
    });
}

// Adds every element of the iterable `fv` to the set `acc`.
void update_set(PyObject* acc, PyObject* fv) {
    if (PyAnySet_Check(fv)) {
        for_each_in_set(fv, [&](PyObject* key) { check_int(PySet_Add(acc, key)); });
        return;
    }
    Ref it = Ref::check(PyObject_GetIter(fv));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref v = Ref::steal(item);
        check_int(PySet_Add(acc, v.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

PyObject* clause_free_variables(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        parse_args("Clause.free_variables", nullptr, 0, 0, args, nargs, kwnames, nullptr, true);
        State* st = state_of_class(cls);
        const AstApi& api = st->api;
        Ref result = Ref::check(PySet_New(nullptr));
        Ref held = hold(as_clause(self)->literals);
        PyObject* lits = held.get();
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lits); ++i) {
            PyObject* lit = PyTuple_GET_ITEM(lits, i);
            if (is_exact_literal(lit)) {
                Ref held_atom = hold(reinterpret_cast<LiteralObject*>(lit)->atom);
                PyObject* atom = held_atom.get();
                int k = api.exact_kind(atom);
                if (kind_has_free_vars(k)) {
                    for_each_free_var(atom, k, [&](PyObject* v) { check_int(PySet_Add(result.get(), v)); });
                    continue;
                }
            }
            // As the reference: the atom's cached `_free_vars`, else free_variables(atom).
            Ref atom = Ref::check(PyObject_GetAttr(lit, st->s_atom));
            Ref fv = lookup_attr(atom.get(), api.s_free_vars);
            if (!fv || fv.get() == Py_None) {
                Ref fn = clausifier_global(st, st->s_free_variables);
                fv = Ref::check(PyObject_CallOneArg(fn.get(), atom.get()));
            }
            update_set(result.get(), fv.get());
        }
        return result.release();
    });
}

PyObject* clause_substitute(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"mapping"};
        PyObject* mapping;
        parse_args("Clause.substitute", names, 1, 1, args, nargs, kwnames, &mapping, true);
        State* st = state_of_class(cls);
        bool nonempty = PyDict_CheckExact(mapping) ? PyDict_GET_SIZE(mapping) != 0
                                                   : check_int(PyObject_IsTrue(mapping)) != 0;
        if (!nonempty) return share_clause(st, self);
        Ref fn = clausifier_global(st, st->s_substitute_formula);
        Ref held = hold(as_clause(self)->literals);
        PyObject* lits = held.get();
        Py_ssize_t n = PyTuple_GET_SIZE(lits);
        Ref out = Ref::check(PyTuple_New(n));
        bool changed = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* lit = PyTuple_GET_ITEM(lits, i);
            Ref r = is_exact_literal(lit) ? substitute_literal(st, lit, mapping, fn.get())
                                          : Ref::check(PyObject_CallMethodOneArg(lit, st->s_substitute, mapping));
            if (r.get() != lit) changed = true;
            PyTuple_SET_ITEM(out.get(), i, r.release());
        }
        if (!changed) return share_clause(st, self);
        return alloc_clause(st, st->clause_type, parts_from_set(st, Ref::check(PyFrozenSet_New(out.get())), true));
    });
}

PyObject* clause_reduce(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        parse_args("Clause.__reduce__", nullptr, 0, 0, args, nargs, kwnames, nullptr, true);
        State* st = state_of_class(cls);
        return check(Py_BuildValue("(O(O))", st->clause_type, as_clause(self)->set));
    });
}

#define KV_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_METHOD | METH_FASTCALL | METH_KEYWORDS

PyMethodDef clause_methods[] = {
    {"is_empty", KV_METHOD(clause_is_empty), "is_empty($self, /)\n--\n\nTrue for the empty clause (falsity)."},
    {"free_variables", KV_METHOD(clause_free_variables),
     "free_variables($self, /)\n--\n\nA new set of the variables occurring in the clause's literals."},
    {"substitute", KV_METHOD(clause_substitute),
     "substitute($self, /, mapping)\n--\n\nA new clause with ``mapping`` applied to every literal; equal literals merge."},
    {"__reduce__", KV_METHOD(clause_reduce), "__reduce__($self, /)\n--\n\nHelper for pickle."},
    {"__setattr__", KV_METHOD(clause_frozen), kSetattrDoc},
    {"__delattr__", KV_METHOD(clause_frozen), kDelattrDoc},
    KV_DISPLAY_METHODS("clause")
    {nullptr, nullptr, 0, nullptr},
};

const char kClauseDoc[] =
    "Clause(literals=())\n--\n\n"
    "A disjunction of literals, built from one (frozen)set of ``Literal``.\n\n"
    "``literals`` is a tuple in the deterministic order of\n"
    ":func:`literal_sort_key`; equality and hashing are those of the literal\n"
    "set.  The empty clause (no literals) stands for falsity.";

PyType_Slot clause_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClauseDoc)},
    {Py_tp_new, reinterpret_cast<void*>(clause_new)},
    {Py_tp_init, reinterpret_cast<void*>(clause_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(clause_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(clause_traverse)},
    {Py_tp_hash, reinterpret_cast<void*>(clause_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(clause_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(clause_repr)},
    {Py_tp_str, reinterpret_cast<void*>(clause_str)},
    {Py_tp_iter, reinterpret_cast<void*>(clause_iter)},
    {Py_sq_length, reinterpret_cast<void*>(clause_length)},
    {Py_sq_contains, reinterpret_cast<void*>(clause_contains)},
    {Py_tp_members, clause_members},
    {Py_tp_methods, clause_methods},
    {0, nullptr},
};

PyType_Spec clause_spec = {
    "kelvara.prover.clausifier.Clause",
    sizeof(ClauseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    clause_slots,
};

}  // namespace

bool is_exact_clause(PyObject* o) { return Py_TYPE(o)->tp_dealloc == clause_dealloc; }

PyTypeObject* make_clause_type(PyObject* module, State* st) {
    Ref type = Ref::check(PyType_FromModuleAndSpec(module, &clause_spec, nullptr));
    reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = clause_vectorcall;
    make_frozen(reinterpret_cast<PyTypeObject*>(type.get()), st);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

void add_clause_types(PyObject* module, State* st) {
    st->literal_type = make_literal_type(module, st);
    st->clause_type = make_clause_type(module, st);
    check_int(PyModule_AddObjectRef(module, "Literal", reinterpret_cast<PyObject*>(st->literal_type)));
    check_int(PyModule_AddObjectRef(module, "Clause", reinterpret_cast<PyObject*>(st->clause_type)));
}

int traverse_clause_types(State* st, visitproc visit, void* arg) {
    Py_VISIT(st->literal_type);
    Py_VISIT(st->clause_type);
    return 0;
}

}  // namespace kv::native
