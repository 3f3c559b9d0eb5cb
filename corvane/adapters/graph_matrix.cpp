#include "graph_matrix.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "../module/registry.hpp"

namespace corvane::graph {

py::array_t<double> to_array(const double *a, std::size_t n) {
    const auto m = static_cast<py::ssize_t>(n);
    py::array_t<double> A({m, m});
    std::copy(a, a + n * n, A.mutable_data());
    return A;
}

bool is_plain_graph(py::handle graph) {
    static PyObject *type = [] {
        py::object t = py::module_::import("networkx").attr("Graph");
        return t.release().ptr();
    }();
    return Py_IS_TYPE(graph.ptr(), reinterpret_cast<PyTypeObject *>(type));
}

std::size_t DenseGraph::row(py::handle node) const {
    if (identity && PyLong_CheckExact(node.ptr())) {
        Py_ssize_t r = PyLong_AsSsize_t(node.ptr());
        if (r >= 0 && static_cast<std::size_t>(r) < n) return static_cast<std::size_t>(r);
        PyErr_Clear();
    }
    if (index.size() != n) {
        // Nodes equal to an int without being one (True, 1.0) find their row
        // through the graph's own dict lookup.
        index = py::dict();
        std::size_t i = 0;
        for (auto it : nodes) index[it.first] = py::int_(i++);
    }
    return index[node].cast<std::size_t>();
}

void check_dense_size(std::size_t n) {
    static const double limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) / 4.0 : 4.0e9;
    }();
    const double bytes = static_cast<double>(n) * static_cast<double>(n) * 8.0;
    if (bytes <= limit) return;
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "a graph of %zu nodes needs a dense %zu x %zu matrix of %.1f GB, more than a quarter of the "
                  "physical memory (%.1f GB)",
                  n, n, n, bytes / 1e9, limit * 4.0 / 1e9);
    PyErr_SetString(PyExc_MemoryError, msg);
    throw py::error_already_set();
}

lpi::Decompose numpy_eigh() {
    return [](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        gil::Acquire held;
        try {
            py::array_t<double> A = to_array(a.data(), n);
            py::tuple res = lookup("np").attr("linalg").attr("eigh")(A);
            if (res.size() != 2) return false;
            py::array_t<double, py::array::c_style | py::array::forcecast> ev(res[0]), vec(res[1]);
            if (static_cast<std::size_t>(ev.size()) != n || static_cast<std::size_t>(vec.size()) != n * n)
                return false;
            w.assign(ev.data(), ev.data() + n);
            q.assign(vec.data(), vec.data() + n * n);
            return true;
        } catch (py::error_already_set &) {
            return false;
        }
    };
}

DenseGraph dense_adjacency(py::handle graph, py::handle weight) {
    DenseGraph g;
    py::dict nodes = graph.attr("_node");
    py::dict adj = graph.attr("_adj");
    g.nodes = nodes;
    g.n = static_cast<std::size_t>(nodes.size());
    check_dense_size(g.n);
    // Node integers 0..n-1 in insertion order need no index map.
    std::size_t i = 0;
    for (auto it : nodes) {
        PyObject *k = it.first.ptr();
        if (!PyLong_CheckExact(k) || PyLong_AsSsize_t(k) != static_cast<Py_ssize_t>(i++)) {
            PyErr_Clear();
            g.identity = false;
            break;
        }
    }
    g.a.assign(g.n * g.n, 0.0);
    for (auto row : adj) {
        const std::size_t r = g.row(row.first);
        for (auto entry : py::reinterpret_borrow<py::dict>(row.second)) {
            double w = 1.0;
            if (!weight.is_none()) {
                PyObject *v = PyDict_GetItemWithError(entry.second.ptr(), weight.ptr());
                if (v) {
                    w = as_double(v);
                } else if (PyErr_Occurred()) {
                    throw py::error_already_set();
                }
            }
            g.a[r * g.n + g.row(entry.first)] = w;
        }
    }
    return g;
}

py::array_t<double> adjacency(py::handle graph, py::handle weight) {
    if (!is_plain_graph(graph)) {
        check_dense_size(static_cast<std::size_t>(py::cast<py::ssize_t>(graph.attr("number_of_nodes")())));
        return py::array_t<double>(lookup("nx").attr("to_numpy_array")(graph, py::arg("weight") = weight));
    }
    DenseGraph g = dense_adjacency(graph, weight);
    return to_array(g.a.data(), g.n);
}

lpi::SignCounts eigvalsh_counts(const double *a, std::size_t n, double tol) {
    py::array_t<double> A = to_array(a, n);
    py::array_t<double, py::array::c_style | py::array::forcecast> ev =
        lookup("np").attr("linalg").attr("eigvalsh")(A);
    return lpi::count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
}

lpi::ExactCounts exact_counts(double tol) {
    return [tol](const std::vector<double> &a, std::size_t k) {
        gil::Acquire held;
        return eigvalsh_counts(a.data(), k, tol);
    };
}

EdgeTrials::EdgeTrials(py::handle graph)
    : graph_(graph),
      has_edge_(graph.attr("has_edge")),
      remove_edge_(graph.attr("remove_edge")),
      add_edge_(graph.attr("add_edge")) {}

py::object EdgeTrials::weight_of(py::handle u, py::handle v) {
    return graph_[u][v].attr("get")(py::handle(interned("weight")), py::float_(1.0));
}

void EdgeTrials::restore(py::handle u, py::handle v, py::handle w) { add_edge_(u, v, py::arg("weight") = w); }

}  // namespace corvane::graph
