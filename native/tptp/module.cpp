// kelvara.prover._tptp: the native TPTP reader.  `Reader` holds what one
// problem's files share (symbols and their arities, distinct objects and
// numbers, the budget callback); `Reader.read(text, file)` parses one file's
// text into statement tuples, leaving includes to the caller.  A failure is
// raised as ReadError(status, message, line, column).
#include "tptp/reader.hpp"

#include <new>

namespace kv::tptp {

extern PyModuleDef module_def;

namespace {

struct State {
    AstApi api;
    PyTypeObject* reader_type = nullptr;
    PyObject* read_error = nullptr;
};

State* state_of_module(PyObject* m) { return static_cast<State*>(PyModule_GetState(m)); }

struct ReaderObject {
    PyObject_HEAD
    ReaderData* data;
    bool busy;
};

State* state_of_reader(PyObject* self) {
    PyObject* m = module_by_def(Py_TYPE(self), &module_def);
    if (!m) throw PyErrorSet{};
    return state_of_module(m);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* kwlist[] = {"check", nullptr};
        PyObject* check_fn = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Reader", const_cast<char**>(kwlist), &check_fn))
            return nullptr;
        if (check_fn != Py_None && !PyCallable_Check(check_fn)) {
            PyErr_SetString(PyExc_TypeError, "Reader() check must be callable or None");
            return nullptr;
        }
        Ref self = Ref::check(type->tp_alloc(type, 0));
        auto* r = reinterpret_cast<ReaderObject*>(self.get());
        r->data = new ReaderData();
        r->busy = false;
        if (check_fn != Py_None) r->data->check = Ref::borrow(check_fn);
        return self.release();
    });
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    Py_VISIT(Py_TYPE(self));
    if (r->data) Py_VISIT(r->data->check.get());
    return 0;
}

int reader_clear(PyObject* self) noexcept {
    auto* r = reinterpret_cast<ReaderObject*>(self);
    if (r->data) r->data->check.reset();
    return 0;
}

void reader_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    auto* r = reinterpret_cast<ReaderObject*>(self);
    delete r->data;
    r->data = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

const char* status_name(Status s) {
    switch (s) {
        case Status::SyntaxError: return "SyntaxError";
        case Status::InputError: return "InputError";
        case Status::Inappropriate: return "Inappropriate";
    }
    return "InputError";
}

PyObject* reader_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* r = reinterpret_cast<ReaderObject*>(self);
        if (nargs != 2) {
            PyErr_Format(PyExc_TypeError, "read() takes exactly 2 arguments (%zd given)", nargs);
            return nullptr;
        }
        if (!PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "read() takes the text and the file name as str");
            return nullptr;
        }
        if (r->busy) {
            PyErr_SetString(PyExc_RuntimeError, "this Reader is already reading");
            return nullptr;
        }
        State* st = state_of_reader(self);
        Ref text = Ref::borrow(args[0]);
        Py_ssize_t size = 0;
        const char* buf = PyUnicode_AsUTF8AndSize(text.get(), &size);
        if (!buf) return nullptr;
        Py_ssize_t fsize = 0;
        const char* fbuf = PyUnicode_AsUTF8AndSize(args[1], &fsize);
        if (!fbuf) return nullptr;
        std::string file(fbuf, static_cast<size_t>(fsize));
        r->busy = true;
        struct Unbusy {
            ReaderObject* r;
            ~Unbusy() { r->busy = false; }
        } unbusy{r};
        try {
            return parse_text(st->api, *r->data, buf, static_cast<size_t>(size), file);
        } catch (const ReadFailure& f) {
            Ref msg = Ref::check(PyUnicode_FromStringAndSize(f.message.data(), static_cast<Py_ssize_t>(f.message.size())));
            Ref exc_args = Ref::check(Py_BuildValue("(sOII)", status_name(f.status), msg.get(), f.line, f.column));
            PyErr_SetObject(st->read_error, exc_args.get());
            return nullptr;
        }
    });
}

PyObject* reader_specials(PyObject* self, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* r = reinterpret_cast<ReaderObject*>(self);
        Ref out = Ref::check(PyTuple_New(static_cast<Py_ssize_t>(r->data->specials.size())));
        for (size_t i = 0; i < r->data->specials.size(); ++i)
            PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(r->data->specials[i]));
        return out.release();
    });
}

PyObject* reader_symbols(PyObject* self, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        auto* r = reinterpret_cast<ReaderObject*>(self);
        Ref out = Ref::check(PyDict_New());
        for (auto& [key, sym] : r->data->symbols) {
            (void)key;
            check_int(PyDict_SetItem(out.get(), sym.name.get(), sym.arity_obj.get()));
        }
        return out.release();
    });
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_read)), METH_FASTCALL,
     "read($self, text, file, /)\n--\n\nParse one file's text into statement and include tuples."},
    {"specials", reader_specials, METH_NOARGS,
     "specials($self, /)\n--\n\nNames of the distinct objects and numbers read so far, in the order first seen."},
    {"symbols", reader_symbols, METH_NOARGS,
     "symbols($self, /)\n--\n\nEvery predicate, function, distinct object and number read so far, with its arity."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, reader_methods},
    {Py_tp_doc, const_cast<char*>("Reader(check=None)\n--\n\nReads the files of one problem; `check` is called "
                                  "now and then while reading and may raise to stop it.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "kelvara.prover._tptp.Reader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

int module_exec(PyObject* module) noexcept {
    return boundary<int>(-1, [&]() -> int {
        State* st = new (PyModule_GetState(module)) State();
        Ref ast = Ref::check(PyImport_ImportModule("kelvara.core.ast"));
        st->api.init_from_module(ast.get());
        st->read_error = check(PyErr_NewExceptionWithDoc(
            "kelvara.prover._tptp.ReadError",
            "A file could not be read: args are (status, message, line, column).", nullptr, nullptr));
        check_int(PyModule_AddObjectRef(module, "ReadError", st->read_error));
        st->reader_type = reinterpret_cast<PyTypeObject*>(
            check(PyType_FromModuleAndSpec(module, &reader_spec, nullptr)));
        check_int(PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject*>(st->reader_type)));
        return 0;
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of_module(module);
    if (!st) return 0;
    Py_VISIT(st->reader_type);
    Py_VISIT(st->read_error);
    return st->api.traverse(visit, arg);
}

int module_clear(PyObject* module) {
    State* st = state_of_module(module);
    if (!st) return 0;
    Py_CLEAR(st->reader_type);
    Py_CLEAR(st->read_error);
    st->api.clear();
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    KV_MOD_GIL_SLOT
    {0, nullptr},
};

}  // namespace
}  // namespace kv::tptp

namespace kv::tptp {
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "kelvara.prover._tptp",
    "The native TPTP reader (fof and cnf).",
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};
}  // namespace kv::tptp

PyMODINIT_FUNC PyInit__tptp(void) {
    return PyModuleDef_Init(&kv::tptp::module_def);
}
