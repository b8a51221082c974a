// The InferenceRule record (a frozen value record with four fields), the
// placeholder operations of the reconstruction rules, the two catalogues and
// apply_rule.
#include "rules/record.hpp"

#include <structmember.h>

#include <vector>

namespace kv::rules {

static const char* const kFieldNames[RF_COUNT] = {"name", "description", "rule_type", "apply"};

static RuleObject* as_rule(PyObject* o) { return reinterpret_cast<RuleObject*>(o); }

// A field (held: __init__ may replace it while the caller runs Python code),
// or AttributeError when the record was never initialised.
static Ref field(PyObject* self, int i) {
    PyObject* v = as_rule(self)->fields[i];
    if (!v) {
        PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     kFieldNames[i]);
        throw PyErrorSet{};
    }
    return hold(v);
}

void rule_set_fields(PyObject* self, PyObject* const* values) {
    RuleObject* r = as_rule(self);
    for (int i = 0; i < RF_COUNT; ++i) Py_XSETREF(r->fields[i], Py_NewRef(values[i]));
}

void parse_rule_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    static const Params p{"InferenceRule.__init__", kFieldNames, RF_COUNT, RF_COUNT, 1};
    parse_args(p, args, nargs, kwnames, out);
}

// ---------------------------------------------------------------- slots

PyObject* rule_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    // Arguments are the initialiser's business, as for object.__new__.
    return type->tp_alloc(type, 0);
}

static int rule_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    return boundary<int>(-1, [&]() -> int {
        TupleCall call(args, kwds);
        PyObject* v[RF_COUNT];
        parse_rule_args(call.args(), call.nargs(), call.kwnames(), v);
        rule_set_fields(self, v);
        return 0;
    });
}

// Vectorcall of the exact InferenceRule class: new and init in one step.
static PyObject* rule_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type);
        PyObject* v[RF_COUNT];
        parse_rule_args(args, PyVectorcall_NARGS(nargsf), kwnames, v);
        Ref self = Ref::check(tp->tp_alloc(tp, 0));
        rule_set_fields(self.get(), v);
        return self.release();
    });
}

void rule_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    RuleObject* r = as_rule(self);
    if (r->weakreflist) PyObject_ClearWeakRefs(self);
    for (auto& f : r->fields) Py_CLEAR(f);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int rule_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : as_rule(self)->fields) Py_VISIT(f);
    return 0;
}

// The record is immutable, but a schema rule refers to itself through its
// bound `apply`: the collector breaks such cycles by clearing the fields.
int rule_clear(PyObject* self) noexcept {
    for (auto& f : as_rule(self)->fields) Py_CLEAR(f);
    return 0;
}

static Py_hash_t rule_hash(PyObject* self) noexcept {
    return boundary<Py_hash_t>(-1, [&] {
        TupleHasher h;
        for (int i = 0; i < RF_COUNT; ++i) h.add(field(self, i).get());
        return h.finish();
    });
}

static PyObject* rule_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other)) Py_RETURN_NOTIMPLEMENTED;
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        bool eq = true;
        for (int i = 0; i < RF_COUNT && eq; ++i) {
            Ref mine = field(self, i), theirs = field(other, i);
            eq = check_int(PyObject_RichCompareBool(mine.get(), theirs.get(), Py_EQ));
        }
        return PyBool_FromLong(op == Py_EQ ? eq : !eq);
    });
}

static PyObject* rule_repr(PyObject* self) noexcept {
    int rec = Py_ReprEnter(self);
    if (rec != 0) return rec > 0 ? PyUnicode_FromString("...") : nullptr;
    PyObject* r = boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        TextBuilder w;
        w.append_steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__qualname__"));
        for (int i = 0; i < RF_COUNT; ++i) {
            w.append_ascii(i ? ", " : "(");
            w.append_ascii(kFieldNames[i]);
            w.append_ascii("=");
            w.append_steal(PyObject_Repr(field(self, i).get()));
        }
        w.append_ascii(")");
        return w.finish();
    });
    Py_ReprLeave(self);
    return r;
}

