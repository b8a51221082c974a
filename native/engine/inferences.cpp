// The generating inferences of superposition with selection: superposition
// from and into the given clause, equality resolution, equality factoring,
// ordered resolution and ordered factoring of predicate literals.
//
// Each conclusion is built as the rules module builds it from the same
// parents: the partner is renamed apart, one occurrence of the unified
// subterm is replaced, the remaining literals of both clauses are joined and
// the unifier applied (duplicate literals merge).  Ordering restrictions are
// checked on the parents' literals before unification and on the instantiated
// sides after it; they only ever drop conclusions.
#include "engine/state.hpp"

namespace kv::engine {

static Term* side_of(const Lit& l, int k) { return k ? l.rhs : l.lhs; }

// True when side k of literal i may take part in an inference: not the
// smaller side of an oriented equation (predicate atoms: the atom side).
static bool side_allowed(const Clause& c, size_t i, int k) {
    const Lit& l = c.lits[i];
    if (!l.eq) return k == 0;
    switch (c.orient[i]) {
        case C_GT: return k == 0;
        case C_LT: return k == 1;
        case C_INC: return true;
        default: return false;
    }
}

static void paths_of(Term* t, Term* sub, std::vector<uint32_t>& cur, std::vector<std::vector<uint32_t>>& out) {
    if (t == sub) {
        out.push_back(cur);
        return;
    }
    if (t->depth <= sub->depth) return;
    for (uint32_t i = 0; i < t->arity; ++i) {
        cur.push_back(i);
        paths_of(t->args[i], sub, cur, out);
        cur.pop_back();
    }
}

static Term* at_path(Term* t, const std::vector<uint32_t>& path) {
    for (uint32_t i : path) t = t->args[i];
    return t;
}

namespace {

// One round of inferences for a given clause.
struct Round {
    Engine& e;
    Clause* given;
    std::vector<Clause*>& out;
    std::unordered_map<Clause*, std::vector<Lit>> renamed;  // partners renamed apart from the given clause
    // Set of support: a given clause that does not descend from a goal clause
    // infers nothing alone and only with partners that do.
    bool restricted = e.opt.sos && !given->goal;

    bool partner_ok(const Clause* c) const { return !restricted || c->goal; }
    // Under set of support every literal of a clause outside it may be used: its partner is
    // in the set, and selection and ordering would otherwise keep the two apart for good.
    bool usable(const Clause* c, size_t i) const { return c->eligible[i] || (e.opt.sos && !c->goal); }

    const std::vector<Lit>& lits_of(Clause* c) {
        auto it = renamed.find(c);
        if (it != renamed.end()) return it->second;
        std::vector<Lit> r = c->lits;
        int offset = static_cast<int>(given->nvars);
        for (Lit& l : r) {
            l.lhs = shift(e.bank, l.lhs, offset);
            l.rhs = shift(e.bank, l.rhs, offset);
        }
        return renamed.emplace(c, std::move(r)).first->second;
    }

    Term* inst(Term* t) { return instantiate(e.bank, e.subst, t); }
    Lit inst(const Lit& l) { return Lit{inst(l.lhs), inst(l.rhs), l.pos, l.eq}; }

    void emit(Rule rule, std::vector<Lit> lits, std::vector<int> parents, int i0 = -1, int i1 = -1, int i2 = -1,
              int i3 = -1) {
        ++e.stats.generated;
        Clause* c = e.make(rule, std::move(lits), std::move(parents));
        if (!c) return;
        c->info[0] = i0;
        c->info[1] = i1;
        c->info[2] = i2;
        c->info[3] = i3;
        out.push_back(c);
    }

    // Runs `f` with the scratch substitution, undoing it afterwards; a
    // conclusion too deep to build is dropped and the run marked incomplete.
    template <class F>
    void guarded(size_t mark, F&& f) {
        try {
            f();
        } catch (const TooDeep&) {
            ++e.stats.too_deep;
            e.complete = false;
        }
        e.subst.undo(mark);
    }

