// The Knuth-Bendix ordering on bank terms (every symbol and variable weighs
// one; the precedence ranks come from the signature) and its multiset
// extension to literals.
#include "engine/engine.hpp"

#include <algorithm>

namespace kv::engine {

static void count_vars(Term* t, std::vector<int>& counts, int delta) {
    if (t->ground()) return;
    if (t->is_var()) {
        counts[t->var()] += delta;
        return;
    }
    for (uint32_t i = 0; i < t->arity; ++i) count_vars(t->args[i], counts, delta);
}

// Every variable occurs in s at least as often as in t.
bool Ordering::vars_ok(Term* s, Term* t) {
    if (t->ground()) return true;
    if (s->maxvar < t->maxvar) return false;
    size_t n = static_cast<size_t>(std::max(s->maxvar, t->maxvar) + 1);
    if (counts_.size() < n) counts_.resize(n, 0);
    count_vars(s, counts_, 1);
    count_vars(t, counts_, -1);
    bool ok = true;
    for (size_t i = 0; i < n; ++i) {
        if (counts_[i] < 0) ok = false;
        counts_[i] = 0;
    }
    return ok;
}

bool Ordering::gt(Term* s, Term* t) {
    if (s == t) return false;
    if (t->is_var()) return occurs(t, s);
    if (s->is_var()) return false;
    if (s->weight < t->weight) return false;
    if (!vars_ok(s, t)) return false;
    if (s->weight > t->weight) return true;
    const std::vector<Symbol>& syms = *symbols;
    int32_t ps = syms[s->sym].prec, pt = syms[t->sym].prec;
    if (ps != pt) return ps > pt;
    for (uint32_t i = 0; i < s->arity; ++i) {
        if (s->args[i] == t->args[i]) continue;
        return gt(s->args[i], t->args[i]);
    }
    return false;
}

bool Ordering::greater(Term* s, Term* t) { return gt(s, t); }

Cmp Ordering::compare(Term* s, Term* t) {
    if (s == t) return C_EQ;
    if (gt(s, t)) return C_GT;
    if (gt(t, s)) return C_LT;
    return C_INC;
}

// The literal as a multiset of terms: {l, r} when positive, {l, l, r, r} when negative.
static int lit_terms(const Lit& l, Term** out) {
    out[0] = l.lhs;
    out[1] = l.rhs;
    if (l.pos) return 2;
    out[2] = l.lhs;
    out[3] = l.rhs;
    return 4;
}

Cmp Ordering::compare_lits(const Lit& a, const Lit& b) {
    Term* ta[4];
    Term* tb[4];
    int na = lit_terms(a, ta), nb = lit_terms(b, tb);
    bool used_b[4] = {false, false, false, false};
    Term* ra[4];
    Term* rb[4];
    int ma = 0, mb = 0;
    for (int i = 0; i < na; ++i) {
        bool common = false;
        for (int j = 0; j < nb; ++j)
            if (!used_b[j] && tb[j] == ta[i]) {
                used_b[j] = true;
                common = true;
                break;
            }
        if (!common) ra[ma++] = ta[i];
    }
    for (int j = 0; j < nb; ++j)
        if (!used_b[j]) rb[mb++] = tb[j];
    if (ma == 0 && mb == 0) return C_EQ;
    auto dominates = [&](Term** xs, int nx, Term** ys, int ny) {
        if (nx == 0) return false;
        for (int j = 0; j < ny; ++j) {
            bool covered = false;
            for (int i = 0; i < nx && !covered; ++i) covered = gt(xs[i], ys[j]);
            if (!covered) return false;
        }
        return true;
    };
    if (dominates(ra, ma, rb, mb)) return C_GT;
    if (dominates(rb, mb, ra, ma)) return C_LT;
    return C_INC;
}

}  // namespace kv::engine
