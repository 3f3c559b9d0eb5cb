// Entry point of the extension: multi-phase initialisation, the import-time
// steps and the module-level name lookups used by every function body.
#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "blas.hpp"
#include "registry.hpp"
#include "tables.hpp"

namespace corvane {
namespace {

#include "api_table.inc"

PyObject *g_module = nullptr;        // the module of the process, once created
bool g_executed = false;             // its body has run to the end
int64_t g_interpreter_id = -1;       // the interpreter that first loaded it
PyObject *g_own[F_COUNT] = {};       // the module's own function objects
PyObject *g_names[F_COUNT] = {};     // their interned names

void set(py::module_ &m, const char *name, py::handle value) {
    if (PyObject_SetAttrString(m.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

void define_function(py::module_ &m, FnId id) {
    py::object defaults = defaults_of(id);
    PyObject *fn = make_function(&kSpecs[id], defaults.is_none() ? nullptr : defaults.ptr());
    if (!fn) throw py::error_already_set();
    py::object f = py::reinterpret_steal<py::object>(fn);
    Py_XSETREF(g_own[id], Py_NewRef(fn));
    if (!g_names[id]) g_names[id] = PyUnicode_InternFromString(kSpecs[id].name);
    if (id == F_get_period) {
        // The period lookup is cached for the life of the module.
        py::object cached = m.attr("lru_cache")(py::arg("maxsize") = py::none())(f);
        Py_XSETREF(g_own[id], Py_NewRef(cached.ptr()));
        set(m, kSpecs[id].name, cached);
    } else {
        set(m, kSpecs[id].name, f);
    }
}

void define_range(py::module_ &m, FnId first, FnId last) {
    for (int i = first; i <= last; ++i) define_function(m, static_cast<FnId>(i));
}

void run_body(py::module_ m) {
    gil::install_exit_hook();
    // Library names, in this order.
    set(m, "nx", py::module_::import("networkx"));
    set(m, "plt", py::module_::import("matplotlib.pyplot"));
    py::module_::import("rdkit.Chem");
    set(m, "Chem", py::module_::import("rdkit").attr("Chem"));
    set(m, "rdDepictor", py::module_::import("rdkit.Chem.rdDepictor"));
    set(m, "element", py::module_::import("mendeleev").attr("element"));
    set(m, "np", py::module_::import("numpy"));
    blas::discover();
    set(m, "math", py::module_::import("math"));
    set(m, "defaultdict", py::module_::import("collections").attr("defaultdict"));
    set(m, "lru_cache", py::module_::import("functools").attr("lru_cache"));

    define_range(m, F_get_period, F_pair_label);
    set(m, "_NOMINAL_ISOTOPE", py::dict());
    define_range(m, F_nominal_atom_mass, F_VIF);
    set(m, "PUBCHEM_REST", tables::pubchem_rest());
    define_range(m, F_fetch_smiles_from_pubchem, F_VIF_from_pubchem);
    set(m, "BIOMOLECULES", tables::biomolecules());
    define_range(m, F_VIF_panel, F_triple_group_demo);
    set(m, "HALOGEN_TESTS", tables::halogen_tests());
    define_function(m, F_halogen_test);
    set(m, "LPI_REFERENCES", tables::lpi_references());
    set(m, "MS_REFERENCES", tables::ms_references());
    define_function(m, F_validate);
    for (const auto &[name, smiles] : kNamedMolecules) set(m, name, py::str(smiles));
    for (const auto &[alias, name] : kAliases) set(m, alias, m.attr(name));

    if (py::str(m.attr("__name__")).equal(py::str("__main__")))
        m.attr("halogen_test")(py::arg("save") = "/tmp/vif_halogen.png");
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    // The owning interpreter is the one whose import succeeded: a failed
    // import (in a sub-interpreter, say) leaves the module free to load
    // elsewhere.
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter_id != -1 && current != g_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *mod = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!mod) return nullptr;
    PyObject *mdict = PyModule_GetDict(mod);
    const char *copies[][2] = {{"loader", "__loader__"},
                               {"origin", "__file__"},
                               {"parent", "__package__"},
                               {"submodule_search_locations", "__path__"}};
    for (auto &c : copies) {
        PyObject *v = PyObject_GetAttrString(spec, c[0]);
        if (!v) {
            PyErr_Clear();
            continue;
        }
        if (v != Py_None) PyDict_SetItemString(mdict, c[1], v);
        Py_DECREF(v);
    }
    return mod;
}

int module_exec(PyObject *mod) {
    if (g_module) {
        if (g_module == mod) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'corvane' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = Py_NewRef(mod);
    PyObject *version = PySys_GetObject("version_info");  // borrowed
    long major = PY_MAJOR_VERSION, minor = PY_MINOR_VERSION;
    if (version) {
        major = PyLong_AsLong(PyTuple_GetItem(version, 0));
        minor = PyLong_AsLong(PyTuple_GetItem(version, 1));
    }
    if (major != 3 || minor != 13) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                             "corvane", "does not match", (int)major, (int)minor) < 0) {
            Py_CLEAR(g_module);
            return -1;
        }
    }
    try {
        run_body(py::reinterpret_borrow<py::module_>(mod));
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    if (PyErr_Occurred()) {
        // A failed import leaves nothing behind: the next import starts afresh.
        if (!g_executed) {
            for (auto &f : g_own) Py_CLEAR(f);
            Py_CLEAR(g_module);
        }
        return -1;
    }
    g_executed = true;
    g_interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "corvane", nullptr, 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

bool module_alive() { return g_module != nullptr; }

PyObject *module_dict() {
    if (!g_module) raise(PyExc_ImportError, "corvane is not initialised: its import failed; import it again");
    return PyModule_GetDict(g_module);
}

py::object lookup(const char *name) {
    PyObject *v = PyDict_GetItemString(module_dict(), name);
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object lookup(FnId id) {
    PyObject *v = PyDict_GetItemWithError(module_dict(), g_names[id]);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names[id]);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::handle own(FnId id) { return g_own[id]; }

bool is_own(FnId id) {
    PyObject *v = PyDict_GetItemWithError(module_dict(), g_names[id]);
    if (!v && PyErr_Occurred()) PyErr_Clear();
    return v != nullptr && v == g_own[id];
}

}  // namespace corvane

extern "C" PyMODINIT_FUNC PyInit_corvane(void) { return PyModuleDef_Init(&corvane::kModuleDef); }
