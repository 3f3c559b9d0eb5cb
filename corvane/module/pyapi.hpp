// The Python glue every binding uses: owned and borrowed references, truth
// and comparison with the interpreter's semantics, numbers, argument
// unpacking, interned keys, builtin lookup and printing.  Everything here
// runs with the interpreter lock held and reports a Python error by throwing
// py::error_already_set.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "gil.hpp"

namespace py = pybind11;

namespace corvane {

// ---- references -------------------------------------------------------------

// Throws the pending Python error.
[[noreturn]] inline void raise() { throw py::error_already_set(); }

// Raises `type` with a message.
[[noreturn]] inline void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    raise();
}

// Takes over a new reference; a null one means a pending error.
inline py::object steal(PyObject *o) {
    if (!o) raise();
    return py::reinterpret_steal<py::object>(o);
}

// A new reference to a borrowed one (which must not be null).
inline py::object borrow(PyObject *o) { return py::reinterpret_borrow<py::object>(o); }
// The same, or a null object for a null pointer.
inline py::object borrow_or_null(PyObject *o) { return o ? borrow(o) : py::object(); }

// ---- truth and comparison ---------------------------------------------------

inline bool truth(py::handle o) {
    const int r = PyObject_IsTrue(o.ptr());
    if (r < 0) raise();
    return r != 0;
}

// a <op> b as the interpreter's `if a <op> b` decides it.
inline bool compare(py::handle a, py::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) raise();
    return r != 0;
}
inline bool equal(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }
inline bool less(py::handle a, py::handle b) { return compare(a, b, Py_LT); }

// x in container
inline bool contains(py::handle container, py::handle x) {
    const int r = PySequence_Contains(container.ptr(), x.ptr());
    if (r < 0) raise();
    return r != 0;
}

// tuple(sorted((a, b))) of two values: swapped only when b < a.
inline py::tuple sorted_pair(py::handle a, py::handle b) {
    if (compare(b, a, Py_LT)) return py::make_tuple(b, a);
    return py::make_tuple(a, b);
}

// ---- numbers ----------------------------------------------------------------

// float(o) as a C double.
inline double as_double(py::handle o) {
    const double d = PyFloat_AsDouble(o.ptr());
    if (d == -1.0 && PyErr_Occurred()) raise();
    return d;
}

// operator.index(o) as a C long long (OverflowError when out of range).
inline long long as_index(py::handle o) {
    py::object i = steal(PyNumber_Index(o.ptr()));
    const long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) raise();
    return v;
}

inline py::object int_(long long v) { return steal(PyLong_FromLongLong(v)); }

// ---- keys and items ---------------------------------------------------------

// The interned str of a key literal, created once and kept for the life of
// the process.
PyObject *interned(const char *s);

// obj[key]
inline py::object item(py::handle obj, PyObject *key) { return steal(PyObject_GetItem(obj.ptr(), key)); }
inline py::object item(py::handle obj, const char *key) { return item(obj, interned(key)); }
// obj[i]
inline py::object at(py::handle obj, Py_ssize_t i) {
    py::object k = steal(PyLong_FromSsize_t(i));
    return steal(PyObject_GetItem(obj.ptr(), k.ptr()));
}

// d.get(k) of an exact dict: borrowed, or null when absent (an unhashable
// key raises).
inline PyObject *dict_get(py::handle d, py::handle k) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), k.ptr());
    if (!v && PyErr_Occurred()) raise();
    return v;
}

// record.get(key, dflt), read directly from an exact dict.
inline py::object get_or(py::handle record, const char *key, py::handle dflt) {
    if (PyDict_CheckExact(record.ptr())) {
        PyObject *v = dict_get(record, interned(key));
        return borrow(v ? v : dflt.ptr());
    }
    return record.attr("get")(borrow(interned(key)), dflt);
}

// ---- unpacking --------------------------------------------------------------

// `a, b, ... = obj` for `expected` targets, with the interpreter's messages.
std::vector<py::object> unpack(py::handle obj, std::size_t expected);

template <std::size_t N>
std::array<py::object, N> unpack(py::handle obj) {
    std::vector<py::object> v = unpack(obj, N);
    std::array<py::object, N> out;
    for (std::size_t i = 0; i < N; ++i) out[i] = std::move(v[i]);
    return out;
}

// ---- text -------------------------------------------------------------------

// UTF-8 text of a str; lone surrogates survive the round trip.
std::string utf8(py::handle s);
// A str from UTF-8 text (the inverse of utf8).
py::str str_of(const std::string &s);
// str(obj) as UTF-8.
std::string str_text(py::handle obj);
// format(obj, spec) as UTF-8.
std::string formatted(py::handle obj, const char *spec);
// The text an f-string puts in place of `obj`.
std::string fstring_text(py::handle obj);
// repr(obj) as UTF-8.
std::string repr_text(py::handle obj);

// ---- names ------------------------------------------------------------------

// A builtin as a function body finds it (NameError when there is none).
py::object builtin(const char *name);

// The interpreter's print as a function body of this module finds it: a
// module-level `print` first, else the builtin.
py::object printer();

// print(line)
void say(const std::string &line);

}  // namespace corvane
