// ASTVisitor.visit and the shortcuts the built-in handlers take to reach
// their children: what attribute lookup on a visitor finds, cached per class,
// and the snapshot ("pristine") that whole walks in C++ rest on.
//
// Python semantics are the reference: visit reads `_dispatch_table` through
// the visitor, looks up the node's exact class, then binds the handler by name
// and calls it.  Where ordinary attribute lookup would land on one of our own
// descriptors (no override in the class chain, nothing in the instance
// __dict__, no custom __getattribute__), the bound method is skipped and the
// C++ handler is called directly: the outcome is the same, minus the bound
// method and the argument tuple.
//
// Two kinds of change tag say whether what was cached still holds: a class's
// version tag (tp_version_tag; any change to the class or a base gives it a
// new one) and a dict's tag (dict_tag, below).  Anything read from the cache
// is used only while no Python code has run since it was read; after a call
// that may run Python code (a lookup that compares keys with __eq__, a
// finaliser) it is read again.  Handlers are held as their static MethodDef,
// never as a borrowed descriptor.
#include "visitors/state.hpp"

#include <cstdint>

namespace kv::vis {

// ---------------------------------------------------------------- dict tags

#if PY_VERSION_HEX >= 0x030C0000
// One counter for every dict the module watches, bumped by any change to any
// of them (a dict that is freed changes nothing a live snapshot holds: each
// snapshot keeps its dicts alive).  Never 0.
uint64_t g_dict_epoch = 1;

static int on_dict_event(PyDict_WatchEvent event, PyObject*, PyObject*, PyObject*) noexcept {
    if (event != PyDict_EVENT_DEALLOCATED) ++g_dict_epoch;
    return 0;
}
#endif

void start_watching(State* st) {
#if PY_VERSION_HEX >= 0x030C0000
    st->dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (st->dict_watcher < 0) PyErr_Clear();  // no watcher left: dict tags are 0, whole walks stay off
#else
    (void)st;
#endif
}

void stop_watching(State* st) {
#if PY_VERSION_HEX >= 0x030C0000
    if (st->dict_watcher >= 0 && PyDict_ClearWatcher(st->dict_watcher) < 0) PyErr_Clear();
#endif
    st->dict_watcher = -1;
}

uint64_t dict_tag(State* st, PyObject* d) {
#if PY_VERSION_HEX >= 0x030C0000
    if (st->dict_watcher < 0) return 0;
    if (PyDict_Watch(st->dict_watcher, d) < 0) throw PyErrorSet{};
    return g_dict_epoch;
#else
    (void)st;
    return dict_contents_version(d);
#endif
}

// ---------------------------------------------------------------- per-class cache

// Our method definition behind `a` when it is one of our descriptors of a
// role other than ROLE_OTHER, or nullptr.
static const MethodDef* as_handler(State* st, PyObject* a) {
    if (!a || Py_TYPE(a) != st->method_type) return nullptr;
    const MethodDef* d = reinterpret_cast<const Method*>(a)->def;
    return d->role == ROLE_OTHER ? nullptr : d;
}

static const MethodDef* lookup_handler(State* st, PyTypeObject* tp, PyObject* name) {
    Ref a = type_lookup(tp, name);
    return as_handler(st, a.get());
}

// The handler of `row` in the classes of family `f`.
static const MethodDef* family_def(int f, int row) {
    switch (f) {
        case FAM_DEPTH: return &kDepthMethods[row];
        case FAM_SIZE: return &kSizeMethods[row];
        case FAM_FREE_VARS: return &kFreeVarMethods[row];
        case FAM_TRANSFORMER: return &kTransformerMethods[row];
        case FAM_SUBSTITUTION:
            // __init__, then visit_variable, visit_forall, visit_exists
            if (row == K_VARIABLE) return &kSubstitutionMethods[1];
            if (row == K_FORALL) return &kSubstitutionMethods[2];
            if (row == K_EXISTS) return &kSubstitutionMethods[3];
            return &kTransformerMethods[row];
        case FAM_EXPORT: return &kExportMethods[1 + row];  // after __init__
        default: return nullptr;
    }
}

// The cache entry of class `tp`, refreshed when the class changed; nullptr
// when the class customises attribute lookup, has no version tag, or changed
// while it was being read.  The entry may be read until Python code next runs.
//
// Entries of other classes sit in sets of two ways chosen by the class's
// address: a visitor class and a subclass of it stay cached together
// whatever their addresses.  A fill takes the class's own way, else the way
// not used last.  The module's own visitor classes have an entry each outside
// the sets: a walk consults them (a substitution's quantifier steps check the
// base transformer and the collector on every walk), and were they in the
// sets, a set holding two classes of the caller's and one of them would be
// refilled on every walk.
// The set is taken from a multiplicative hash of the address: allocators that
// place objects of one size at a power-of-two stride (size-class allocators,
// the sanitizer's) leave the low address bits alike for every class.
static_assert(kTypeCacheSets == 8, "type_cache_set takes three bits");
static inline size_t type_cache_set(PyTypeObject* tp) {
    uint64_t a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(tp)) >> 4;
    return static_cast<size_t>((a * 0x9E3779B97F4A7C15ull) >> 61);
}

