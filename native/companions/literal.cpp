// Literal: an atom with a sign, the native twin of the Python class of the same
// name in kelvara.prover.clausifier (which exports this one when it loads).
//
// Immutable value record: equality compares (atom, positive) against exact
// Literal instances only, the hash is hash((atom, positive)) taken once at
// construction, and assignment raises FrozenInstanceError.  Two private cache
// slots stay writable through object.__setattr__, as on the Python class:
// `_key` (the structural order key of the reference) and `_order` (the byte
// order key of the native clause order).
//
// Garbage collection: a literal whose atom is an untracked node (the usual
// case: nodes are untracked when no field can lead back to them) cannot be on
// a reference cycle and is left untracked.  A cache slot set to a tracked
// object tracks the literal again.
#include "companions/state.hpp"
#include "companions/display.hpp"

#include <structmember.h>

namespace kv::native {

namespace {

inline LiteralObject* as_literal(PyObject* o) { return reinterpret_cast<LiteralObject*>(o); }

void literal_dealloc(PyObject* self) noexcept;

// True when nothing reachable from the literal can lead back to it.
bool literal_gc_safe(State* st, PyObject* atom) {
    return st->api.exact_kind(atom) >= 0 && !PyObject_GC_IsTracked(atom);
}

Py_hash_t literal_hash_of(PyObject* atom, bool positive) {
    TupleHasher h;
    h.add(atom);
    h.add_hash(positive ? 1 : 0);
    return h.finish();
}

// Fills a freshly allocated literal; `track` says whether the object is tracked now.
PyObject* init_literal(State* st, PyObject* o, PyObject* atom, bool positive, Py_hash_t hash, bool exact) {
    LiteralObject* l = as_literal(o);
    l->atom = Py_NewRef(atom);
    l->positive = Py_NewRef(positive ? Py_True : Py_False);
    l->hash = hash;
    l->key = nullptr;
    l->order = nullptr;
    if (exact && !literal_gc_safe(st, atom)) PyObject_GC_Track(o);
    return o;
}

// The atom of a literal is a PredicateApp or an Equality (subclasses included);
// anything else is refused with a TypeError naming both types, as by the twin.
void check_atom(State* st, PyObject* atom) {
    PyObject* pred = reinterpret_cast<PyObject*>(st->api.types[K_PREDICATE_APP]);
    PyObject* eq = reinterpret_cast<PyObject*>(st->api.types[K_EQUALITY]);
    if (Py_TYPE(atom) == reinterpret_cast<PyTypeObject*>(pred) || Py_TYPE(atom) == reinterpret_cast<PyTypeObject*>(eq))
        return;
    if (check_int(PyObject_IsInstance(atom, pred)) || check_int(PyObject_IsInstance(atom, eq))) return;
    Ref name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(atom)), "__name__"));
    PyErr_Format(PyExc_TypeError, "Literal atom must be a PredicateApp or an Equality, not %S", name.get());
    throw PyErrorSet{};
}

// `validate` is false only for the placeholder of a subclass, which __init__ fills.
PyObject* make_literal(State* st, PyTypeObject* type, PyObject* atom, PyObject* positive_obj, bool validate = true) {
    if (validate) check_atom(st, atom);
    bool positive = positive_obj ? check_int(PyObject_IsTrue(positive_obj)) != 0 : true;
    Py_hash_t hash = literal_hash_of(atom, positive);
    if (type == st->literal_type) {
        PyObject* o = reinterpret_cast<PyObject*>(PyObject_GC_New(LiteralObject, type));
        if (!o) throw PyErrorSet{};
        return init_literal(st, o, atom, positive, hash, true);
    }
    PyObject* o = type->tp_alloc(type, 0);  // tracked
    if (!o) throw PyErrorSet{};
    return init_literal(st, o, atom, positive, hash, false);
}

const char* const kInitNames[] = {"atom", "positive"};

