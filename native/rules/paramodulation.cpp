// Subterm enumeration and one-occurrence replacement inside terms and atoms,
// and paramodulation between two clauses.
//
// Node fields are read from the node structs for exact nodes and through
// attribute access for instances of Python subclasses; new nodes are built
// with the shared constructors, which validate as the Python-level classes do.
// Anything that is not a FunctionApp is a leaf; atoms other than PredicateApp
// and Equality have no subterms.
#include "rules/state.hpp"

#include "common/records.hpp"

#include <vector>

namespace kv::rules {

using Terms = std::vector<Ref>;

// The elements of a node's `args` (a tuple for exact nodes).
static Ref args_of(const AstApi& api, PyObject* node, int k, Py_ssize_t offset) {
    Ref args = node_field(api, node, k, api.s_args, offset);
    if (PyTuple_CheckExact(args.get())) return args;
    return Ref::check(PySequence_Tuple(args.get()));
}

static void collect_subterms(const AstApi& api, PyObject* term, Terms& out) {
    out.push_back(Ref::borrow(term));
    if (api.instance_kind(term) != K_FUNCTION_APP) return;
    RecursionGuard guard(" while listing subterms");
    Ref args = args_of(api, term, K_FUNCTION_APP, offsetof(FunctionAppNode, args));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args.get()); i < n; ++i)
        collect_subterms(api, PyTuple_GET_ITEM(args.get(), i), out);
}

static void collect_atom_subterms(const AstApi& api, PyObject* atom, Terms& out) {
    out.reserve(16);  // one allocation for the usual atom, not one per doubling
    int k = api.instance_kind(atom);
    if (k == K_PREDICATE_APP) {
        Ref args = args_of(api, atom, K_PREDICATE_APP, offsetof(PredicateAppNode, args));
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args.get()); i < n; ++i)
            collect_subterms(api, PyTuple_GET_ITEM(args.get(), i), out);
    } else if (k == K_EQUALITY) {
        Ref left = node_field(api, atom, K_EQUALITY, api.s_left, offsetof(EqualityNode, left));
        Ref right = node_field(api, atom, K_EQUALITY, api.s_right, offsetof(EqualityNode, right));
        collect_subterms(api, left.get(), out);
        collect_subterms(api, right.get(), out);
    }
}

// A copy of `args` with position i replaced by r.
static Ref with_arg(PyObject* args, Py_ssize_t i, PyObject* r) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Ref t = Ref::check(PyTuple_New(n));
    for (Py_ssize_t j = 0; j < n; ++j) PyTuple_SET_ITEM(t.get(), j, Py_NewRef(j == i ? r : PyTuple_GET_ITEM(args, j)));
    return t;
}

static void replace_in_term(const AstApi& api, PyObject* term, PyObject* target, PyObject* replacement, Terms& out) {
    if (check_int(PyObject_RichCompareBool(term, target, Py_EQ))) out.push_back(Ref::borrow(replacement));
    if (api.instance_kind(term) != K_FUNCTION_APP) return;
    RecursionGuard guard(" while replacing a subterm");
    Ref args = args_of(api, term, K_FUNCTION_APP, offsetof(FunctionAppNode, args));
    Ref func, arity, return_sort;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args.get()); i < n; ++i) {
        Terms sub;
        replace_in_term(api, PyTuple_GET_ITEM(args.get(), i), target, replacement, sub);
        if (sub.empty()) continue;
        if (!func) {
            func = node_field(api, term, K_FUNCTION_APP, api.s_func, offsetof(FunctionAppNode, func));
            arity = node_field(api, term, K_FUNCTION_APP, api.s_arity, offsetof(FunctionAppNode, arity));
            return_sort =
                node_field(api, term, K_FUNCTION_APP, api.s_return_sort, offsetof(FunctionAppNode, return_sort));
        }
        for (Ref& r : sub) {
            Ref new_args = with_arg(args.get(), i, r.get());
            out.push_back(Ref::steal(
                make_function_app(api, nullptr, func.get(), arity.get(), new_args.get(), return_sort.get())));
        }
    }
}