// The entry outside the sets for `tp` when it is one of the module's own
// classes, else nullptr.
static inline TypeCache* own_entry(State* st, PyTypeObject* tp) {
    PyObject* o = reinterpret_cast<PyObject*>(tp);
    for (int f = FAM_NONE + 1; f < FAM_COUNT; ++f)
        if (st->family_class[f] == o) return &st->tcache[kTypeCacheWays + f];
    return nullptr;
}

static TypeCache* type_cache_fill(State* st, PyTypeObject* tp, TypeCache& e) {
    if (tp->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    ++st->type_cache_fills;
    // The lookups may compare keys with Python __eq__: fill a local entry and
    // keep it only if the class kept its version throughout.
    const MethodDef* visit = lookup_handler(st, tp, st->s_visit);  // gives the class a version tag
    unsigned int v = type_version(tp);
    if (!v) return nullptr;
    TypeCache n;
    n.tp = tp;
    n.version = v;
    n.visit = visit && visit->role == ROLE_VISIT ? visit : nullptr;
    Ref table = type_lookup(tp, st->s_dispatch_table);
    bool plain_table = table && !Py_TYPE(table.get())->tp_descr_get;
    n.notation_plain = !type_lookup(tp, st->s_notation);
    n.mapping_plain = !type_lookup(tp, st->s_mapping);
    Ref py[R_COUNT];
    for (int r = 0; r < R_COUNT; ++r) {
        Ref a = type_lookup(tp, st->handler_names[r]);
        n.rows[r] = as_handler(st, a.get());
        if (!n.rows[r] && a && Py_IS_TYPE(a.get(), &PyFunction_Type)) py[r] = std::move(a);
    }
    n.family = FAM_NONE;
    for (int f = FAM_NONE + 1; f < FAM_COUNT && n.family == FAM_NONE; ++f) {
        bool all = true;
        for (int r = 0; r < R_COUNT && all; ++r) all = n.rows[r] == family_def(f, r);
        if (all) n.family = static_cast<Family>(f);
    }
    if (type_version(tp) != v) return nullptr;
    // The entry owns its table and functions; the ones it replaces are
    // released last, and as that may run Python code, the entry is checked
    // once more.
    {
        Ref old = Ref::steal(e.table);
        Ref old_py[R_COUNT];
        for (int r = 0; r < R_COUNT; ++r) old_py[r] = Ref::steal(e.py_rows[r]);
        e = n;
        e.table = plain_table ? table.release() : nullptr;
        for (int r = 0; r < R_COUNT; ++r) e.py_rows[r] = py[r].release();
    }
    return e.tp == tp && e.version == v && type_version(tp) == v ? &e : nullptr;
}

static inline TypeCache* type_cache_inline(State* st, PyTypeObject* tp) {
    size_t set = type_cache_set(tp);
    TypeCache* ways = &st->tcache[2 * set];
    // An entry is only ever made for a class with ordinary attribute lookup,
    // and assigning tp_getattro on a class changes its version.
    unsigned int v = type_version(tp);
    for (int w = 0; w < 2; ++w) {
        if (ways[w].tp == tp && ways[w].version && ways[w].version == v) {
            st->tcache_last[set] = static_cast<uint8_t>(w);
            return &ways[w];
        }
    }
    if (TypeCache* own = own_entry(st, tp)) {
        if (own->tp == tp && own->version && own->version == v) return own;
        return type_cache_fill(st, tp, *own);
    }
    int w = ways[0].tp == tp ? 0 : ways[1].tp == tp ? 1 : 1 - st->tcache_last[set];
    st->tcache_last[set] = static_cast<uint8_t>(w);
    return type_cache_fill(st, tp, ways[w]);
}

TypeCache* type_cache(State* st, PyTypeObject* tp) { return type_cache_inline(st, tp); }

// Whether no key of the dict `d` can shadow `visit`, `_dispatch_table` or a
// handler: at most eight keys, each a str starting with neither 'v' nor '_'.
static bool keys_clean(PyObject* d) {
    if (PyDict_GET_SIZE(d) > 8) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v)) {
        if (!PyUnicode_Check(k) || PyUnicode_GET_LENGTH(k) == 0) return false;
        Py_UCS4 c = PyUnicode_READ_CHAR(k, 0);
        if (c == 'v' || c == '_') return false;
    }
    return true;
}

