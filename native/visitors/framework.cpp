// Dispatch (ASTVisitor.visit and the shortcuts the built-in handlers take to
// reach their children), the shared helpers of the handlers, and the method
// tables of ASTVisitor and ASTTransformer.
//
// Python semantics are the reference: visit reads `_dispatch_table` through
// the visitor, looks up the node's exact class, then binds the handler by name
// and calls it.  Where ordinary attribute lookup would land on one of our own
// descriptors (no override in the class chain, nothing in the instance
// __dict__, no custom __getattribute__), the bound method is skipped and the
// C++ handler is called directly: the outcome is the same, minus the bound
// method and the argument tuple.
#include "visitors/state.hpp"

#include <cstdint>

namespace kv::vis {

// ---------------------------------------------------------------- depth limits

// The most C stack one level of dispatch takes, with a wide margin (the
// visitor tests measure the real figure against it).
#if defined(__SANITIZE_ADDRESS__)
static constexpr uintptr_t kDispatchFrameBound = 16384;
#else
static constexpr uintptr_t kDispatchFrameBound = 2048;
#endif

long walk_depth_limit() {
    PyThreadState* ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    long budget = ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    long budget = ts->recursion_remaining;
#else
    long budget = Py_GetRecursionLimit() - ts->recursion_depth;
#endif
    char probe;
    uintptr_t here = reinterpret_cast<uintptr_t>(&probe);
    uintptr_t floor = stack_floor();
    long stack = here > floor ? static_cast<long>((here - floor) / kDispatchFrameBound) : 0;
    return budget < stack ? budget : stack;
}

// ---------------------------------------------------------------- helpers

Ref attr(PyObject* o, PyObject* name) { return Ref::check(PyObject_GetAttr(o, name)); }

PyObject* global(State* st, int g) {
    PyObject* name = st->global_names[g];
    PyObject* v = PyDict_GetItemWithError(st->module_dict, name);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyErrorSet{};
    }
    return v;
}

bool is_instance_of_global(State* st, PyObject* obj, int g) {
    PyObject* cls = global(st, g);
    Py_INCREF(cls);
    int r = PyObject_IsInstance(obj, cls);
    Py_DECREF(cls);
    return check_int(r) != 0;
}

bool assertions_enabled() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return Py_OptimizeFlag == 0;
#pragma GCC diagnostic pop
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw PyErrorSet{};
}

PyObject* check_result(PyObject* r, PyTypeObject* tp, const char* name) {
    if (Py_IS_TYPE(r, tp) || r == Py_None) return r;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", name, Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    throw PyErrorSet{};
}

// ---------------------------------------------------------------- attribute lookup on visitors

