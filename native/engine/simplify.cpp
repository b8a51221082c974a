// Simplification and redundancy: tautology deletion, demodulation by active
// unit equations, deletion of literals s != s, unit cutting (subsumption
// resolution with unit clauses), forward and backward subsumption, and
// backward demodulation of the active set.
//
// A demodulation step replaces every occurrence of an instance l.s of a unit
// equation side by r.s, which is how the proof check replays it.  It is only
// done when l.s > r.s and the clause is bigger than the instance of the
// equation used (an occurrence at the top of a positive equation side needs
// a literal of the clause above the instance), so the clause rewritten is
// redundant.
#include "engine/dtree.hpp"

#include <algorithm>

namespace kv::engine {

static constexpr int kMaxRewrites = 2000;

namespace {

struct Rewriter {
    Engine& e;
    Clause* self;  // the clause being rewritten (never rewritten by itself)
    std::vector<Lit>& lits;
    int used = -1;  // step id of the demodulator of the last rewrite found

    // The instance r.s when a demodulator rewrites t; nullptr otherwise.
    // `top` is the literal whose side t is when t is the side of a positive equation.
    Term* rewrite_of(Term* t, const Lit* top) {
        FP ft = fingerprint(t);
        Term* found = nullptr;
        e.demods->generalizations(&t, 1, [&](const Entry& en) {
            Clause* d = en.c;
            if (d == self || !fp_matchable(en.fp, ft)) return false;
            const Lit& dl = d->lits[0];
            Term* l = en.side ? dl.rhs : dl.lhs;
            Term* r = en.side ? dl.lhs : dl.rhs;
            size_t m = e.subst.mark();
            if (!match(e.subst, l, t)) return false;
            Term* rs = apply_match(e.bank, e.subst, r);
            e.subst.undo(m);
            bool oriented = d->orient[0] == (en.side ? C_LT : C_GT);
            if (!oriented && !e.ord.greater(t, rs)) return false;
            if (top) {
                Lit inst{t, rs, true, true};
                bool bigger = false;
                for (const Lit& x : lits) bigger |= e.ord.compare_lits(x, inst) == C_GT;
                if (!bigger) return false;
            }
            used = d->id;
            found = rs;
            return true;
        });
        return found;
    }

    // First rewritable subterm of t, innermost first.
    bool find(Term* t, const Lit* top, Rewrite& out) {
        if (t->is_var()) return false;
        for (uint32_t i = 0; i < t->arity; ++i)
            if (find(t->args[i], nullptr, out)) return true;
        if (t->sym == kTruthSym || e.symbols[t->sym].predicate) return false;
        if (Term* rs = rewrite_of(t, top)) {
            out.old_ = t;
            out.new_ = rs;
            return true;
        }
        return false;
    }

