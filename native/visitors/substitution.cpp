// SubstitutionTransformer: simultaneous substitution of terms for variables
// with renaming of a bound variable that a replacement would capture.
//
// Everything the quantifier step builds goes through the names of the module
// (FreeVariableCollector, SubstitutionTransformer, Variable, Forall, Exists)
// and through `visit`, so subclasses and overridden handlers take part exactly
// as they would in module code.
#include "visitors/state.hpp"

#include <vector>

namespace kv::vis {

static PyObject* subst_init(State* st, PyObject** argv, PyObject*) {
    store_mapping(st, argv[0], argv[1]);
    Py_RETURN_NONE;
}

static PyObject* subst_variable(State* st, PyObject* self, PyObject* node) {
    Ref mapping = attr(self, st->s_mapping);
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* t = PyDict_GetItemWithError(mapping.get(), node);
        if (t) return Py_NewRef(t);
        if (PyErr_Occurred()) throw PyErrorSet{};
        return Py_NewRef(node);
    }
    if (check_int(PySequence_Contains(mapping.get(), node))) return check(PyObject_GetItem(mapping.get(), node));
    return Py_NewRef(node);
}

// Iterates mapping.items(), calling f(key, value) for each entry in order.
template <class F>
static void for_each_item(State* st, PyObject* mapping, F&& f) {
    Ref items = Ref::check(PyObject_CallMethodNoArgs(mapping, st->s_items));
    Ref it = Ref::check(PyObject_GetIter(items.get()));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref own = Ref::steal(item);
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
            f(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
            continue;
        }
        Ref pair = Ref::check(PySequence_Tuple(item));
        if (PyTuple_GET_SIZE(pair.get()) != 2) {
            PyErr_Format(PyExc_ValueError, PyTuple_GET_SIZE(pair.get()) > 2
                                               ? "too many values to unpack (expected 2)"
                                               : "not enough values to unpack (expected 2, got %zd)",
                         PyTuple_GET_SIZE(pair.get()));
            throw PyErrorSet{};
        }
        f(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

static bool differs(PyObject* a, PyObject* b) {
    Ref r = Ref::check(PyObject_RichCompare(a, b, Py_NE));
    return check_int(PyObject_IsTrue(r.get())) != 0;
}

// The `id` of a member of the variable sets (exact Variables read directly).
static Ref id_of(State* st, PyObject* v) {
    return field(st, v, K_VARIABLE, st->api.s_id, offsetof(VariableNode, id));
}

// max(v.id for v in vars, default=0) + 1
static Ref next_id(State* st, PyObject* vars) {
    Ref best;
    Ref it = Ref::check(PyObject_GetIter(vars));
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref own = Ref::steal(item);
        Ref id = id_of(st, item);
        if (!best || check_int(PyObject_RichCompareBool(id.get(), best.get(), Py_GT))) best = std::move(id);
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
    if (!best) best = Ref::borrow(st->api.zero);
    return Ref::check(PyNumber_Add(best.get(), st->one));
}

static Ref new_transformer(State* st, PyObject* mapping) {
    PyObject* cls = global(st, G_SUBSTITUTION_TRANSFORMER);
    Ref keep = Ref::borrow(cls);
    Ref t = Ref::check(PyObject_CallOneArg(cls, mapping));
    safe_point();
    return t;
}

template <int K>
static PyObject* subst_quant(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref mapping = attr(self, st->s_mapping);
    Ref bound = field(st, node, K, api.s_variable, offsetof(QuantNode, variable));
    Ref replacement_free = Ref::check(PySet_New(nullptr));
    Ref collector;
    {
        PyObject* cls = global(st, G_FREE_VARIABLE_COLLECTOR);
        Ref keep = Ref::borrow(cls);
        collector = Ref::check(PyObject_CallNoArgs(cls));
    }
    safe_point();  // after the set and the collector
    for_each_item(st, mapping.get(), [&](PyObject* v, PyObject* t) {
        Ref kv = Ref::borrow(v), tv = Ref::borrow(t);
        if (!differs(v, bound.get())) return;
        Ref fv = Ref::check(visit_child(st, collector.get(), t));
        set_update(replacement_free.get(), fv.get());
    });
    Ref body = field(st, node, K, api.s_body, offsetof(QuantNode, body));
    if (check_int(PySet_Contains(replacement_free.get(), bound.get()))) {
        // Capture: rename the bound variable to one above every id in view.
        Ref body_free = Ref::check(visit_child(st, collector.get(), body.get()));
        Ref keys = Ref::check(PySet_New(mapping.get()));
        Ref some = Ref::check(PyNumber_Or(body_free.get(), replacement_free.get()));
        Ref all = Ref::check(PyNumber_Or(some.get(), keys.get()));
        Ref max_idx = next_id(st, all.get());
        Ref sort = field(st, bound.get(), K_VARIABLE, api.s_sort, offsetof(VariableNode, sort));
        Ref kind = field(st, bound.get(), K_VARIABLE, api.s_kind, offsetof(VariableNode, vkind));
        Ref fresh = Ref::check(construct(st, K_VARIABLE, {"id", "sort", "kind"}, {max_idx.get(), sort.get(), kind.get()}));
        Ref one_entry = Ref::check(PyDict_New());
        check_int(PyDict_SetItem(one_entry.get(), bound.get(), fresh.get()));
        Ref renamer = new_transformer(st, one_entry.get());
        Ref renamed = Ref::check(visit_child(st, renamer.get(), body.get()));
        if (assertions_enabled() && !is_instance_of_global(st, renamed.get(), G_FORMULA)) raise_assertion();
        Ref new_body = Ref::check(visit_child(st, self, renamed.get()));
        if (assertions_enabled() && !is_instance_of_global(st, new_body.get(), G_FORMULA)) raise_assertion();
        return construct(st, K, {"variable", "body"}, {fresh.get(), new_body.get()});
    }
    // No capture: substitute under the quantifier without its own variable.
    Ref inner = Ref::check(PyDict_New());
    for_each_item(st, mapping.get(), [&](PyObject* v, PyObject* t) {
        Ref kv = Ref::borrow(v), tv = Ref::borrow(t);
        if (differs(v, bound.get())) check_int(PyDict_SetItem(inner.get(), v, t));
    });
    Ref sub = new_transformer(st, inner.get());
    Ref new_body = Ref::check(visit_child(st, sub.get(), body.get()));
    if (assertions_enabled() && !is_instance_of_global(st, new_body.get(), G_FORMULA)) raise_assertion();
    return construct(st, K, {"variable", "body"}, {bound.get(), new_body.get()});
}

const MethodDef kSubstitutionMethods[] = {
    {"__init__", "Holds `mapping` (exactly a dict from Variable to term) by reference, without copying it.",
     "(self, mapping)", ROLE_OTHER, false, 2, 2, {"self", "mapping"}, false, false, nullptr, subst_init, nullptr, nullptr},
    KV_HANDLER_DEF("visit_variable",
                   "Returns the term the mapping holds for the variable, or the variable itself when it is no key.",
                   subst_variable, false),
    KV_HANDLER_DEF("visit_forall",
                   "Substitutes under the quantifier, renaming its variable when a replacement would be captured.",
                   subst_quant<K_FORALL>, false),
    KV_HANDLER_DEF("visit_exists",
                   "Substitutes under the quantifier, renaming its variable when a replacement would be captured.",
                   subst_quant<K_EXISTS>, false),
};
const int kSubstitutionMethodCount = sizeof(kSubstitutionMethods) / sizeof(kSubstitutionMethods[0]);

}  // namespace kv::vis

// ---------------------------------------------------------------- whole walks
//
// For a pristine transformer whose module classes SubstitutionTransformer and
// FreeVariableCollector are pristine too, the whole substitution runs in C++:
// the short-lived transformers and collectors of the quantifier step are
// stood in for by their mappings, and the free-variable queries are answered
// from the nodes directly, and nodes are built by the constructors of the
// classes the module's names were checked to hold.  Before anything is
// allocated the tree and the
// mapping are checked to be plain (exact nodes, variables whose comparison
// and hash run no Python code) and no deeper than dispatch could manage; the
// walk is handed to dispatch otherwise, unseen.
//
// Once nodes are being built, a collection may run finalisers, i.e. Python
// code.  After every allocation the snapshot is checked again; from the first
// change on every child goes through `visit` of a real transformer, as in
// dispatch.  A stand-in transformer still needed then is made for real, with
// the class and the mapping it would have had when the step created it.

namespace kv::vis {

namespace {

struct Entry {
    Ref key, value;
};
// The entries of a stand-in's mapping: the first few in place (a mapping
// usually holds one or two), the rest on the heap.
class Entries {
public:
    void reserve(size_t n) {
        if (n > kInline) more_.reserve(n - kInline);
    }
    void push_back(Entry e) {
        if (n_ < kInline) in_[n_] = std::move(e);
        else more_.push_back(std::move(e));
        ++n_;
    }
    size_t size() const { return n_; }
    bool empty() const { return n_ == 0; }
    Entry& operator[](size_t i) { return i < kInline ? in_[i] : more_[i - kInline]; }

    struct iterator {
        Entries* of;
        size_t i;
        Entry& operator*() const { return (*of)[i]; }
        iterator& operator++() {
            ++i;
            return *this;
        }
        bool operator!=(const iterator& o) const { return i != o.i; }
    };
    iterator begin() { return {this, 0}; }
    iterator end() { return {this, n_}; }
    iterator begin() const { return {const_cast<Entries*>(this), 0}; }
    iterator end() const { return {const_cast<Entries*>(this), n_}; }

private:
    static constexpr size_t kInline = 2;
    Entry in_[kInline];
    std::vector<Entry> more_;
    size_t n_ = 0;
};

// A transformer of the walk: the visitor itself, or a stand-in for one the
// quantifier step would create (`obj` empty until made for real).
struct Tx {
    PyObject* obj = nullptr;
    Ref made;
    Entries map;
};

class SubstWalk {
public:
    SubstWalk(State* st) : st_(st) {}
    // Takes the snapshot and checks the inputs; false to leave the walk to dispatch.
    bool begin(PyObject* self, PyObject* node);
    Ref run(PyObject* node) {
        VisitGuard guard(floor_);
        return handle(top_, node);
    }
    // Whether the walk ran in C++ to the end (nothing changed on the way).
    bool pure() const { return pure_; }

private:
    bool holds() const {
        return snap_.holds() && (sub_covered_ || sub_.holds()) && fv_.holds() && dict_tag_check(mapping_.get()) == mapping_version_ &&
               dict_tag_check(st_->module_dict) == module_version_ &&
               Py_TYPE(reinterpret_cast<PyObject*>(sub_.tp))->tp_call == PyType_Type.tp_call &&
               Py_TYPE(reinterpret_cast<PyObject*>(fv_.tp))->tp_call == PyType_Type.tp_call;
    }
    // After anything that may have run Python code: on 3.10 and 3.11 only a
    // collection can have (an allocation may start one), and while the
    // count of the collector's runs is unchanged none has.
    void refresh() {
#if PY_VERSION_HEX < 0x030C0000
        if (!pure_ || (counted_ && g_collections == collections_)) return;
#endif
        recheck();
    }
    [[gnu::noinline]] void recheck() {
        safe_point();
        if (pure_) pure_ = holds();
        count_collections();
    }
    // Takes the count of the collector's runs, if it can be trusted.
    void count_collections() {
#if PY_VERSION_HEX < 0x030C0000
        counted_ = collections_counted(st_);
        collections_ = g_collections;
#endif
    }
    bool plain_var(PyObject* v) const;
    // Levels the checks may still descend (they recurse on the C stack).
    long limit_ = 0;
    mutable long room_ = 0;
    bool plain_term(PyObject* t, long& depth) const;
    bool plain_tree(PyObject* n, long level, long& depth, long& qlevel) const;

    [[gnu::always_inline]] Ref visit(Tx& tx, PyObject* node) {
        if (pure_) {
            VisitGuard guard(floor_);
            return handle(tx, node);
        }
        if (!tx.obj) make_real(tx);
        return Ref::check(visit_child(st_, tx.obj, node));
    }
    void make_real(Tx& tx);
    Ref handle(Tx& tx, PyObject* node);
    template <int K>
    Ref app(Tx& tx, PyObject* node);
    template <int K>
    Ref quant(Tx& tx, PyObject* node);

    bool equal(PyObject* a, PyObject* b) const {
        if (a == b) return true;
        if (reinterpret_cast<HashedNode*>(a)->hash != reinterpret_cast<HashedNode*>(b)->hash) return false;
        return equal_fields(a, b);
    }
    // a == b for two nodes with equal hashes: two exact Variables whose fields
    // compare without running Python code (sorts and kinds by identity, exact
    // int ids) are read in place, anything else is compared as Python does.
    [[gnu::noinline]] bool equal_fields(PyObject* a, PyObject* b) const;
    bool is_term(PyObject* o) {
        int k = st_->api.exact_kind(o);
        if (pure_ && k >= 0) return k <= K_FUNCTION_APP;
        return is_instance_of_global(st_, o, G_TERM);
    }
    bool is_formula(PyObject* o) {
        int k = st_->api.exact_kind(o);
        if (pure_ && k >= 0) return k > K_FUNCTION_APP;
        return is_instance_of_global(st_, o, G_FORMULA);
    }
    // f(v) for every free variable of the term or formula `n`, given the
    // variables bound around it.
    template <class F>
    void free_vars(PyObject* n, SmallStack<PyObject*, 16>& bound, F&& f) const;
    // Whether a key of tx is among the cached free variables of the exact
    // application or equation `node` (kind k).  When none is, every variable
    // below maps to itself and the walk would return `node` itself; it has no
    // binders, and the visits it skips have no effects.
    bool touched(const Tx& tx, PyObject* node, int k) const {
        if (tx.map.empty()) return false;
        PyObject* fv = free_vars_cache(node, k);
        if (free_vars_single(node)) {
            for (const Entry& e : tx.map)
                if (equal(e.key.get(), fv)) return true;
            return false;
        }
        if (PySet_GET_SIZE(fv) == 0) return false;
        if (PyFrozenSet_CheckExact(fv) && PySet_GET_SIZE(fv) <= kScannedSet) return scan_touched(tx, fv);
        return contains_any(tx, fv);
    }
    // The free variables of a plain tree are exact Variables, compared
    // without running Python code: a small frozenset of them is searched by
    // reading its table, entry hash first.
    static constexpr Py_ssize_t kScannedSet = 4;
    bool scan_touched(const Tx& tx, PyObject* fv) const {
        Ref keep = Ref::borrow(fv);
        Py_ssize_t slots;
        const setentry* table = frozenset_table(fv, slots);
        for (Py_ssize_t i = 0; i < slots; ++i) {
            PyObject* v = table[i].key;
            if (!v) continue;
            if (st_->api.exact_kind(v) != K_VARIABLE) return contains_any(tx, fv);
            for (const Entry& e : tx.map)
                if (v == e.key.get() || (table[i].hash == reinterpret_cast<HashedNode*>(e.key.get())->hash &&
                                         equal_fields(v, e.key.get())))
                    return true;
        }
        return false;
    }
    bool contains_any(const Tx& tx, PyObject* fv) const {
        for (const Entry& e : tx.map)
            if (check_int(PySet_Contains(fv, e.key.get()))) return true;
        return false;
    }
    [[gnu::noinline]] void raise_max(PyObject* id, Ref& best) const {
        long a, b;
        if (best && PyLong_CheckExact(id) && PyLong_CheckExact(best.get()) && compact_int_value(id, a) &&
            compact_int_value(best.get(), b)) {
            if (a > b) best = Ref::borrow(id);
            return;
        }
        if (!best || check_int(PyObject_RichCompareBool(id, best.get(), Py_GT))) best = Ref::borrow(id);
    }

    // Whether the sorts and VariableKind members compare by identity, so that
    // the variables of a tree flagged NF_PLAIN are plain.
    bool leaf_types_plain() const;

    State* st_;
    uintptr_t floor_ = 0;
    bool pure_ = false;
    Pristine snap_;
    ClassMark sub_, fv_;
    bool sub_covered_ = false;  // snap_.holds() checks sub_ too (the visitor is of that very class)
    bool counted_ = false;      // collections_ is the count of the collector's runs at the last check
    uint64_t collections_ = 0;
    Ref mapping_;
    uint64_t mapping_version_ = 0;
    uint64_t module_version_ = 0;
    Tx top_;
};

// The type's richcompare is object's: comparing runs no Python code.
static bool identity_compare(PyObject* o) { return Py_TYPE(o)->tp_richcompare == PyBaseObject_Type.tp_richcompare; }

bool SubstWalk::leaf_types_plain() const {
    const AstApi& api = st_->api;
    if (!identity_compare(api.vk_individual) || !identity_compare(api.vk_predicate) ||
        !identity_compare(api.vk_function))
        return false;
    for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(api.sort_types); i < n; ++i)
        if (reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(api.sort_types, i))->tp_richcompare !=
            PyBaseObject_Type.tp_richcompare)
            return false;
    return true;
}

bool SubstWalk::equal_fields(PyObject* a, PyObject* b) const {
    if (st_->api.exact_kind(a) == K_VARIABLE && st_->api.exact_kind(b) == K_VARIABLE) {
        VariableNode* x = reinterpret_cast<VariableNode*>(a);
        VariableNode* y = reinterpret_cast<VariableNode*>(b);
        richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
        if (Py_TYPE(x->sort)->tp_richcompare == identity && Py_TYPE(y->sort)->tp_richcompare == identity &&
            Py_TYPE(x->vkind)->tp_richcompare == identity && Py_TYPE(y->vkind)->tp_richcompare == identity &&
            PyLong_CheckExact(x->id) && PyLong_CheckExact(y->id)) {
            if (x->sort != y->sort || x->vkind != y->vkind) return false;
            long i, j;
            if (x->id == y->id) return true;
            if (compact_int_value(x->id, i) && compact_int_value(y->id, j)) return i == j;
        }
    }
    return check_int(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

bool SubstWalk::plain_var(PyObject* v) const {
    if (st_->api.exact_kind(v) != K_VARIABLE || !(reinterpret_cast<Node*>(v)->flags & NF_HASH_CACHED)) return false;
    VariableNode* x = reinterpret_cast<VariableNode*>(v);
    return PyLong_CheckExact(x->id) && identity_compare(x->sort) && identity_compare(x->vkind);
}

bool SubstWalk::plain_term(PyObject* t, long& depth) const {
    depth = 1;
    if (--room_ < 0) {
        ++room_;
        return false;
    }
    struct Up {
        long& l;
        ~Up() { ++l; }
    } up{room_};
    switch (st_->api.exact_kind(t)) {
        case K_VARIABLE: return plain_var(t);
        case K_CONSTANT: return true;
        case K_FUNCTION_APP: {
            PyObject* args = reinterpret_cast<FunctionAppNode*>(t)->args;
            if (!PyTuple_CheckExact(args)) return false;
            for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(args); i < n; ++i) {
                long d;
                if (!plain_term(PyTuple_GET_ITEM(args, i), d)) return false;
                if (d + 1 > depth) depth = d + 1;
            }
            return true;
        }
        default: return false;
    }
}

// `level` is the level of `n` (the root is 1); `depth` the deepest level
// below, `qlevel` the deepest level of a quantifier.
bool SubstWalk::plain_tree(PyObject* n, long level, long& depth, long& qlevel) const {
    if (level > limit_) return false;
    int k = st_->api.exact_kind(n);
    switch (k) {
        case K_VARIABLE:
        case K_CONSTANT:
        case K_FUNCTION_APP: {
            long d;
            if (!plain_term(n, d)) return false;
            if (level + d - 1 > depth) depth = level + d - 1;
            return true;
        }
        case K_PREDICATE_APP: {
            PyObject* args = reinterpret_cast<PredicateAppNode*>(n)->args;
            if (!PyTuple_CheckExact(args)) return false;
            if (level > depth) depth = level;
            for (Py_ssize_t i = 0, c = PyTuple_GET_SIZE(args); i < c; ++i)
                if (!plain_tree(PyTuple_GET_ITEM(args, i), level + 1, depth, qlevel)) return false;
            return true;
        }
        case K_EQUALITY:
            return plain_tree(reinterpret_cast<EqualityNode*>(n)->left, level + 1, depth, qlevel) &&
                   plain_tree(reinterpret_cast<EqualityNode*>(n)->right, level + 1, depth, qlevel);
        case K_NOT: return plain_tree(reinterpret_cast<NotNode*>(n)->operand, level + 1, depth, qlevel);
        case K_AND:
        case K_OR:
        case K_IMPLIES:
        case K_IFF:
            return plain_tree(reinterpret_cast<BinaryNode*>(n)->left, level + 1, depth, qlevel) &&
                   plain_tree(reinterpret_cast<BinaryNode*>(n)->right, level + 1, depth, qlevel);
        case K_FORALL:
        case K_EXISTS: {
            QuantNode* q = reinterpret_cast<QuantNode*>(n);
            if (level > qlevel) qlevel = level;
            return plain_var(q->variable) && plain_tree(q->variable, level + 1, depth, qlevel) &&
                   plain_tree(q->body, level + 1, depth, qlevel);
        }
        default: return false;
    }
}

bool SubstWalk::begin(PyObject* self, PyObject* node) {
    if (!snap_.begin(st_, self, FAM_SUBSTITUTION) || !snap_.mapping_plain() || !snap_.dict()) return false;
    PyObject* mapping = PyDict_GetItemWithError(snap_.dict(), st_->s_mapping);
    if (!mapping) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return false;
    }
    if (!PyDict_CheckExact(mapping)) return false;
    prefetch_node(reinterpret_cast<PyDictObject*>(mapping)->ma_keys);  // its entries, read below
    // The module's names: the classes the quantifier step creates and builds.
    // They are looked up again only when the module dict changed since they
    // last passed; how the classes create instances, only when a class changed.
    module_version_ = dict_tag(st_, st_->module_dict);
    if (!module_version_) return false;
    bool names_known = module_version_ == st_->subst_module_tag;
    PyObject* sub = st_->family_class[FAM_SUBSTITUTION];
    PyObject* fv = st_->family_class[FAM_FREE_VARS];
    if (!names_known) {
        for (int g = 0; g < K_COUNT; ++g)
            if (PyDict_GetItemWithError(st_->module_dict, st_->global_names[g]) !=
                reinterpret_cast<PyObject*>(st_->api.types[g]))
                return false;
        PyObject* sub_now = PyDict_GetItemWithError(st_->module_dict, st_->global_names[G_SUBSTITUTION_TRANSFORMER]);
        PyObject* fv_now = PyDict_GetItemWithError(st_->module_dict, st_->global_names[G_FREE_VARIABLE_COLLECTOR]);
        PyObject* term = PyDict_GetItemWithError(st_->module_dict, st_->global_names[G_TERM]);
        PyObject* formula = PyDict_GetItemWithError(st_->module_dict, st_->global_names[G_FORMULA]);
        if (PyErr_Occurred()) throw PyErrorSet{};
        if (!sub_now || sub_now != sub || !fv_now || fv_now != fv) return false;
        if (term != reinterpret_cast<PyObject*>(st_->api.term_type) ||
            formula != reinterpret_cast<PyObject*>(st_->api.formula_type))
            return false;
    }
    PyTypeObject* sub_tp = reinterpret_cast<PyTypeObject*>(sub);
    PyTypeObject* fv_tp = reinterpret_cast<PyTypeObject*>(fv);
    if (!class_pristine_seen(st_, sub_tp, FAM_SUBSTITUTION, sub_, st_->subst_sub_seen) || !sub_.mapping_plain ||
        !class_pristine_seen(st_, fv_tp, FAM_FREE_VARS, fv_, st_->subst_fv_seen))
        return false;
    if (!names_known || sub_.version != st_->subst_sub_version || fv_.version != st_->subst_fv_version) {
        // Creating them runs our __init__ (object's for the collector) and object.__new__.
        PyObject* obj_new = type_lookup_peek(&PyBaseObject_Type, st_->s_new);
        PyObject* obj_init = type_lookup_peek(&PyBaseObject_Type, st_->s_init);
        PyObject* sub_init = type_lookup_peek(sub_tp, st_->s_init);
        if (type_lookup_peek(sub_tp, st_->s_new) != obj_new || type_lookup_peek(fv_tp, st_->s_new) != obj_new ||
            type_lookup_peek(fv_tp, st_->s_init) != obj_init || !sub_init || Py_TYPE(sub_init) != st_->method_type ||
            reinterpret_cast<Method*>(sub_init)->def != &kSubstitutionMethods[0])
            return false;
    }
    if (Py_TYPE(sub)->tp_call != PyType_Type.tp_call || Py_TYPE(fv)->tp_call != PyType_Type.tp_call) return false;
    // The mapping and the tree.
    limit_ = room_ = walk_depth_limit();
    long value_depth = 1;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    top_.map.reserve(static_cast<size_t>(PyDict_GET_SIZE(mapping)));
    while (PyDict_Next(mapping, &pos, &k, &v)) {
        long d;
        if (!plain_var(k) || !plain_term(v, d)) return false;
        if (d > value_depth) value_depth = d;
        top_.map.push_back(Entry{Ref::borrow(k), Ref::borrow(v)});
    }
    // A tree flagged plain at construction is checked at its root; its height
    // plus the replacements' bounds the depth of the walk from above.
    long height = plain_height(st_->api, node);
    if (!height || height + value_depth > limit_ || !leaf_types_plain()) {
        long depth = 0, qlevel = 0;
        if (!plain_tree(node, 1, depth, qlevel)) return false;
        if (qlevel && qlevel + value_depth > depth) depth = qlevel + value_depth;
        if (depth > limit_) return false;
    }
    floor_ = stack_floor();
    mapping_ = Ref::borrow(mapping);
    mapping_version_ = dict_tag(st_, mapping);
    if (!mapping_version_) return false;
    top_.obj = self;
    sub_covered_ = snap_.covers(sub_);
    // Checking the classes may have run Python code (a table key's __eq__).
    if (!holds()) return false;
    st_->subst_module_tag = module_version_;
    st_->subst_sub_version = sub_.version;
    st_->subst_fv_version = fv_.version;
    pure_ = true;
    count_collections();
    return true;
}

void SubstWalk::make_real(Tx& tx) {
    // What the step would have made: an instance of the class as it was,
    // holding a dict with the stand-in's entries.
    Ref d = Ref::check(PyDict_New());
    for (Entry& e : tx.map) check_int(PyDict_SetItem(d.get(), e.key.get(), e.value.get()));
    PyObject* cls = reinterpret_cast<PyObject*>(sub_.tp);
    Ref keep = Ref::borrow(cls);
    Ref empty = Ref::check(PyTuple_New(0));
    Ref obj = Ref::check(PyBaseObject_Type.tp_new(sub_.tp, empty.get(), nullptr));
    Ref dict = Ref::check(PyObject_GenericGetDict(obj.get(), nullptr));
    check_int(PyDict_SetItem(dict.get(), st_->s_mapping, d.get()));
    tx.made = std::move(obj);
    tx.obj = tx.made.get();
}

template <class F>
void SubstWalk::free_vars(PyObject* n, SmallStack<PyObject*, 16>& bound, F&& f) const {
    auto var = [&](PyObject* v) {
        for (size_t i = 0; i < bound.size(); ++i)
            if (equal(bound[i], v)) return;
        f(v);
    };
    int k = st_->api.exact_kind(n);
    switch (k) {
        case K_VARIABLE: var(n); return;
        case K_CONSTANT: return;
        case K_FUNCTION_APP:
        case K_PREDICATE_APP:
        case K_EQUALITY: for_each_free_var(n, k, var); return;
        case K_NOT: free_vars(reinterpret_cast<NotNode*>(n)->operand, bound, f); return;
        case K_FORALL:
        case K_EXISTS: {
            QuantNode* q = reinterpret_cast<QuantNode*>(n);
            bound.emplace_back(q->variable);
            free_vars(q->body, bound, f);
            bound.pop_back();
            return;
        }
        default:  // the binary connectives
            prefetch_node(reinterpret_cast<BinaryNode*>(n)->right);
            free_vars(reinterpret_cast<BinaryNode*>(n)->left, bound, f);
            free_vars(reinterpret_cast<BinaryNode*>(n)->right, bound, f);
            return;
    }
}

Ref SubstWalk::handle(Tx& tx, PyObject* node) {
    int k = st_->api.exact_kind(node);
    switch (k) {
        case K_VARIABLE:
            for (Entry& e : tx.map)
                if (equal(e.key.get(), node)) return Ref::borrow(e.value.get());
            return Ref::borrow(node);
        case K_CONSTANT: return Ref::borrow(node);
        case K_FUNCTION_APP:
            if (!touched(tx, node, k)) return Ref::borrow(node);
            return app<K_FUNCTION_APP>(tx, node);
        case K_PREDICATE_APP:
            if (!touched(tx, node, k)) return Ref::borrow(node);
            return app<K_PREDICATE_APP>(tx, node);
        case K_EQUALITY: {
            if (!touched(tx, node, k)) return Ref::borrow(node);
            EqualityNode* e = reinterpret_cast<EqualityNode*>(node);
            prefetch_node(e->right);
            Ref l = visit(tx, e->left);
            Ref r = visit(tx, e->right);
            if (l.get() == e->left && r.get() == e->right) return Ref::borrow(node);
            if (assertions_enabled() && !(is_term(l.get()) && is_term(r.get()))) raise_assertion();
            Ref out = pure_ ? Ref::steal(make_equality(st_->api, nullptr, l.get(), r.get()))
                            : Ref::check(construct(st_, K_EQUALITY, {"left", "right"}, {l.get(), r.get()}));
            refresh();
            return out;
        }
        case K_NOT: {
            PyObject* operand = reinterpret_cast<NotNode*>(node)->operand;
            Ref o = visit(tx, operand);
            if (o.get() == operand) return Ref::borrow(node);
            if (assertions_enabled() && !is_formula(o.get())) raise_assertion();
            Ref out = pure_ ? Ref::steal(make_not(st_->api, nullptr, o.get()))
                            : Ref::check(construct(st_, K_NOT, {"operand"}, {o.get()}));
            refresh();
            return out;
        }
        case K_AND:
        case K_OR:
        case K_IMPLIES:
        case K_IFF: {
            BinaryNode* b = reinterpret_cast<BinaryNode*>(node);
            prefetch_node(b->right);
            Ref l = visit(tx, b->left);
            Ref r = visit(tx, b->right);
            if (l.get() == b->left && r.get() == b->right) return Ref::borrow(node);
            if (assertions_enabled() && !(is_formula(l.get()) && is_formula(r.get()))) raise_assertion();
            Ref out = pure_ ? Ref::steal(make_binary(st_->api, k, nullptr, l.get(), r.get()))
                            : Ref::check(construct(st_, k, {"left", "right"}, {l.get(), r.get()}));
            refresh();
            return out;
        }
        case K_FORALL: return quant<K_FORALL>(tx, node);
        case K_EXISTS: return quant<K_EXISTS>(tx, node);
        default:  // checked before the walk began
            PyErr_SetString(PyExc_SystemError, "substitution walk reached a node it did not check");
            throw PyErrorSet{};
    }
}

template <int K>
Ref SubstWalk::app(Tx& tx, PyObject* node) {
    PyObject* args = K == K_FUNCTION_APP ? reinterpret_cast<FunctionAppNode*>(node)->args
                                         : reinterpret_cast<PredicateAppNode*>(node)->args;
    Ref keep = Ref::borrow(args);
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 1; i < n; ++i) prefetch_node(PyTuple_GET_ITEM(args, i));
    SmallStack<Ref, 8> out;
    bool same = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        out.emplace_back(visit(tx, a));
        if (out[out.size() - 1].get() != a) same = false;
    }
    if (same) return Ref::borrow(node);
    Py_ssize_t kept = 0;
    SmallStack<char, 8> keepers;
    for (Py_ssize_t i = 0; i < n; ++i) {
        bool t = is_term(out[i].get());
        keepers.emplace_back(t ? 1 : 0);
        kept += t;
    }
    Ref tuple = Ref::check(PyTuple_New(kept));
    for (Py_ssize_t i = 0, j = 0; i < n; ++i)
        if (keepers[i]) PyTuple_SET_ITEM(tuple.get(), j++, Py_NewRef(out[i].get()));
    refresh();
    Ref result;
    if (pure_ && kept == n) {
        // The module's own class, and fields that passed its checks in `node`.
        result = Ref::steal(derive_app(st_->api, node, K, tuple.get(), false));
    } else if constexpr (K == K_FUNCTION_APP) {
        FunctionAppNode* f = reinterpret_cast<FunctionAppNode*>(node);
        result = Ref::check(construct(st_, K, {"func", "arity", "args", "return_sort"},
                                      {f->func, f->arity, tuple.get(), f->return_sort}));
    } else {
        PredicateAppNode* p = reinterpret_cast<PredicateAppNode*>(node);
        result = Ref::check(construct(st_, K, {"pred", "arity", "args"}, {p->pred, p->arity, tuple.get()}));
    }
    refresh();
    return result;
}

