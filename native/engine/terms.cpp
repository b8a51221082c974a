// The term bank (hash-consed terms in an arena) and the term algorithms over
// it: unification with occurs check, matching, instantiation, renaming and
// subterm replacement.  Unification and matching are iterative; the recursive
// walks are bounded by kMaxDepth because no deeper term exists in a bank.
#include "engine/engine.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace kv::engine {

static constexpr size_t kBlock = 1 << 20;

Bank::Bank() {
    table_.assign(1024, nullptr);
    truth_ = app(kTruthSym, nullptr, 0);
}

Bank::~Bank() {
    for (char* b : blocks_) std::free(b);
}

void* Bank::alloc(size_t n) {
    n = (n + 7) & ~size_t(7);
    if (n > left_) {
        size_t size = std::max(kBlock, n);
        char* b = static_cast<char*>(std::malloc(size));
        if (!b) throw std::bad_alloc();
        blocks_.push_back(b);
        cur_ = b;
        left_ = size;
        bytes_ += size;
    }
    void* p = cur_;
    cur_ += n;
    left_ -= n;
    return p;
}

static Term* new_term(void* mem, int32_t sym, uint32_t arity) {
    Term* t = static_cast<Term*>(mem);
    t->sym = sym;
    t->arity = arity;
    return t;
}

static size_t term_size(uint32_t arity) { return offsetof(Term, args) + sizeof(Term*) * std::max<uint32_t>(arity, 1); }

Term* Bank::var(int n) {
    if (n >= (int)vars_.size()) vars_.resize(n + 1, nullptr);
    Term*& v = vars_[n];
    if (!v) {
        v = new_term(alloc(term_size(0)), -n - 1, 0);
        v->weight = 1;
        v->depth = 1;
        v->maxvar = n;
        v->hash = static_cast<uint32_t>(n) * 2654435761u + 0x9e3779b9u;
        v->id = static_cast<uint32_t>(count_++);
    }
    return v;
}

static uint32_t hash_app(int32_t sym, Term* const* args, uint32_t arity) {
    uint64_t h = static_cast<uint32_t>(sym) * 0x9E3779B97F4A7C15ull + arity;
    for (uint32_t i = 0; i < arity; ++i) {
        h ^= args[i]->id + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
        h *= 0xff51afd7ed558ccdull;
    }
    return static_cast<uint32_t>(h ^ (h >> 32));
}

void Bank::grow() {
    std::vector<Term*> old;
    old.swap(table_);
    table_.assign(old.size() * 2, nullptr);
    size_t mask = table_.size() - 1;
    for (Term* t : old) {
        if (!t) continue;
        size_t i = t->hash & mask;
        while (table_[i]) i = (i + 1) & mask;
        table_[i] = t;
    }
}

Term* Bank::app(int32_t sym, Term* const* args, uint32_t arity) {
    uint32_t h = hash_app(sym, args, arity);
    size_t mask = table_.size() - 1;
    size_t i = h & mask;
    while (Term* t = table_[i]) {
        if (t->hash == h && t->sym == sym && t->arity == arity &&
            (arity == 0 || std::memcmp(t->args, args, sizeof(Term*) * arity) == 0))
            return t;
        i = (i + 1) & mask;
    }
    uint32_t depth = 0, weight = static_cast<size_t>(sym) < weights_.size() ? weights_[sym] : 1;
    int32_t maxvar = -1;
    for (uint32_t k = 0; k < arity; ++k) {
        depth = std::max(depth, args[k]->depth);
        weight += args[k]->weight;
        maxvar = std::max(maxvar, args[k]->maxvar);
    }
    if (depth + 1 > limit_) throw TooDeep{};
    max_depth_ = std::max(max_depth_, depth + 1);
    Term* t = new_term(alloc(term_size(arity)), sym, arity);
    if (arity) std::memcpy(t->args, args, sizeof(Term*) * arity);
    t->weight = weight;
    t->depth = depth + 1;
    t->maxvar = maxvar;
    t->hash = h;
    t->id = static_cast<uint32_t>(count_++);
    table_[i] = t;
    if (++used_ * 2 > table_.size()) grow();
    return t;
}

void Bank::set_limit(uint32_t depth) { limit_ = std::clamp<uint32_t>(depth, 1, kMaxDepth); }

void Bank::set_weights(std::vector<uint32_t> weights) {
    weights_ = std::move(weights);
    // Arguments are made before the terms above them: recompute in order of creation.
    std::vector<Term*> terms;
    for (Term* t : table_)
        if (t) terms.push_back(t);
    std::sort(terms.begin(), terms.end(), [](Term* a, Term* b) { return a->id < b->id; });
    for (Term* t : terms) {
        uint32_t w = static_cast<size_t>(t->sym) < weights_.size() ? weights_[t->sym] : 1;
        for (uint32_t k = 0; k < t->arity; ++k) w += t->args[k]->weight;
        t->weight = w;
    }
}

// ---------------------------------------------------------------- unification

