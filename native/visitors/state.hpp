// Module state of kelvara.core.visitors and the declarations shared by its files.
//
// The visitor classes are ordinary Python classes (created at load through
// types.new_class, so they are real ABCs and generics); their methods are
// objects of one small descriptor type, `Method`, each pointing at a static
// `MethodDef` that names a C++ implementation.  `visit` and the handlers of the
// built-in visitors call one another directly in C++ whenever ordinary Python
// attribute lookup on the visitor would find our own descriptor anyway, and go
// through Python attribute lookup and calls otherwise, so overrides always win.
#pragma once

#include "common/nodes.hpp"

#include <cstdint>
#include <initializer_list>

namespace kv::vis {

// The sixteen rows of the dispatch table, in table order.  Rows 0..11 coincide
// with the node kinds of kelvara.core.ast.
enum Row {
    R_FORALL_PRED = K_COUNT,
    R_EXISTS_PRED,
    R_FORALL_FUNC,
    R_EXISTS_FUNC,
    R_COUNT,
};

// Names that handlers read from the module namespace at call time, as module
// code naming a global would.  The first sixteen are the node classes in row
// order.
enum Global {
    G_TERM = R_COUNT,
    G_FORMULA,
    G_FREE_VARIABLE_COLLECTOR,
    G_SUBSTITUTION_TRANSFORMER,
    G_COUNT,
};

struct State;
struct ExportCtx;

// Visit levels between two safe points offered on the way down (see safe_point).
constexpr int kLevelsPerSafePoint = 16;

// The built-in visitor classes whose handlers can run as one C++ walk: a
// class belongs to a family when every one of its sixteen handlers is the
// family's own (a subclass that overrides nothing belongs to its base's).
enum Family : uint8_t {
    FAM_NONE,
    FAM_DEPTH,
    FAM_SIZE,
    FAM_FREE_VARS,
    FAM_TRANSFORMER,
    FAM_SUBSTITUTION,
    FAM_EXPORT,
    FAM_COUNT,
};

// A handler body: takes the visitor and the node (borrowed), returns a new
// reference or throws PyErrorSet.
using HandlerFn = PyObject* (*)(State* st, PyObject* self, PyObject* node);
// An export handler writing into a shared text buffer instead of returning a
// string (see export.cpp).
using WriteFn = void (*)(ExportCtx& ctx, PyObject* node, int mode);
// A method with its own argument list, after parsing: `argv` holds the
// parameters (borrowed, nullptr for an omitted default), `kwargs` the extra
// keyword arguments when the method takes **kwargs.
using CallFn = PyObject* (*)(State* st, PyObject** argv, PyObject* kwargs);

// An integer result that stays unboxed while it is an exact int in range:
// `obj` empty means the value is `n`; otherwise `obj` is the value.
struct IntVal {
    long long n = 0;
    Ref obj;
};
// An integer-valued handler (depth and size) in unboxed form.
using IntFn = void (*)(State* st, PyObject* self, PyObject* node, IntVal& out);

enum Role : uint8_t {
    ROLE_VISIT,    // ASTVisitor.visit
    ROLE_HANDLER,  // one of the sixteen visit_* handlers
    ROLE_OTHER,    // __init_subclass__, __init__
};

// Static description of one method.
struct MethodDef {
    const char* name;
    const char* doc;
    const char* text_signature;
    Role role;
    bool abstract;
    int nparams;             // including self / cls
    int nrequired;           // leading required parameters
    const char* params[3];   // parameter names
    bool varkw;              // accepts **kwargs
    bool classmethod;        // wrapped with classmethod in the class namespace
    HandlerFn handler;       // ROLE_VISIT and ROLE_HANDLER
    CallFn call;             // ROLE_OTHER
    WriteFn write;           // export handlers only
    IntFn int_fn;            // depth and size handlers only
};

// The descriptor object that stands for a method in a class namespace.
struct Method {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    State* st;           // state of `module`, valid while `module` lives
    PyObject* module;    // the visitors module (owned)
    PyObject* name;      // str (owned)
    PyObject* qualname;  // str (owned)
};

// What attribute lookup on instances of one visitor class finds, taken once
// per version of the class (any change to the class or a base gives it a new
// version tag and invalidates the entry).  Read an entry only until Python
// code next runs (dispatch.cpp).
struct TypeCache {
    PyTypeObject* tp = nullptr;        // compared by address together with the version, never dereferenced
    unsigned int version = 0;
    const MethodDef* visit = nullptr;  // our `visit`, when that is what the class has
    PyObject* table = nullptr;         // `_dispatch_table` when it is a plain class attribute (owned)
    bool notation_plain = false;       // the class has no attribute `notation`
    bool mapping_plain = false;        // the class has no attribute `mapping`
    Family family = FAM_NONE;          // the family of `rows`, when they all belong to one
    const MethodDef* rows[16] = {};    // our handler under each standard handler name
    // The plain Python function under each standard handler name that has
    // no handler of ours (owned): calling it with (self, node) is what
    // binding it to a visitor with a clean __dict__ and calling that does.
    PyObject* py_rows[16] = {};
    // Rows r for which `table` maps the node class of row r to the standard
    // handler name, as of the table's tag `table_tag` (see dict_tag).
    uint64_t table_tag = 0;
    bool table_watched = false;  // dict_tag has been asked for `table` (which the entry holds)
    bool row_ok[16] = {};
    bool all_rows_ok = false;  // every one of row_ok
};

// What class_pristine last found for one class, kept between walks: while the
// class keeps its version, it still finds its dispatch table (which its class
// chain holds) through the same lookups, and while the table keeps its tag,
// the table still maps the same rows, so the mark can be filled from here
// (class_pristine_seen).
struct ClassSeen {
    unsigned int version = 0;  // 0: nothing kept
    PyObject* table = nullptr;  // borrowed: see above
    uint64_t table_tag = 0;
    bool mapping_plain = false;
};

constexpr size_t kTypeCacheSets = 8;
constexpr size_t kTypeCacheWays = 2 * kTypeCacheSets;

struct State {
    AstApi api;
    // Two ways per set, then one entry per family for the module's own
    // class of that family (see type_cache_inline).
    TypeCache tcache[kTypeCacheWays + FAM_COUNT];
    uint8_t tcache_last[kTypeCacheSets] = {};  // the way of each set used last
    uint64_t type_cache_fills = 0;             // entries filled (read by tests)
    PyTypeObject* method_type = nullptr;
    PyObject* module_dict = nullptr;  // borrowed: owned by the module itself
    PyObject* ast_visitor = nullptr;  // the ASTVisitor class, for super() in its class hook
    PyObject* sol_types[4] = {};      // ForallPred, ExistsPred, ForallFunc, ExistsFunc as loaded
    PyObject* family_class[FAM_COUNT] = {};  // the class the module created for each family
    PyObject* global_names[G_COUNT] = {};
    PyObject* handler_names[R_COUNT] = {};
    PyObject* s_visit = nullptr;
    PyObject* s_dispatch_table = nullptr;
    PyObject* s_init_subclass = nullptr;
    PyObject* s_init = nullptr;
    PyObject* s_new = nullptr;
    PyObject* s_dunder_dict = nullptr;
    // The definition behind the `__dict__` descriptor of classes whose
    // instances have a dict (ASTVisitor's), found on first use (3.13+).
    PyGetSetDef* dict_getset = nullptr;
    PyObject* s_notation = nullptr;
    PyObject* s_mapping = nullptr;
    PyObject* s_get = nullptr;
    PyObject* s_items = nullptr;
    PyObject* s_infix = nullptr;
    PyObject* s_prefix = nullptr;
    PyObject* s_latex = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* one = nullptr;  // int 1
    PyObject* super_type = nullptr;
    int dict_watcher = -1;    // this module's dict watcher (3.12+), -1 when none
    int levels_to_safe_point = kLevelsPerSafePoint;  // see level_safe_point
    uint64_t whole_walks = 0;  // top-level visits answered by a whole walk from start to end (read by tests)
    // The substitution walk's checks of the module's names, and of how its two
    // classes create instances, held last with the module dict at this tag and
    // the classes at these versions (0: not yet).
    uint64_t subst_module_tag = 0;
    unsigned int subst_sub_version = 0;
    unsigned int subst_fv_version = 0;
    ClassSeen subst_sub_seen, subst_fv_seen;  // the walk's two classes
    // The collector's list of callbacks and the one that counts its runs
    // (gc_watch.cpp; 3.10 and 3.11).
    PyObject* gc_callbacks = nullptr;
    PyObject* gc_counter = nullptr;