template <int K>
Ref SubstWalk::quant(Tx& tx, PyObject* node) {
    QuantNode* q = reinterpret_cast<QuantNode*>(node);
    PyObject* bound = q->variable;
    PyObject* body = q->body;
    prefetch_node(body);  // while the replacements are searched for the bound variable
    // The collector's answers: is the bound variable free in a replacement
    // (other than its own), and the largest id in view.
    SmallStack<PyObject*, 16> binders;
    bool capture = false;
    Ref best;
    for (Entry& e : tx.map) {
        if (equal(e.key.get(), bound)) continue;
        free_vars(e.value.get(), binders, [&](PyObject* v) {
            if (!capture && equal(v, bound)) capture = true;
            raise_max(reinterpret_cast<VariableNode*>(v)->id, best);
        });
    }
    if (capture) {
        free_vars(body, binders,
                  [&](PyObject* v) { raise_max(reinterpret_cast<VariableNode*>(v)->id, best); });
        for (Entry& e : tx.map) raise_max(reinterpret_cast<VariableNode*>(e.key.get())->id, best);
        Ref max_idx = Ref::check(PyNumber_Add(best.get(), st_->one));
        VariableNode* b = reinterpret_cast<VariableNode*>(bound);
        Ref fresh = pure_ ? Ref::steal(make_variable(st_->api, nullptr, max_idx.get(), b->vkind, b->sort))
                          : Ref::check(construct(st_, K_VARIABLE, {"id", "sort", "kind"},
                                                 {max_idx.get(), b->sort, b->vkind}));
        refresh();
        Tx renamer;
        renamer.map.push_back(Entry{Ref::borrow(bound), Ref::borrow(fresh.get())});
        Ref renamed = visit(renamer, body);
        if (assertions_enabled() && !is_formula(renamed.get())) raise_assertion();
        Ref new_body = visit(tx, renamed.get());
        if (assertions_enabled() && !is_formula(new_body.get())) raise_assertion();
        Ref out = pure_ ? Ref::steal(make_quant(st_->api, K, nullptr, fresh.get(), new_body.get()))
                        : Ref::check(construct(st_, K, {"variable", "body"}, {fresh.get(), new_body.get()}));
        refresh();
        return out;
    }
    Tx inner;
    inner.map.reserve(tx.map.size());
    for (Entry& e : tx.map)
        if (!equal(e.key.get(), bound)) inner.map.push_back(Entry{Ref::borrow(e.key.get()), Ref::borrow(e.value.get())});
    Ref new_body = visit(inner, body);
    if (assertions_enabled() && !is_formula(new_body.get())) raise_assertion();
    Ref out = pure_ ? Ref::steal(make_quant(st_->api, K, nullptr, bound, new_body.get()))
                    : Ref::check(construct(st_, K, {"variable", "body"}, {bound, new_body.get()}));
    refresh();
    return out;
}

}  // namespace

PyObject* substitution_walk(State* st, PyObject* self, PyObject* node) {
    prefetch_node(node);  // read once the inputs are checked
    SubstWalk walk(st);
    if (!walk.begin(self, node)) return nullptr;
    Ref r = walk.run(node);
    if (walk.pure()) ++st->whole_walks;
    return r.release();
}

}  // namespace kv::vis