static bool occurs_deref(Subst& s, int v, Term* t) {
    std::vector<Term*>& stack = s.work1;
    stack.clear();
    stack.push_back(t);
    while (!stack.empty()) {
        Term* u = s.deref(stack.back());
        stack.pop_back();
        if (u->is_var()) {
            if (u->var() == v) return true;
            continue;
        }
        if (u->ground()) continue;
        for (uint32_t i = 0; i < u->arity; ++i) stack.push_back(u->args[i]);
    }
    return false;
}

bool unify(Subst& s, Term* a, Term* b) {
    size_t m = s.mark();
    auto& stack = s.work;
    stack.clear();
    stack.emplace_back(a, b);
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        x = s.deref(x);
        y = s.deref(y);
        if (x == y) continue;
        if (x->is_var() || y->is_var()) {
            if (!x->is_var()) std::swap(x, y);
            if (occurs_deref(s, x->var(), y)) {
                s.undo(m);
                return false;
            }
            s.set(x->var(), y);
            continue;
        }
        if (x->sym != y->sym || x->arity != y->arity) {
            s.undo(m);
            return false;
        }
        for (uint32_t i = 0; i < x->arity; ++i) stack.emplace_back(x->args[i], y->args[i]);
    }
    return true;
}

bool match(Subst& s, Term* pattern, Term* target) {
    if (pattern->ground()) return pattern == target;
    size_t m = s.mark();
    auto& stack = s.work;
    stack.clear();
    stack.emplace_back(pattern, target);
    while (!stack.empty()) {
        auto [p, t] = stack.back();
        stack.pop_back();
        if (p->is_var()) {
            Term* b = s.get(p->var());
            if (!b) {
                s.set(p->var(), t);
            } else if (b != t) {
                s.undo(m);
                return false;
            }
            continue;
        }
        if (p->ground()) {
            if (p != t) {
                s.undo(m);
                return false;
            }
            continue;
        }
        if (p->sym != t->sym || p->arity != t->arity) {
            s.undo(m);
            return false;
        }
        for (uint32_t i = 0; i < p->arity; ++i) stack.emplace_back(p->args[i], t->args[i]);
    }
    return true;
}

static Term* inst(Bank& bank, const Subst& s, Term* t, uint32_t level) {
    t = s.deref(t);
    if (t->ground() || t->is_var()) return t;
    if (level > kMaxDepth) throw TooDeep{};
    Term* buf[16];
    std::vector<Term*> big;
    Term** args = buf;
    if (t->arity > 16) {
        big.resize(t->arity);
        args = big.data();
    }
    bool changed = false;
    for (uint32_t i = 0; i < t->arity; ++i) {
        args[i] = inst(bank, s, t->args[i], level + 1);
        changed |= args[i] != t->args[i];
    }
    return changed ? bank.app(t->sym, args, t->arity) : t;
}

Term* instantiate(Bank& bank, const Subst& s, Term* t) { return inst(bank, s, t, 0); }

Term* apply_match(Bank& bank, const Subst& s, Term* t) {
    if (t->ground()) return t;
    if (t->is_var()) {
        Term* b = s.get(t->var());
        return b ? b : t;
    }
    Term* buf[16];
    std::vector<Term*> big;
    Term** args = buf;
    if (t->arity > 16) {
        big.resize(t->arity);
        args = big.data();
    }
    bool changed = false;
    for (uint32_t i = 0; i < t->arity; ++i) {
        args[i] = apply_match(bank, s, t->args[i]);
        changed |= args[i] != t->args[i];
    }
    return changed ? bank.app(t->sym, args, t->arity) : t;
}

Term* shift(Bank& bank, Term* t, int offset) {
    if (t->ground() || offset == 0) return t;
    if (t->is_var()) return bank.var(t->var() + offset);
    Term* buf[16];
    std::vector<Term*> big;
    Term** args = buf;
    if (t->arity > 16) {
        big.resize(t->arity);
        args = big.data();
    }
    for (uint32_t i = 0; i < t->arity; ++i) args[i] = shift(bank, t->args[i], offset);
    return bank.app(t->sym, args, t->arity);
}

Term* replace_at(Bank& bank, Term* t, const uint32_t* path, size_t len, Term* r) {
    if (len == 0) return r;
    std::vector<Term*> args(t->args, t->args + t->arity);
    args[path[0]] = replace_at(bank, t->args[path[0]], path + 1, len - 1, r);
    return bank.app(t->sym, args.data(), t->arity);
}

Term* replace_all(Bank& bank, Term* t, Term* old, Term* r) {
    if (t == old) return r;
    if (t->arity == 0 || t->depth <= old->depth) return t;
    Term* buf[16];
    std::vector<Term*> big;
    Term** args = buf;
    if (t->arity > 16) {
        big.resize(t->arity);
        args = big.data();
    }
    bool changed = false;
    for (uint32_t i = 0; i < t->arity; ++i) {
        args[i] = replace_all(bank, t->args[i], old, r);
        changed |= args[i] != t->args[i];
    }
    return changed ? bank.app(t->sym, args, t->arity) : t;
}

bool occurs(Term* sub, Term* t) {
    if (t == sub) return true;
    if (t->depth <= sub->depth) return false;
    for (uint32_t i = 0; i < t->arity; ++i)
        if (occurs(sub, t->args[i])) return true;
    return false;
}

}  // namespace kv::engine
