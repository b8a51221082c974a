// SOLInstantiateRule: instantiates a second-order axiom schema (a ForallPred,
// such as induction) against a goal by higher-order pattern matching and
// clausifies the first-order instance.  The second-order services are
// imported on every call, so the module loads without them.
#include "rules/record.hpp"

namespace kv::rules {

// `from <module> import <names...>`: the values, in order, or ImportError.
static void import_from(State* st, const char* module_name, std::initializer_list<PyObject*> names, Ref* out) {
    Ref m = Ref::check(PyImport_ImportModule(module_name));
    for (PyObject* name : names) {
        PyObject* v = PyObject_GetAttr(m.get(), name);
        if (!v) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
            PyErr_Clear();
            Ref mod_name = Ref::check(PyUnicode_FromString(module_name));
            Ref file = lookup_attr(m.get(), st->s___file__);
            if (file && PyUnicode_Check(file.get()))
                PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%S)", name, mod_name.get(),
                             file.get());
            else
                PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name,
                             mod_name.get());
            throw PyErrorSet{};
        }
        *out++ = Ref::steal(v);
    }
}

static bool is_instance(PyObject* o, PyObject* cls) { return check_int(PyObject_IsInstance(o, cls)) != 0; }

// to_cnf(instance, signature=signature), appended to `result`.
static void extend_with_cnf(State* st, PyObject* to_cnf, PyObject* instance, PyObject* signature, PyObject* result) {
    PyObject* argv[2] = {instance, signature};
    Ref clauses = Ref::check(PyObject_Vectorcall(to_cnf, argv, 1, st->kw_signature));
    Ref it = Ref::check(PyObject_GetIter(clauses.get()));
    while (PyObject* c = PyIter_Next(it.get())) {
        Ref own = Ref::steal(c);
        check_int(PyList_Append(result, c));
    }
    if (PyErr_Occurred()) throw PyErrorSet{};
}

// Entry of `match` for `p_var` when the match succeeded (truthy, has the key).
static Ref matched(PyObject* match, PyObject* p_var) {
    if (!truthy(match)) return Ref();
    if (!check_int(PySequence_Contains(match, p_var))) return Ref();
    return Ref::check(PyObject_GetItem(match, p_var));
}

static PyObject* match_and_instantiate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"sol_axiom", "target_goal", "signature"};
        static const Params p{"SOLInstantiateRule.match_and_instantiate", names, 3, 2, 1};
        PyObject* a[3];
        parse_args(p, args, nargs, kwnames, a);
        PyObject* axiom = a[0];
        PyObject* goal = a[1];
        PyObject* signature = a[2] ? a[2] : Py_None;
        State* st = state_of_type(Py_TYPE(self));
        const AstApi& api = st->api;
        PyObject* forall = reinterpret_cast<PyObject*>(api.types[K_FORALL]);
        PyObject* implies = reinterpret_cast<PyObject*>(api.types[K_IMPLIES]);

        Ref sol[3], subst[2], kb[1], cnf[1];
        import_from(st, "kelvara.sol.ast_ext", {st->s_ForallPred, st->s_ExistsPred, st->s_PredicateVariable}, sol);
        import_from(st, "kelvara.sol.substitutions_ext", {st->s_ho_pattern_unify, st->s_substitute_predicate}, subst);
        import_from(st, "kelvara.sol.kb_ext", {st->s_instantiate_induction}, kb);
        import_from(st, "kelvara.prover.clausifier", {st->s_to_cnf}, cnf);
        PyObject* forall_pred = sol[0].get();
        PyObject* ho_pattern_unify = subst[0].get();
        PyObject* substitute_predicate = subst[1].get();
        PyObject* instantiate_induction = kb[0].get();
        PyObject* to_cnf = cnf[0].get();

        Ref result = Ref::check(PyList_New(0));
        if (is_instance(axiom, forall_pred)) {
            Ref p_var = getattr(axiom, api.s_variable);
            Ref body = getattr(axiom, api.s_body);
            Ref templ = is_instance(body.get(), implies) ? getattr(body.get(), api.s_right) : Ref::borrow(body.get());
            // First attempt: match the bodies under the binders.
            if (is_instance(templ.get(), forall) && is_instance(goal, forall)) {
                Ref tbody = getattr(templ.get(), api.s_body);
                Ref gbody = getattr(goal, api.s_body);
                Ref tvar = getattr(templ.get(), api.s_variable);
                Ref bound = Ref::check(PySet_New(nullptr));
                check_int(PySet_Add(bound.get(), tvar.get()));
                PyObject* argv[3] = {tbody.get(), gbody.get(), bound.get()};
                Ref match = Ref::check(PyObject_Vectorcall(ho_pattern_unify, argv, 2, st->kw_bound_vars));
                if (Ref value = matched(match.get(), p_var.get())) {
                    Ref param_var = getattr(templ.get(), api.s_variable);
                    if (PyTuple_Check(value.get())) value = Ref::check(PyObject_GetItem(value.get(), st->one));
                    Ref params = Ref::check(PyTuple_Pack(1, param_var.get()));
                    Ref binding = Ref::check(PyTuple_Pack(2, params.get(), value.get()));
                    Ref mapping = Ref::check(PyDict_New());
                    check_int(PyDict_SetItem(mapping.get(), p_var.get(), binding.get()));
                    Ref instance = call2(substitute_predicate, body.get(), mapping.get());
                    extend_with_cnf(st, to_cnf, instance.get(), signature, result.get());
                    return result.release();
                }
            }
            // Second attempt: match the whole template.
            Ref match = call2(ho_pattern_unify, templ.get(), goal);
            if (Ref value = matched(match.get(), p_var.get())) {
                Ref mapping = Ref::check(PyDict_New());
                check_int(PyDict_SetItem(mapping.get(), p_var.get(), value.get()));
                Ref instance = call2(substitute_predicate, body.get(), mapping.get());
                extend_with_cnf(st, to_cnf, instance.get(), signature, result.get());
                return result.release();
            }
        }
        // Fallback: the induction instance of the goal itself.
        if (is_instance(goal, forall)) {
            Ref gbody = getattr(goal, api.s_body);
            Ref gvar = getattr(goal, api.s_variable);
            Ref instance = call2(instantiate_induction, gbody.get(), gvar.get());
            extend_with_cnf(st, to_cnf, instance.get(), signature, result.get());
        }
        return result.release();
    });
}

