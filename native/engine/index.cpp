// Indexes of the active set: top-symbol indexes (entries filed under a
// symbol and role, dead entries dropped when read) and the feature-vector trie
// that finds subsumption candidates.
#include "engine/state.hpp"

#include <algorithm>

namespace kv::engine {

int64_t key_of(int32_t sym, int role) { return (static_cast<int64_t>(sym) << 4) | role; }

static int32_t fp_at(Term* t, std::initializer_list<uint32_t> path) {
    for (uint32_t i : path) {
        if (t->is_var()) return FP_BELOW;
        if (i >= t->arity) return FP_NONE;
        t = t->args[i];
    }
    return t->is_var() ? FP_VAR : t->sym;
}

FP fingerprint(Term* t) {
    return FP{{fp_at(t, {}), fp_at(t, {0}), fp_at(t, {1}), fp_at(t, {2}), fp_at(t, {0, 0}), fp_at(t, {0, 1}),
               fp_at(t, {1, 0}), fp_at(t, {1, 1})}};
}

bool fp_unifiable(const FP& a, const FP& b) {
    for (int i = 0; i < kFP; ++i) {
        int32_t x = a.v[i], y = b.v[i];
        if (x == y || x == FP_BELOW || y == FP_BELOW) continue;
        if (x == FP_NONE || y == FP_NONE) return false;
        if (x == FP_VAR || y == FP_VAR) continue;
        return false;  // two different symbols
    }
    return true;
}

bool fp_matchable(const FP& p, const FP& t) {
    for (int i = 0; i < kFP; ++i) {
        int32_t x = p.v[i], y = t.v[i];
        if (x == FP_BELOW) continue;
        if (x == FP_VAR) {
            if (y == FP_NONE) return false;
            continue;
        }
        if (x == FP_NONE) {
            if (y != FP_NONE && y != FP_BELOW) return false;
            continue;
        }
        if (x != y) return false;
    }
    return true;
}

static void compact_into(std::vector<Entry>& list, std::vector<Entry>& out) {
    size_t w = 0;
    for (size_t r = 0; r < list.size(); ++r) {
        if (list[r].c->dead || !list[r].c->active || list[r].c->gen != list[r].gen) continue;
        list[w++] = list[r];
        out.push_back(list[r]);
    }
    list.resize(w);
}

void TopIndex::collect(int64_t key, std::vector<Entry>& out) {
    auto it = map_.find(key);
    if (it == map_.end()) return;
    size_t before = it->second.size();
    compact_into(it->second, out);
    size_ -= before - it->second.size();
}

void TopIndex::collect_all(std::vector<Entry>& out) {
    for (auto& [key, list] : map_) {
        size_t before = list.size();
        compact_into(list, out);
        size_ -= before - list.size();
    }
}

// ---------------------------------------------------------------- feature vectors

static void count_symbols(Term* t, uint16_t* counts) {
    if (t->is_var() || t->sym == kTruthSym) return;
    uint16_t& c = counts[t->sym % 8];
    if (c < 65535) ++c;
    for (uint32_t i = 0; i < t->arity; ++i) count_symbols(t->args[i], counts);
}

// Features: positive and negative literal counts; per sign, literals by
// predicate (equations under one bucket) in 16 buckets; per sign, symbol
// occurrences in 8 buckets.  None can decrease under instantiation or from a
// clause to a clause it subsumes.
Features features_of(const Clause& c) {
    Features f{};
    for (const Lit& l : c.lits) {
        ++f[l.pos ? 0 : 1];
        int bucket = l.eq ? 15 : l.lhs->sym % 15;
        uint16_t& n = f[(l.pos ? 2 : 18) + bucket];
        if (n < 65535) ++n;
        uint16_t* counts = f.data() + (l.pos ? 34 : 42);
        count_symbols(l.lhs, counts);
        count_symbols(l.rhs, counts);
    }
    return f;
}

struct FVIndex::Node {
    std::vector<std::pair<uint16_t, Node*>> kids;  // sorted by value
    std::vector<Clause*> leaf;                     // at depth kFeatures
    ~Node() {
        for (auto& k : kids) delete k.second;
    }
};

// The first kid whose value is not below v.
template <class Kids>
static auto kid_at_or_after(Kids& kids, uint16_t v) {
    return std::lower_bound(kids.begin(), kids.end(), v, [](const auto& k, uint16_t x) { return k.first < x; });
}

FVIndex::FVIndex() : root_(new Node) {}
FVIndex::~FVIndex() { delete root_; }

void FVIndex::insert(Clause* c) {
    Features f = features_of(*c);
    Node* n = root_;
    for (int i = 0; i < kFeatures; ++i) {
        auto it = kid_at_or_after(n->kids, f[i]);
        if (it == n->kids.end() || it->first != f[i]) it = n->kids.insert(it, {f[i], new Node});
        n = it->second;
    }
    n->leaf.push_back(c);
}

void FVIndex::remove(Clause* c) {
    Features f = features_of(*c);
    Node* n = root_;
    for (int i = 0; i < kFeatures && n; ++i) {
        auto it = kid_at_or_after(n->kids, f[i]);
        n = (it == n->kids.end() || it->first != f[i]) ? nullptr : it->second;
    }
    if (!n) return;
    auto it = std::find(n->leaf.begin(), n->leaf.end(), c);
    if (it != n->leaf.end()) n->leaf.erase(it);
}

template <bool AtMost>
void FVIndex::collect(const Features& f, std::vector<Clause*>& out) const {
    std::vector<std::pair<const Node*, int>> stack{{root_, 0}};
    while (!stack.empty()) {
        auto [n, d] = stack.back();
        stack.pop_back();
        if (d == kFeatures) {
            out.insert(out.end(), n->leaf.begin(), n->leaf.end());
            continue;
        }
        // Kids are sorted by value: walk from the end that fits and stop at the first that does not.
        if constexpr (AtMost) {
            for (auto it = n->kids.begin(); it != n->kids.end() && it->first <= f[d]; ++it)
                stack.emplace_back(it->second, d + 1);
        } else {
            for (auto it = n->kids.rbegin(); it != n->kids.rend() && it->first >= f[d]; ++it)
                stack.emplace_back(it->second, d + 1);
        }
    }
}

void FVIndex::at_most(const Features& f, std::vector<Clause*>& out) const { collect<true>(f, out); }
void FVIndex::at_least(const Features& f, std::vector<Clause*>& out) const { collect<false>(f, out); }

}  // namespace kv::engine