    int traverse(visitproc visit, void* arg);
    void clear();
};

// ---- method descriptors (method.cpp)
PyTypeObject* create_method_type(PyObject* module);
// A new descriptor for `def` in class `cls_name`.
PyObject* new_method(State* st, PyObject* module, const MethodDef* def, const char* cls_name);
// Whether `o` is such a descriptor, and what it holds.
bool is_method(PyObject* o);
inline const MethodDef* method_def(PyObject* m) { return reinterpret_cast<Method*>(m)->def; }
inline State* method_state(PyObject* m) { return reinterpret_cast<Method*>(m)->st; }

// ---- depth limits
// Every visit level holds the shared RecursionGuard (interpreter recursion
// limit plus the C stack left to the running thread, see common/ref.hpp).
class VisitGuard {
public:
    VisitGuard() : rec_(" while visiting a node") {}
    // With the running thread's stack_floor() read once by the walk.
    explicit VisitGuard(uintptr_t floor) : rec_(" while visiting a node", floor) {}

private:
    RecursionGuard rec_;
};

// ---- whole walks in C++ (dispatch.cpp)
//
// A top-level `visit` on a visitor whose class is pristine (one family's
// handlers, our `visit`, the installed dispatch table with its sixteen rows,
// ordinary attribute lookup, nothing in the instance __dict__ that shadows a
// handler) may run the whole walk in C++ without looking anything up per
// node: the outcome is what the per-node lookups would find.  Pristine holds
// the facts that decision rests on; after Python code may have run during a
// walk (a property, str() of a symbol, a finaliser), holds() tells whether
// they are still true: the class's version tag and the tags of the instance
// __dict__ and of the table must be those seen at the start, and the
// instance's __dict__ must still be the dict seen then (assigning another one
// changes neither).
class Pristine {
public:
    bool begin(State* st, PyObject* self, Family fam);
    inline bool holds() const;
    inline bool dict_unchanged() const;
    inline bool same_dict() const;  // the instance's __dict__ is still the one seen at the start
    PyObject* dict() const { return dict_.get(); }  // the instance __dict__, or nullptr
    bool notation_plain() const { return notation_plain_; }  // the class has no `notation`
    bool mapping_plain() const { return mapping_plain_; }    // the class has no `mapping`
    // Whether holds() checks everything the mark's holds() does (the same class and table).
    bool covers(const struct ClassMark& m) const;

private:
    PyObject* self_ = nullptr;
    PyTypeObject* tp_ = nullptr;
    unsigned int version_ = 0;
    Ref dict_;
    uint64_t dict_tag_ = 0;
    Ref table_;
    uint64_t table_tag_ = 0;
    bool notation_plain_ = false;
    bool mapping_plain_ = false;
};

// The facts that make fresh instances of a visitor class (empty __dict__)
// pristine, and a check that they still hold.
struct ClassMark {
    PyTypeObject* tp = nullptr;
    unsigned int version = 0;
    Ref table;
    uint64_t table_tag = 0;
    bool mapping_plain = false;
    inline bool holds() const;
};
bool class_pristine(State* st, PyTypeObject* tp, Family fam, ClassMark& mark);
bool class_pristine_seen(State* st, PyTypeObject* tp, Family fam, ClassMark& mark, ClassSeen& seen);

// A tag of a dict's contents that changes with every change to it: the
// dict's version on 3.10 and 3.11; from 3.12 on, where dicts keep no usable
// version, the dict is watched (PyDict_Watch) and the tag is a counter that
// every change to any watched dict advances.  0 when no tag can be kept.
// dict_tag starts keeping the tag; dict_tag_check reads it again later.
uint64_t dict_tag(State* st, PyObject* d);
#if PY_VERSION_HEX >= 0x030C0000
extern uint64_t g_dict_epoch;  // the tag of every watched dict (dispatch.cpp)
#endif
inline uint64_t dict_tag_check([[maybe_unused]] PyObject* d) {
#if PY_VERSION_HEX >= 0x030C0000
    return g_dict_epoch;
#else
    return dict_contents_version(d);
#endif
}

// Inline, as walks ask after every allocation.
bool Pristine::holds() const {
    // begin() made the dict if the class gives instances one, so the
    // instance still has a dict; reading it allocates nothing.
    if (dict_ && !same_dict()) return false;
    if (Py_TYPE(self_) != tp_ || type_version(tp_) != version_) return false;
    if (dict_ && !dict_unchanged()) return false;
    return dict_tag_check(table_.get()) == table_tag_;
}

bool Pristine::same_dict() const { return instance_dict_now(self_) == dict_.get(); }

bool Pristine::dict_unchanged() const {
    if (!dict_tag_) return PyDict_GET_SIZE(dict_.get()) == 0;
    return dict_tag_check(dict_.get()) == dict_tag_;
}

inline bool Pristine::covers(const ClassMark& m) const {
    return tp_ == m.tp && version_ == m.version && table_.get() == m.table.get() && table_tag_ == m.table_tag;
}

bool ClassMark::holds() const { return type_version(tp) == version && dict_tag_check(table.get()) == table_tag; }
// The count of the collector's runs, kept by a callback in gc.callbacks
// (gc_watch.cpp): on 3.10 and 3.11, while it is unchanged and
// collections_counted() holds, no collection, and so no Python code, has run.
void start_counting_collections(State* st);
void stop_counting_collections(State* st);
#if PY_VERSION_HEX < 0x030C0000
extern uint64_t g_collections;
bool collections_counted(const State* st);
#endif
// The module's dict watcher, added when the module loads, cleared when it goes.
void start_watching(State* st);
void stop_watching(State* st);
// The cache entry of a visitor class (see TypeCache), or nullptr.
TypeCache* type_cache(State* st, PyTypeObject* tp);

// From 3.12 on, a collection that an allocation asks for (and a signal
// handler) runs only at the interpreter's next safe point, which code that
// runs no bytecode never reaches: a long walk would hold finalisers and
// Ctrl-C back until it ends.  So the visitors offer one at once wherever
// 3.10 and 3.11 could have collected: right after each object they allocate
// that the collector tracks (a node, a set, a visitor) and after each call
// into Python code (safe_point), and on top of that every
// kLevelsPerSafePoint visit levels (level_safe_point), so that a walk that
// allocates nothing still answers Ctrl-C and finalisers asked for by others.
// (Asking at every level costs a tenth of a per-node visit on 3.13.)
inline void safe_point() {
#if PY_VERSION_HEX >= 0x030C0000
    if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
#endif
}

inline void level_safe_point([[maybe_unused]] int& countdown) {
#if PY_VERSION_HEX >= 0x030C0000
    if (--countdown > 0) return;
    countdown = kLevelsPerSafePoint;
    safe_point();
#endif
}

// How many levels a whole walk may descend before it must leave the rest to
// dispatch: no more than the interpreter's recursion limit leaves (dispatch
// enters one recursive call per level), and no deeper than dispatch itself
// could go on the C stack left, counting the most that dispatch takes per
// level.  Within that depth the walk and dispatch both succeed; beyond it,
// dispatch decides.
long walk_depth_limit();

// `o.name` when reading it cannot run Python code (ordinary lookup, no
// descriptor but a slot in the class chain); an empty Ref otherwise or when
// the attribute is missing.
Ref quiet_attr(PyObject* o, PyObject* name);

// The whole walk of one family for a top-level visit (metrics.cpp,
// substitution.cpp, export.cpp): a new reference, or nullptr with no error
// set when the walk is left to dispatch.  Throws PyErrorSet on errors.
PyObject* depth_walk(State* st, PyObject* self, PyObject* node);
PyObject* size_walk(State* st, PyObject* self, PyObject* node);
PyObject* transformer_walk(State* st, PyObject* self, PyObject* node);
PyObject* free_vars_walk(State* st, PyObject* self, PyObject* node);
PyObject* export_walk(State* st, PyObject* self, PyObject* node);
PyObject* substitution_walk(State* st, PyObject* self, PyObject* node);

// ---- dispatch (dispatch.cpp)
// The body of ASTVisitor.visit.
PyObject* dispatch(State* st, PyObject* self, PyObject* node);
// self.visit(child), staying in C++ while `visit` is still ours.
PyObject* visit_child(State* st, PyObject* self, PyObject* child);
// Resolves self.visit(child): returns our handler descriptor when the visit
// would end in it (the caller then calls it, holding a VisitGuard), otherwise
// performs the whole visit through Python and stores its result in `result`.
const MethodDef* resolve_child(State* st, PyObject* self, PyObject* child, Ref& result);
// self.notation, read as attribute lookup would (new reference).
Ref read_notation(State* st, PyObject* self);

// The module global `g` (borrowed); NameError when it is gone.
PyObject* global(State* st, int g);
// isinstance(obj, global g).
bool is_instance_of_global(State* st, PyObject* obj, int g);
// Whether assert statements run (false under `python -O`); read_assertion_flag
// reads the interpreter's setting when the module loads.
extern bool g_assertions;  // read once when the module loads (framework.cpp)
inline bool assertions_enabled() { return g_assertions; }
void read_assertion_flag();
[[noreturn]] void raise_assertion();
// Checks a declared result type: exact `tp` or None, else TypeError
// "Expected <name>, got <type>".
PyObject* check_result(PyObject* r, PyTypeObject* tp, const char* name);

// Reads a field of a node of kind k (struct for exact nodes, attribute otherwise).
inline Ref field(State* st, PyObject* node, int k, PyObject* name, Py_ssize_t offset) {
    if (st->api.exact_kind(node) == k)
        return Ref::borrow(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(node) + offset));
    return Ref::check(PyObject_GetAttr(node, name));
}
// Reads an attribute by name.
Ref attr(PyObject* o, PyObject* name);

