// Reading kelvara clause records into the term bank and giving proof steps
// back as clause records of kelvara nodes.  Only exact node classes are read
// (their fields straight from the node structs); symbols must be str and sorts
// the individual sort.  Input walks are recursive under RecursionGuard.
#include "engine/convert.hpp"

#include <algorithm>

namespace kv::engine {

[[noreturn]] static void fail(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyErrorSet{};
}

static std::string utf8(PyObject* s) {
    Py_ssize_t n;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw PyErrorSet{};
    return std::string(p, static_cast<size_t>(n));
}

int Converter::symbol(PyObject* name, uint32_t arity, bool predicate, bool constant) {
    if (!PyUnicode_CheckExact(name)) fail(PyExc_TypeError, "the engine reads symbols named by str only");
    std::string key = std::string(predicate ? "p" : constant ? "c" : "f") + std::to_string(arity) + ":" + utf8(name);
    auto it = index_.find(key);
    int idx;
    if (it != index_.end()) {
        idx = it->second;
    } else {
        idx = static_cast<int>(e_.symbols.size());
        Symbol s;
        s.name = Ref::borrow(name);
        s.text = key;
        s.arity = arity;
        s.predicate = predicate;
        s.constant = constant;
        e_.symbols.push_back(std::move(s));
        index_.emplace(std::move(key), idx);
    }
    ++e_.symbols[idx].count;
    return idx;
}

Term* Converter::read_term(PyObject* t, std::unordered_map<long long, int>& vars) {
    RecursionGuard guard(" while reading a term into the engine");
    switch (api_.exact_kind(t)) {
        case K_VARIABLE: {
            auto* v = reinterpret_cast<VariableNode*>(t);
            if (v->vkind != api_.vk_individual) fail(PyExc_TypeError, "the engine reads individual variables only");
            if (v->sort != api_.ind) fail(PyExc_TypeError, "the engine reads terms of sort Ind only");
            int overflow = 0;
            long long id = PyLong_AsLongLongAndOverflow(v->id, &overflow);
            if (id == -1 && PyErr_Occurred()) throw PyErrorSet{};
            if (overflow) fail(PyExc_ValueError, "variable id out of range for the engine");
            auto it = vars.find(id);
            if (it == vars.end()) it = vars.emplace(id, static_cast<int>(vars.size())).first;
            return e_.bank.var(it->second);
        }
        case K_CONSTANT: {
            auto* c = reinterpret_cast<ConstantNode*>(t);
            if (c->sort != api_.ind) fail(PyExc_TypeError, "the engine reads terms of sort Ind only");
            return e_.bank.app(symbol(c->name, 0, false, true), nullptr, 0);
        }
        case K_FUNCTION_APP: {
            auto* f = reinterpret_cast<FunctionAppNode*>(t);
            if (f->return_sort != api_.ind) fail(PyExc_TypeError, "the engine reads terms of sort Ind only");
            if (!PyTuple_CheckExact(f->args)) fail(PyExc_TypeError, "function arguments must be a tuple");
            Py_ssize_t n = PyTuple_GET_SIZE(f->args);
            int sym = symbol(f->func, static_cast<uint32_t>(n), false, false);
            std::vector<Term*> args(static_cast<size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) args[i] = read_term(PyTuple_GET_ITEM(f->args, i), vars);
            return e_.bank.app(sym, args.data(), static_cast<uint32_t>(n));
        }
        default:
            fail(PyExc_TypeError, "the engine reads terms built from Variable, Constant and FunctionApp nodes only");
    }
}

Clause* Converter::read_clause(PyObject* clause, int id) {
    PyObject* s_literals = ms_.s_literals;
    PyObject* s_atom = ms_.s_atom;
    PyObject* s_positive = ms_.s_positive;
    Ref lits_attr = Ref::check(PyObject_GetAttr(clause, s_literals));
    Ref lits = Ref::check(PySequence_Tuple(lits_attr.get()));
    std::vector<Lit> out;
    std::unordered_map<long long, int> vars;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(lits.get()); i < n; ++i) {
        PyObject* lit = PyTuple_GET_ITEM(lits.get(), i);
        Ref atom = Ref::check(PyObject_GetAttr(lit, s_atom));
        Ref pos = Ref::check(PyObject_GetAttr(lit, s_positive));
        if (!PyBool_Check(pos.get())) fail(PyExc_TypeError, "a literal's sign must be a bool");
        Lit l{};
        l.pos = pos.get() == Py_True;
        try {
            switch (api_.exact_kind(atom.get())) {
                case K_PREDICATE_APP: {
                    auto* p = reinterpret_cast<PredicateAppNode*>(atom.get());
                    if (!PyTuple_CheckExact(p->args)) fail(PyExc_TypeError, "predicate arguments must be a tuple");
                    Py_ssize_t na = PyTuple_GET_SIZE(p->args);
                    int sym = symbol(p->pred, static_cast<uint32_t>(na), true, false);
                    std::vector<Term*> args(static_cast<size_t>(na));
                    for (Py_ssize_t k = 0; k < na; ++k) args[k] = read_term(PyTuple_GET_ITEM(p->args, k), vars);
                    l.lhs = e_.bank.app(sym, args.data(), static_cast<uint32_t>(na));
                    l.rhs = e_.bank.truth();
                    l.eq = false;
                    break;
                }
                case K_EQUALITY: {
                    auto* q = reinterpret_cast<EqualityNode*>(atom.get());
                    l.lhs = read_term(q->left, vars);
                    l.rhs = read_term(q->right, vars);
                    l.eq = true;
                    break;
                }
                default:
                    fail(PyExc_TypeError, "a literal's atom must be a PredicateApp or an Equality");
            }
        } catch (const TooDeep&) {
            fail(PyExc_ValueError, "a term of the input is nested too deeply for the engine");
        }
        out.push_back(l);
    }
    if (e_.next_id != id) fail(PyExc_SystemError, "input clauses read out of order");
    return e_.make(Rule::Input, std::move(out), {});
}