// Checks which standard rows the table of entry `tc` maps to the standard
// handler names.  The lookups may run Python code (a key's __eq__), so the
// table is held while they run and the rows are stored only if the entry
// still describes the same class and table; the tag is the one from before
// the lookups, so a change made meanwhile is seen at the next check.
// Returns whether the rows were stored; either way the caller must read the
// entry again.
static bool refresh_table_rows(State* st, TypeCache* tc, uint64_t tag) {
    PyTypeObject* tp = tc->tp;
    unsigned int version = tc->version;
    Ref table = Ref::borrow(tc->table);
    bool ok[R_COUNT];
    for (int r = 0; r < R_COUNT; ++r) {
        PyObject* cls = r < K_COUNT ? reinterpret_cast<PyObject*>(st->api.types[r]) : st->sol_types[r - K_COUNT];
        PyObject* name = PyDict_GetItemWithError(table.get(), cls);
        if (!name && PyErr_Occurred()) throw PyErrorSet{};
        ok[r] = name == st->handler_names[r];
    }
    if (tc->tp != tp || tc->version != version || tc->table != table.get()) return false;
    bool all = true;
    for (int r = 0; r < R_COUNT; ++r) {
        tc->row_ok[r] = ok[r];
        all = all && ok[r];
    }
    tc->all_rows_ok = all;
    tc->table_tag = tag;
    return true;
}

// Whether the rows of entry `tc` are known for the current contents of its
// table, refreshing them when not.  False when the table keeps no tag or the
// refresh ran into a change (the entry must then be read again).
static bool rows_current(State* st, TypeCache* tc, bool& python_ran) {
    // Once asked for, a dict stays watched while it lives, and the entry
    // holds its table: later tags are read without watching it again.
    uint64_t tag = tc->table_watched ? dict_tag_check(tc->table) : dict_tag(st, tc->table);
    if (!tag) return false;
    tc->table_watched = true;
    if (tag == tc->table_tag) return true;
    python_ran = true;
    return refresh_table_rows(st, tc, tag) && dict_tag_check(tc->table) == tag;
}