// Builds a node of the class the module names for `row` (a row or a node
// kind), passing `values` by the keywords `names`.  Variable takes
// (id, sort, kind).
PyObject* construct(State* st, int row, std::initializer_list<const char*> names,
                    std::initializer_list<PyObject*> values);

#define KV_HANDLER_DEF(NAME, DOC, FN, ABSTRACT)                                                                 \
    {NAME, DOC, "(self, node)", ROLE_HANDLER, ABSTRACT, 2, 2, {"self", "node"}, false, false, FN, nullptr, nullptr, \
     nullptr}

// acc.update(items) for a set `acc` and any iterable `items`.
void set_update(PyObject* acc, PyObject* items);

// ---- class bodies (one table of MethodDef per class)
extern const MethodDef kVisitorMethods[];
extern const int kVisitorMethodCount;
extern const MethodDef kTransformerMethods[];
extern const int kTransformerMethodCount;
extern const MethodDef kDepthMethods[];
extern const int kDepthMethodCount;
extern const MethodDef kSizeMethods[];
extern const int kSizeMethodCount;
extern const MethodDef kFreeVarMethods[];
extern const int kFreeVarMethodCount;
extern const MethodDef kSubstitutionMethods[];
// SubstitutionTransformer.__init__: stores `mapping` (exactly a dict, else TypeError).
void store_mapping(State* st, PyObject* self, PyObject* mapping);
// Gives the class SubstitutionTransformer its own __init__ slot (subst_class.cpp).
void install_subst_init(State* st, PyObject* cls);
extern const int kSubstitutionMethodCount;
extern const MethodDef kExportMethods[];
extern const int kExportMethodCount;

// The row of an exact node class or second-order quantifier class, else -1.
inline int node_row(State* st, PyObject* node) {
    int k = st->api.exact_kind(node);
    if (k >= 0) return k;
    PyObject* tp = reinterpret_cast<PyObject*>(Py_TYPE(node));
    for (int i = 0; i < 4; ++i)
        if (tp == st->sol_types[i]) return R_FORALL_PRED + i;
    return -1;
}

}  // namespace kv::vis