static unsigned int type_version(PyTypeObject* tp) {
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    if (!(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
    return tp->tp_version_tag;
}

// Our descriptor of a role other than ROLE_OTHER, or nullptr.
static const Method* as_handler(State* st, PyObject* a) {
    if (!a || Py_TYPE(a) != st->method_type) return nullptr;
    const Method* m = reinterpret_cast<const Method*>(a);
    return m->def->role == ROLE_OTHER ? nullptr : m;
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
// when the class customises attribute lookup or has no version tag.
static TypeCache* type_cache(State* st, PyTypeObject* tp) {
    if (tp->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    TypeCache& e = st->tcache[(reinterpret_cast<uintptr_t>(tp) >> 5) & 7];
    unsigned int v = type_version(tp);
    if (v && e.tp == tp && e.version == v) return &e;
    // _PyType_Lookup gives the class a version tag when it has none.
    const Method* visit = as_handler(st, _PyType_Lookup(tp, st->s_visit));
    e.visit = visit && visit->def->role == ROLE_VISIT ? visit : nullptr;
    PyObject* table = _PyType_Lookup(tp, st->s_dispatch_table);
    e.table = table && !Py_TYPE(table)->tp_descr_get ? table : nullptr;
    e.notation_plain = _PyType_Lookup(tp, st->s_notation) == nullptr;
    e.mapping_plain = _PyType_Lookup(tp, st->s_mapping) == nullptr;
    for (int r = 0; r < R_COUNT; ++r) e.rows[r] = as_handler(st, _PyType_Lookup(tp, st->handler_names[r]));
    e.family = FAM_NONE;
    for (int f = FAM_NONE + 1; f < FAM_COUNT && e.family == FAM_NONE; ++f) {
        bool all = true;
        for (int r = 0; r < R_COUNT && all; ++r) all = e.rows[r] && e.rows[r]->def == family_def(f, r);
        if (all) e.family = static_cast<Family>(f);
    }
    v = type_version(tp);
    if (!v) {
        e.tp = nullptr;
        return nullptr;
    }
    e.tp = tp;
    e.version = v;
    return &e;
}

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

// The instance __dict__ of a visitor (new reference, empty when there is
// none or it is empty).  `clean` tells that none of its keys can shadow
// `visit`, `_dispatch_table` or a handler: every key is a str starting with
// neither 'v' nor '_'.
static Ref instance_dict(PyObject* self, bool& clean) {
    clean = true;
    if (!Py_TYPE(self)->tp_dictoffset) return Ref();
    Ref d = Ref::check(PyObject_GenericGetDict(self, nullptr));
    if (!PyDict_Check(d.get())) {
        clean = false;
        return d;
    }
    if (PyDict_GET_SIZE(d.get()) == 0) return Ref();
    clean = keys_clean(d.get());
    return d;
}

// Records which standard rows the class's table `tc->table` (at version `v`)
// maps to the standard handler names.
static void refresh_table_rows(State* st, TypeCache* tc, uint64_t v) {
    PyObject* table = tc->table;
    for (int r = 0; r < R_COUNT; ++r) {
        PyObject* cls = r < K_COUNT ? reinterpret_cast<PyObject*>(st->api.types[r]) : st->sol_types[r - K_COUNT];
        PyObject* name = PyDict_GetItemWithError(table, cls);
        if (!name && PyErr_Occurred()) throw PyErrorSet{};
        tc->row_ok[r] = name == st->handler_names[r];
    }
    tc->table_version = v;
}

// What getattr(self, ...) would find, for one visitor object at one moment.
class Lookup {
public:
    Lookup(State* st, PyObject* self) : st_(st), self_(self), tc_(type_cache(st, Py_TYPE(self))) {
        dict_ = instance_dict(self, clean_);
    }
    // Our `visit`, when getattr(self, "visit") would bind it.
    const Method* visit() {
        if (tc_ && clean_) return tc_->visit;
        const Method* m = method(st_->s_visit);
        return m && m->def->role == ROLE_VISIT ? m : nullptr;
    }
    // Our handler, when getattr(self, name) would bind it; `row` is a guess
    // at the row whose name `name` is.
    const Method* handler(PyObject* name, int row) {
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
        if (!tc_ || !clean_ || !tc_->table) return -1;
        int r = st_->api.exact_kind(node);
        if (r < 0) {
            PyTypeObject* tp = Py_TYPE(node);
            for (int i = 0; i < 4 && r < 0; ++i)
                if (reinterpret_cast<PyObject*>(tp) == st_->sol_types[i]) r = R_FORALL_PRED + i;
            if (r < 0) return -1;
        }
        uint64_t v = table_version(tc_->table);
        if (!v) return -1;
        if (v != tc_->table_version) refresh_rows(v);
        return tc_->row_ok[r] ? r : -1;
    }
    // self._dispatch_table (new reference).
    Ref table() {
        if (tc_ && clean_ && tc_->table) return Ref::borrow(tc_->table);
        return attr(self_, st_->s_dispatch_table);
    }

private:
    // The version of a dict that changes with every change of its contents,
    // where the interpreter keeps one (0: unknown).
    static uint64_t table_version(PyObject* table) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyDict_CheckExact(table)) return reinterpret_cast<PyDictObject*>(table)->ma_version_tag;
#else
        (void)table;
#endif
        return 0;
    }
    void refresh_rows(uint64_t v) { refresh_table_rows(st_, tc_, v); }

    const Method* method(PyObject* name) {
        PyTypeObject* tp = Py_TYPE(self_);
        if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name)) return nullptr;
        const Method* m = as_handler(st_, _PyType_Lookup(tp, name));
        if (!m) return nullptr;
        if (dict_ && PyDict_Check(dict_.get())) {
            PyObject* v = PyDict_GetItemWithError(dict_.get(), name);
            if (v) return nullptr;
            if (PyErr_Occurred()) throw PyErrorSet{};
        }
        return m;
    }

    State* st_;
    PyObject* self_;
    TypeCache* tc_;
    bool clean_ = true;
    Ref dict_;
};