static bool is_field_name(PyObject* name) {
    if (!PyUnicode_Check(name)) return false;
    for (const char* f : kFieldNames)
        if (PyUnicode_CompareWithASCIIString(name, f) == 0) return true;
    return false;
}

static int rule_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = state_of_type(Py_TYPE(self));
        PyTypeObject* tp = Py_TYPE(self);
        if (tp == st->rule_type || tp == st->sol_rule_type || is_field_name(name)) {
            Ref msg = Ref::check(
                PyUnicode_FromFormat(value ? "cannot assign to field %R" : "cannot delete field %R", name));
            PyErr_SetObject(st->frozen_error, msg.get());
            return -1;
        }
        return PyObject_GenericSetAttr(self, name, value);
    });
}

static PyObject* rule_reduce(PyObject* self, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref args = Ref::check(PyTuple_New(RF_COUNT));
        for (int i = 0; i < RF_COUNT; ++i) PyTuple_SET_ITEM(args.get(), i, field(self, i).release());
        PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
        Ref d = instance_dict_of(self);
        if (d && PyDict_Check(d.get()) && PyDict_GET_SIZE(d.get()) > 0) return PyTuple_Pack(3, cls, args.get(), d.get());
        return PyTuple_Pack(2, cls, args.get());
    });
}

static PyMethodDef rule_methods[] = {
    {"__reduce__", rule_reduce, METH_NOARGS, "Return state information for pickling."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- placeholders

// The operation of a reconstruction rule: labels a proof step, infers nothing.
struct PlaceholderObject {
    PyObject_HEAD
    PyObject* rule_name;
};

static PyObject* placeholder_call(PyObject*, PyObject*, PyObject* kwds) noexcept {
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwds, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "<lambda>() got an unexpected keyword argument '%S'", key);
        return nullptr;
    }
    return PyList_New(0);
}

static PyObject* placeholder_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<reconstruction step %R>", reinterpret_cast<PlaceholderObject*>(self)->rule_name);
}

static void placeholder_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<PlaceholderObject*>(self)->rule_name);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static Ref make_placeholder(State* st, PyObject* rule_name) {
    Ref p = Ref::check(PyType_GenericAlloc(st->placeholder_type, 0));
    reinterpret_cast<PlaceholderObject*>(p.get())->rule_name = Py_NewRef(rule_name);
    return p;
}

// ---------------------------------------------------------------- catalogues

static Ref make_rule(State* st, PyObject* name, PyObject* description, PyObject* rule_type, PyObject* apply) {
    Ref self = Ref::check(PyType_GenericAlloc(st->rule_type, 0));
    PyObject* v[RF_COUNT] = {name, description, rule_type, apply};
    rule_set_fields(self.get(), v);
    return self;
}

static Ref text(const char* utf8) { return Ref::check(PyUnicode_FromString(utf8)); }

static PyObject* get_resolution_rules(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Params p{"get_resolution_rules", nullptr, 0, 0};
        parse_args(p, nullptr, nargs, kwnames, nullptr);
        State* st = state_of_module(module);
        struct Entry {
            const char* name;
            const char* description;
            PyObject* op_name;
        } entries[3] = {
            {"BinaryResolution", "Resolve complementary literals", st->s_resolve_clauses},
            {"Factoring", "Merge unifiable literals in same clause", st->s_factor_clause},
            {"Paramodulation", "Equality subterm rewriting", st->s_paramodulate},
        };
        Ref list = Ref::check(PyList_New(3));
        for (int i = 0; i < 3; ++i) {
            Ref op = global(module, entries[i].op_name);
            Ref rule = make_rule(st, text(entries[i].name).get(), text(entries[i].description).get(),
                                 st->str_resolution, op.get());
            PyList_SET_ITEM(list.get(), i, rule.release());
        }
        return list.release();
    });
}