// Literal(atom, positive=True): the exact class.
PyObject* literal_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        State* st = static_cast<State*>(PyType_GetModuleState(reinterpret_cast<PyTypeObject*>(type)));
        if (!st) throw PyErrorSet{};
        PyObject* a[2];
        parse_args("Literal.__init__", kInitNames, 2, 1, args, PyVectorcall_NARGS(nargsf), kwnames, a, true);
        return make_literal(st, reinterpret_cast<PyTypeObject*>(type), a[0], a[1]);
    });
}

// Parses the arguments of a call with a tuple and a dict (tp_new, tp_init).
void parse_tuple_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* args,
                      PyObject* kwds, PyObject** out) {
    TupleCall call(args, kwds);
    parse_args(fname, names, n, nrequired, call.args(), call.nargs(), call.kwnames(), out, true);
}

// Literal.__new__: the exact class builds the literal from the arguments (its
// calls normally take the vectorcall above); a subclass gets a placeholder
// (atom None, positive) that __init__ fills, as the Python twin's __init__ does.
PyObject* literal_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* m = module_by_def(type, &module_def);
        if (!m) throw PyErrorSet{};
        State* st = state_of_module(m);
        if (type == st->literal_type) {
            PyObject* a[2];
            parse_tuple_args("Literal.__init__", kInitNames, 2, 1, args, kwds, a);
            return make_literal(st, type, a[0], a[1]);
        }
        return make_literal(st, type, Py_None, Py_True, false);
    });
}

// Literal.__init__: (re)initialises the fields, as the Python twin's does.
int literal_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    return boundary<int>(-1, [&]() -> int {
        PyObject* m = module_by_def(Py_TYPE(self), &module_def);
        if (!m) throw PyErrorSet{};
        State* st = state_of_module(m);
        PyObject* a[2];
        parse_tuple_args("Literal.__init__", kInitNames, 2, 1, args, kwds, a);
        check_atom(st, a[0]);
        bool positive = a[1] ? check_int(PyObject_IsTrue(a[1])) != 0 : true;
        Py_hash_t hash = literal_hash_of(a[0], positive);
        LiteralObject* l = as_literal(self);
        if (!PyObject_GC_IsTracked(self) && !literal_gc_safe(st, a[0])) PyObject_GC_Track(self);
        PyObject* old = l->atom;
        l->atom = Py_NewRef(a[0]);
        Py_XDECREF(old);
        Py_SETREF(l->positive, Py_NewRef(positive ? Py_True : Py_False));
        l->hash = hash;
        Py_CLEAR(l->key);
        Py_CLEAR(l->order);
        return 0;
    });
}

void literal_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Atoms are arbitrary objects, literals included: the trashcan bounds the
    // C stack when a deep chain is freed.
    Py_TRASHCAN_BEGIN(self, literal_dealloc)
    LiteralObject* l = as_literal(self);
    Py_CLEAR(l->atom);
    Py_CLEAR(l->positive);
    Py_CLEAR(l->key);
    Py_CLEAR(l->order);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

int literal_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    LiteralObject* l = as_literal(self);
    Py_VISIT(l->atom);
    Py_VISIT(l->key);
    Py_VISIT(l->order);
    return 0;
}

// Only the caches are cleared: the atom is part of the value.
int literal_clear(PyObject* self) noexcept {
    LiteralObject* l = as_literal(self);
    Py_CLEAR(l->key);
    Py_CLEAR(l->order);
    return 0;
}

Py_hash_t literal_hash(PyObject* self) noexcept { return as_literal(self)->hash; }