// ---------------------------------------------------------------- pristine visitors

// The version of a dict, which changes with every change of its contents;
// versions are never reused.  0 where the interpreter keeps none usable.
static uint64_t dict_version(PyObject* d) {
#if PY_VERSION_HEX < 0x030D0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)d;
    return 0;
#endif
}

// The instance __dict__ of `self`, materialised if the interpreter keeps the
// attributes elsewhere (borrowed; nullptr when there is none).
static PyObject* dict_of(PyObject* self) {
    PyObject** dp = _PyObject_GetDictPtr(self);
    return dp ? *dp : nullptr;
}

bool Pristine::begin(State* st, PyObject* self, Family fam) {
    PyTypeObject* tp = Py_TYPE(self);
    // The dict first: materialising it allocates, which may run Python code.
    PyObject* dict = dict_of(self);
    if (PyErr_Occurred()) throw PyErrorSet{};
    TypeCache* tc = type_cache(st, tp);
    if (!tc || tc->family != fam || !tc->visit || !tc->table || !PyDict_CheckExact(tc->table)) return false;
    uint64_t tv = dict_version(tc->table);
    if (!tv) return false;
    if (tv != tc->table_version) refresh_table_rows(st, tc, tv);
    for (bool ok : tc->row_ok)
        if (!ok) return false;
    uint64_t dv = 0;
    if (dict) {
        if (!PyDict_CheckExact(dict) || !keys_clean(dict)) return false;
        dv = dict_version(dict);
        if (!dv) return false;
    }
    self_ = self;
    tp_ = tp;
    version_ = tc->version;
    dict_ = dict;
    dict_version_ = dv;
    table_ = tc->table;
    table_version_ = tv;
    notation_plain_ = tc->notation_plain;
    mapping_plain_ = tc->mapping_plain;
    return true;
}

bool class_pristine(State* st, PyTypeObject* tp, Family fam, ClassMark& mark) {
    TypeCache* tc = type_cache(st, tp);
    if (!tc || tc->family != fam || !tc->visit || !tc->table || !PyDict_CheckExact(tc->table)) return false;
    uint64_t tv = dict_version(tc->table);
    if (!tv) return false;
    if (tv != tc->table_version) refresh_table_rows(st, tc, tv);
    for (bool ok : tc->row_ok)
        if (!ok) return false;
    mark.tp = tp;
    mark.version = tc->version;
    mark.table = tc->table;
    mark.table_version = tv;
    mark.mapping_plain = tc->mapping_plain;
    return true;
}

bool ClassMark::holds() const {
    return type_version(tp) == version && dict_version(table) == table_version;
}

uint64_t dict_version_tag(PyObject* d) { return dict_version(d); }

bool Pristine::holds() const {
    if (Py_TYPE(self_) != tp_ || type_version(tp_) != version_) return false;
    PyObject* dict = dict_of(self_);
    if (dict != dict_ || (dict && dict_version(dict) != dict_version_)) return false;
    return dict_version(table_) == table_version_;
}

Ref quiet_attr(PyObject* o, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(o);
    if (tp->tp_getattro != PyObject_GenericGetAttr) return Ref();
    PyObject* d = _PyType_Lookup(tp, name);
    if (d && Py_TYPE(d) != &PyMemberDescr_Type) return Ref();
    PyObject* v = PyObject_GenericGetAttr(o, name);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
    }
    return Ref::steal(v);
}

[[noreturn]] static void raise_unsupported(PyObject* node) {
    Ref name = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(node)), "__name__"));
    PyErr_Format(PyExc_TypeError, "Unsupported AST node type: %S", name.get());
    throw PyErrorSet{};
}

// The handler name for `node` from the visitor's dispatch table (new reference).
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
    return name;
}