static PyObject* get_reconstruction_rules(PyObject* module, PyObject* const*, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const Params p{"get_reconstruction_rules", nullptr, 0, 0};
        parse_args(p, nullptr, nargs, kwnames, nullptr);
        State* st = state_of_module(module);
        static const char* const entries[12][2] = {
            {"Axiom", "Premise or hypothesis assumption"},
            {"NegatedGoal", "Clausified negation of target theorem"},
            {"ModusPonens", "A, A \u27F9 B  \u22A2  B"},
            {"UniversalInstantiation", "\u2200x P(x)  \u22A2  P(t)"},
            {"ExistentialIntroduction", "P(t)  \u22A2  \u2203x P(x)"},
            {"AndIntroduction", "A, B  \u22A2  A \u2227 B"},
            {"AndElimination", "A \u2227 B  \u22A2  A (or B)"},
            {"OrIntroduction", "A  \u22A2  A \u2228 B"},
            {"OrElimination", "A \u2228 B, A \u27F9 C, B \u27F9 C  \u22A2  C"},
            {"DoubleNegationElimination", "\u00AC\u00ACA  \u22A2  A"},
            {"Contradiction", "A, \u00ACA  \u22A2  \u22A5"},
            {"ResolutionTraceStep", "CNF trace resolution inference"},
        };
        Ref list = Ref::check(PyList_New(12));
        for (int i = 0; i < 12; ++i) {
            Ref name = text(entries[i][0]);
            Ref op = make_placeholder(st, name.get());
            Ref rule = make_rule(st, name.get(), text(entries[i][1]).get(), st->str_reconstruction, op.get());
            PyList_SET_ITEM(list.get(), i, rule.release());
        }
        return list.release();
    });
}

// ---------------------------------------------------------------- apply_rule

static void check_arg_type(const char* arg, PyTypeObject* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected->tp_name, Py_TYPE(value)->tp_name);
    throw PyErrorSet{};
}

static PyObject* apply_rule(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"rule", "premises", "context"};
        static const Params p{"apply_rule", names, 3, 2};
        PyObject* a[3];
        parse_args(p, args, nargs, kwnames, a);
        PyObject* rule = a[0];
        PyObject* premises = a[1];
        PyObject* context = a[2] == Py_None ? nullptr : a[2];
        if (!PyList_CheckExact(premises)) check_arg_type("premises", &PyList_Type, premises);
        if (context && !PyDict_CheckExact(context)) check_arg_type("context", &PyDict_Type, context);
        State* st = state_of_module(module);
        Ref apply = getattr(rule, st->s_apply);
        Ref result;
        if (context && PyDict_GET_SIZE(context) > 0) {
            Ref pargs = Ref::check(PyList_AsTuple(premises));
            Ref kw = Ref::check(PyDict_Copy(context));
            result = Ref::check(PyObject_Call(apply.get(), pargs.get(), kw.get()));
        } else {
            // Hold the premises: the callee may change the caller's list.
            Ref pargs = Ref::check(PyList_AsTuple(premises));
            result = Ref::check(PyObject_Vectorcall(apply.get(), &PyTuple_GET_ITEM(pargs.get(), 0),
                                                    PyTuple_GET_SIZE(pargs.get()), nullptr));
        }
        if (result.get() != Py_None && !PyList_CheckExact(result.get())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(result.get())->tp_name);
            throw PyErrorSet{};
        }
        return result.release();
    });
}

PyMethodDef get_resolution_rules_def = {
    "get_resolution_rules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_resolution_rules)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_resolution_rules($module, /)\n--\n\n"
    "Return a new list of the three clause-level rules used by the resolution search: "
    "BinaryResolution (resolve_clauses), Factoring (factor_clause) and Paramodulation (paramodulate)."};