static void replace_in_atom(const AstApi& api, PyObject* atom, PyObject* target, PyObject* replacement, Terms& out) {
    int k = api.instance_kind(atom);
    if (k == K_PREDICATE_APP) {
        Ref args = args_of(api, atom, K_PREDICATE_APP, offsetof(PredicateAppNode, args));
        Ref pred, arity;
        for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args.get()); i < n; ++i) {
            Terms sub;
            replace_in_term(api, PyTuple_GET_ITEM(args.get(), i), target, replacement, sub);
            if (sub.empty()) continue;
            if (!pred) {
                pred = node_field(api, atom, K_PREDICATE_APP, api.s_pred, offsetof(PredicateAppNode, pred));
                arity = node_field(api, atom, K_PREDICATE_APP, api.s_arity, offsetof(PredicateAppNode, arity));
            }
            for (Ref& r : sub) {
                Ref new_args = with_arg(args.get(), i, r.get());
                out.push_back(Ref::steal(make_predicate_app(api, nullptr, pred.get(), arity.get(), new_args.get())));
            }
        }
    } else if (k == K_EQUALITY) {
        Ref left = node_field(api, atom, K_EQUALITY, api.s_left, offsetof(EqualityNode, left));
        Ref right = node_field(api, atom, K_EQUALITY, api.s_right, offsetof(EqualityNode, right));
        Terms sub;
        replace_in_term(api, left.get(), target, replacement, sub);
        for (Ref& r : sub) out.push_back(Ref::steal(make_equality(api, nullptr, r.get(), right.get())));
        sub.clear();
        replace_in_term(api, right.get(), target, replacement, sub);
        for (Ref& r : sub) out.push_back(Ref::steal(make_equality(api, nullptr, left.get(), r.get())));
    }
}

static PyObject* to_list(Terms& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (size_t i = 0; i < items.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list.release();
}

// ---------------------------------------------------------------- module functions

static PyObject* extract_subterms(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"term"};
        static const Params p{"extract_subterms", names, 1, 1};
        PyObject* term;
        parse_args(p, args, nargs, kwnames, &term);
        Terms out;
        collect_subterms(state_of_module(module)->api, term, out);
        return to_list(out);
    });
}

static PyObject* extract_atom_subterms(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"atom"};
        static const Params p{"extract_atom_subterms", names, 1, 1};
        PyObject* atom;
        parse_args(p, args, nargs, kwnames, &atom);
        Terms out;
        collect_atom_subterms(state_of_module(module)->api, atom, out);
        return to_list(out);
    });
}

static PyObject* replace_subterm(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"term", "target", "replacement"};
        static const Params p{"replace_subterm", names, 3, 3};
        PyObject* a[3];
        parse_args(p, args, nargs, kwnames, a);
        Terms out;
        replace_in_term(state_of_module(module)->api, a[0], a[1], a[2], out);
        return to_list(out);
    });
}

static PyObject* replace_atom_subterm(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"atom", "target", "replacement"};
        static const Params p{"replace_atom_subterm", names, 3, 3};
        PyObject* a[3];
        parse_args(p, args, nargs, kwnames, a);
        Terms out;
        replace_in_atom(state_of_module(module)->api, a[0], a[1], a[2], out);
        return to_list(out);
    });
}

// What one paramodulate call shares between its two passes.
struct ParaRun {
    State* st;
    PyObject* unify;       // unify_terms
    PyObject* uerr;        // UnificationError
    PyObject* clause_cls;  // Clause
    PyObject* literal_cls; // Literal
    PyObject* result;      // list of (paramodulant, unifier)
    PyObject* produced;    // set of paramodulants
};

