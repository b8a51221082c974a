// Standardizing two clauses apart, binary resolution and factoring.
//
// Clauses and literals are the clausifier's records and are reached only
// through their public attributes and methods; the unifier, the exception
// class and the clause class are read from the module's globals once per call,
// so that rebinding them in the module takes effect as it would for Python code.
#include "rules/state.hpp"

#include "common/records.hpp"

#include <vector>

namespace kv::rules {

Ref literals_of(State* st, PyObject* clause) {
    Ref lits = getattr(clause, st->s_literals);
    if (PyTuple_CheckExact(lits.get())) return lits;
    return Ref::check(PySequence_Tuple(lits.get()));
}

Ref rest_of(PyObject* literals, PyObject* lit) {
    Ref rest = Ref::check(PySet_New(nullptr));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(literals); i < n; ++i) {
        PyObject* l = PyTuple_GET_ITEM(literals, i);
        if (!check_int(PyObject_RichCompareBool(l, lit, Py_EQ))) check_int(PySet_Add(rest.get(), l));
    }
    return rest;
}

// Adds `clause` to `produced`; false when an equal clause was already there.
static bool add_new(PyObject* produced, PyObject* clause) {
    Py_ssize_t before = PySet_GET_SIZE(produced);
    check_int(PySet_Add(produced, clause));
    return PySet_GET_SIZE(produced) != before;
}

// The id of a variable: read from the node for exact variables.
static Ref variable_id(const AstApi& api, PyObject* v) {
    if (api.exact_kind(v) == K_VARIABLE) return Ref::borrow(reinterpret_cast<VariableNode*>(v)->id);
    return getattr(v, api.s_id);
}

// max(v.id for v in vars), compared as the interpreter's max() compares.
static Ref max_id(const AstApi& api, PyObject* vars) {
    Ref it = Ref::check(PyObject_GetIter(vars));
    Ref best;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref v = Ref::steal(item);
        Ref id = variable_id(api, v.get());
        if (!best) {
            best = std::move(id);
            continue;
        }
        bool greater;
        if (PyLong_CheckExact(id.get()) && PyLong_CheckExact(best.get())) {
            int o1 = 0, o2 = 0;
            long long a = PyLong_AsLongLongAndOverflow(id.get(), &o1);
            long long b = PyLong_AsLongLongAndOverflow(best.get(), &o2);
            if (o1 == 0 && o2 == 0) greater = a > b;
            else greater = check_int(PyObject_RichCompareBool(id.get(), best.get(), Py_GT));
        } else {
            greater = check_int(PyObject_RichCompareBool(id.get(), best.get(), Py_GT));
        }
        if (greater) best = std::move(id);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    if (!best) {
        PyErr_SetString(PyExc_ValueError, "max() arg is an empty sequence");
        throw PyErrorSet{};
    }
    return best;
}

Standardized standardize(State* st, PyObject* c1, PyObject* c2) {
    const AstApi& api = st->api;
    Ref fv1 = call_method0(c1, st->s_free_variables);
    Ref fv2 = call_method0(c2, st->s_free_variables);
    Ref shared = Ref::check(PyNumber_And(fv1.get(), fv2.get()));
    if (!truthy(shared.get()) && (!truthy(fv1.get()) || !truthy(fv2.get())))
        return {Ref::borrow(c1), Ref::borrow(c2), Ref::check(PyDict_New())};
    Ref m1 = max_id(api, fv1.get());
    Ref m2 = max_id(api, fv2.get());
    bool second = check_int(PyObject_RichCompareBool(m2.get(), m1.get(), Py_GT));
    Ref offset = Ref::check(PyNumber_Add(second ? m2.get() : m1.get(), st->one));
    Ref renaming = Ref::check(PyDict_New());
    Ref it = Ref::check(PyObject_GetIter(fv2.get()));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref v = Ref::steal(item);
        PyObject* id;
        PyObject* kind;
        PyObject* sort;
        Ref hold_id, hold_kind, hold_sort;
        if (api.exact_kind(v.get()) == K_VARIABLE) {
            VariableNode* vn = reinterpret_cast<VariableNode*>(v.get());
            id = vn->id;
            kind = vn->vkind;
            sort = vn->sort;
        } else {
            hold_id = getattr(v.get(), api.s_id);
            hold_kind = getattr(v.get(), api.s_kind);
            hold_sort = getattr(v.get(), api.s_sort);
            id = hold_id.get();
            kind = hold_kind.get();
            sort = hold_sort.get();
        }
        Ref new_id = Ref::check(PyNumber_Add(id, offset.get()));
        Ref nv = Ref::steal(make_variable(api, nullptr, new_id.get(), kind, sort));
        check_int(PyDict_SetItem(renaming.get(), v.get(), nv.get()));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    Ref renamed = call_method1(c2, st->s_substitute, renaming.get());
    return {Ref::borrow(c1), std::move(renamed), std::move(renaming)};
}

