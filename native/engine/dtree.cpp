// Discrimination tree construction and query flattening (see dtree.hpp).
#include "engine/dtree.hpp"

namespace kv::engine {

DTree::~DTree() {
    for (Node* n : owned_) delete n;
}

void DTree::flatten(Term* t) {
    // Preorder with the end index of every subterm; recursion bounded by kMaxDepth.
    struct Walk {
        DTree& d;
        void go(Term* u) {
            uint32_t at = static_cast<uint32_t>(d.flat_.size());
            d.flat_.push_back(u);
            d.skip_.push_back(0);
            if (!u->is_var())
                for (uint32_t k = 0; k < u->arity; ++k) go(u->args[k]);
            d.skip_[at] = static_cast<uint32_t>(d.flat_.size());
        }
    };
    Walk{*this}.go(t);
}

void DTree::insert(Term* const* keys, size_t nkeys, const Entry& e) {
    Node* node = &root_;
    std::vector<Term*> stack;
    for (size_t i = nkeys; i-- > 0;) stack.push_back(keys[i]);
    while (!stack.empty()) {
        Term* t = stack.back();
        stack.pop_back();
        int32_t sym = t->is_var() ? kStar : t->sym;
        Node* next = node->kid(sym);
        if (!next) {
            next = new Node;
            owned_.push_back(next);
            node->kids.emplace_back(sym, next);
        }
        node = next;
        if (!t->is_var())
            for (uint32_t k = t->arity; k-- > 0;) stack.push_back(t->args[k]);
    }
    node->leaf.push_back(e);
}

}  // namespace kv::engine