PyObject* literal_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (self == other) return Py_NewRef(op == Py_EQ ? Py_True : Py_False);
    if (!is_exact_literal(other)) Py_RETURN_NOTIMPLEMENTED;
    LiteralObject* a = as_literal(self);
    LiteralObject* b = as_literal(other);
    if (a->hash != b->hash || a->positive != b->positive) return Py_NewRef(op == Py_EQ ? Py_False : Py_True);
    // The atoms' own comparison decides, its result passed on as it is (for ==).
    Ref atom_a = hold(a->atom), atom_b = hold(b->atom);
    PyObject* eq = PyObject_RichCompare(atom_a.get(), atom_b.get(), Py_EQ);
    if (!eq || op == Py_EQ) return eq;
    int truth = PyObject_IsTrue(eq);
    Py_DECREF(eq);
    if (truth < 0) return nullptr;
    return Py_NewRef(truth ? Py_False : Py_True);
}

PyObject* literal_repr(PyObject* self) noexcept {
    LiteralObject* l = as_literal(self);
    Ref atom = hold(l->atom);
    return PyUnicode_FromFormat("Literal(atom=%R, positive=%s)", atom.get(), is_positive(l) ? "True" : "False");
}

PyObject* literal_str(PyObject* self) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* m = module_by_def(Py_TYPE(self), &module_def);
        if (!m) throw PyErrorSet{};
        State* st = state_of_module(m);
        LiteralObject* l = as_literal(self);
        bool positive = is_positive(l);
        Ref atom = hold(l->atom);
        Ref atom_text = clausifier_global(st, st->s_atom_text);
        Ref text = Ref::check(PyObject_CallOneArg(atom_text.get(), atom.get()));
        if (positive) return text.release();
        return check(PyNumber_Add(st->s_tilde, text.get()));
    });
}

PyObject* literal_frozen(PyObject*, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        raise_frozen(state_of_class(cls), "_frozen", args, nargs, kwnames);
    });
}


PyObject* get_cache(PyObject* slot) noexcept { return Py_NewRef(slot ? slot : Py_None); }

// The cache slots: None reads as empty; a tracked value tracks the literal.
int set_cache(PyObject* self, PyObject*& slot, PyObject* value) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyObject_GC_IsTracked(self) && PyObject_GC_IsTracked(value)) PyObject_GC_Track(self);
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
    return 0;
}
PyObject* get_key(PyObject* self, void*) noexcept { return get_cache(as_literal(self)->key); }
int set_key(PyObject* self, PyObject* value, void*) noexcept { return set_cache(self, as_literal(self)->key, value); }
PyObject* get_order(PyObject* self, void*) noexcept { return get_cache(as_literal(self)->order); }
int set_order(PyObject* self, PyObject* value, void*) noexcept {
    return set_cache(self, as_literal(self)->order, value);
}

PyMemberDef literal_members[] = {
    {"atom", T_OBJECT_EX, offsetof(LiteralObject, atom), READONLY, "The atom: a PredicateApp or an Equality."},
    {"positive", T_OBJECT_EX, offsetof(LiteralObject, positive), READONLY,
     "True for the atom itself, False for its negation."},
    {"_hash_cache", T_PYSSIZET, offsetof(LiteralObject, hash), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef literal_getset[] = {
    {"_key", get_key, set_key, nullptr, nullptr},
    {"_order", get_order, set_order, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* literal_negate(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        parse_args("Literal.negate", nullptr, 0, 0, args, nargs, kwnames, nullptr, true);
        LiteralObject* l = as_literal(self);
        Ref atom = hold(l->atom);
        return new_literal(state_of_class(cls), atom.get(), !is_positive(l));
    });
}

PyObject* literal_substitute(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"mapping"};
        PyObject* mapping;
        parse_args("Literal.substitute", names, 1, 1, args, nargs, kwnames, &mapping, true);
        State* st = state_of_class(cls);
        Ref fn = clausifier_global(st, st->s_substitute_formula);
        return substitute_literal(st, self, mapping, fn.get()).release();
    });
}

PyObject* literal_reduce(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        parse_args("Literal.__reduce__", nullptr, 0, 0, args, nargs, kwnames, nullptr, true);
        LiteralObject* l = as_literal(self);
        State* st = state_of_class(cls);
        return check(Py_BuildValue("(O(OO))", st->literal_type, l->atom, l->positive));
    });
}

