// The clause store, activation (indexing a clause for
// inferences and simplification) and the given-clause loop with its limits.
#include "engine/dtree.hpp"

#include <algorithm>

namespace kv::engine {

void init_trees(Engine& e) {
    e.demods = std::make_unique<DTree>();
    for (auto& t : e.units) t = std::make_unique<DTree>();
}

Clause* Engine::make(Rule rule, std::vector<Lit> lits, std::vector<int> parents) {
    auto c = std::make_unique<Clause>();
    c->lits = std::move(lits);
    normalize(bank, *c);
    c->rule = rule;
    c->parents = std::move(parents);
    c->id = next_id++;
    for (int p : c->parents)
        if (p >= 0 && p < (int)by_id.size() && by_id[p]->goal) c->goal = true;
    clause_bytes += sizeof(Clause) + c->lits.size() * (sizeof(Lit) + 2) + c->parents.size() * sizeof(int);
    Clause* raw = c.get();
    store.push_back(std::move(c));
    by_id.push_back(raw);
    return raw;
}

size_t Engine::memory() const { return bank.bytes() + clause_bytes + active_count * 256; }

static bool vars_within(Term* t, Term* of) {
    if (t->ground()) return true;
    if (t->is_var()) return occurs(t, of);
    for (uint32_t i = 0; i < t->arity; ++i)
        if (!vars_within(t->args[i], of)) return false;
    return true;
}

static void distinct_subterms(Term* t, bool proper, std::vector<Term*>& out) {
    if (t->is_var()) return;
    if (!proper) {
        if (std::find(out.begin(), out.end(), t) != out.end()) return;
        out.push_back(t);
    }
    for (uint32_t i = 0; i < t->arity; ++i) distinct_subterms(t->args[i], false, out);
}

void Engine::activate(Clause* c) {
    c->orient.resize(c->lits.size());
    for (size_t i = 0; i < c->lits.size(); ++i) {
        const Lit& l = c->lits[i];
        c->orient[i] = l.eq ? ord.compare(l.lhs, l.rhs) : C_GT;
    }
    compute_eligibility(ord, opt.selection, *c);
    c->active = true;
    ++c->gen;
    ++active_count;
    uint32_t gen = c->gen;
    std::vector<Term*> subs;
    for (size_t i = 0; i < c->lits.size(); ++i) {
        const Lit& l = c->lits[i];
        uint16_t li = static_cast<uint16_t>(i);
        for (int k = 0; k < (l.eq ? 2 : 1); ++k) {
            Term* w = k ? l.rhs : l.lhs;
            subs.clear();
            distinct_subterms(w, !l.eq, subs);
            for (Term* u : subs) subterms.insert(key_of(u->sym, 1), Entry{c, li, static_cast<uint8_t>(k), u, gen, fingerprint(u)});
        }
        if (!c->eligible[i] && !(opt.sos && !c->goal)) continue;  // see Round::usable
        if (l.eq && l.pos) {
            for (int k = 0; k < 2; ++k) {
                Cmp o = static_cast<Cmp>(c->orient[i]);
                if (o == C_EQ || (o == C_GT && k == 1) || (o == C_LT && k == 0)) continue;
                Term* s = k ? l.rhs : l.lhs;
                from_sides.insert(key_of(s->is_var() ? -1 : s->sym, 2), Entry{c, li, static_cast<uint8_t>(k), s, gen, fingerprint(s)});
            }
        } else if (!l.eq) {
            lits.insert(key_of(l.lhs->sym, l.pos ? 3 : 4), Entry{c, li, 0, l.lhs, gen, fingerprint(l.lhs)});
        }
    }
    if (c->lits.size() == 1) {
        const Lit& l = c->lits[0];
        DTree& tree = *units[unit_role(l.pos, l.eq)];
        for (int k = 0; k < (l.eq ? 2 : 1); ++k) {
            Term* s = k ? l.rhs : l.lhs;
            Term* keys[2] = {s, k ? l.lhs : l.rhs};
            tree.insert(keys, l.eq ? 2 : 1, Entry{c, 0, static_cast<uint8_t>(k), s, gen, fingerprint(s)});
        }
        if (l.eq && l.pos) {
            Cmp o = static_cast<Cmp>(c->orient[0]);
            for (int k = 0; k < 2; ++k) {
                Term* s = k ? l.rhs : l.lhs;
                Term* r = k ? l.lhs : l.rhs;
                if (s->is_var() || o == C_EQ || (o == C_GT && k == 1) || (o == C_LT && k == 0)) continue;
                if (o == C_INC && !vars_within(r, s)) continue;
                demods->insert(&s, 1, Entry{c, 0, static_cast<uint8_t>(k), s, gen, fingerprint(s)});
            }
        }
    }
    fv.insert(c);
    if (c->lits.size() > 1) fv_nonunit.insert(c);
}

void Engine::deactivate(Clause* c) {
    if (!c->active) return;
    c->active = false;
    --active_count;
    fv.remove(c);
    if (c->lits.size() > 1) fv_nonunit.remove(c);
}

double Engine::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Checks the limits, the signals and the progress callback.
Status Engine::check(bool progress_due_check) {
    double now = elapsed();
    if (opt.time_limit >= 0 && now >= opt.time_limit) return Status::Timeout;
    if (opt.deadline >= 0 && now >= opt.deadline) return Status::Timeout;
    if (opt.memory_limit >= 0 && memory() > static_cast<size_t>(opt.memory_limit)) return Status::ResourceOut;
    if (opt.max_clauses >= 0 && stats.kept > opt.max_clauses) return Status::ResourceOut;
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
    if (progress_due_check && progress && now >= next_progress) {
        next_progress = now + opt.progress_every;
        report(now);
    }
    return Status::Running;
}

void Engine::report(double now) {
    Ref d = Ref::check(Py_BuildValue("{sLsLsnsnsLsdsd}", "given", (long long)stats.given, "kept",
                                     (long long)stats.kept, "active", (Py_ssize_t)active_count, "passive",
                                     (Py_ssize_t)passive_count, "generated", (long long)stats.generated, "seconds",
                                     now, "per_second", now > 0 ? stats.generated / now : 0.0));
    Ref r = Ref::check(PyObject_CallOneArg(progress.get(), d.get()));
}

// Files a new clause after forward simplification; true when it is empty.
bool Engine::file(Clause* c) {
    c = simplify(c);
    if (!c) return false;
    if (c->lits.empty()) {
        empty = c;
        return true;
    }
    ++stats.kept;
    enqueue(c);
    return false;
}

Status Engine::run(const std::vector<Clause*>& inputs) {
    start = std::chrono::steady_clock::now();
    next_progress = opt.progress_every;
    setup_queues();
    for (Clause* c : inputs)
        if (file(c)) return Status::Unsatisfiable;
    std::vector<Clause*> requeue, fresh;
    for (;;) {
        Status s = check(true);
        if (s != Status::Running) return s;
        Clause* g = pick();
        if (!g) return Status::Saturated;
        g = simplify(g);
        if (!g) continue;
        if (g->lits.empty()) {
            empty = g;
            return Status::Unsatisfiable;
        }
        ++stats.given;
        activate(g);
        requeue.clear();
        backward_simplify(g, requeue);
        for (Clause* d : requeue) enqueue(d);
        fresh.clear();
        generate(g, fresh);
        for (size_t i = 0; i < fresh.size(); ++i) {
            if (file(fresh[i])) return Status::Unsatisfiable;
            if ((i & 63) == 63) {
                s = check(false);
                if (s != Status::Running) return s;
            }
        }
    }
}

}  // namespace kv::engine
