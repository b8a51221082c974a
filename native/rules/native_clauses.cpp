// Fast paths of the rules over the native clause records: renaming a clause
// apart, and building a resolvent or paramodulant, without the detours through
// Python sets, dicts and intermediate clauses that the general path takes.
//
// Renaming apart: the literals of the renamed clause, in its order.
// standardize() computes c2.substitute({v: Variable(v.id + offset, ...)}) and
// the rules then read only the literals of the result.  For clauses of the
// native Clause class whose literals are native Literals over exact atoms and
// terms (exact tuples of arguments, str symbols, interned sorts, variables with
// small int ids), nothing in that computation can run Python code, so it is
// done here directly: each literal's atom is rebuilt with its variables
// shifted, a literal without variables is kept itself (as Clause.substitute
// keeps it), and the literals stay in c2's order.  The clause order compares
// literal keys position by position, variables by id; shifting every variable
// by one offset is injective and keeps every such comparison, so the renamed
// literals sort exactly as the originals did.  That holds for the native byte
// keys, which the clause built when every literal carries one.
//
// Building Clause(frozenset(literals)).substitute(unifier): each literal is
// substituted with the native substitute_formula (kept itself when its atom
// does not change, as Clause.substitute keeps it) and the clause is built once
// from the substituted set, so the literals are ordered once instead of twice.
// The result is equal to the general path's and so is its literal order; of
// two literals that become equal, the one met first stays.
//
// Whenever the classes or the companions involved were rebound or patched
// (Clause.substitute, Literal.atom, the clausifier's substitute_formula, ...)
// or an input is outside that domain, the caller takes the general path.
#include "rules/state.hpp"

#include "common/compat.hpp"
#include "common/records.hpp"

#include <vector>

namespace kv::rules {

namespace {

// Thrown by the checks below: take the general path (no Python error set).
struct NotFast {};

// True when every `names[i]` in the class's own namespace is still `originals[i]`.
// A class whose version tag has not changed since the last positive check has
// not been modified; the tag is remembered when the class has one.
bool own_attributes_are(PyTypeObject* tp, unsigned int& seen, PyObject* const* names, PyObject* const* originals,
                        int n) {
    unsigned int v = type_version(tp);
    if (v != 0 && v == seen) return true;
    for (int i = 0; i < n; ++i) {
        PyObject* cur = PyDict_GetItemWithError(tp->tp_dict, names[i]);
        if (cur != originals[i]) {
            if (!cur && PyErr_Occurred()) throw PyErrorSet{};
            return false;
        }
    }
    // A lookup gives the class a version tag again when it has none
    // (modifying a class drops it; creating instances does not restore it).
    if (type_version(tp) == 0) type_lookup_peek(tp, names[0]);
    seen = type_version(tp);
    return true;
}

bool is_interned_sort(const AstApi& api, PyObject* s) {
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(s));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(api.sort_types); i < n; ++i)
        if (tp == PyTuple_GET_ITEM(api.sort_types, i)) return true;
    return false;
}

// Checks that rebuilding `t` with shifted variables cannot run Python code and
// builds what the general path builds; throws NotFast otherwise.
void check_term(const AstApi& api, PyObject* t) {
    switch (api.exact_kind(t)) {
        case K_VARIABLE: {
            auto* v = reinterpret_cast<VariableNode*>(t);
            long id;
            if (!small_int_value(v->id, id) || !is_interned_sort(api, v->sort)) throw NotFast{};
            Py_hash_t h;
            if (!api.kind_hash(v->vkind, h)) throw NotFast{};
            return;
        }
        case K_CONSTANT: return;
        case K_FUNCTION_APP: {
            auto* f = reinterpret_cast<FunctionAppNode*>(t);
            PyObject* args = indexable_args(t, K_FUNCTION_APP);
            if (!args || !PyUnicode_CheckExact(f->func) || !PyLong_CheckExact(f->arity) ||
                !is_interned_sort(api, f->return_sort))
                throw NotFast{};
            RecursionGuard guard(" while renaming a clause");
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) check_term(api, PyTuple_GET_ITEM(args, i));
            return;
        }
        default: throw NotFast{};
    }
}

// The kind of an atom on the fast path (PredicateApp or Equality), checked.
int check_atom(const AstApi& api, PyObject* atom) {
    int k = api.exact_kind(atom);
    if (k == K_PREDICATE_APP) {
        auto* p = reinterpret_cast<PredicateAppNode*>(atom);
        PyObject* args = indexable_args(atom, k);
        if (!args || !PyUnicode_CheckExact(p->pred) || !PyLong_CheckExact(p->arity)) throw NotFast{};
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) check_term(api, PyTuple_GET_ITEM(args, i));
    } else if (k == K_EQUALITY) {
        auto* e = reinterpret_cast<EqualityNode*>(atom);
        check_term(api, e->left);
        check_term(api, e->right);
    } else {
        throw NotFast{};
    }
    return k;
}

