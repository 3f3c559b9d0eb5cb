#include "pyapi.hpp"

#include <unordered_map>

#include "registry.hpp"

namespace corvane {

PyObject *interned(const char *s) {
    // Keyed by the literal's address; the interpreter lock guards the map.
    static auto *cache = new std::unordered_map<const char *, PyObject *>();
    auto it = cache->find(s);
    if (it != cache->end()) return it->second;
    PyObject *k = PyUnicode_InternFromString(s);
    if (!k) raise();
    cache->emplace(s, k);
    return k;
}

std::vector<py::object> unpack(py::handle obj, std::size_t expected) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
        PyTypeObject *tp = Py_TYPE(obj.ptr());
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !tp->tp_iter && !PySequence_Check(obj.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", tp->tp_name);
        }
        raise();
    }
    py::object iter = steal(it);
    std::vector<py::object> out;
    out.reserve(expected);
    while (out.size() < expected) {
        PyObject *x = PyIter_Next(it);
        if (!x) {
            if (PyErr_Occurred()) raise();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected,
                         out.size());
            raise();
        }
        out.push_back(steal(x));
    }
    if (PyObject *extra = PyIter_Next(it)) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
        raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

std::string utf8(py::handle s) {
    py::object b = steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    char *data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) < 0) raise();
    return std::string(data, static_cast<std::size_t>(size));
}

py::str str_of(const std::string &s) {
    return py::reinterpret_steal<py::str>(
        steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass")).release());
}

std::string str_text(py::handle obj) { return utf8(steal(PyObject_Str(obj.ptr()))); }

std::string formatted(py::handle obj, const char *spec) {
    py::str fmt(spec);
    return utf8(steal(PyObject_Format(obj.ptr(), fmt.ptr())));
}

std::string fstring_text(py::handle obj) {
    if (PyUnicode_CheckExact(obj.ptr())) return utf8(obj);
    return formatted(obj, "");
}

std::string repr_text(py::handle obj) { return utf8(steal(PyObject_Repr(obj.ptr()))); }

py::object builtin(const char *name) {
    PyObject *f = PyDict_GetItemWithError(PyEval_GetBuiltins(), interned(name));
    if (!f) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        raise();
    }
    return borrow(f);
}

py::object printer() {
    PyObject *p = PyDict_GetItemWithError(module_dict(), interned("print"));
    if (!p && PyErr_Occurred()) raise();
    return p ? borrow(p) : builtin("print");
}

void say(const std::string &line) { printer()(str_of(line)); }

}  // namespace corvane
