// Discrimination tree for retrieving generalizations: entries are filed under
// the preorder symbol string of one or more key terms (variables as one
// wildcard); a query returns every entry whose key may match the query terms,
// to be confirmed by matching.  Entries of removed clauses are dropped when
// their leaf is read.
#pragma once

#include "engine/state.hpp"

namespace kv::engine {

class DTree {
public:
    DTree() = default;
    ~DTree();
    DTree(const DTree&) = delete;
    DTree& operator=(const DTree&) = delete;

    void insert(Term* const* keys, size_t nkeys, const Entry& e);
    // Calls f(entry) for each live candidate generalization of the query
    // terms until f returns true; f must not change the tree.  Returns whether f did.
    template <class F>
    bool generalizations(Term* const* query, size_t nquery, F&& f);

private:
    static constexpr int32_t kStar = -1;
    struct Node {
        std::vector<std::pair<int32_t, Node*>> kids;
        std::vector<Entry> leaf;
        Node* kid(int32_t sym) const {
            for (auto& k : kids)
                if (k.first == sym) return k.second;
            return nullptr;
        }
    };
    Node root_;
    std::vector<Node*> owned_;
    std::vector<Term*> flat_;     // scratch: the query in preorder
    std::vector<uint32_t> skip_;  // scratch: index after each subterm of flat_
    std::vector<std::pair<Node*, uint32_t>> stack_;
    void flatten(Term* t);
};

template <class F>
bool DTree::generalizations(Term* const* query, size_t nquery, F&& f) {
    flat_.clear();
    skip_.clear();
    for (size_t i = 0; i < nquery; ++i) flatten(query[i]);
    const uint32_t n = static_cast<uint32_t>(flat_.size());
    stack_.clear();
    stack_.emplace_back(&root_, 0);
    while (!stack_.empty()) {
        auto [node, i] = stack_.back();
        stack_.pop_back();
        if (i == n) {
            std::vector<Entry>& list = node->leaf;
            size_t w = 0, r = 0, m = list.size();
            bool stop = false;
            for (; r < m && !stop; ++r) {
                const Entry& en = list[r];
                if (en.c->dead || !en.c->active || en.c->gen != en.gen) continue;
                if (w != r) list[w] = list[r];
                stop = f(list[w++]);
            }
            for (; r < m; ++r) list[w++] = list[r];
            list.resize(w);
            if (stop) return true;
            continue;
        }
        Term* t = flat_[i];
        if (Node* star = node->kid(kStar)) stack_.emplace_back(star, skip_[i]);
        if (!t->is_var())
            if (Node* k = node->kid(t->sym)) stack_.emplace_back(k, i + 1);
    }
    return false;
}

}  // namespace kv::engine
