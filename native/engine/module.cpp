// kelvara.prover._engine: the module, its state, option parsing and the
// saturate() entry point that reads the input, runs the loop and returns an
// EngineResult.  All run state is owned by one Engine freed on return.
#include "engine/convert.hpp"
#include "engine/dtree.hpp"
#include "engine/options.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace kv::engine {

extern PyModuleDef module_def_;

static ModuleState* state_of(PyObject* m) { return static_cast<ModuleState*>(PyModule_GetState(m)); }

[[noreturn]] static void fail(PyObject* type, const char* fmt, PyObject* arg = nullptr) {
    if (arg) PyErr_Format(type, fmt, arg);
    else PyErr_SetString(type, fmt);
    throw PyErrorSet{};
}

static const char* status_name(Status s) {
    switch (s) {
        case Status::Unsatisfiable: return "Unsatisfiable";
        case Status::Saturated: return "Saturated";
        case Status::Timeout: return "Timeout";
        case Status::ResourceOut: return "ResourceOut";
        default: return "GaveUp";
    }
}

static Ref stats_dict(Engine& e) {
    const Stats& s = e.stats;
    return Ref::check(Py_BuildValue(
        "{sLsLsLsnsnsdsLsLsLsLsLsLsLsLsLsnsn}", "given", (long long)s.given, "generated", (long long)s.generated, "kept",
        (long long)s.kept, "active", (Py_ssize_t)e.active_count, "passive", (Py_ssize_t)e.passive_count, "seconds",
        e.elapsed(), "rewrites", (long long)s.rewrites, "subsumed", (long long)s.subsumed, "backward_subsumed",
        (long long)s.backward_subsumed, "backward_rewritten", (long long)s.backward_rewritten, "cut_literals",
        (long long)s.cut_literals, "tautologies", (long long)s.tautologies, "too_deep", (long long)s.too_deep,
        "subsumption_given_up", (long long)s.subsumption_given_up, "duplicates", (long long)s.duplicates, "terms",
        (Py_ssize_t)e.bank.size(), "memory", (Py_ssize_t)e.memory()));
}

static PyObject* saturate(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* const names[] = {"clauses", "options", "progress"};
        PyObject* a[3] = {nullptr, nullptr, nullptr};
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (nargs > 3) fail(PyExc_TypeError, "saturate() takes at most 3 arguments");
        for (Py_ssize_t i = 0; i < nargs; ++i) a[i] = args[i];
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int idx = -1;
            for (int i = 0; i < 3; ++i)
                if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) idx = i;
            if (idx < 0) fail(PyExc_TypeError, "saturate() got an unexpected keyword argument %R", key);
            if (a[idx]) fail(PyExc_TypeError, "saturate() got multiple values for argument %R", key);
            a[idx] = args[nargs + j];
        }
        if (!a[0] || !a[1]) fail(PyExc_TypeError, "saturate() needs the clauses and the options");
        ModuleState* ms = state_of(module);
        Ref clauses = Ref::check(PySequence_Tuple(a[0]));
        Ref options = Ref::borrow(a[1]);
        auto engine = std::make_unique<Engine>();
        Engine& e = *engine;
        init_trees(e);
        Py_ssize_t n = PyTuple_GET_SIZE(clauses.get());
        read_options(options.get(), e.opt, static_cast<size_t>(n));
        if (a[2] && a[2] != Py_None) {
            if (!PyCallable_Check(a[2])) fail(PyExc_TypeError, "progress must be callable or None");
            e.progress = Ref::borrow(a[2]);
        }
        Symbol truth;
        truth.text = "$true";
        e.symbols.push_back(std::move(truth));
        Converter conv(*ms, e);
        std::vector<Clause*> inputs;
        for (Py_ssize_t i = 0; i < n; ++i) inputs.push_back(conv.read_clause(PyTuple_GET_ITEM(clauses.get(), i), (int)i));
        for (int g : e.opt.goal_ids) {
            inputs[g]->goal = true;
            conv.mark_goal(*inputs[g]);
        }
        conv.finish_signature();
        // The depth limit applies to terms the run makes: never below the input's own depth.
        e.bank.set_limit(std::max(e.opt.term_depth_limit, e.bank.max_depth()));
        if (e.opt.sos) e.complete = false;
        Status s;
        try {
            s = e.run(inputs);
        } catch (const TooDeep&) {
            fail(PyExc_SystemError, "engine: a term grew too deep outside an inference");
        }
        Ref steps = s == Status::Unsatisfiable ? conv.proof_steps({}) : Ref::check(PyList_New(0));
        Ref result = Ref::check(PyStructSequence_New(ms->result_type));
        PyStructSequence_SetItem(result.get(), 0, check(PyUnicode_FromString(status_name(s))));
        PyStructSequence_SetItem(result.get(), 1, Py_NewRef(e.complete ? Py_True : Py_False));
        PyStructSequence_SetItem(result.get(), 2, steps.release());
        PyStructSequence_SetItem(result.get(), 3, stats_dict(e).release());
        return result.release();
    });
}