static void mark(std::vector<Symbol>& syms, Term* t) {
    if (t->is_var()) return;
    syms[t->sym].goal = true;
    for (uint32_t i = 0; i < t->arity; ++i) mark(syms, t->args[i]);
}

void Converter::mark_goal(const Clause& c) {
    for (const Lit& l : c.lits) {
        mark(e_.symbols, l.lhs);
        mark(e_.symbols, l.rhs);
    }
    e_.symbols[kTruthSym].goal = false;
}

// Precedence: predicates above functions, then by the run's scheme, then by
// first occurrence.  "arity" (the default): constants lowest, then by arity,
// rarer symbols above more frequent ones; "inv_arity": higher arities lower;
// "frequency": more frequent symbols higher; "inv_frequency": rarer symbols
// higher; "goal_first"/"goal_last": the goal's symbols above/below the others,
// then as "arity".
void Converter::finish_signature() {
    std::vector<int> order;
    for (int i = 1; i < (int)e_.symbols.size(); ++i) order.push_back(i);
    const auto& s = e_.symbols;
    Precedence scheme = e_.opt.precedence;
    auto by_arity = [&](const Symbol& x, const Symbol& y) -> int {
        if (x.arity != y.arity) return x.arity < y.arity ? -1 : 1;
        if (x.count != y.count) return x.count > y.count ? -1 : 1;
        return 0;
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        const Symbol& x = s[a];
        const Symbol& y = s[b];
        if (x.predicate != y.predicate) return !x.predicate;
        int r = 0;
        switch (scheme) {
            case Precedence::Arity: r = by_arity(x, y); break;
            case Precedence::InvArity:
                r = x.arity != y.arity ? (x.arity > y.arity ? -1 : 1) : x.count != y.count ? (x.count > y.count ? -1 : 1) : 0;
                break;
            case Precedence::Frequency:
                r = x.count != y.count ? (x.count < y.count ? -1 : 1) : by_arity(x, y);
                break;
            case Precedence::InvFrequency:
                r = x.count != y.count ? (x.count > y.count ? -1 : 1) : by_arity(x, y);
                break;
            case Precedence::GoalFirst:
            case Precedence::GoalLast: {
                bool low = scheme == Precedence::GoalFirst ? !x.goal : x.goal;
                bool low_y = scheme == Precedence::GoalFirst ? !y.goal : y.goal;
                r = low != low_y ? (low ? -1 : 1) : by_arity(x, y);
                break;
            }
        }
        if (r) return r < 0;
        return a < b;
    });
    e_.symbols[kTruthSym].prec = 0;
    for (size_t r = 0; r < order.size(); ++r) e_.symbols[order[r]].prec = static_cast<int32_t>(r + 1);
    e_.ord.symbols = &e_.symbols;

    // Symbol weights: "one" (the default), "arity" (1 + arity), "frequency"
    // (1 + log2 of how many times rarer than the most frequent symbol).
    if (e_.opt.symbol_weight == SymbolWeight::One) return;
    uint32_t most = 1;
    for (const Symbol& x : s) most = std::max(most, x.count);
    std::vector<uint32_t> weights(s.size(), 1);
    for (size_t i = 1; i < s.size(); ++i) {
        const Symbol& x = s[i];
        uint32_t w = 1;
        if (e_.opt.symbol_weight == SymbolWeight::Arity) w = 1 + x.arity;
        else
            for (uint32_t c = std::max<uint32_t>(x.count, 1); c * 2 <= most; c *= 2) ++w;
        weights[i] = w;
        e_.symbols[i].kbo_weight = w;
    }
    e_.bank.set_weights(std::move(weights));
}