    // Superposition of side `fs` of literal `fi` of F (literals FL) into the
    // subterm at `path` of side `is` of literal `ii` of I (literals IL).
    void superpose(Clause* F, const std::vector<Lit>& FL, size_t fi, int fs, Clause* I, const std::vector<Lit>& IL,
                   size_t ii, int is, const std::vector<uint32_t>& path) {
        const Lit& fl = FL[fi];
        Term* s = side_of(fl, fs);
        Term* t = side_of(fl, 1 - fs);
        const Lit& il = IL[ii];
        Term* w = side_of(il, is);
        Term* u = at_path(w, path);
        if (u->is_var()) return;
        size_t m = e.subst.mark();
        if (!unify(e.subst, s, u)) return;
        guarded(m, [&] {
            Term* ss = inst(s);
            Term* ts = inst(t);
            if (ts == ss || e.ord.greater(ts, ss)) return;
            if (il.eq) {
                Term* ws = inst(w);
                Term* vs = inst(side_of(il, 1 - is));
                if (e.ord.greater(vs, ws)) return;
            }
            Term* nw = replace_at(e.bank, w, path.data(), path.size(), t);
            std::vector<Lit> lits;
            lits.reserve(FL.size() + IL.size() - 1);
            for (size_t k = 0; k < IL.size(); ++k) {
                if (k != ii) {
                    lits.push_back(inst(IL[k]));
                    continue;
                }
                Lit nl = il;
                (is ? nl.rhs : nl.lhs) = nw;
                lits.push_back(inst(nl));
            }
            for (size_t k = 0; k < FL.size(); ++k)
                if (k != fi) lits.push_back(inst(FL[k]));
            emit(Rule::Superposition, std::move(lits), {F->id, I->id}, F->id, I->id);
        });
    }

    // The given clause's eligible positive equations rewrite active clauses.
    void superposition_from_given() {
        Clause* g = given;
        std::vector<Entry> cands;
        for (size_t fi = 0; fi < g->lits.size(); ++fi) {
            const Lit& fl = g->lits[fi];
            if (!usable(g, fi) || !fl.pos || !fl.eq) continue;
            for (int fs = 0; fs < 2; ++fs) {
                if (!side_allowed(*g, fi, fs)) continue;
                Term* s = side_of(fl, fs);
                cands.clear();
                if (s->is_var()) e.subterms.collect_all(cands);
                else e.subterms.collect(key_of(s->sym, 1), cands);
                FP fps = fingerprint(s);
                for (const Entry& en : cands) {
                    Clause* c = en.c;
                    if (!partner_ok(c) || !fp_unifiable(fps, en.fp)) continue;
                    if (!usable(c, en.lit) || !side_allowed(*c, en.lit, en.side)) continue;
                    const std::vector<Lit>& IL = lits_of(c);
                    std::vector<uint32_t> cur;
                    std::vector<std::vector<uint32_t>> paths;
                    paths_of(side_of(c->lits[en.lit], en.side), en.sub, cur, paths);
                    for (const auto& p : paths) {
                        if (!c->lits[en.lit].eq && p.empty()) continue;
                        superpose(g, g->lits, fi, fs, c, IL, en.lit, en.side, p);
                    }
                }
            }
        }
    }

    // Active positive equations rewrite the given clause's eligible literals.
    void superposition_into_given() {
        Clause* g = given;
        std::vector<Entry> cands;
        std::vector<Term*> subs;
        for (size_t ii = 0; ii < g->lits.size(); ++ii) {
            if (!usable(g, ii)) continue;
            const Lit& il = g->lits[ii];
            for (int is = 0; is < 2; ++is) {
                if (!side_allowed(*g, ii, is)) continue;
                Term* w = side_of(il, is);
                subs.clear();
                collect_subterms(w, !il.eq, subs);
                for (Term* u : subs) {
                    cands.clear();
                    e.from_sides.collect(key_of(u->sym, 2), cands);
                    e.from_sides.collect(key_of(-1, 2), cands);
                    std::vector<uint32_t> cur;
                    std::vector<std::vector<uint32_t>> paths;
                    paths_of(w, u, cur, paths);
                    FP fu = fingerprint(u);
                    for (const Entry& en : cands) {
                        if (en.c == g) continue;  // done from the given clause's side
                        if (!partner_ok(en.c) || !fp_unifiable(fu, en.fp)) continue;
                        const std::vector<Lit>& FL = lits_of(en.c);
                        for (const auto& p : paths) {
                            if (!il.eq && p.empty()) continue;
                            superpose(en.c, FL, en.lit, en.side, g, g->lits, ii, is, p);
                        }
                    }
                }
            }
        }
    }

    // Distinct non-variable subterms of t (without t itself when `proper`).
    static void collect_subterms(Term* t, bool proper, std::vector<Term*>& out) {
        if (t->is_var()) return;
        if (!proper) {
            for (Term* o : out)
                if (o == t) return;
            out.push_back(t);
        }
        for (uint32_t i = 0; i < t->arity; ++i) collect_subterms(t->args[i], false, out);
    }