#define KV_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_METHOD | METH_FASTCALL | METH_KEYWORDS

PyMethodDef literal_methods[] = {
    {"negate", KV_METHOD(literal_negate),
     "negate($self, /)\n--\n\nThe literal with the same atom and the opposite sign."},
    {"substitute", KV_METHOD(literal_substitute),
     "substitute($self, /, mapping)\n--\n\nApply a substitution to the atom; returns ``self`` when nothing changes."},
    {"__reduce__", KV_METHOD(literal_reduce), "__reduce__($self, /)\n--\n\nHelper for pickle."},
    {"__setattr__", KV_METHOD(literal_frozen), kSetattrDoc},
    {"__delattr__", KV_METHOD(literal_frozen), kDelattrDoc},
    KV_DISPLAY_METHODS("literal")
    {nullptr, nullptr, 0, nullptr},
};

const char kLiteralDoc[] =
    "Literal(atom, positive=True)\n--\n\n"
    "An atom with a sign: ``positive`` is True for the atom itself, False for its negation.\n\n"
    "Immutable value record; equality compares (``atom``, ``positive``) between\n"
    "literals only, and the hash is computed once at construction.";

PyType_Slot literal_slots[] = {
    {Py_tp_doc, const_cast<char*>(kLiteralDoc)},
    {Py_tp_new, reinterpret_cast<void*>(literal_new)},
    {Py_tp_init, reinterpret_cast<void*>(literal_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(literal_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(literal_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(literal_clear)},
    {Py_tp_hash, reinterpret_cast<void*>(literal_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(literal_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(literal_repr)},
    {Py_tp_str, reinterpret_cast<void*>(literal_str)},
    {Py_tp_getset, literal_getset},
    {Py_tp_members, literal_members},
    {Py_tp_methods, literal_methods},
    {0, nullptr},
};

PyType_Spec literal_spec = {
    "kelvara.prover.clausifier.Literal",
    sizeof(LiteralObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    literal_slots,
};

}  // namespace

void parse_call_args(const char* fname, const char* const* names, int n, int nrequired, PyObject* args,
                     PyObject* kwds, PyObject** out) {
    parse_tuple_args(fname, names, n, nrequired, args, kwds, out);
}

bool is_exact_literal(PyObject* o) { return Py_TYPE(o)->tp_dealloc == literal_dealloc; }

PyObject* new_literal(State* st, PyObject* atom, bool positive) {
    Py_hash_t hash = literal_hash_of(atom, positive);
    PyObject* o = reinterpret_cast<PyObject*>(PyObject_GC_New(LiteralObject, st->literal_type));
    if (!o) throw PyErrorSet{};
    return init_literal(st, o, atom, positive, hash, true);
}

Ref substitute_literal(State* st, PyObject* lit, PyObject* mapping, PyObject* substitute_formula) {
    LiteralObject* l = as_literal(lit);
    bool positive = is_positive(l);
    Ref old = hold(l->atom);
    Ref atom = substitute_formula == st->native_substitute_formula
                   ? substitute_formula_impl(st, old.get(), mapping)
                   : Ref::check(PyObject_CallFunctionObjArgs(substitute_formula, old.get(), mapping, nullptr));
    if (atom.get() == old.get()) return Ref::borrow(lit);
    return Ref::steal(new_literal(st, atom.get(), positive));
}

PyTypeObject* make_literal_type(PyObject* module, State* st) {
    Ref type = Ref::check(PyType_FromModuleAndSpec(module, &literal_spec, nullptr));
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    tp->tp_vectorcall = literal_vectorcall;
    make_frozen(tp, st);
    Ref match_args = Ref::check(Py_BuildValue("(ss)", "atom", "positive"));
    check_int(PyObject_SetAttr(type.get(), st->s_match_args, match_args.get()));
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace kv::native