// ---------------------------------------------------------------- output

Ref Converter::node_of(Term* t) {
    auto it = nodes_.find(t);
    if (it != nodes_.end()) return Ref::borrow(it->second.get());
    RecursionGuard guard(" while building proof terms");
    Ref node;
    if (t->is_var()) {
        Ref id = Ref::check(PyLong_FromLong(t->var()));
        node = Ref::steal(make_variable(api_, nullptr, id.get(), api_.vk_individual, api_.ind));
    } else {
        const Symbol& s = e_.symbols[t->sym];
        if (s.constant) {
            node = Ref::steal(make_constant(api_, nullptr, s.name.get(), api_.ind));
        } else {
            Ref args = Ref::check(PyTuple_New(t->arity));
            for (uint32_t i = 0; i < t->arity; ++i) PyTuple_SET_ITEM(args.get(), i, node_of(t->args[i]).release());
            Ref arity = Ref::check(PyLong_FromUnsignedLong(t->arity));
            if (s.predicate)
                node = Ref::steal(make_predicate_app(api_, nullptr, s.name.get(), arity.get(), args.get()));
            else
                node = Ref::steal(make_function_app(api_, nullptr, s.name.get(), arity.get(), args.get(), api_.ind));
        }
    }
    nodes_.emplace(t, Ref::borrow(node.get()));
    return node;
}

Ref Converter::literal_of(const Lit& l) {
    Ref atom;
    if (l.eq) {
        Ref a = node_of(l.lhs);
        Ref b = node_of(l.rhs);
        atom = Ref::steal(make_equality(api_, nullptr, a.get(), b.get()));
    } else {
        atom = node_of(l.lhs);
    }
    PyObject* args[2] = {atom.get(), l.pos ? Py_True : Py_False};
    return Ref::check(PyObject_Vectorcall(literal_cls_.get(), args, 2, nullptr));
}

Ref Converter::clause_of(const Clause& c) {
    Ref set = Ref::check(PySet_New(nullptr));
    for (const Lit& l : c.lits) check_int(PySet_Add(set.get(), literal_of(l).get()));
    Ref fz = Ref::check(PyFrozenSet_New(set.get()));
    return Ref::check(PyObject_CallOneArg(clause_cls_.get(), fz.get()));
}

Py_ssize_t Converter::index_in(PyObject* clause, const Lit& l) {
    Ref lit = literal_of(l);
    Ref lits = Ref::check(PyObject_GetAttr(clause, ms_.s_literals));
    Ref tup = Ref::check(PySequence_Tuple(lits.get()));
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(tup.get()); i < n; ++i)
        if (check_int(PyObject_RichCompareBool(PyTuple_GET_ITEM(tup.get(), i), lit.get(), Py_EQ))) return i;
    fail(PyExc_SystemError, "engine proof: a literal index does not resolve");
}

