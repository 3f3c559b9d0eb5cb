#include "graph_matrix.hpp"

#include <sched.h>

#include <algorithm>
#include <memory>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "../memory/memory_core.hpp"
#include "../module/blas.hpp"
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
    if (PyDict_GET_SIZE(index.ptr()) == 0 && n > 0) {
        // Nodes equal to a node without being it (True for 1) find their row
        // through a dict lookup, as the graph's own dict finds them.
        py::dict built;
        for (std::size_t i = 0; i < keys.size(); ++i)
            if (PyDict_SetItem(built.ptr(), keys[i].ptr(), int_(static_cast<long long>(i)).ptr()) < 0) raise();
        index = built;
    }
    py::dict held = index;  // a hash or comparison below may replace it
    PyObject *r = PyDict_GetItemWithError(held.ptr(), node.ptr());
    if (!r) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, node.ptr());
        raise();
    }
    const Py_ssize_t i = PyLong_AsSsize_t(r);
    if (i < 0 || static_cast<std::size_t>(i) >= n) {
        PyErr_Clear();
        raise(PyExc_RuntimeError, "node index out of range");
    }
    return static_cast<std::size_t>(i);
}

namespace {

// The graph's `_node` and `_adj` when both are exactly dicts.
bool graph_dicts(py::handle graph, py::object &nodes, py::object &adj) {
    nodes = steal(PyObject_GetAttrString(graph.ptr(), "_node"));
    adj = steal(PyObject_GetAttrString(graph.ptr(), "_adj"));
    return PyDict_CheckExact(nodes.ptr()) && PyDict_CheckExact(adj.ptr());
}

}  // namespace

std::optional<GraphStamp> graph_stamp(py::handle graph) {
    py::object nodes, adj;
    if (!graph_dicts(graph, nodes, adj)) return std::nullopt;
    GraphStamp s;
    s.nodes = PyDict_GET_SIZE(nodes.ptr());
    s.rows = PyDict_GET_SIZE(adj.ptr());
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(adj.ptr(), &pos, &k, &v)) {
        if (!PyDict_CheckExact(v)) return std::nullopt;
        s.entries += PyDict_GET_SIZE(v);
    }
    return s;
}

void check_unchanged(py::handle graph, const GraphStamp &before, const char *what) {
    const std::optional<GraphStamp> now = graph_stamp(graph);
    if (now && *now == before) return;
    std::string msg = std::string("the graph changed while ") + what + ": ";
    if (!now)
        msg += "its node or adjacency dicts were replaced";
    else if (now->nodes != before.nodes)
        msg += "it had " + std::to_string(before.nodes) + " nodes, now " + std::to_string(now->nodes);
    else
        msg += "it had " + std::to_string(before.entries) + " adjacency entries in " + std::to_string(before.rows) +
               " rows, now " + std::to_string(now->entries) + " in " + std::to_string(now->rows);
    raise(PyExc_RuntimeError, msg);
}

void check_dense_size(std::size_t n, std::size_t matrices) {
    // Below this the limits are not worth reading: such a call is over in
    // moments and a failed allocation still raises MemoryError.
    constexpr std::uint64_t kSmall = std::uint64_t{16} << 20;
    const std::uint64_t need = memory::dense_bytes(n, matrices);
    if (need < kSmall) return;
    const std::optional<memory::Headroom> room = memory::headroom(memory::read_limits(), memory::read_usage());
    if (!room || need <= room->bytes) return;
    char msg[320];
    std::snprintf(msg, sizeof msg,
                  "a graph of %zu nodes needs %zu dense %zu x %zu matrices at once (%.2f GB), more than the %.2f GB "
                  "this process may still take (%s %.2f GB, %.2f GB of it in use)",
                  n, matrices, n, n, static_cast<double>(need) / 1e9, static_cast<double>(room->bytes) / 1e9,
                  room->limit_name, static_cast<double>(room->limit) / 1e9, static_cast<double>(room->used) / 1e9);
    PyErr_SetString(PyExc_MemoryError, msg);
    throw py::error_already_set();
}

lpi::Decompose lapack_eigh() {
    const blas::Dsyevd f = blas::dsyevd();
    if (!f) return numpy_eigh();
    return [f](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        if (n == 0) return false;
        // Not while the process exits: OpenBLAS frees its buffers then.
        gil::LibraryCall inside;
        const long long nn = static_cast<long long>(n);
        // Symmetric: the row-major matrix is its own column-major copy.
        std::vector<double> m(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(n * n));
        w.assign(n, 0.0);
        long long info = 0, lwork = -1, liwork = -1, iw = 0;
        double wq = 0.0;
        f("V", "L", &nn, m.data(), &nn, w.data(), &wq, &lwork, &iw, &liwork, &info, 1, 1);
        if (info != 0) return false;
        lwork = static_cast<long long>(wq);
        liwork = iw;
        // Workspaces LAPACK writes before it reads: left uninitialised (the
        // real one is about 2 n^2 doubles).
        std::unique_ptr<double[]> work(new double[static_cast<std::size_t>(std::max<long long>(lwork, 1))]);
        std::unique_ptr<long long[]> iwork(new long long[static_cast<std::size_t>(std::max<long long>(liwork, 1))]);
        {
            // Always one thread: the callers run several of these at once.
            blas::OneThread one;
            f("V", "L", &nn, m.data(), &nn, w.data(), work.get(), &lwork, iwork.get(), &liwork, &info, 1, 1);
        }
        if (info != 0) return false;
        // Column k of the column-major result is the vector of w[k]: entry
        // (i, k) at m[k * n + i]; q wants it row-major.
        q.resize(n * n);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t i = 0; i < n; ++i) q[i * n + k] = m[k * n + i];
        return true;
    };
}

