// SubstitutionTransformer: simultaneous substitution of terms for variables
// with renaming of a bound variable that a replacement would capture.
//
// Everything the quantifier step builds goes through the names of the module
// (FreeVariableCollector, SubstitutionTransformer, Variable, Forall, Exists)
// and through `visit`, so subclasses and overridden handlers take part exactly
// as they would in module code.
#include "visitors/state.hpp"

namespace kv::vis {

static PyObject* subst_init(State* st, PyObject** argv, PyObject*) {
    PyObject* self = argv[0];
    PyObject* mapping = argv[1];
    if (!PyDict_CheckExact(mapping)) {
        PyErr_Format(PyExc_TypeError, "Argument 'mapping' has incorrect type (expected dict, got %.200s)",
                     Py_TYPE(mapping)->tp_name);
        throw PyErrorSet{};
    }
    check_int(PyObject_SetAttr(self, st->s_mapping, mapping));
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
    return Ref::check(PyObject_CallOneArg(cls, mapping));
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