static const char* const kTwoClauses[] = {"c1", "c2"};

static PyObject* standardize_clause_variables(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Params p{"standardize_clause_variables", kTwoClauses, 2, 2};
        PyObject* a[2];
        parse_args(p, args, nargs, kwnames, a);
        Standardized s = standardize(state_of_module(module), a[0], a[1]);
        return PyTuple_Pack(3, s.c1.get(), s.c2.get(), s.renaming.get());
    });
}

// Builds Clause(frozenset(a | b)) and applies `subst` to it.
static Ref clause_of_union(State* st, PyObject* clause_cls, PyObject* a, PyObject* b, PyObject* subst) {
    Ref u = Ref::check(PyNumber_Or(a, b));
    Ref fz = Ref::check(PyFrozenSet_New(u.get()));
    Ref c = call1(clause_cls, fz.get());
    return call_method1(c.get(), st->s_substitute, subst);
}

// True when unify_formulas (the native one) certainly fails on two checked
// atoms: different kinds, or predicates of different symbols or arities.
static bool clash(PyObject* a, PyObject* b) {
    auto* na = reinterpret_cast<Node*>(a);
    auto* nb = reinterpret_cast<Node*>(b);
    if (na->kind != nb->kind) return true;
    if (na->kind != K_PREDICATE_APP) return false;
    auto* p = reinterpret_cast<PredicateAppNode*>(a);
    auto* q = reinterpret_cast<PredicateAppNode*>(b);
    if (p->pred != q->pred && PyUnicode_Compare(p->pred, q->pred) != 0) return true;
    return PyTuple_GET_SIZE(p->args) != PyTuple_GET_SIZE(q->args);
}

// resolve_clauses over native clauses (see native_clauses.cpp): signs and
// atoms read from the records, c2's literals renamed when a pair needs them,
// pairs that cannot unify skipped without the call when the unifier is the
// native one, results built in one step.  False when the general path must run.
static bool resolve_native(State* st, PyObject* c1, PyObject* c2, PyObject* unify, PyObject* uerr,
                           PyObject* clause_cls, Ref& result) {
    if (clause_cls != reinterpret_cast<PyObject*>(st->clause_type)) return false;
    ApartPair pair;
    if (!pair.init(st, c1, c2)) return false;
    bool prefilter = unify == st->native_unify_formulas && uerr == st->unification_error;
    PyObject* lits1 = pair.lits1();
    Py_ssize_t n1 = PyTuple_GET_SIZE(lits1), n2 = PyTuple_GET_SIZE(pair.lits2());
    result = Ref::check(PyList_New(0));
    Ref produced = Ref::check(PySet_New(nullptr));
    Ref lits2;  // all renamed literals, once a rest is needed
    std::vector<Ref> rests2(static_cast<size_t>(n2));
    for (Py_ssize_t i = 0; i < n1; ++i) {
        PyObject* l1 = PyTuple_GET_ITEM(lits1, i);
        auto* lo1 = reinterpret_cast<LiteralObject*>(l1);
        Ref rest1;
        for (Py_ssize_t j = 0; j < n2; ++j) {
            auto* lo2 = reinterpret_cast<LiteralObject*>(PyTuple_GET_ITEM(pair.lits2(), j));
            if (lo1->positive == lo2->positive) continue;
            if (prefilter && clash(lo1->atom, lo2->atom)) continue;
            PyObject* l2 = pair.renamed(j);
            skip_on(uerr, [&] {
                Ref atom1 = hold(lo1->atom);
                Ref atom2 = hold(reinterpret_cast<LiteralObject*>(l2)->atom);
                Ref subst = try_unify(unify, atom1.get(), atom2.get(), uerr);
                if (!subst) return;
                if (!lits2) lits2 = pair.renamed_all();
                if (!rest1) rest1 = rest_of(lits1, l1);
                Ref& rest2 = rests2[static_cast<size_t>(j)];
                if (!rest2) rest2 = rest_of(lits2.get(), l2);
                Ref resolvent = substituted_clause(st, {rest1.get(), rest2.get()}, nullptr, subst.get());
                if (!resolvent) resolvent = clause_of_union(st, clause_cls, rest1.get(), rest2.get(), subst.get());
                if (!add_new(produced.get(), resolvent.get())) return;
                Ref pair_ = Ref::check(PyTuple_Pack(2, l1, l2));
                Ref entry = Ref::check(PyTuple_Pack(3, resolvent.get(), subst.get(), pair_.get()));
                check_int(PyList_Append(result.get(), entry.get()));
            });
        }
    }
    return true;
}