static PyObject* dispatch_in(State* st, PyObject* self, Lookup& lk, PyObject* node) {
    VisitGuard guard;
    int row = lk.standard_row(node);
    if (row >= 0) {
        if (const Method* h = lk.handler(st->handler_names[row], row)) return h->def->handler(st, self, node);
    }
    Ref name = handler_name(st, lk, node);
    if (const Method* h = lk.handler(name.get(), st->api.exact_kind(node))) return h->def->handler(st, self, node);
    Ref bound = attr(self, name.get());
    return check(PyObject_CallOneArg(bound.get(), node));
}

PyObject* dispatch(State* st, PyObject* self, PyObject* node) {
    if (TypeCache* tc = type_cache(st, Py_TYPE(self)); tc && tc->family != FAM_NONE) {
        PyObject* r = nullptr;
        switch (tc->family) {
            case FAM_DEPTH: r = depth_walk(st, self, node); break;
            case FAM_SIZE: r = size_walk(st, self, node); break;
            case FAM_FREE_VARS: r = free_vars_walk(st, self, node); break;
            case FAM_EXPORT: r = export_walk(st, self, node); break;
            case FAM_SUBSTITUTION: r = substitution_walk(st, self, node); break;
            default: break;
        }
        if (r) return r;
    }
    Lookup lk(st, self);
    return dispatch_in(st, self, lk, node);
}

PyObject* visit_child(State* st, PyObject* self, PyObject* child) {
    Lookup lk(st, self);
    if (lk.visit()) return dispatch_in(st, self, lk, child);
    return check(PyObject_CallMethodOneArg(self, st->s_visit, child));
}

const Method* resolve_child(State* st, PyObject* self, PyObject* child, Ref& result) {
    Lookup lk(st, self);
    if (!lk.visit()) {
        result = Ref::check(PyObject_CallMethodOneArg(self, st->s_visit, child));
        return nullptr;
    }
    int row = lk.standard_row(child);
    if (row >= 0) {
        if (const Method* h = lk.handler(st->handler_names[row], row)) return h;
    }
    Ref name = handler_name(st, lk, child);
    if (const Method* h = lk.handler(name.get(), st->api.exact_kind(child))) return h;
    VisitGuard guard;
    Ref bound = attr(self, name.get());
    result = Ref::check(PyObject_CallOneArg(bound.get(), child));
    return nullptr;
}

Ref read_notation(State* st, PyObject* self) {
    // A plain instance attribute when the class has nothing named `notation`:
    // read it from the instance __dict__ without the full lookup.
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_dictoffset) {
        if (TypeCache* tc = type_cache(st, tp); tc && tc->notation_plain) {
            Ref d = Ref::check(PyObject_GenericGetDict(self, nullptr));
            if (PyDict_Check(d.get())) {
                PyObject* v = PyDict_GetItemWithError(d.get(), st->s_notation);
                if (v) return Ref::borrow(v);
                if (PyErr_Occurred()) throw PyErrorSet{};
            }
        }
    }
    return attr(self, st->s_notation);
}

// ---------------------------------------------------------------- ASTVisitor

static PyObject* visitor_init_subclass(State* st, PyObject** argv, PyObject* kwargs) {
    PyObject* cls = argv[0];
    // The parent hook first, with the keyword arguments unchanged.
    Ref sup = Ref::check(PyObject_CallFunctionObjArgs(st->super_type, st->ast_visitor, cls, nullptr));
    Ref parent = attr(sup.get(), st->s_init_subclass);
    Ref empty = Ref::check(PyTuple_New(0));
    Ref r = Ref::check(PyObject_Call(parent.get(), empty.get(), kwargs));
    // Then a fresh table of the sixteen rows, with the classes as the module
    // names them now.
    Ref table = Ref::check(PyDict_New());
    for (int row = 0; row < R_COUNT; ++row) {
        PyObject* node_cls = global(st, row);
        Py_INCREF(node_cls);
        int rc = PyDict_SetItem(table.get(), node_cls, st->handler_names[row]);
        Py_DECREF(node_cls);
        check_int(rc);
    }
    check_int(PyObject_SetAttr(cls, st->s_dispatch_table, table.get()));
    Py_RETURN_NONE;
}

static PyObject* abstract_handler(State*, PyObject*, PyObject*) { Py_RETURN_NONE; }

