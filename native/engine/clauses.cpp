// Clause construction (duplicate literals merged, variables renumbered in
// order of first occurrence), tautology tests, literal selection functions
// and the eligibility of literals for inferences.
#include "engine/engine.hpp"

#include <cstring>
#include <iterator>

namespace kv::engine {

uint32_t Clause::weight() const {
    uint32_t w = 0;
    for (const Lit& l : lits) w += l.lhs->weight + l.rhs->weight;
    return w;
}

bool parse_selection(const char* name, Selection& out) {
    for (size_t i = 0; i < std::size(kSelectionNames); ++i)
        if (std::strcmp(name, kSelectionNames[i]) == 0) {
            out = static_cast<Selection>(i);
            return true;
        }
    return false;
}

static void first_occurrences(Term* t, std::vector<int>& map, uint32_t& next) {
    if (t->ground()) return;
    if (t->is_var()) {
        int v = t->var();
        if (v >= (int)map.size()) map.resize(v + 1, -1);
        if (map[v] < 0) map[v] = static_cast<int>(next++);
        return;
    }
    for (uint32_t i = 0; i < t->arity; ++i) first_occurrences(t->args[i], map, next);
}

static Term* rename(Bank& bank, Term* t, const std::vector<int>& map) {
    if (t->ground()) return t;
    if (t->is_var()) return bank.var(map[t->var()]);
    std::vector<Term*> args(t->arity);
    bool changed = false;
    for (uint32_t i = 0; i < t->arity; ++i) {
        args[i] = rename(bank, t->args[i], map);
        changed |= args[i] != t->args[i];
    }
    return changed ? bank.app(t->sym, args.data(), t->arity) : t;
}

void normalize(Bank& bank, Clause& c) {
    std::vector<Lit> out;
    out.reserve(c.lits.size());
    for (const Lit& l : c.lits) {
        bool dup = false;
        for (const Lit& o : out) dup |= (o == l);
        if (!dup) out.push_back(l);
    }
    std::vector<int> map;
    uint32_t next = 0;
    for (const Lit& l : out) {
        first_occurrences(l.lhs, map, next);
        first_occurrences(l.rhs, map, next);
    }
    bool identity = true;
    for (size_t v = 0; v < map.size(); ++v)
        if (map[v] >= 0 && map[v] != (int)v) identity = false;
    if (!identity) {
        for (Lit& l : out) {
            l.lhs = rename(bank, l.lhs, map);
            l.rhs = rename(bank, l.rhs, map);
        }
    }
    c.lits.swap(out);
    c.nvars = next;
}

static bool same_atom(const Lit& a, const Lit& b) {
    if (a.eq != b.eq) return false;
    if (a.lhs == b.lhs && a.rhs == b.rhs) return true;
    return a.eq && a.lhs == b.rhs && a.rhs == b.lhs;
}

bool is_tautology(const Clause& c) {
    for (size_t i = 0; i < c.lits.size(); ++i) {
        const Lit& a = c.lits[i];
        if (a.pos && a.eq && a.lhs == a.rhs) return true;
        for (size_t j = i + 1; j < c.lits.size(); ++j) {
            const Lit& b = c.lits[j];
            if (a.pos != b.pos && same_atom(a, b)) return true;
        }
    }
    return false;
}

// The predicate symbol of a literal, or -1 for an equation.
static int32_t pred_of(const Lit& l) { return l.eq ? -1 : l.lhs->sym; }

// Marks the selected negative literals of c in c.eligible; returns the first, or -1.
static int select(Selection sel, Clause& c) {
    int best = -1;
    uint32_t best_w = 0;
    bool best_ground = false, best_avoids = false;
    for (size_t i = 0; i < c.lits.size(); ++i) {
        const Lit& l = c.lits[i];
        if (l.pos) continue;
        if (sel == Selection::AllNeg) {
            c.eligible[i] = 1;
            if (best < 0) best = static_cast<int>(i);
            continue;
        }
        if (sel == Selection::FirstNeg) {
            best = static_cast<int>(i);
            break;
        }
        uint32_t w = l.lhs->weight + l.rhs->weight;
        bool ground = l.lhs->ground() && l.rhs->ground();
        bool avoids = true;  // no positive literal of the clause has the same predicate (or is an equation alike)
        if (sel == Selection::MaxNegAvoidPos)
            for (const Lit& o : c.lits) avoids &= !(o.pos && pred_of(o) == pred_of(l));
        bool better;
        if (best < 0) better = true;
        else if (sel == Selection::MinNegWeight) better = w < best_w;
        else if (sel == Selection::GroundFirst) better = (ground && !best_ground) || (ground == best_ground && w > best_w);
        else if (sel == Selection::MaxNegAvoidPos) better = (avoids && !best_avoids) || (avoids == best_avoids && w > best_w);
        else better = w > best_w;
        if (better) {
            best = static_cast<int>(i);
            best_w = w;
            best_ground = ground;
            best_avoids = avoids;
        }
    }
    if (best >= 0) c.eligible[best] = 1;
    return best;
}

void compute_eligibility(Ordering& ord, Selection sel, Clause& c) {
    size_t n = c.lits.size();
    c.eligible.assign(n, 0);
    c.selected = sel == Selection::None ? -1 : select(sel, c);
    if (c.selected >= 0) return;
    for (size_t i = 0; i < n; ++i) {
        bool maximal = true;
        for (size_t j = 0; j < n && maximal; ++j)
            if (j != i && ord.compare_lits(c.lits[j], c.lits[i]) == C_GT) maximal = false;
        c.eligible[i] = maximal;
    }
}

}  // namespace kv::engine
