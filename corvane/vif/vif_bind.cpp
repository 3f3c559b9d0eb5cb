// Python-facing side of the VIF graph: networkx graphs in, LPI records out.
#include <pybind11/numpy.h>

#include "../module/registry.hpp"
#include "vif_bind.hpp"
#include "vif_core.hpp"

namespace corvane::vif {

py::array_t<double> adjacency(py::handle graph, py::handle weight) {
    py::object nx = lookup("nx");
    if (!Py_IS_TYPE(graph.ptr(), reinterpret_cast<PyTypeObject *>(nx.attr("Graph").ptr())))
        return py::array_t<double>(nx.attr("to_numpy_array")(graph, py::arg("weight") = weight));
    py::dict nodes = graph.attr("_node");
    py::dict adj = graph.attr("_adj");
    const py::ssize_t n = static_cast<py::ssize_t>(nodes.size());
    // Node integers 0..n-1 in insertion order need no index map.
    bool identity = true;
    py::ssize_t i = 0;
    for (auto item : nodes) {
        PyObject *k = item.first.ptr();
        if (!PyLong_CheckExact(k) || PyLong_AsSsize_t(k) != i++) {
            PyErr_Clear();
            identity = false;
            break;
        }
    }
    py::dict index;
    if (!identity) {
        i = 0;
        for (auto item : nodes) index[item.first] = py::int_(i++);
    }
    auto idx = [&](py::handle node) -> py::ssize_t {
        if (identity) return PyLong_AsSsize_t(node.ptr());
        return index[node].cast<py::ssize_t>();
    };
    py::array_t<double> A({n, n});
    double *a = A.mutable_data();
    std::fill(a, a + n * n, 0.0);
    for (auto row : adj) {
        py::ssize_t r = idx(row.first);
        for (auto entry : py::reinterpret_borrow<py::dict>(row.second)) {
            double w = 1.0;
            if (!weight.is_none()) {
                PyObject *v = PyDict_GetItemWithError(entry.second.ptr(), weight.ptr());
                if (v) {
                    w = PyFloat_AsDouble(v);
                    if (w == -1.0 && PyErr_Occurred()) throw py::error_already_set();
                } else if (PyErr_Occurred()) {
                    throw py::error_already_set();
                }
            }
            a[r * n + idx(entry.first)] = w;
        }
    }
    return A;
}

py::object compute_lpi(const Args &a) {
    py::handle graph = a[0];
    double tol = py::cast<double>(a[1]);
    py::object np = lookup("np");
    py::dict rec;
    if (py::cast<py::ssize_t>(graph.attr("number_of_nodes")()) == 0) {
        rec["n+"] = 0;
        rec["n0"] = 0;
        rec["n-"] = 0;
        rec["eigenvalues"] = np.attr("array")(py::list());
        return rec;
    }
    py::array_t<double> A = adjacency(graph, a[2]);
    py::array_t<double, py::array::c_style | py::array::forcecast> ev =
        np.attr("linalg").attr("eigvalsh")(A);
    SignCounts c = count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
    rec["n+"] = c.pos;
    rec["n0"] = c.zero;
    rec["n-"] = c.neg;
    rec["eigenvalues"] = ev;
    return rec;
}

py::object detect_soft_bonds(const Args &) { not_implemented("detect_soft_bonds"); }
py::object build_bond_orders(const Args &) { not_implemented("_build_bond_orders"); }
py::object VIF(const Args &) { not_implemented("VIF"); }

}  // namespace corvane::vif