// What getattr(self, ...) would find, for one visitor object at one moment.
// After anything that may run Python code, sync() reads it again.
class Lookup {
public:
    Lookup(State* st, PyObject* self) : st_(st), self_(self) { sync(); }
    void sync() {
        // The dict first: creating it allocates, which may run a finaliser.
        dict_ = instance_dict_of(self_);
        if (dict_ && PyDict_CheckExact(dict_.get()) && PyDict_GET_SIZE(dict_.get()) == 0) dict_.reset();
        clean_ = !dict_ || (PyDict_Check(dict_.get()) && keys_clean(dict_.get()));
        tc_ = type_cache_inline(st_, Py_TYPE(self_));
    }
    // Our `visit`, when getattr(self, "visit") would bind it.
    const MethodDef* visit() {
        if (tc_ && clean_) return tc_->visit;
        const MethodDef* m = method(st_->s_visit);
        return m && m->role == ROLE_VISIT ? m : nullptr;
    }
    // Our handler, when getattr(self, name) would bind it; `row` is a guess
    // at the row whose name `name` is.
    const MethodDef* handler(PyObject* name, int row) {
        if (tc_ && clean_) {
            if (row >= 0 && name == st_->handler_names[row]) return tc_->rows[row];
            for (int r = 0; r < R_COUNT; ++r)
                if (name == st_->handler_names[r]) return tc_->rows[r];
        }
        return method(name);
    }
    // The standard row of `node`'s class when the table is the class's own,
    // unchanged since its standard rows were checked; -1 otherwise.
    int standard_row(PyObject* node) {
        if (!tc_ || !clean_ || !tc_->table || !PyDict_CheckExact(tc_->table)) return -1;
        int r = st_->api.exact_kind(node);
        if (r < 0) {
            PyTypeObject* tp = Py_TYPE(node);
            for (int i = 0; i < 4 && r < 0; ++i)
                if (reinterpret_cast<PyObject*>(tp) == st_->sol_types[i]) r = R_FORALL_PRED + i;
            if (r < 0) return -1;
        }
        bool python_ran = false;
        bool current = rows_current(st_, tc_, python_ran);
        if (python_ran) {
            sync();
            return -1;  // the general path decides, with what is true now
        }
        return current && tc_->row_ok[r] ? r : -1;
    }
    // The Python function that getattr(self, name) would bind for the name
    // of row `row`, when the class holds a plain function there and the
    // instance __dict__ cannot shadow it (a new reference), else empty.
    Ref py_handler(int row) {
        if (tc_ && clean_ && tc_->py_rows[row]) return Ref::borrow(tc_->py_rows[row]);
        return Ref();
    }
    // self._dispatch_table (new reference).
    Ref table() {
        if (tc_ && clean_ && tc_->table) return Ref::borrow(tc_->table);
        return attr(self_, st_->s_dispatch_table);
    }

private:
    const MethodDef* method(PyObject* name) {
        PyTypeObject* tp = Py_TYPE(self_);
        if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name)) return nullptr;
        // As attribute lookup does: the class's descriptor first (held by its
        // definition, which nothing can free), then the instance __dict__.
        const MethodDef* m = lookup_handler(st_, tp, name);
        if (!m) return nullptr;
        if (dict_ && PyDict_Check(dict_.get())) {
            Ref d = Ref::borrow(dict_.get());
            PyObject* v = PyDict_GetItemWithError(d.get(), name);
            if (v) return nullptr;
            if (PyErr_Occurred()) throw PyErrorSet{};
        }
        return m;
    }

    State* st_;
    PyObject* self_;
    TypeCache* tc_ = nullptr;
    bool clean_ = true;
    Ref dict_;
};

// ---------------------------------------------------------------- pristine visitors

// The entry of a class of family `fam` whose sixteen rows are the standard
// ones, or nullptr.  Refreshing the rows may run Python code, after which
// everything read so far is read again; `refreshes` bounds how often.
static TypeCache* family_entry(State* st, PyTypeObject* tp, Family fam, int refreshes, bool& python_ran) {
    TypeCache* tc = type_cache_inline(st, tp);
    if (!tc || tc->family != fam || !tc->visit || !tc->table || !PyDict_CheckExact(tc->table)) return nullptr;
    bool ran = false;
    bool current = rows_current(st, tc, ran);
    if (ran) {
        python_ran = true;
        return refreshes > 0 ? family_entry(st, tp, fam, refreshes - 1, python_ran) : nullptr;
    }
    return current && tc->all_rows_ok ? tc : nullptr;
}

#if PY_VERSION_HEX >= 0x030D0000
// Makes `d`, the instance __dict__ of `self`, the object's own by assigning
// it back through the class's `__dict__` descriptor, when that descriptor is
// the one `type` gives every class whose instances have a dict (the same
// definition as ASTVisitor's, which runs no Python code).  False when it is
// another one.
static bool own_dict(State* st, PyObject* self, PyObject* d) {
    PyTypeObject* tp = Py_TYPE(self);
    if (!(tp->tp_flags & Py_TPFLAGS_INLINE_VALUES)) return true;
    if (!st->dict_getset) {
        Ref base = type_lookup(reinterpret_cast<PyTypeObject*>(st->ast_visitor), st->s_dunder_dict);
        if (!base || !Py_IS_TYPE(base.get(), &PyGetSetDescr_Type)) return false;
        st->dict_getset = reinterpret_cast<PyGetSetDescrObject*>(base.get())->d_getset;
    }
    Ref mine = type_lookup(tp, st->s_dunder_dict);
    if (!mine || !Py_IS_TYPE(mine.get(), &PyGetSetDescr_Type)) return false;
    PyGetSetDef* g = reinterpret_cast<PyGetSetDescrObject*>(mine.get())->d_getset;
    if (g != st->dict_getset || !g->set) return false;
    if (g->set(self, d, g->closure) < 0) throw PyErrorSet{};
    return true;
}
#endif