    bool step(Rewrite& out) {
        for (const Lit& l : lits) {
            const Lit* top = (l.pos && l.eq) ? &l : nullptr;
            if (find(l.lhs, top, out) || find(l.rhs, top, out)) return true;
        }
        return false;
    }
};

}  // namespace

static Clause* demodulate(Engine& e, Clause* c) {
    std::vector<Lit> lits = c->lits;
    std::vector<Rewrite> done;
    Rewriter rw{e, c, lits};
    try {
        Rewrite r{};
        while ((int)done.size() < kMaxRewrites && rw.step(r)) {
            r.eq_id = rw.used;
            for (Lit& l : lits) {
                l.lhs = replace_all(e.bank, l.lhs, r.old_, r.new_);
                l.rhs = replace_all(e.bank, l.rhs, r.old_, r.new_);
            }
            done.push_back(r);
        }
    } catch (const TooDeep&) {
        // Rewriting only shrinks terms; a conclusion cannot get deeper.  Keep what was done.
    }
    if (done.empty()) return c;
    e.stats.rewrites += static_cast<int64_t>(done.size());
    std::vector<int> parents{c->id};
    for (const Rewrite& r : done)
        if (std::find(parents.begin() + 1, parents.end(), r.eq_id) == parents.end()) parents.push_back(r.eq_id);
    Clause* d = e.make(Rule::Demodulation, std::move(lits), std::move(parents));
    if (d) d->rewrites = std::move(done);
    return d;
}

// Drops literals s != s.
static Clause* drop_trivial(Engine& e, Clause* c) {
    std::vector<Lit> lits;
    for (const Lit& l : c->lits)
        if (l.pos || !l.eq || l.lhs != l.rhs) lits.push_back(l);
    if (lits.size() == c->lits.size()) return c;
    return e.make(Rule::Simplify, std::move(lits), {c->id});
}


// An active unit clause other than c, of sign `pos`, whose literal matches
// literal l's sides (up to matching, either orientation for equations), or nullptr.
static Clause* unit_generalizing(Engine& e, const Clause* c, const Lit& l, bool pos) {
    int role = unit_role(pos, l.eq);
    FP fl = fingerprint(l.lhs);
    Clause* found = nullptr;
    auto visit = [&](const Entry& en) {
        if (en.c == c || !fp_matchable(en.fp, fl)) return false;
        const Lit& u = en.c->lits[0];
        Term* a = en.side ? u.rhs : u.lhs;
        Term* b = en.side ? u.lhs : u.rhs;
        size_t m = e.subst.mark();
        bool ok = match(e.subst, a, l.lhs) && match(e.subst, b, l.rhs);
        e.subst.undo(m);
        if (ok) found = en.c;
        return ok;
    };
    Term* keys[2] = {l.lhs, l.rhs};
    e.units[role]->generalizations(keys, l.eq ? 2 : 1, visit);
    return found;
}

// A unit clause whose literal is the complement of l (up to matching), or nullptr.
static Clause* cutter(Engine& e, const Clause* c, const Lit& l) { return unit_generalizing(e, c, l, !l.pos); }

static Clause* cut_literals(Engine& e, Clause* c) {
    for (bool again = true; again && c;) {
        again = false;
        for (size_t i = 0; i < c->lits.size(); ++i) {
            Clause* u = cutter(e, c, c->lits[i]);
            if (!u) continue;
            std::vector<Lit> lits = c->lits;
            lits.erase(lits.begin() + static_cast<long>(i));
            Clause* d = e.make(Rule::SubsumptionResolution, std::move(lits), {c->id, u->id});
            ++e.stats.cut_literals;
            if (!d) return nullptr;
            d->info[0] = static_cast<int>(i);
            c = d;
            again = true;
            break;
        }
    }
    return c;
}

Clause* Engine::simplify(Clause* c) {
    if (is_tautology(*c)) {
        ++stats.tautologies;
        return nullptr;
    }
    if (opt.demodulation) {
        c = demodulate(*this, c);
        if (!c) return nullptr;
    }
    c = drop_trivial(*this, c);
    if (!c) return nullptr;
    if (opt.subsumption_resolution) {
        c = cut_literals(*this, c);
        if (!c) return nullptr;
    }
    if (is_tautology(*c)) {
        ++stats.tautologies;
        return nullptr;
    }
    if (!c->lits.empty() && (opt.subsumption ? subsumed(c) : duplicate(c))) {
        ++(opt.subsumption ? stats.subsumed : stats.duplicates);
        return nullptr;
    }
    return c;
}

// ---------------------------------------------------------------- subsumption

static bool match_lit(Subst& s, const Lit& g, const Lit& t, bool flip) {
    size_t m = s.mark();
    if (!flip) {
        if (match(s, g.lhs, t.lhs) && match(s, g.rhs, t.rhs)) return true;
    } else {
        if (match(s, g.lhs, t.rhs) && match(s, g.rhs, t.lhs)) return true;
    }
    s.undo(m);
    return false;
}

// Matching attempts one subsumption test may make: the search is exponential
// in the worst case, and a test given up only keeps a clause.
static constexpr int64_t kSubsumptionBudget = 20000;

static bool extend(Subst& s, const Clause& g, const Clause& t, size_t i, uint8_t* used, int64_t& budget) {
    if (i == g.lits.size()) return true;
    const Lit& gl = g.lits[i];
    for (size_t j = 0; j < t.lits.size(); ++j) {
        const Lit& tl = t.lits[j];
        if (used[j] || tl.pos != gl.pos || tl.eq != gl.eq) continue;
        for (int flip = 0; flip < (gl.eq ? 2 : 1); ++flip) {
            if (--budget < 0) return false;
            size_t m = s.mark();
            if (!match_lit(s, gl, tl, flip)) continue;
            used[j] = 1;
            if (extend(s, g, t, i + 1, used, budget)) return true;
            used[j] = 0;
            s.undo(m);
        }
    }
    return false;
}

// Each literal of g has a literal of t of the same sign and kind with the same top symbol(s).
static bool tops_present(const Clause& g, const Clause& t) {
    for (const Lit& gl : g.lits) {
        bool found = false;
        for (const Lit& tl : t.lits) {
            if (tl.pos != gl.pos || tl.eq != gl.eq) continue;
            if (!gl.eq) {
                found = tl.lhs->sym == gl.lhs->sym;
            } else {
                auto fits = [](Term* a, Term* b) { return a->is_var() || a->sym == b->sym; };
                found = (fits(gl.lhs, tl.lhs) && fits(gl.rhs, tl.rhs)) || (fits(gl.lhs, tl.rhs) && fits(gl.rhs, tl.lhs));
            }
            if (found) break;
        }
        if (!found) return false;
    }
    return true;
}

bool Engine::subsumes(const Clause& general, const Clause& specific) {
    if (general.lits.size() > specific.lits.size()) return false;
    if (!tops_present(general, specific)) return false;
    uint8_t small[64];
    std::vector<uint8_t> big;
    uint8_t* used = small;
    if (specific.lits.size() > 64) {
        big.assign(specific.lits.size(), 0);
        used = big.data();
    } else {
        std::fill(small, small + specific.lits.size(), 0);
    }
    size_t m = subst.mark();
    int64_t budget = kSubsumptionBudget;
    bool r = extend(subst, general, specific, 0, used, budget);
    if (budget < 0) ++stats.subsumption_given_up;
    subst.undo(m);
    return r;
}

// An active unit clause whose literal matches literal l (same sign), or nullptr.
static Clause* unit_instance_of(Engine& e, const Clause* c, const Lit& l) { return unit_generalizing(e, c, l, l.pos); }

bool Engine::subsumed(Clause* c) {
    for (const Lit& l : c->lits)
        if (unit_instance_of(*this, c, l)) return true;
    if (c->lits.size() < 2) return false;
    std::vector<Clause*> cands;
    fv_nonunit.at_most(features_of(*c), cands);
    for (Clause* d : cands)
        if (d != c && d->active && !d->dead && subsumes(*d, *c)) return true;
    return false;
}

// Without subsumption, an active clause that is a variant of c still makes c
// redundant; otherwise no saturation could ever end.
bool Engine::duplicate(Clause* c) {
    std::vector<Clause*> cands;
    fv.at_most(features_of(*c), cands);
    for (Clause* d : cands)
        if (d != c && d->active && !d->dead && d->lits.size() == c->lits.size() && subsumes(*d, *c) &&
            subsumes(*c, *d))
            return true;
    return false;
}

void Engine::backward_simplify(Clause* given, std::vector<Clause*>& requeue) {
    if (!opt.backward_simplification) return;
    std::vector<Clause*> cands;
    if (opt.subsumption) fv.at_least(features_of(*given), cands);
    for (Clause* d : cands) {
        if (d == given || !d->active || d->dead || !subsumes(*given, *d)) continue;
        deactivate(d);
        d->dead = true;
        ++stats.backward_subsumed;
    }
    if (!opt.demodulation || !given->unit_eq()) return;
    // Active clauses with an instance of a rewriting side of the new unit equation.
    const Lit& gl = given->lits[0];
    std::vector<Clause*> hit;
    for (int side = 0; side < 2; ++side) {
        Cmp o = static_cast<Cmp>(given->orient[0]);
        if (o == C_EQ || (o == C_GT && side == 1) || (o == C_LT && side == 0)) continue;
        Term* l = side ? gl.rhs : gl.lhs;
        Term* r = side ? gl.lhs : gl.rhs;
        if (l->is_var()) continue;
        std::vector<Entry> entries;
        subterms.collect(key_of(l->sym, 1), entries);
        FP fl = fingerprint(l);
        for (const Entry& en : entries) {
            if (en.c == given || std::find(hit.begin(), hit.end(), en.c) != hit.end()) continue;
            if (!fp_matchable(fl, en.fp)) continue;
            size_t m = subst.mark();
            if (!match(subst, l, en.sub)) continue;
            bool ok;
            try {
                Term* rs = apply_match(bank, subst, r);
                ok = o != C_INC || ord.greater(en.sub, rs);
                // At the top of a positive equation, forward demodulation needs a literal of the
                // clause above the instance of the equation; a clause it would not rewrite is left
                // active (else the two would requeue each other for ever).
                const Lit& dl = en.c->lits[en.lit];
                if (ok && dl.pos && dl.eq && en.sub == (en.side ? dl.rhs : dl.lhs)) {
                    Lit inst{en.sub, rs, true, true};
                    bool bigger = false;
                    for (const Lit& x : en.c->lits) bigger |= ord.compare_lits(x, inst) == C_GT;
                    ok = bigger;
                }
            } catch (const TooDeep&) {
                ok = false;
            }
            subst.undo(m);
            if (ok) hit.push_back(en.c);
        }
    }
    for (Clause* d : hit) {
        deactivate(d);
        ++stats.backward_rewritten;
        requeue.push_back(d);
    }
}

}  // namespace kv::engine
