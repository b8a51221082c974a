// Copies of plain trees for walks that copy them node for node (the
// canonical renaming): exact nodes built without the checks of general
// construction, their flags read off the node they copy.
#include "common/free_var_builder.hpp"
#include "common/node_hashing.hpp"
#include "common/nodes.hpp"

namespace kv {

// ---------------------------------------------------------------- copies of plain trees
//
// A walk that copies a plain tree node for node (the canonical renaming)
// keeps every leaf or replaces a Variable by a plain Variable, and keeps the
// symbols, arities and sorts of the nodes it copies.  So each copy is a plain
// tree of the same height as the node it copies, and GC-safe exactly when
// that node is (their fields are the same objects, copies made the same way,
// or GC-safe Variables in the place of GC-safe Variables, and the
// free-variable caches of plain atoms are always GC-safe): what mark_plain
// and finish_node would find out, read off the copied node instead.

// The memory of a new exact node of kind k (not a Variable), not zeroed: the
// caller sets every field, the flags and the height before anything else runs.
static inline PyObject* alloc_copy(const AstApi& api, int k) {
    PyObject* o = pop_pooled(api, k);
    if (!o && !(o = reinterpret_cast<PyObject*>(PyObject_GC_New(PyObject, api.types[k])))) throw PyErrorSet{};
    return o;
}

// Kind, flags (the plainness and GC-safety of `like` and `fv_flags`) and
// height of the copy `o` of `like`; tracks it when `like` is tracked.
static inline PyObject* settle_copy(PyObject* o, PyObject* like, uint8_t fv_flags) {
    Node* n = reinterpret_cast<Node*>(o);
    const Node* l = reinterpret_cast<const Node*>(like);
    n->kind = l->kind;
    n->flags = static_cast<uint8_t>((l->flags & (NF_PLAIN | NF_GC_SAFE)) | fv_flags);
    n->height = l->height;
    if (!(n->flags & NF_GC_SAFE)) PyObject_GC_Track(o);
    return o;
}

PyObject* copy_plain_connective(const AstApi& api, PyObject* like, PyObject* first, PyObject* second) {
    int k = reinterpret_cast<Node*>(like)->kind;
    TupleHasher h;
    h.add_hash(class_hash(api, k, nullptr));
    h.add_hash(reinterpret_cast<HashedNode*>(first)->hash);
    if (k != K_NOT) h.add_hash(reinterpret_cast<HashedNode*>(second)->hash);
    PyObject* o = alloc_copy(api, k);
    reinterpret_cast<HashedNode*>(o)->hash = h.finish();
    if (k == K_NOT) {
        reinterpret_cast<NotNode*>(o)->operand = Py_NewRef(first);
    } else {
        BinaryNode* b = reinterpret_cast<BinaryNode*>(o);
        b->left = Py_NewRef(first);
        b->right = Py_NewRef(second);
    }
    return settle_copy(o, like, 0);
}

PyObject* copy_plain_app_same(const AstApi& api, PyObject* like, PyObject* args) {
    int k = reinterpret_cast<Node*>(like)->kind;
    PyObject* o = alloc_copy(api, k);
    if (k == K_FUNCTION_APP) {
        FunctionAppNode* l = reinterpret_cast<FunctionAppNode*>(like);
        FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
        f->hash = l->hash;
        f->sort = Py_NewRef(l->return_sort);
        f->func = Py_NewRef(l->func);
        f->arity = Py_NewRef(l->arity);
        f->args = Py_NewRef(args);
        f->return_sort = Py_NewRef(l->return_sort);
        f->free_vars = Py_NewRef(l->free_vars);
    } else {
        PredicateAppNode* l = reinterpret_cast<PredicateAppNode*>(like);
        PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
        p->hash = l->hash;
        p->pred = Py_NewRef(l->pred);
        p->arity = Py_NewRef(l->arity);
        p->args = Py_NewRef(args);
        p->free_vars = Py_NewRef(l->free_vars);
    }
    return settle_copy(o, like, reinterpret_cast<Node*>(like)->flags & kFreeVarFlags);
}

PyObject* copy_plain_app_renamed(const AstApi& api, PyObject* like, PyObject* args) {
    int k = reinterpret_cast<Node*>(like)->kind;
    bool fa = k == K_FUNCTION_APP;
    FunctionAppNode* lf = reinterpret_cast<FunctionAppNode*>(like);
    PredicateAppNode* lp = reinterpret_cast<PredicateAppNode*>(like);
    PyObject* sym = fa ? lf->func : lp->pred;
    PyObject* arity = fa ? lf->arity : lp->arity;
    TupleHasher h;
    h.add_hash(class_hash(api, k, nullptr));
    add_field_hash(h, sym);
    add_field_hash(h, arity);
    add_args_hash(api, h, args);
    if (fa) h.add(lf->return_sort);
    uint8_t fv_flags;
    Ref fv = Ref::steal(free_vars_of_args(api, args, fv_flags));
    PyObject* o = alloc_copy(api, k);
    if (fa) {
        FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(o);
        f->hash = h.finish();
        f->sort = Py_NewRef(lf->return_sort);
        f->func = Py_NewRef(sym);
        f->arity = Py_NewRef(arity);
        f->args = Py_NewRef(args);
        f->return_sort = Py_NewRef(lf->return_sort);
        f->free_vars = fv.release();
    } else {
        PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(o);
        p->hash = h.finish();
        p->pred = Py_NewRef(sym);
        p->arity = Py_NewRef(arity);
        p->args = Py_NewRef(args);
        p->free_vars = fv.release();
    }
    return settle_copy(o, like, fv_flags);
}

PyObject* copy_plain_equality(const AstApi& api, PyObject* like, PyObject* left, PyObject* right, bool same_value) {
    EqualityNode* l = reinterpret_cast<EqualityNode*>(like);
    Py_hash_t hash;
    uint8_t fv_flags;
    Ref fv;
    if (same_value) {
        hash = l->hash;
        fv_flags = l->flags & kFreeVarFlags;
        fv = Ref::borrow(l->free_vars);
    } else {
        TupleHasher h;
        h.add_hash(class_hash(api, K_EQUALITY, nullptr));
        add_child_hash(api, h, left);
        add_child_hash(api, h, right);
        hash = h.finish();
        FreeVarBuilder b(api);
        b.add_child(left);
        b.add_child(right);
        fv = Ref::steal(b.finish(fv_flags));
    }
    PyObject* o = alloc_copy(api, K_EQUALITY);
    EqualityNode* e = reinterpret_cast<EqualityNode*>(o);
    e->hash = hash;
    e->left = Py_NewRef(left);
    e->right = Py_NewRef(right);
    e->free_vars = fv.release();
    return settle_copy(o, like, fv_flags);
}

PyObject* copy_plain_variable(const AstApi& api, PyObject* like, long id) {
    VariableNode* l = reinterpret_cast<VariableNode*>(like);
    Py_hash_t kh = 0;
    api.kind_hash(l->vkind, kh);  // a plain Variable's kind is a VariableKind member
    TupleHasher th;
    th.add(l->sort);
    th.add_hash(id);  // hash(id) for the non-negative compact ints the generator hands out
    th.add_hash(kh);
    PyObject* ido = PyLong_FromLong(id);
    if (!ido) throw PyErrorSet{};
    PyObject* o = pop_pooled(api, K_VARIABLE);
    if (!o && !(o = reinterpret_cast<PyObject*>(PyObject_New(PyObject, api.types[K_VARIABLE])))) {
        Py_DECREF(ido);
        throw PyErrorSet{};
    }
    VariableNode* v = reinterpret_cast<VariableNode*>(o);
    v->kind = K_VARIABLE;
    v->flags = NF_HASH_CACHED | NF_GC_SAFE | NF_PLAIN;
    v->height = 1;
    v->hash = th.finish();
    v->sort = Py_NewRef(l->sort);
    v->id = ido;
    v->vkind = Py_NewRef(l->vkind);
    return o;
}

}  // namespace kv