bool has_free_vars(PyObject* atom, int k) { return has_cached_free_vars(atom, k); }

// The literals of a native clause, checked: every atom's kind, and with
// `renamed` every term under it, and the byte order key of each literal.
Ref checked_literals(State* st, PyObject* clause, bool renamed) {
    if (Py_TYPE(clause) != st->clause_type) throw NotFast{};
    Ref lits = hold(reinterpret_cast<ClauseObject*>(clause)->literals);
    Py_ssize_t n = PyTuple_GET_SIZE(lits.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* l = PyTuple_GET_ITEM(lits.get(), i);
        if (Py_TYPE(l) != st->literal_type) throw NotFast{};
        auto* lit = reinterpret_cast<LiteralObject*>(l);
        if (!renamed) {
            int k = st->api.exact_kind(lit->atom);
            if (k != K_PREDICATE_APP && k != K_EQUALITY) throw NotFast{};
            continue;
        }
        if (n >= 2 && !(lit->order && PyBytes_CheckExact(lit->order))) throw NotFast{};
        check_atom(st->api, lit->atom);
    }
    return lits;
}

// The largest id among the free variables of the literals; false when there are none.
bool max_free_id(const AstApi& api, PyObject* lits, long& best) {
    bool any = false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(lits); i < n; ++i) {
        PyObject* atom = reinterpret_cast<LiteralObject*>(PyTuple_GET_ITEM(lits, i))->atom;
        for_each_free_var(atom, api.exact_kind(atom), [&](PyObject* v) {
            long id;
            // Free variables of checked atoms are exact variables with small ids.
            if (api.exact_kind(v) != K_VARIABLE || !small_int_value(reinterpret_cast<VariableNode*>(v)->id, id))
                throw NotFast{};
            if (!any || id > best) best = id;
            any = true;
        });
    }
    return any;
}

}  // namespace

// Rebuilds terms with every variable's id shifted by `offset`; the variable
// made for one input variable is reused for its every occurrence.  The input
// nodes are exact and valid (check_term), so the copies skip the checks.
struct Shifter {
    const AstApi& api;
    long offset;
    std::vector<std::pair<PyObject*, Ref>> made;  // input variable -> its renamed copy

    PyObject* variable(PyObject* v) {
        for (auto& [from, to] : made)
            if (from == v) return Py_NewRef(to.get());
        auto* vn = reinterpret_cast<VariableNode*>(v);
        long id = 0;
        small_int_value(vn->id, id);  // checked by check_term
        Ref new_id = Ref::check(PyLong_FromLong(id + offset));
        Ref nv = Ref::steal(make_variable(api, nullptr, new_id.get(), vn->vkind, vn->sort));
        made.emplace_back(v, Ref::borrow(nv.get()));
        return nv.release();
    }

    Ref args(PyObject* args) {
        Py_ssize_t n = PyTuple_GET_SIZE(args);
        Ref out = Ref::check(PyTuple_New(n));
        for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(out.get(), i, term(PyTuple_GET_ITEM(args, i)));
        return out;
    }

    // New reference.
    PyObject* term(PyObject* t) {
        int k = api.exact_kind(t);
        if (k == K_VARIABLE) return variable(t);
        if (k == K_CONSTANT || !has_free_vars(t, k)) return Py_NewRef(t);
        RecursionGuard guard(" while renaming a clause");
        auto* f = reinterpret_cast<FunctionAppNode*>(t);
        Ref a = args(f->args);
        return derive_app(api, t, K_FUNCTION_APP, a.get(), false);
    }

    Ref atom(PyObject* atom, int k) {
        if (k == K_PREDICATE_APP) {
            auto* p = reinterpret_cast<PredicateAppNode*>(atom);
            Ref a = args(p->args);
            return Ref::steal(derive_app(api, atom, K_PREDICATE_APP, a.get(), false));
        }
        auto* e = reinterpret_cast<EqualityNode*>(atom);
        Ref left = Ref::steal(term(e->left));
        Ref right = Ref::steal(term(e->right));
        return Ref::steal(derive_equality(api, atom, left.get(), right.get(), false));
    }
};

bool records_pristine(State* st) {
    if (!st->clause_type) return false;
    PyObject* clause_names[] = {st->s_free_variables, st->s_substitute, st->s_literals};
    PyObject* literal_names[] = {st->s_atom, st->s_positive};
    if (!own_attributes_are(st->clause_type, st->clause_version, clause_names, st->clause_attrs, 3)) return false;
    if (!own_attributes_are(st->literal_type, st->literal_version, literal_names, st->literal_attrs, 2)) return false;
    PyObject* sf = PyDict_GetItemWithError(st->clausifier_dict, st->s_substitute_formula);
    if (!sf && PyErr_Occurred()) throw PyErrorSet{};
    return sf == st->native_substitute_formula;
}