bool Pristine::begin(State* st, PyObject* self, Family fam) {
    PyTypeObject* tp = Py_TYPE(self);
    // The dict first: creating it allocates, which may run Python code.
    Ref dict = instance_dict_of(self);
    bool python_ran = false;
    TypeCache* tc = family_entry(st, tp, fam, 1, python_ran);
    if (!tc) return false;
    if (python_ran) {
        // A refresh ran Python code: read the dict again (it exists now).
        dict = instance_dict_of(self);
        tc = family_entry(st, tp, fam, 0, python_ran);
        if (!tc) return false;
    }
    uint64_t dv = 0;
    if (dict) {
        if (!PyDict_CheckExact(dict.get()) || !keys_clean(dict.get())) return false;
        // An empty dict stays unchanged while it stays empty (0: see dict_unchanged).
        if (PyDict_GET_SIZE(dict.get()) != 0) {
#if PY_VERSION_HEX >= 0x030D0000
            // From 3.13 on a store into an instance whose __dict__ still shares
            // the object's inline values notifies no dict watcher.  Assigning the
            // dict back as the instance's __dict__ makes it the object's own (the
            // same dict with the same items, so nothing observable changes), and
            // from then on every change to it notifies.
            if (!own_dict(st, self, dict.get())) return false;
#endif
            dv = dict_tag(st, dict.get());
            if (!dv) return false;
        }
    }
    self_ = self;
    tp_ = tp;
    version_ = tc->version;
    dict_ = std::move(dict);
    dict_tag_ = dv;
    table_ = Ref::borrow(tc->table);
    table_tag_ = tc->table_tag;
    notation_plain_ = tc->notation_plain;
    mapping_plain_ = tc->mapping_plain;
    return true;
}

bool class_pristine(State* st, PyTypeObject* tp, Family fam, ClassMark& mark) {
    bool python_ran = false;
    TypeCache* tc = family_entry(st, tp, fam, 1, python_ran);
    if (!tc) return false;
    mark.tp = tp;
    mark.version = tc->version;
    mark.table = Ref::borrow(tc->table);
    mark.table_tag = tc->table_tag;
    mark.mapping_plain = tc->mapping_plain;
    return true;
}

bool class_pristine_seen(State* st, PyTypeObject* tp, Family fam, ClassMark& mark, ClassSeen& seen) {
    unsigned int v = type_version(tp);
    if (v && v == seen.version && dict_tag_check(seen.table) == seen.table_tag) {
        mark.tp = tp;
        mark.version = v;
        mark.table = Ref::borrow(seen.table);
        mark.table_tag = seen.table_tag;
        mark.mapping_plain = seen.mapping_plain;
        return true;
    }
    seen.version = 0;
    if (!class_pristine(st, tp, fam, mark)) return false;
    // The table was watched (from 3.12 on) when the rows were checked, so its tag can be read.
    seen = ClassSeen{mark.version, mark.table.get(), mark.table_tag, mark.mapping_plain};
    return true;
}

Ref quiet_attr(PyObject* o, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return Ref();
    Ref d = type_lookup(tp, name);
    if (d && Py_TYPE(d.get()) != &PyMemberDescr_Type) return Ref();
    PyObject* v = PyObject_GenericGetAttr(o, name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
    }
    return Ref::steal(v);
}

// ---------------------------------------------------------------- dispatch

[[noreturn]] static void raise_unsupported(PyObject* node) {
    Ref name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(node)), "__name__"));
    PyErr_Format(PyExc_TypeError, "Unsupported AST node type: %S", name.get());
    throw PyErrorSet{};
}

// The handler name for `node` from the visitor's dispatch table (new
// reference).  May run Python code: the caller syncs `lk` afterwards.
static Ref handler_name(State* st, Lookup& lk, PyObject* node) {
    Ref table = lk.table();
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(node));
    Ref name;
    if (PyDict_CheckExact(table.get())) {
        PyObject* n = PyDict_GetItemWithError(table.get(), cls);
        if (!n && PyErr_Occurred()) throw PyErrorSet{};
        name = Ref::borrow(n);
    } else {
        name = Ref::check(PyObject_CallMethodOneArg(table.get(), st->s_get, cls));
    }
    if (!name || name.get() == Py_None) raise_unsupported(node);
    lk.sync();
    return name;
}