// One pass: equations from `eq_clause` rewrite literals of `target_clause`.
static void paramodulation_pass(ParaRun& run, PyObject* eq_clause, PyObject* target_clause) {
    State* st = run.st;
    const AstApi& api = st->api;
    // Over native clauses, the target clause's literals are renamed when
    // first needed and the literals' fields read from the records.
    ApartPair pair;
    bool native = pair.init(st, eq_clause, target_clause);
    Ref lits_a, lits_b;
    if (native) {
        lits_a = Ref::borrow(pair.lits1());
    } else {
        Standardized s = standardize(st, eq_clause, target_clause);
        lits_a = literals_of(st, s.c1.get());
        lits_b = literals_of(st, s.c2.get());
    }
    auto field = [&](PyObject* lit, PyObject* name) {
        if (!native) return getattr(lit, name);
        auto* l = reinterpret_cast<LiteralObject*>(lit);
        return hold(name == st->s_atom ? l->atom : l->positive);
    };
    auto target_literal = [&](Py_ssize_t j) {
        return native ? pair.renamed(j) : PyTuple_GET_ITEM(lits_b.get(), j);
    };
    auto target_literals = [&]() -> PyObject* {
        if (!lits_b) lits_b = pair.renamed_all();
        return lits_b.get();
    };
    Py_ssize_t na = PyTuple_GET_SIZE(lits_a.get());
    Py_ssize_t nb = PyTuple_GET_SIZE(native ? pair.lits2() : lits_b.get());
    // Per target literal, computed when first needed: its atom's subterms,
    // its sign and its rest (the other literals of the target clause).
    struct Target {
        Ref atom, positive, rest;
        Terms subterms;
        bool listed = false;
    };
    std::vector<Target> targets(static_cast<size_t>(nb));
    for (Py_ssize_t i = 0; i < na; ++i) {
        PyObject* e = PyTuple_GET_ITEM(lits_a.get(), i);
        if (!truthy(field(e, st->s_positive).get())) continue;
        Ref eq = field(e, st->s_atom);
        if (api.instance_kind(eq.get()) != K_EQUALITY) continue;
        Ref lhs = node_field(api, eq.get(), K_EQUALITY, api.s_left, offsetof(EqualityNode, left));
        Ref rhs = node_field(api, eq.get(), K_EQUALITY, api.s_right, offsetof(EqualityNode, right));
        Ref rest_a;
        // rest_a | rest_b for each target literal, under this equation.
        std::vector<Ref> unions(static_cast<size_t>(nb));
        PyObject* orientations[2][2] = {{lhs.get(), rhs.get()}, {rhs.get(), lhs.get()}};
        for (auto& o : orientations) {
            PyObject* from = o[0];
            PyObject* to = o[1];
            for (Py_ssize_t j = 0; j < nb; ++j) {
                PyObject* g = target_literal(j);
                Target& t = targets[static_cast<size_t>(j)];
                if (!t.listed) {
                    t.atom = field(g, st->s_atom);
                    collect_atom_subterms(api, t.atom.get(), t.subterms);
                    t.listed = true;
                }
                for (Ref& u : t.subterms) {
                    if (api.instance_kind(u.get()) == K_VARIABLE) continue;
                    skip_on(run.uerr, [&] {
                        Ref subst = try_unify(run.unify, u.get(), from, run.uerr);
                        if (!subst) return;
                        Terms atoms;
                        replace_in_atom(api, t.atom.get(), u.get(), to, atoms);
                        for (Ref& new_atom : atoms) {
                            if (!t.positive) t.positive = field(g, st->s_positive);
                            PyObject* argv[2] = {new_atom.get(), t.positive.get()};
                            Ref lit = Ref::check(PyObject_Vectorcall(run.literal_cls, argv, 0, st->kw_atom_positive));
                            if (!rest_a) rest_a = rest_of(lits_a.get(), e);
                            if (!t.rest) t.rest = rest_of(target_literals(), g);
                            Ref para;
                            if (run.clause_cls == reinterpret_cast<PyObject*>(st->clause_type))
                                para = substituted_clause(st, {rest_a.get(), t.rest.get()}, lit.get(), subst.get());
                            if (!para) {
                                Ref& both = unions[static_cast<size_t>(j)];
                                if (!both) both = Ref::check(PyNumber_Or(rest_a.get(), t.rest.get()));
                                Ref lits = Ref::check(PyFrozenSet_New(both.get()));
                                check_int(PySet_Add(lits.get(), lit.get()));
                                Ref c = call1(run.clause_cls, lits.get());
                                para = call_method1(c.get(), st->s_substitute, subst.get());
                            }
                            Py_ssize_t before = PySet_GET_SIZE(run.produced);
                            check_int(PySet_Add(run.produced, para.get()));
                            if (PySet_GET_SIZE(run.produced) == before) continue;
                            Ref entry = Ref::check(PyTuple_Pack(2, para.get(), subst.get()));
                            check_int(PyList_Append(run.result, entry.get()));
                        }
                    });
                }
            }
        }
    }
}