PyMethodDef get_reconstruction_rules_def = {
    "get_reconstruction_rules",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(get_reconstruction_rules)),
    METH_FASTCALL | METH_KEYWORDS,
    "get_reconstruction_rules($module, /)\n--\n\n"
    "Return a new list of the twelve natural-deduction and bookkeeping rules that label the steps "
    "of a reconstructed proof (ProofDAG); each description is the rule's sequent pattern and each "
    "operation is a fresh placeholder that performs no inference and returns an empty list."};
PyMethodDef apply_rule_def = {
    "apply_rule", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply_rule)),
    METH_FASTCALL | METH_KEYWORDS,
    "apply_rule($module, /, rule, premises, context=None)\n--\n\n"
    "Apply ``rule`` to a list of premises: call ``rule.apply(*premises, **context)`` with a copy of the "
    "context dict (no keyword arguments when the context is None or empty) and return its list "
    "result unchanged."};

// ---------------------------------------------------------------- type creation

void create_record_types(PyObject* module, State* st) {
    PyMemberDef members[RF_COUNT + 2] = {};
    for (int i = 0; i < RF_COUNT; ++i)
        members[i] = PyMemberDef{const_cast<char*>(kFieldNames[i]), T_OBJECT_EX,
                                 static_cast<Py_ssize_t>(offsetof(RuleObject, fields) + i * sizeof(PyObject*)),
                                 READONLY, nullptr};
    members[RF_COUNT] = PyMemberDef{const_cast<char*>("__weaklistoffset__"), T_PYSSIZET,
                                    static_cast<Py_ssize_t>(offsetof(RuleObject, weakreflist)), READONLY, nullptr};
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(rule_new)},
        {Py_tp_init, reinterpret_cast<void*>(rule_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rule_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(rule_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(rule_clear)},
        {Py_tp_hash, reinterpret_cast<void*>(rule_hash)},
        {Py_tp_richcompare, reinterpret_cast<void*>(rule_richcompare)},
        {Py_tp_repr, reinterpret_cast<void*>(rule_repr)},
        {Py_tp_setattro, reinterpret_cast<void*>(rule_setattro)},
        {Py_tp_members, members},
        {Py_tp_methods, rule_methods},
        {Py_tp_doc, const_cast<char*>(
                        "InferenceRule(name, description, rule_type, apply)\n--\n\n"
                        "An inference rule as an immutable value: its identifier, a human-readable "
                        "description, its family (\"resolution\" or \"reconstruction\") and the operation "
                        "that applies it. Records compare and hash by their four fields.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"kelvara.prover.rules.InferenceRule", sizeof(RuleObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    st->rule_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &spec, nullptr)));
    st->rule_type->tp_vectorcall = rule_vectorcall;
    Ref match = Ref::check(PyTuple_New(RF_COUNT));
    for (int i = 0; i < RF_COUNT; ++i)
        PyTuple_SET_ITEM(match.get(), i, check(PyUnicode_InternFromString(kFieldNames[i])));
    check_int(PyObject_SetAttrString(reinterpret_cast<PyObject*>(st->rule_type), "__match_args__", match.get()));
    check_int(PyModule_AddObjectRef(module, "InferenceRule", reinterpret_cast<PyObject*>(st->rule_type)));

    PyMemberDef pmembers[] = {
        {const_cast<char*>("rule_name"), T_OBJECT_EX, static_cast<Py_ssize_t>(offsetof(PlaceholderObject, rule_name)),
         READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot pslots[] = {
        {Py_tp_call, reinterpret_cast<void*>(placeholder_call)},
        {Py_tp_repr, reinterpret_cast<void*>(placeholder_repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(placeholder_dealloc)},
        {Py_tp_members, pmembers},
        {Py_tp_doc, const_cast<char*>("The operation of a reconstruction rule: accepts any positional arguments, "
                                      "performs no inference and returns a new empty list.")},
        {0, nullptr},
    };
    PyType_Spec pspec = {"kelvara.prover.rules.ReconstructionStep", sizeof(PlaceholderObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, pslots};
    st->placeholder_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromModuleAndSpec(module, &pspec, nullptr)));
}

}  // namespace kv::rules
