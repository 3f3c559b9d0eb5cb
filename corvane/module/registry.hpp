// The 28 module-level functions: their ids and body declarations, generated
// from the function table (api_table.py).  Each subsystem's binding file
// defines the bodies of its own functions.
#pragma once

#include "function.hpp"
#include "pyapi.hpp"

namespace corvane {

#include "api_ids.inc"

// Whether the module exists: false before its first import and after an
// import that failed (function objects kept from it refuse to run).
bool module_alive();

// The module's namespace dict (borrowed); valid while the module is alive.
PyObject *module_dict();

// The object currently bound to a module-level name; NameError when unbound.
py::object lookup(const char *name);
py::object lookup(FnId id);

// The module's own function object for `id` (borrowed), and whether the
// module-level name still refers to it.
py::handle own(FnId id);
bool is_own(FnId id);

}  // namespace corvane