static PyObject* not_implemented_handler(State*, PyObject*, PyObject*) {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw PyErrorSet{};
}

const MethodDef kVisitorMethods[] = {
    {"__init_subclass__",
     "Installs a fresh dispatch table of the sixteen node classes on every subclass, after passing the keyword "
     "arguments of the class declaration on to the parent hook.",
     "(cls, **kwargs)", ROLE_OTHER, false, 1, 1, {"cls"}, true, true, nullptr, visitor_init_subclass, nullptr,
     nullptr},
    {"visit",
     "Routes `node` to the handler named for its exact class in `_dispatch_table` and returns the handler's "
     "result; any other object raises TypeError.",
     "(self, node)", ROLE_VISIT, false, 2, 2, {"self", "node"}, false, false, dispatch, nullptr, nullptr, nullptr},
    KV_HANDLER_DEF("visit_variable", "Handles a Variable.", abstract_handler, true),
    KV_HANDLER_DEF("visit_constant", "Handles a Constant.", abstract_handler, true),
    KV_HANDLER_DEF("visit_function_app", "Handles a FunctionApp.", abstract_handler, true),
    KV_HANDLER_DEF("visit_predicate_app", "Handles a PredicateApp.", abstract_handler, true),
    KV_HANDLER_DEF("visit_equality", "Handles an Equality.", abstract_handler, true),
    KV_HANDLER_DEF("visit_not", "Handles a Not.", abstract_handler, true),
    KV_HANDLER_DEF("visit_and", "Handles an And.", abstract_handler, true),
    KV_HANDLER_DEF("visit_or", "Handles an Or.", abstract_handler, true),
    KV_HANDLER_DEF("visit_implies", "Handles an Implies.", abstract_handler, true),
    KV_HANDLER_DEF("visit_iff", "Handles an Iff.", abstract_handler, true),
    KV_HANDLER_DEF("visit_forall", "Handles a Forall.", abstract_handler, true),
    KV_HANDLER_DEF("visit_exists", "Handles an Exists.", abstract_handler, true),
    KV_HANDLER_DEF("visit_forall_pred", "Handles a ForallPred; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_exists_pred", "Handles an ExistsPred; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_forall_func", "Handles a ForallFunc; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
    KV_HANDLER_DEF("visit_exists_func", "Handles an ExistsFunc; raises NotImplementedError unless overridden.",
                   not_implemented_handler, false),
};
const int kVisitorMethodCount = sizeof(kVisitorMethods) / sizeof(kVisitorMethods[0]);

// ---------------------------------------------------------------- ASTTransformer

// Builds a node of the class the module names for `row`, passing the fields
// by keyword: straight through the shared constructors while the name still
// denotes the class loaded from kelvara.core.ast, by a call otherwise.
PyObject* construct(State* st, int row, std::initializer_list<const char*> names,
                           std::initializer_list<PyObject*> values) {
    PyObject* cls = global(st, row);
    const AstApi& api = st->api;
    PyObject* const* v = values.begin();
    if (row < K_COUNT && cls == reinterpret_cast<PyObject*>(api.types[row])) {
        switch (row) {
            case K_VARIABLE: return make_variable(api, nullptr, v[0], v[2], v[1]);  // id, sort, kind
            case K_FUNCTION_APP: return make_function_app(api, nullptr, v[0], v[1], v[2], v[3]);
            case K_PREDICATE_APP: return make_predicate_app(api, nullptr, v[0], v[1], v[2]);
            case K_EQUALITY: return make_equality(api, nullptr, v[0], v[1]);
            case K_NOT: return make_not(api, nullptr, v[0]);
            case K_AND:
            case K_OR:
            case K_IMPLIES:
            case K_IFF: return make_binary(api, row, nullptr, v[0], v[1]);
            case K_FORALL:
            case K_EXISTS: return make_quant(api, row, nullptr, v[0], v[1]);
            default: break;
        }
    }
    Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
    Ref kwnames = Ref::check(PyTuple_New(n));
    PyObject* stack[4];
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyTuple_SET_ITEM(kwnames.get(), i, check(PyUnicode_InternFromString(name)));
        stack[i] = v[i];
        ++i;
    }
    Ref keep = Ref::borrow(cls);
    return check(PyObject_Vectorcall(cls, stack, 0, kwnames.get()));
}