static PyObject* resolve_clauses(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Params p{"resolve_clauses", kTwoClauses, 2, 2};
        PyObject* a[2];
        parse_args(p, args, nargs, kwnames, a);
        State* st = state_of_module(module);
        Ref unify = global(module, st->s_unify_formulas);
        Ref uerr = global(module, st->s_UnificationError);
        Ref clause_cls = global(module, st->s_Clause);
        Ref fast;
        if (resolve_native(st, a[0], a[1], unify.get(), uerr.get(), clause_cls.get(), fast)) return fast.release();
        Ref lits1, lits2;
        if (!standardize_literals(st, a[0], a[1], lits1, lits2)) {
            Standardized s = standardize(st, a[0], a[1]);
            lits1 = literals_of(st, s.c1.get());
            lits2 = literals_of(st, s.c2.get());
        }
        Ref result = Ref::check(PyList_New(0));
        Ref produced = Ref::check(PySet_New(nullptr));
        Py_ssize_t n1 = PyTuple_GET_SIZE(lits1.get()), n2 = PyTuple_GET_SIZE(lits2.get());
        // The rests of the second clause, computed when first needed.
        std::vector<Ref> rests2(static_cast<size_t>(n2));
        for (Py_ssize_t i = 0; i < n1; ++i) {
            PyObject* l1 = PyTuple_GET_ITEM(lits1.get(), i);
            Ref pos1;
            Ref rest1;
            for (Py_ssize_t j = 0; j < n2; ++j) {
                PyObject* l2 = PyTuple_GET_ITEM(lits2.get(), j);
                if (!pos1) pos1 = getattr(l1, st->s_positive);
                Ref pos2 = getattr(l2, st->s_positive);
                if (check_int(PyObject_RichCompareBool(pos1.get(), pos2.get(), Py_EQ))) continue;
                skip_on(uerr.get(), [&] {
                    Ref atom1 = getattr(l1, st->s_atom);
                    Ref atom2 = getattr(l2, st->s_atom);
                    Ref subst = try_unify(unify.get(), atom1.get(), atom2.get(), uerr.get());
                    if (!subst) return;
                    if (!rest1) rest1 = rest_of(lits1.get(), l1);
                    Ref& rest2 = rests2[static_cast<size_t>(j)];
                    if (!rest2) rest2 = rest_of(lits2.get(), l2);
                    Ref resolvent;
                    if (clause_cls.get() == reinterpret_cast<PyObject*>(st->clause_type))
                        resolvent = substituted_clause(st, {rest1.get(), rest2.get()}, nullptr, subst.get());
                    if (!resolvent)
                        resolvent = clause_of_union(st, clause_cls.get(), rest1.get(), rest2.get(), subst.get());
                    if (!add_new(produced.get(), resolvent.get())) return;
                    Ref pair = Ref::check(PyTuple_Pack(2, l1, l2));
                    Ref entry = Ref::check(PyTuple_Pack(3, resolvent.get(), subst.get(), pair.get()));
                    check_int(PyList_Append(result.get(), entry.get()));
                });
            }
        }
        return result.release();
    });
}