// f(self, node) for a Python handler `f` (held by the caller), without a
// bound method or an argument tuple.
// Then a safe point, as after any Python code.
static PyObject* call_py_handler(PyObject* f, PyObject* self, PyObject* node) {
    PyObject* args[2] = {self, node};
    Ref r = Ref::check(PyObject_Vectorcall(f, args, 2, nullptr));
    safe_point();
    return r.release();
}

// bound(node) for a bound handler, then a safe point.
static PyObject* call_bound(PyObject* bound, PyObject* node) {
    Ref r = Ref::check(PyObject_CallOneArg(bound, node));
    safe_point();
    return r.release();
}

// self.visit(child) through Python, then a safe point.
static PyObject* call_visit(State* st, PyObject* self, PyObject* child) {
    Ref r = Ref::check(PyObject_CallMethodOneArg(self, st->s_visit, child));
    safe_point();
    return r.release();
}

static PyObject* dispatch_in(State* st, PyObject* self, Lookup& lk, PyObject* node) {
    VisitGuard guard;
    int row = lk.standard_row(node);
    if (row >= 0) {
        if (const MethodDef* h = lk.handler(st->handler_names[row], row)) return h->handler(st, self, node);
        if (Ref f = lk.py_handler(row)) return call_py_handler(f.get(), self, node);
    }
    Ref name = handler_name(st, lk, node);
    if (const MethodDef* h = lk.handler(name.get(), st->api.exact_kind(node))) return h->handler(st, self, node);
    Ref bound = attr(self, name.get());
    return call_bound(bound.get(), node);
}

PyObject* dispatch(State* st, PyObject* self, PyObject* node) {
    if (TypeCache* tc = type_cache(st, Py_TYPE(self)); tc && tc->family != FAM_NONE) {
        PyObject* r = nullptr;
        switch (tc->family) {
            case FAM_DEPTH: r = depth_walk(st, self, node); break;
            case FAM_SIZE: r = size_walk(st, self, node); break;
            case FAM_FREE_VARS: r = free_vars_walk(st, self, node); break;
            case FAM_TRANSFORMER: r = transformer_walk(st, self, node); break;
            case FAM_EXPORT: r = export_walk(st, self, node); break;
            case FAM_SUBSTITUTION: r = substitution_walk(st, self, node); break;
            default: break;
        }
        if (r) return r;
    }
    safe_point();
    Lookup lk(st, self);
    return dispatch_in(st, self, lk, node);
}

PyObject* visit_child(State* st, PyObject* self, PyObject* child) {
    level_safe_point(st->levels_to_safe_point);
    Lookup lk(st, self);
    if (lk.visit()) return dispatch_in(st, self, lk, child);
    return call_visit(st, self, child);
}

const MethodDef* resolve_child(State* st, PyObject* self, PyObject* child, Ref& result) {
    level_safe_point(st->levels_to_safe_point);
    Lookup lk(st, self);
    if (!lk.visit()) {
        result = Ref::steal(call_visit(st, self, child));
        return nullptr;
    }
    int row = lk.standard_row(child);
    if (row >= 0) {
        if (const MethodDef* h = lk.handler(st->handler_names[row], row)) return h;
        if (Ref f = lk.py_handler(row)) {
            VisitGuard guard;
            result = Ref::steal(call_py_handler(f.get(), self, child));
            return nullptr;
        }
    }
    Ref name = handler_name(st, lk, child);
    if (const MethodDef* h = lk.handler(name.get(), st->api.exact_kind(child))) return h;
    VisitGuard guard;
    Ref bound = attr(self, name.get());
    result = Ref::steal(call_bound(bound.get(), child));
    return nullptr;
}

Ref read_notation(State* st, PyObject* self) {
    // A plain instance attribute when the class has nothing named `notation`:
    // read it from the instance __dict__ without the full lookup.
    Ref d = instance_dict_of(self);
    if (d && PyDict_Check(d.get())) {
        if (TypeCache* tc = type_cache(st, Py_TYPE(self)); tc && tc->notation_plain) {
            PyObject* v = PyDict_GetItemWithError(d.get(), st->s_notation);
            if (v) return Ref::borrow(v);
            if (PyErr_Occurred()) throw PyErrorSet{};
        }
    }
    return attr(self, st->s_notation);
}

}  // namespace kv::vis