std::size_t usable_cores() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int c = CPU_COUNT(&set);
        if (c > 0) return static_cast<std::size_t>(c);
    }
    const unsigned h = std::thread::hardware_concurrency();
    return h ? h : 1;
}

lpi::Decompose numpy_eigh() {
    return [](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        gil::Acquire held;
        // Work that decomposes matrix after matrix (the soft-bond trials, the
        // fragment cascade) stops here on Ctrl-C.
        if (PyErr_CheckSignals() < 0) raise();
        try {
            py::array_t<double> A = to_array(a.data(), n);
            py::tuple res;
            {
                blas::OneThread one(n);
                res = lookup("np").attr("linalg").attr("eigh")(A);
            }
            if (res.size() != 2) return false;
            py::array_t<double, py::array::c_style | py::array::forcecast> ev(res[0]), vec(res[1]);
            if (static_cast<std::size_t>(ev.size()) != n || static_cast<std::size_t>(vec.size()) != n * n)
                return false;
            w.assign(ev.data(), ev.data() + n);
            q.assign(vec.data(), vec.data() + n * n);
            return true;
        } catch (py::error_already_set &e) {
            // KeyboardInterrupt and SystemExit (a signal handler run by
            // numpy's Python code) end the work; numpy's errors do not.
            if (!e.matches(PyExc_Exception)) throw;
            return false;
        }
    };
}

std::optional<DenseGraph> read_dense(py::handle graph, py::handle weight, std::size_t matrices) {
    py::object nodes, adj;
    if (!graph_dicts(graph, nodes, adj)) return std::nullopt;
    DenseGraph g;
    // First the dicts are copied out (owned references; no Python code runs
    // while they are walked), then the copies are read.
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    g.keys.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(nodes.ptr())));
    while (PyDict_Next(nodes.ptr(), &pos, &k, &v)) g.keys.push_back(borrow(k));
    g.n = g.keys.size();
    struct Entry {
        py::object u, v, data;
    };
    std::vector<Entry> entries;
    pos = 0;
    while (PyDict_Next(adj.ptr(), &pos, &k, &v)) {
        if (!PyDict_CheckExact(v)) return std::nullopt;
        Py_ssize_t pos2 = 0;
        PyObject *k2, *v2;
        while (PyDict_Next(v, &pos2, &k2, &v2)) {
            if (!PyDict_CheckExact(v2)) return std::nullopt;
            entries.push_back({borrow(k), borrow(k2), borrow(v2)});
        }
    }
    g.stamp.nodes = PyDict_GET_SIZE(nodes.ptr());
    g.stamp.rows = PyDict_GET_SIZE(adj.ptr());
    g.stamp.entries = static_cast<Py_ssize_t>(entries.size());
    check_dense_size(g.n, matrices);
    // Node integers 0..n-1 in insertion order need no index map.
    for (std::size_t i = 0; i < g.n && g.identity; ++i) {
        PyObject *key = g.keys[i].ptr();
        g.identity = PyLong_CheckExact(key) && PyLong_AsSsize_t(key) == static_cast<Py_ssize_t>(i);
        PyErr_Clear();
    }
    g.a.assign(g.n * g.n, 0.0);
    for (const Entry &e : entries) {
        const std::size_t r = g.row(e.u), c = g.row(e.v);
        double w = 1.0;
        if (!weight.is_none()) {
            py::object x = borrow_or_null(dict_get(e.data, weight));
            if (x) w = as_double(x);
        }
        g.a[r * g.n + c] = w;
    }
    // A weight's __float__ or a node's __hash__ may have changed the graph.
    check_unchanged(graph, g.stamp, "its matrix was read");
    return g;
}

DenseGraph dense_adjacency(py::handle graph, py::handle weight, std::size_t matrices) {
    std::optional<DenseGraph> g = read_dense(graph, weight, matrices);
    if (!g) raise(PyExc_TypeError, "the graph's node, adjacency and edge data must be dicts");
    return std::move(*g);
}

py::array_t<double> adjacency(py::handle graph, py::handle weight, std::size_t matrices) {
    std::optional<DenseGraph> g;
    if (is_plain_graph(graph)) g = read_dense(graph, weight, matrices);
    if (!g) {
        // Other graph types, and dicts replaced by other objects: networkx
        // reads them (and says what is wrong with them).
        check_dense_size(static_cast<std::size_t>(py::cast<py::ssize_t>(graph.attr("number_of_nodes")())), matrices);
        return py::array_t<double>(lookup("nx").attr("to_numpy_array")(graph, py::arg("weight") = weight));
    }
    return to_array(g->a.data(), g->n);
}

lpi::SignCounts eigvalsh_counts(const double *a, std::size_t n, double tol) {
    py::array_t<double> A = to_array(a, n);
    py::array_t<double, py::array::c_style | py::array::forcecast> ev;
    {
        blas::OneThread one(n);
        ev = lookup("np").attr("linalg").attr("eigvalsh")(A);
    }
    return lpi::count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
}

lpi::ExactCounts exact_counts(double tol) {
    return [tol](const std::vector<double> &a, std::size_t k) {
        gil::Acquire held;
        if (PyErr_CheckSignals() < 0) raise();
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