static PyObject* factor_clause(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"c"};
        static const Params p{"factor_clause", names, 1, 1};
        PyObject* c;
        parse_args(p, args, nargs, kwnames, &c);
        State* st = state_of_module(module);
        Ref unify = global(module, st->s_unify_formulas);
        Ref uerr = global(module, st->s_UnificationError);
        Ref lits = Ref::check(PySequence_List(getattr(c, st->s_literals).get()));
        Py_ssize_t n = PyList_GET_SIZE(lits.get());
        Ref snapshot = Ref::check(PyList_AsTuple(lits.get()));
        Ref result = Ref::check(PyList_New(0));
        Ref produced = Ref::check(PySet_New(nullptr));
        // The signs, read in the order in which the first pairs would read them.
        std::vector<Ref> positive(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; n >= 2 && i < n; ++i)
            positive[static_cast<size_t>(i)] = getattr(PyTuple_GET_ITEM(snapshot.get(), i), st->s_positive);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* l1 = PyTuple_GET_ITEM(snapshot.get(), i);
            for (Py_ssize_t j = i + 1; j < n; ++j) {
                PyObject* l2 = PyTuple_GET_ITEM(snapshot.get(), j);
                if (check_int(PyObject_RichCompareBool(positive[static_cast<size_t>(i)].get(),
                                                       positive[static_cast<size_t>(j)].get(), Py_NE)))
                    continue;
                skip_on(uerr.get(), [&] {
                    Ref atom1 = getattr(l1, st->s_atom);
                    Ref atom2 = getattr(l2, st->s_atom);
                    Ref subst = try_unify(unify.get(), atom1.get(), atom2.get(), uerr.get());
                    if (!subst) return;
                    Ref factor = call_method1(c, st->s_substitute, subst.get());
                    Ref flits = getattr(factor.get(), st->s_literals);
                    Py_ssize_t m = PyObject_Length(flits.get());
                    if (m < 0) throw PyErrorSet{};
                    if (m >= n) return;
                    if (!add_new(produced.get(), factor.get())) return;
                    Ref entry = Ref::check(PyTuple_Pack(2, factor.get(), subst.get()));
                    check_int(PyList_Append(result.get(), entry.get()));
                });
            }
        }
        return result.release();
    });
}

#define KV_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef standardize_def = {
    "standardize_clause_variables", KV_FASTCALL(standardize_clause_variables),
    "standardize_clause_variables($module, /, c1, c2)\n--\n\n"
    "Rename the free variables of c2 apart from those of c1 and return (c1, renamed c2, renaming). "
    "When both clauses have free variables, every free variable of c2 is shifted by one common offset "
    "past the largest id of both clauses (same sort and kind); otherwise the two clauses themselves "
    "are returned with an empty renaming."};
PyMethodDef resolve_clauses_def = {
    "resolve_clauses", KV_FASTCALL(resolve_clauses),
    "resolve_clauses($module, /, c1, c2)\n--\n\n"
    "Binary resolution: standardize c2 apart from c1, then for every pair of literals of opposite "
    "sign (c1's literals outermost) whose atoms unify, build the resolvent from the remaining "
    "literals under the unifier. Returns a list of (resolvent, unifier, (literal of c1, literal of "
    "renamed c2)) without duplicate resolvents; pairs that do not unify are skipped."};
PyMethodDef factor_clause_def = {
    "factor_clause", KV_FASTCALL(factor_clause),
    "factor_clause($module, /, c)\n--\n\n"
    "Factoring: for every pair of literals of the same sign whose atoms unify, apply the unifier to "
    "the clause and keep the result when it has fewer literals. Returns a list of (factor, unifier) "
    "without duplicate factors."};

}  // namespace kv::rules