static int sol_init(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = state_of_type(Py_TYPE(self));
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        // Keyword errors first, as the interpreter checks.
        if (kwds && PyDict_GET_SIZE(kwds) > 0) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            PyDict_Next(kwds, &pos, &key, &value);
            PyErr_Format(PyExc_TypeError, "SOLInstantiateRule.__init__() got an unexpected keyword argument '%S'", key);
            throw PyErrorSet{};
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError,
                         "SOLInstantiateRule.__init__() takes 1 positional argument but %zd were given", nargs + 1);
            throw PyErrorSet{};
        }
        // The four base fields, by keyword through the base initialiser.
        Ref name = Ref::check(PyUnicode_FromString("SOLInstantiate"));
        Ref description = Ref::check(
            PyUnicode_FromString("Second-order logic template instantiation via higher-order pattern matching"));
        Ref apply = getattr(self, st->s_match_and_instantiate);
        PyObject* values[RF_COUNT] = {name.get(), description.get(), st->str_resolution, apply.get()};
        Ref kwnames = Ref::check(PyTuple_Pack(4, st->s_name, st->s_description, st->s_rule_type, st->s_apply));
        PyObject* v[RF_COUNT];
        parse_rule_args(values, 0, kwnames.get(), v);
        rule_set_fields(self, v);
        return 0;
    });
}

static PyMethodDef sol_methods[] = {
    {"match_and_instantiate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match_and_instantiate)),
     METH_FASTCALL | METH_KEYWORDS,
     "match_and_instantiate($self, /, sol_axiom, target_goal, signature=None)\n--\n\n"
     "Instantiate the second-order axiom `sol_axiom` for `target_goal` and return the clauses of the "
     "first-order instance (to_cnf with `signature`). For a ForallPred axiom the predicate variable is "
     "matched first under the binders of the schema's conclusion, then against the whole conclusion; "
     "failing both, or for any other axiom, a universally quantified goal yields the clauses of its "
     "induction instance. Returns a new, possibly empty, list."},
    {"__reduce__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(+[](PyObject* self, PyObject*) noexcept -> PyObject* {
         return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
             Ref d = instance_dict_of(self);
             PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
             if (d && PyDict_Check(d.get()) && PyDict_GET_SIZE(d.get()) > 0)
                 return Py_BuildValue("(O()O)", cls, d.get());
             return Py_BuildValue("(O())", cls);
         });
     })),
     METH_NOARGS, "Return state information for pickling."},
    {nullptr, nullptr, 0, nullptr},
};

void create_sol_rule_type(PyObject* module, State* st) {
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(rule_new)},
        {Py_tp_init, reinterpret_cast<void*>(sol_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(rule_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(rule_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(rule_clear)},
        {Py_tp_methods, sol_methods},
        {Py_tp_doc, const_cast<char*>(
                        "SOLInstantiateRule()\n--\n\n"
                        "Inference rule that attempts to instantiate SOL quantified axioms (e.g. Peano Induction)\n"
                        "against target goal clauses or formulas using higher-order pattern matching.\n"
                        "Generates ground FOL clauses for the CNF resolution solver.")},
        {0, nullptr},
    };
    PyType_Spec spec = {"kelvara.prover.rules.SOLInstantiateRule", sizeof(RuleObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, slots};
    st->sol_rule_type = reinterpret_cast<PyTypeObject*>(
        check(PyType_FromModuleAndSpec(module, &spec, reinterpret_cast<PyObject*>(st->rule_type))));
    check_int(PyModule_AddObjectRef(module, "SOLInstantiateRule", reinterpret_cast<PyObject*>(st->sol_rule_type)));
}

}  // namespace kv::rules