static PyObject* tr_leaf(State*, PyObject*, PyObject* node) { return Py_NewRef(node); }

// FunctionApp and PredicateApp: rebuilt arguments, identity test, then the
// arguments that are terms go into a node with the copied fields.
template <int K>
static PyObject* tr_app(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref args = K == K_FUNCTION_APP ? field(st, node, K, api.s_args, offsetof(FunctionAppNode, args))
                                   : field(st, node, K, api.s_args, offsetof(PredicateAppNode, args));
    Ref seq = PyTuple_CheckExact(args.get()) ? Ref::borrow(args.get()) : Ref::check(PySequence_Tuple(args.get()));
    Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
    Ref out = Ref::check(PyTuple_New(n));
    bool same = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(seq.get(), i);
        PyObject* r = visit_child(st, self, a);
        if (r != a) same = false;
        PyTuple_SET_ITEM(out.get(), i, r);
    }
    if (same) return Py_NewRef(node);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (is_instance_of_global(st, PyTuple_GET_ITEM(out.get(), i), G_TERM)) ++kept;
    Ref filtered;
    if (kept == n) {
        filtered = std::move(out);
    } else {
        filtered = Ref::check(PyTuple_New(kept));
        for (Py_ssize_t i = 0, j = 0; i < n; ++i) {
            PyObject* a = PyTuple_GET_ITEM(out.get(), i);
            if (is_instance_of_global(st, a, G_TERM)) PyTuple_SET_ITEM(filtered.get(), j++, Py_NewRef(a));
        }
    }
    if constexpr (K == K_FUNCTION_APP) {
        Ref func = field(st, node, K, api.s_func, offsetof(FunctionAppNode, func));
        Ref arity = field(st, node, K, api.s_arity, offsetof(FunctionAppNode, arity));
        Ref ret = field(st, node, K, api.s_return_sort, offsetof(FunctionAppNode, return_sort));
        return construct(st, K, {"func", "arity", "args", "return_sort"},
                         {func.get(), arity.get(), filtered.get(), ret.get()});
    } else {
        Ref pred = field(st, node, K, api.s_pred, offsetof(PredicateAppNode, pred));
        Ref arity = field(st, node, K, api.s_arity, offsetof(PredicateAppNode, arity));
        return construct(st, K, {"pred", "arity", "args"}, {pred.get(), arity.get(), filtered.get()});
    }
}

static PyObject* tr_equality(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref left = field(st, node, K_EQUALITY, api.s_left, offsetof(EqualityNode, left));
    Ref right = field(st, node, K_EQUALITY, api.s_right, offsetof(EqualityNode, right));
    Ref l = Ref::check(visit_child(st, self, left.get()));
    Ref r = Ref::check(visit_child(st, self, right.get()));
    if (l.get() == left.get() && r.get() == right.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, l.get(), G_TERM) && is_instance_of_global(st, r.get(), G_TERM)))
        raise_assertion();
    return construct(st, K_EQUALITY, {"left", "right"}, {l.get(), r.get()});
}

static PyObject* tr_not(State* st, PyObject* self, PyObject* node) {
    Ref operand = field(st, node, K_NOT, st->api.s_operand, offsetof(NotNode, operand));
    Ref o = Ref::check(visit_child(st, self, operand.get()));
    if (o.get() == operand.get()) return Py_NewRef(node);
    if (assertions_enabled() && !is_instance_of_global(st, o.get(), G_FORMULA)) raise_assertion();
    return construct(st, K_NOT, {"operand"}, {o.get()});
}

template <int K>
static PyObject* tr_binary(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref left = field(st, node, K, api.s_left, offsetof(BinaryNode, left));
    Ref right = field(st, node, K, api.s_right, offsetof(BinaryNode, right));
    Ref l = Ref::check(visit_child(st, self, left.get()));
    Ref r = Ref::check(visit_child(st, self, right.get()));
    if (l.get() == left.get() && r.get() == right.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, l.get(), G_FORMULA) && is_instance_of_global(st, r.get(), G_FORMULA)))
        raise_assertion();
    return construct(st, K, {"left", "right"}, {l.get(), r.get()});
}