    void resolution() {
        Clause* g = given;
        std::vector<Entry> cands;
        for (size_t gi = 0; gi < g->lits.size(); ++gi) {
            const Lit& gl = g->lits[gi];
            if (!usable(g, gi) || gl.eq) continue;
            cands.clear();
            e.lits.collect(key_of(gl.lhs->sym, gl.pos ? 4 : 3), cands);
            FP fa = fingerprint(gl.lhs);
            for (const Entry& en : cands) {
                Clause* c = en.c;
                if (!partner_ok(c) || !fp_unifiable(fa, en.fp)) continue;
                if (c == g && en.lit < gi) continue;
                const std::vector<Lit>& PL = lits_of(c);
                size_t m = e.subst.mark();
                if (!unify(e.subst, gl.lhs, PL[en.lit].lhs)) continue;
                guarded(m, [&] {
                    std::vector<Lit> lits;
                    for (size_t k = 0; k < g->lits.size(); ++k)
                        if (k != gi) lits.push_back(inst(g->lits[k]));
                    for (size_t k = 0; k < PL.size(); ++k)
                        if (k != en.lit) lits.push_back(inst(PL[k]));
                    emit(Rule::Resolution, std::move(lits), {g->id, c->id});
                });
            }
        }
    }

    void factoring() {
        Clause* g = given;
        if (g->selected >= 0) return;
        for (size_t i = 0; i < g->lits.size(); ++i) {
            const Lit& a = g->lits[i];
            if (!g->eligible[i] || !a.pos || a.eq) continue;
            for (size_t j = 0; j < g->lits.size(); ++j) {
                const Lit& b = g->lits[j];
                if (j == i || !b.pos || b.eq || b.lhs->sym != a.lhs->sym) continue;
                if (g->eligible[j] && j < i) continue;  // the pair was tried from j
                size_t m = e.subst.mark();
                if (!unify(e.subst, a.lhs, b.lhs)) continue;
                guarded(m, [&] {
                    std::vector<Lit> lits;
                    for (const Lit& l : g->lits) lits.push_back(inst(l));
                    emit(Rule::Factoring, std::move(lits), {g->id});
                });
            }
        }
    }

    void equality_resolution() {
        Clause* g = given;
        for (size_t i = 0; i < g->lits.size(); ++i) {
            const Lit& l = g->lits[i];
            if (!g->eligible[i] || l.pos || !l.eq) continue;
            size_t m = e.subst.mark();
            if (!unify(e.subst, l.lhs, l.rhs)) continue;
            guarded(m, [&] {
                std::vector<Lit> lits;
                for (size_t k = 0; k < g->lits.size(); ++k)
                    if (k != i) lits.push_back(inst(g->lits[k]));
                emit(Rule::EqualityResolution, std::move(lits), {g->id}, static_cast<int>(i));
            });
        }
    }

    void equality_factoring() {
        Clause* g = given;
        if (g->selected >= 0) return;
        for (size_t i = 0; i < g->lits.size(); ++i) {
            const Lit& a = g->lits[i];
            if (!g->eligible[i] || !a.pos || !a.eq) continue;
            for (int as = 0; as < 2; ++as) {
                if (!side_allowed(*g, i, as)) continue;
                Term* s = side_of(a, as);
                Term* t = side_of(a, 1 - as);
                for (size_t j = 0; j < g->lits.size(); ++j) {
                    const Lit& b = g->lits[j];
                    if (j == i || !b.pos || !b.eq) continue;
                    for (int bs = 0; bs < 2; ++bs) {
                        Term* s2 = side_of(b, bs);
                        Term* t2 = side_of(b, 1 - bs);
                        size_t m = e.subst.mark();
                        if (!unify(e.subst, s, s2)) continue;
                        guarded(m, [&] {
                            Term* ss = inst(s);
                            Term* ts = inst(t);
                            if (ts == ss || e.ord.greater(ts, ss)) return;
                            std::vector<Lit> lits;
                            for (size_t k = 0; k < g->lits.size(); ++k)
                                if (k != i) lits.push_back(inst(g->lits[k]));
                            lits.push_back(Lit{ts, inst(t2), false, true});
                            emit(Rule::EqualityFactoring, std::move(lits), {g->id}, static_cast<int>(i),
                                 static_cast<int>(j), as, bs);
                        });
                    }
                }
            }
        }
    }
};

}  // namespace

void Engine::generate(Clause* given, std::vector<Clause*>& out) {
    Round r{*this, given, out, {}};
    if (!r.restricted) {
        r.equality_resolution();
        r.equality_factoring();
        r.factoring();
    }
    r.resolution();
    r.superposition_from_given();
    r.superposition_into_given();
}

}  // namespace kv::engine