static PyMethodDef methods[] = {
    {"saturate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(saturate)), METH_FASTCALL | METH_KEYWORDS,
     "saturate($module, /, clauses, options, progress=None)\n--\n\n"
     "Run the superposition engine on a list of clause records. `options` is a dict (time_limit, deadline, "
     "memory_limit, max_clauses, selection, pick_given_ratio, goal_ids, progress_every, precedence, "
     "symbol_weight, queues, goal_factor, sos, demodulation, subsumption, backward_simplification, "
     "subsumption_resolution, term_depth_limit); `progress` is called "
     "with a statistics dict at most every progress_every seconds. Returns an EngineResult(status, complete, "
     "steps, stats); steps is the proof of the empty clause when the status is 'Unsatisfiable'."},
    {nullptr, nullptr, 0, nullptr},
};

static PyStructSequence_Field result_fields[] = {
    {"status", "Unsatisfiable, Saturated, Timeout, ResourceOut or GaveUp"},
    {"complete", "True when every setting of the run is refutationally complete"},
    {"steps", "the proof steps (step_id, clause, rule, parents, info), parents first"},
    {"stats", "run statistics"},
    {nullptr, nullptr},
};
static PyStructSequence_Desc result_desc = {"kelvara.prover._engine.EngineResult",
                                            "The outcome of one engine run.", result_fields, 4};

static int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        ModuleState* st = new (PyModule_GetState(module)) ModuleState();
        Ref ast = Ref::check(PyImport_ImportModule("kelvara.core.ast"));
        st->api.init_from_module(ast.get());
        st->s_literals = check(PyUnicode_InternFromString("literals"));
        st->s_atom = check(PyUnicode_InternFromString("atom"));
        st->s_positive = check(PyUnicode_InternFromString("positive"));
        st->result_type = reinterpret_cast<PyTypeObject*>(check(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&result_desc))));
        check_int(PyModule_AddObjectRef(module, "EngineResult", reinterpret_cast<PyObject*>(st->result_type)));
        add_option_names(module);
        return 0;
    });
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* st = state_of(module);
    if (!st) return 0;
    Py_VISIT(st->result_type);
    return st->api.traverse(visit, arg);
}

static int module_clear(PyObject* module) {
    ModuleState* st = state_of(module);
    if (!st) return 0;
    Py_CLEAR(st->result_type);
    Py_CLEAR(st->s_literals);
    Py_CLEAR(st->s_atom);
    Py_CLEAR(st->s_positive);
    st->api.clear();
    return 0;
}

static void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

static PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KV_MOD_GIL_SLOT
    {0, nullptr},
};

PyModuleDef module_def_ = {
    PyModuleDef_HEAD_INIT, "kelvara.prover._engine",
    "The native saturation engine: superposition with selection, simplification and indexing over a per-run "
    "term bank.  Its proofs are replayed by the rules module before use.",
    sizeof(ModuleState), methods, slots, module_traverse, module_clear, module_free,
};

}  // namespace kv::engine

PyMODINIT_FUNC PyInit__engine(void) {
    return PyModuleDef_Init(&kv::engine::module_def_);
}