template <int K>
static PyObject* tr_quant(State* st, PyObject* self, PyObject* node) {
    const AstApi& api = st->api;
    Ref var = field(st, node, K, api.s_variable, offsetof(QuantNode, variable));
    Ref body = field(st, node, K, api.s_body, offsetof(QuantNode, body));
    Ref v = Ref::check(visit_child(st, self, var.get()));
    Ref b = Ref::check(visit_child(st, self, body.get()));
    if (v.get() == var.get() && b.get() == body.get()) return Py_NewRef(node);
    if (assertions_enabled() &&
        !(is_instance_of_global(st, v.get(), K_VARIABLE) && is_instance_of_global(st, b.get(), G_FORMULA)))
        raise_assertion();
    return construct(st, K, {"variable", "body"}, {v.get(), b.get()});
}

// The second-order quantifiers: only the body is visited; the bound predicate
// or function variable is carried over as it is.
template <int R>
static PyObject* tr_sol(State* st, PyObject* self, PyObject* node) {
    Ref body = attr(node, st->api.s_body);
    Ref b = Ref::check(visit_child(st, self, body.get()));
    if (b.get() == body.get()) return Py_NewRef(node);
    if (assertions_enabled() && !is_instance_of_global(st, b.get(), G_FORMULA)) raise_assertion();
    Ref var = attr(node, st->api.s_variable);
    return construct(st, R, {"variable", "body"}, {var.get(), b.get()});
}

const MethodDef kTransformerMethods[] = {
    KV_HANDLER_DEF("visit_variable", "Returns the variable itself.", tr_leaf, false),
    KV_HANDLER_DEF("visit_constant", "Returns the constant itself.", tr_leaf, false),
    KV_HANDLER_DEF("visit_function_app",
                   "Rebuilds the application from its visited arguments, or returns it when none changed.",
                   tr_app<K_FUNCTION_APP>, false),
    KV_HANDLER_DEF("visit_predicate_app",
                   "Rebuilds the application from its visited arguments, or returns it when none changed.",
                   tr_app<K_PREDICATE_APP>, false),
    KV_HANDLER_DEF("visit_equality", "Rebuilds the equality from its visited sides, or returns it unchanged.",
                   tr_equality, false),
    KV_HANDLER_DEF("visit_not", "Rebuilds the negation from its visited operand, or returns it unchanged.", tr_not,
                   false),
    KV_HANDLER_DEF("visit_and", "Rebuilds the conjunction from its visited sides, or returns it unchanged.",
                   tr_binary<K_AND>, false),
    KV_HANDLER_DEF("visit_or", "Rebuilds the disjunction from its visited sides, or returns it unchanged.",
                   tr_binary<K_OR>, false),
    KV_HANDLER_DEF("visit_implies", "Rebuilds the implication from its visited sides, or returns it unchanged.",
                   tr_binary<K_IMPLIES>, false),
    KV_HANDLER_DEF("visit_iff", "Rebuilds the equivalence from its visited sides, or returns it unchanged.",
                   tr_binary<K_IFF>, false),
    KV_HANDLER_DEF("visit_forall",
                   "Rebuilds the quantifier from its visited variable and body, or returns it unchanged.",
                   tr_quant<K_FORALL>, false),
    KV_HANDLER_DEF("visit_exists",
                   "Rebuilds the quantifier from its visited variable and body, or returns it unchanged.",
                   tr_quant<K_EXISTS>, false),
    KV_HANDLER_DEF("visit_forall_pred", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_FORALL_PRED>, false),
    KV_HANDLER_DEF("visit_exists_pred", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_EXISTS_PRED>, false),
    KV_HANDLER_DEF("visit_forall_func", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_FORALL_FUNC>, false),
    KV_HANDLER_DEF("visit_exists_func", "Rebuilds the quantifier from its visited body, or returns it unchanged.",
                   tr_sol<R_EXISTS_FUNC>, false),
};
const int kTransformerMethodCount = sizeof(kTransformerMethods) / sizeof(kTransformerMethods[0]);

}  // namespace kv::vis