static const char* rule_name(Rule r) {
    switch (r) {
        case Rule::Input: return "input";
        case Rule::Resolution: return "resolution";
        case Rule::Factoring: return "factoring";
        case Rule::Superposition: return "superposition";
        case Rule::EqualityResolution: return "equality_resolution";
        case Rule::EqualityFactoring: return "equality_factoring";
        case Rule::Demodulation: return "demodulation";
        case Rule::SubsumptionResolution: return "subsumption_resolution";
        case Rule::Simplify: return "simplify";
    }
    return "?";
}

Ref Converter::step_of(Clause* c, std::unordered_map<int, Ref>& made) {
    Ref clause = clause_of(*c);
    Ref parents = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(c->parents.size())));
    for (size_t i = 0; i < c->parents.size(); ++i)
        PyTuple_SET_ITEM(parents.get(), i, check(PyLong_FromLong(c->parents[i])));
    Ref info = Ref::check(PyDict_New());
    auto parent_clause = [&](int k) -> PyObject* { return made.at(c->parents[k]).get(); };
    auto parent_lit = [&](int k, int i) -> const Lit& { return e_.by_id[c->parents[k]]->lits[i]; };
    switch (c->rule) {
        case Rule::Superposition: {
            Ref f = Ref::check(PyLong_FromLong(c->info[0]));
            Ref t = Ref::check(PyLong_FromLong(c->info[1]));
            check_int(PyDict_SetItemString(info.get(), "from", f.get()));
            check_int(PyDict_SetItemString(info.get(), "into", t.get()));
            break;
        }
        case Rule::EqualityResolution:
        case Rule::SubsumptionResolution: {
            Ref i = Ref::check(PyLong_FromSsize_t(index_in(parent_clause(0), parent_lit(0, c->info[0]))));
            check_int(PyDict_SetItemString(info.get(), "literal", i.get()));
            break;
        }
        case Rule::EqualityFactoring: {
            Py_ssize_t i = index_in(parent_clause(0), parent_lit(0, c->info[0]));
            Py_ssize_t j = index_in(parent_clause(0), parent_lit(0, c->info[1]));
            Ref lits = Ref::check(Py_BuildValue("(nn)", i, j));
            Ref sides = Ref::check(Py_BuildValue("(ii)", c->info[2], c->info[3]));
            check_int(PyDict_SetItemString(info.get(), "literals", lits.get()));
            check_int(PyDict_SetItemString(info.get(), "sides", sides.get()));
            break;
        }
        case Rule::Demodulation: {
            Ref list = Ref::check(PyList_New(0));
            for (const Rewrite& r : c->rewrites) {
                Ref o = node_of(r.old_);
                Ref n = node_of(r.new_);
                Ref item = Ref::check(Py_BuildValue("(iOO)", r.eq_id, o.get(), n.get()));
                check_int(PyList_Append(list.get(), item.get()));
            }
            check_int(PyDict_SetItemString(info.get(), "rewrites", list.get()));
            break;
        }
        default:
            break;
    }
    Ref step = Ref::check(Py_BuildValue("(iOsOO)", c->id, clause.get(), rule_name(c->rule), parents.get(), info.get()));
    made.emplace(c->id, std::move(clause));
    return step;
}

Ref Converter::proof_steps(const std::vector<PyObject*>&) {
    Ref cl = Ref::check(PyImport_ImportModule("kelvara.prover.clausifier"));
    literal_cls_ = Ref::check(PyObject_GetAttrString(cl.get(), "Literal"));
    clause_cls_ = Ref::check(PyObject_GetAttrString(cl.get(), "Clause"));
    std::vector<int> ids;
    std::vector<uint8_t> seen(e_.by_id.size(), 0);
    std::vector<int> stack{e_.empty->id};
    while (!stack.empty()) {
        int id = stack.back();
        stack.pop_back();
        if (seen[id]) continue;
        seen[id] = 1;
        ids.push_back(id);
        for (int p : e_.by_id[id]->parents) stack.push_back(p);
    }
    std::sort(ids.begin(), ids.end());
    Ref steps = Ref::check(PyList_New(0));
    std::unordered_map<int, Ref> made;
    for (int id : ids) {
        Ref step = step_of(e_.by_id[id], made);
        check_int(PyList_Append(steps.get(), step.get()));
    }
    return steps;
}

}  // namespace kv::engine
