#include "function.hpp"

#include <structmember.h>

#include "registry.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace corvane {
namespace {

constexpr Py_ssize_t kMaxParams = 12;

struct CvFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FnDef *def;
    PyObject *defaults;  // tuple or nullptr
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *dict;
    PyObject *weakreflist;
    PyObject *param_names[kMaxParams];  // interned
    Py_ssize_t n_params;
};

PyTypeObject *function_type = nullptr;

Py_ssize_t n_defaults(const CvFunction *f) {
    return f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
}

// "f() takes exactly 3 positional arguments (1 given)" and its variants.
void raise_count(const CvFunction *f, bool too_few, Py_ssize_t given) {
    Py_ssize_t nd = n_defaults(f);
    Py_ssize_t expected = too_few ? f->n_params - nd : f->n_params;
    const char *how = nd == 0 ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 f->def->name, how, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const CvFunction *f, PyObject *key) {
    for (Py_ssize_t i = 0; i < f->n_params; ++i)
        if (f->param_names[i] == key) return i;
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        int eq = PyUnicode_Compare(f->param_names[i], key);
        if (eq == 0) return i;
    }
    return -1;
}

PyObject *call_body(CvFunction *f, PyObject *const *slots, PyObject *extra) {
    if (!module_alive()) {
        // A function object kept from an import that failed part way.
        PyErr_Format(PyExc_ImportError, "%s(): corvane is not initialised (its import failed); import it again",
                     f->def->name);
        return nullptr;
    }
    gil::CallScope inside;  // interpreter exit waits for this call or parks it
    // Pending signal handlers run here, as the interpreter runs them on
    // entering a Python function: work made of many module calls (the plain
    // paths, which call the module's functions through their names) stops
    // on Ctrl-C.  (They, and a scheduled collection, run inside the scope.)
    if (PyErr_CheckSignals() < 0) return nullptr;
    try {
        py::object r = f->def->body(Args{slots, extra});
        return r.release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::cast_error &e) {
        // a conversion of an argument to a C++ type failed
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::invalid_argument &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::out_of_range &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyObject *fn_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t np = f->n_params;
    if (nargs > np) {
        raise_count(f, false, nargs);
        return nullptr;
    }
    PyObject *slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    // Keywords naming the remaining parameters fill their slots first; a
    // required parameter still empty then is reported before any other
    // keyword problem.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) continue;
        Py_ssize_t idx = find_param(f, key);
        if (idx >= nargs && !slots[idx]) slots[idx] = args[nargs + k];
    }
    Py_ssize_t required = np - n_defaults(f);
    for (Py_ssize_t i = nargs; i < required; ++i) {
        if (!slots[i]) {
            raise_count(f, true, i);
            return nullptr;
        }
    }
    PyObject *extra = nullptr;
    if (f->def->var_kw) {
        extra = PyDict_New();
        if (!extra) return nullptr;
    }
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", f->def->name);
            Py_XDECREF(extra);
            return nullptr;
        }
        Py_ssize_t idx = find_param(f, key);
        if (idx < 0) {
            if (extra) {
                if (PyDict_SetItem(extra, key, args[nargs + k]) < 0) {
                    Py_DECREF(extra);
                    return nullptr;
                }
                continue;
            }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         f->def->name, key);
            return nullptr;
        }
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         f->def->name, key);
            Py_XDECREF(extra);
            return nullptr;
        }
    }
    for (Py_ssize_t i = required; i < np; ++i)
        if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f->defaults, i - required);
    PyObject *r = call_body(f, slots, extra);
    Py_XDECREF(extra);
    return r;
}

int fn_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject *self) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject *self) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    for (Py_ssize_t i = 0; i < f->n_params; ++i) Py_CLEAR(f->param_names[i]);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *fn_repr(PyObject *self) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *get_str_field(PyObject *v) { return Py_NewRef(v); }

int set_str_field(PyObject **field, PyObject *value, const char *what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) { return get_str_field(reinterpret_cast<CvFunction *>(self)->name); }
int set_name(PyObject *self, PyObject *v, void *) {
    return set_str_field(&reinterpret_cast<CvFunction *>(self)->name, v, "__name__");
}
PyObject *get_qualname(PyObject *self, void *) {
    return get_str_field(reinterpret_cast<CvFunction *>(self)->qualname);
}
int set_qualname(PyObject *self, PyObject *v, void *) {
    return set_str_field(&reinterpret_cast<CvFunction *>(self)->qualname, v, "__qualname__");
}
PyObject *get_module(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<CvFunction *>(self)->module); }
int set_module(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(reinterpret_cast<CvFunction *>(self)->module, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) { return Py_NewRef(reinterpret_cast<CvFunction *>(self)->doc); }
int set_doc(PyObject *self, PyObject *v, void *) {
    Py_XSETREF(reinterpret_cast<CvFunction *>(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject *get_defaults(PyObject *self, void *) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    return Py_NewRef(f->defaults ? f->defaults : Py_None);
}

PyObject *get_signature(PyObject *self, void *) {
    auto *f = reinterpret_cast<CvFunction *>(self);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object pok = Parameter.attr("POSITIONAL_OR_KEYWORD");
        py::list params;
        Py_ssize_t required = f->n_params - n_defaults(f);
        for (Py_ssize_t i = 0; i < f->n_params; ++i) {
            py::handle name(f->param_names[i]);
            if (i < required)
                params.append(Parameter(name, pok));
            else
                params.append(Parameter(name, pok, py::arg("default") = py::handle(
                                                         PyTuple_GET_ITEM(f->defaults, i - required))));
        }
        if (f->def->var_kw) params.append(Parameter(f->def->var_kw, Parameter.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *fn_reduce(PyObject *self, PyObject *) {
    return Py_NewRef(reinterpret_cast<CvFunction *>(self)->qualname);
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(CvFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(CvFunction, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CvFunction, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
    {Py_tp_getset, fn_getset},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "corvane.function",
    sizeof(CvFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots,
};

}  // namespace

PyObject *make_function(const FnDef *def, PyObject *defaults) {
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&fn_spec));
        if (!function_type) return nullptr;
    }
    auto *f = PyObject_GC_New(CvFunction, function_type);
    if (!f) return nullptr;
    f->vectorcall = fn_vectorcall;
    f->def = def;
    f->defaults = defaults ? Py_NewRef(defaults) : nullptr;
    f->name = PyUnicode_InternFromString(def->name);
    f->qualname = Py_XNewRef(f->name);
    f->module = PyUnicode_InternFromString("corvane");
    f->doc = Py_NewRef(Py_None);
    f->dict = nullptr;
    f->weakreflist = nullptr;
    f->n_params = 0;
    while (f->n_params < kMaxParams && def->params[f->n_params]) {
        f->param_names[f->n_params] = PyUnicode_InternFromString(def->params[f->n_params]);
        ++f->n_params;
    }
    PyObject_GC_Track(reinterpret_cast<PyObject *>(f));
    if (!f->name || !f->module) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject *>(f);
}

}  // namespace corvane