static PyObject* paramodulate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"c1", "c2"};
        static const Params p{"paramodulate", names, 2, 2};
        PyObject* a[2];
        parse_args(p, args, nargs, kwnames, a);
        State* st = state_of_module(module);
        Ref unify = global(module, st->s_unify_terms);
        Ref uerr = global(module, st->s_UnificationError);
        Ref clause_cls = global(module, st->s_Clause);
        Ref literal_cls = global(module, st->s_Literal);
        Ref result = Ref::check(PyList_New(0));
        Ref produced = Ref::check(PySet_New(nullptr));
        ParaRun run{st, unify.get(), uerr.get(), clause_cls.get(), literal_cls.get(), result.get(), produced.get()};
        paramodulation_pass(run, a[0], a[1]);
        paramodulation_pass(run, a[1], a[0]);
        return result.release();
    });
}

#define KV_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef extract_subterms_def = {
    "extract_subterms", KV_FASTCALL(extract_subterms),
    "extract_subterms($module, /, term)\n--\n\n"
    "Return a new list of all subterms of `term` in pre-order, left to right, the term itself first; "
    "equal subterms at different positions appear once per position."};
PyMethodDef extract_atom_subterms_def = {
    "extract_atom_subterms", KV_FASTCALL(extract_atom_subterms),
    "extract_atom_subterms($module, /, atom)\n--\n\n"
    "Return a new list of the subterms of an atom: those of each argument of a PredicateApp in order, "
    "or those of the left then the right side of an Equality; empty for anything else."};
PyMethodDef replace_subterm_def = {
    "replace_subterm", KV_FASTCALL(replace_subterm),
    "replace_subterm($module, /, term, target, replacement)\n--\n\n"
    "Return a new list of every term obtained from `term` by replacing exactly one occurrence of "
    "`target` by `replacement` (outermost first, then argument by argument); empty when `target` "
    "does not occur."};
PyMethodDef replace_atom_subterm_def = {
    "replace_atom_subterm", KV_FASTCALL(replace_atom_subterm),
    "replace_atom_subterm($module, /, atom, target, replacement)\n--\n\n"
    "Return a new list of every atom obtained by replacing exactly one occurrence of `target` inside "
    "the argument terms of `atom` (a PredicateApp or an Equality, left side first)."};
PyMethodDef paramodulate_def = {
    "paramodulate", KV_FASTCALL(paramodulate),
    "paramodulate($module, /, c1, c2)\n--\n\n"
    "Paramodulation in both directions: each positive equation of one clause, read left to right and "
    "right to left, rewrites one occurrence of a non-variable subterm that unifies with its source "
    "side in a literal of the other clause (renamed apart). Returns a list of (paramodulant, unifier), "
    "first with c1 as the equation clause, then with c2, without duplicate paramodulants."};

}  // namespace kv::rules
