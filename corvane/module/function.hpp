// The module's own function type: a callable carrying a name, a fixed list of
// positional-or-keyword parameters and a defaults tuple, that parses its
// arguments into a flat array (no dict per call) and hands them to a C++ body.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>

#include "gil.hpp"

namespace py = pybind11;

namespace corvane {

// Parsed arguments of one call: one borrowed object per parameter, defaults
// filled in.  `extra` holds the collected extra keywords of a function that
// takes them (a new dict, empty when none were given), else nullptr.
struct Args {
    PyObject *const *v;
    PyObject *extra;
    py::handle operator[](std::size_t i) const { return v[i]; }
};

using Body = py::object (*)(const Args &);

struct FnDef {
    const char *name;
    const char *params[12];  // nullptr-terminated
    const char *var_kw;      // name of the **kwargs parameter, or nullptr
    Body body;
};

// Creates the type (once) and a function object for `def` with the given
// defaults tuple (or nullptr for none).  Returns a new reference.
PyObject *make_function(const FnDef *def, PyObject *defaults);

}  // namespace corvane