bool ApartPair::init(State* st, PyObject* c1, PyObject* c2) {
    st_ = st;
    try {
        if (!records_pristine(st)) return false;
        lits1_ = checked_literals(st, c1, false);
        lits2_ = checked_literals(st, c2, true);
        long m1 = 0, m2 = 0;
        bool any1 = max_free_id(st->api, lits1_.get(), m1);
        bool any2 = max_free_id(st->api, lits2_.get(), m2);
        renames_ = any1 && any2;
        offset_ = (m2 > m1 ? m2 : m1) + 1;
        renamed_.resize(static_cast<size_t>(PyTuple_GET_SIZE(lits2_.get())));
        return true;
    } catch (const NotFast&) {
        return false;
    }
}

ApartPair::~ApartPair() { delete shifter_; }

PyObject* ApartPair::renamed(Py_ssize_t j) {
    PyObject* l = PyTuple_GET_ITEM(lits2_.get(), j);
    Ref& slot = renamed_[static_cast<size_t>(j)];
    if (slot) return slot.get();
    auto* lit = reinterpret_cast<LiteralObject*>(l);
    int k = st_->api.exact_kind(lit->atom);
    if (!renames_ || !has_free_vars(lit->atom, k)) {
        slot = Ref::borrow(l);
        return l;
    }
    if (!shifter_) shifter_ = new Shifter{st_->api, offset_, {}};
    Ref atom = shifter_->atom(lit->atom, k);
    PyObject* argv[2] = {atom.get(), lit->positive};
    slot = Ref::check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(st_->literal_type), argv, 2, nullptr));
    return slot.get();
}

Ref ApartPair::renamed_all() {
    if (!renames_) return Ref::borrow(lits2_.get());
    Py_ssize_t n = PyTuple_GET_SIZE(lits2_.get());
    Ref out = Ref::check(PyTuple_New(n));
    for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(out.get(), j, Py_NewRef(renamed(j)));
    return out;
}

bool standardize_literals(State* st, PyObject* c1, PyObject* c2, Ref& lits1, Ref& lits2) {
    ApartPair pair;
    if (!pair.init(st, c1, c2)) return false;
    lits2 = pair.renamed_all();
    lits1 = Ref::borrow(pair.lits1());
    return true;
}

Ref substituted_clause(State* st, std::initializer_list<PyObject*> sets, PyObject* extra, PyObject* subst) {
    if (!PyDict_CheckExact(subst) || !records_pristine(st)) return Ref();
    auto native = [&](PyObject* l) { return Py_TYPE(l) == st->literal_type; };
    for (PyObject* s : sets) {
        if (!PyAnySet_CheckExact(s)) return Ref();
        bool all_native = true;
        for_each_in_set(s, [&](PyObject* l) { all_native = all_native && native(l); });
        if (!all_native) return Ref();
    }
    if (extra && !native(extra)) return Ref();
    Ref out = Ref::check(PyFrozenSet_New(nullptr));
    bool changed = false;
    auto add = [&](PyObject* lit) {
        auto* lo = reinterpret_cast<LiteralObject*>(lit);
        Ref atom = hold(lo->atom);
        Ref positive = hold(lo->positive);
        PyObject* argv[2] = {atom.get(), subst};
        Ref sub = Ref::check(PyObject_Vectorcall(st->native_substitute_formula, argv, 2, nullptr));
        if (sub.get() == atom.get()) {
            check_int(PySet_Add(out.get(), lit));
            return;
        }
        changed = true;
        PyObject* largv[2] = {sub.get(), positive.get()};
        Ref made = Ref::check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->literal_type), largv, 2, nullptr));
        check_int(PySet_Add(out.get(), made.get()));
    };
    for (PyObject* s : sets) {
        // Snapshot: substitution cannot change the sets, but reads them through no borrowed entry.
        Ref items = Ref::check(PySequence_Tuple(s));
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(items.get()); i < n; ++i) add(PyTuple_GET_ITEM(items.get(), i));
    }
    if (extra) add(extra);
    PyObject* fz = out.get();
    Ref clause = Ref::check(PyObject_Vectorcall(reinterpret_cast<PyObject*>(st->clause_type), &fz, 1, nullptr));
    // As Clause.substitute leaves the set: a new one when a literal changed,
    // untracked when the clause is; otherwise the set it was given, tracked.
    if (changed && !PyObject_GC_IsTracked(clause.get()) && PyObject_GC_IsTracked(fz)) PyObject_GC_UnTrack(fz);
    return clause;
}

}  // namespace kv::rules
