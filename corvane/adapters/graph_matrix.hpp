// networkx graphs as dense matrices, and numpy's symmetric eigen-solvers as
// the LPI algebra needs them: the adjacency matrix of a graph in its node
// order, the row of each node, eigen-decompositions and exact sign counts
// through numpy, and the plain trial cut of one edge through the graph's own
// methods.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>
#include <optional>
#include <vector>

#include "../lpi/lpi_core.hpp"
#include "../module/pyapi.hpp"

namespace corvane::graph {

// Whether `graph` is exactly a networkx Graph (not a subclass), whose
// `_node` and `_adj` dicts can be read and filled directly.
bool is_plain_graph(py::handle graph);

// Raises MemoryError when `matrices` dense n x n float64 matrices, what the
// calling function holds at once at its peak, would not fit in the memory the
// process may still take (the smallest of physical memory, its cgroup limits
// and its RLIMIT_AS / RLIMIT_DATA, less what it already uses); called before
// allocating the first of them.
void check_dense_size(std::size_t n, std::size_t matrices);

// Dense n x n matrices numpy's solvers hold on top of their caller's own
// matrix (peak resident sizes measured with numpy 2 agree).  numpy_eigh: the
// array handed to numpy (1), eigh's copy of it for LAPACK (1), the
// eigenvectors (1) and syevd's workspace of 2 n^2 + 6 n doubles (2).
// eigvalsh_counts, and compute_lpi's array: the array (1) and eigvalsh's copy
// of it (1); its workspace is O(n).
inline constexpr std::size_t kEighMatrices = 5;
inline constexpr std::size_t kEigvalshMatrices = 2;

// The size of a plain graph's dicts: nodes, adjacency rows and adjacency
// entries (each undirected edge counts twice, a self-loop once).  Read
// without running any Python code; nullopt when the graph's `_node` or
// `_adj` (or one of its rows) is not exactly a dict.
struct GraphStamp {
    Py_ssize_t nodes = 0, rows = 0, entries = 0;
    bool operator==(const GraphStamp &o) const {
        return nodes == o.nodes && rows == o.rows && entries == o.entries;
    }
};
std::optional<GraphStamp> graph_stamp(py::handle graph);

// Raises RuntimeError naming what changed when the graph no longer has the
// size it had before Python code ran in the middle of a call (`what` names
// the call's work, e.g. "its matrix was read").
void check_unchanged(py::handle graph, const GraphStamp &before, const char *what);

// The weighted adjacency matrix of a plain nx.Graph as a row-major vector,
// with the row of each node: `row(node)` is valid for every node the graph
// had when it was read (KeyError for any other).  A missing weight counts 1.
// Everything is owned: node keys and weights are copied out of the graph's
// dicts before any Python code (a weight's __float__, a node's __hash__)
// runs, so a graph changed by that code is detected, never read.
struct DenseGraph {
    std::vector<double> a;
    std::size_t n = 0;
    bool identity = true;    // nodes are the ints 0 .. n-1 in this order
    GraphStamp stamp;        // the graph's size when it was read
    std::vector<py::object> keys;  // the nodes in row order
    mutable py::dict index;  // node -> row, built on first need
    std::size_t row(py::handle node) const;
};
// nullopt when the graph's dicts (down to each edge's data) are not exactly
// dicts: such a graph is read through networkx instead.
// `matrices` is the caller's peak count of such matrices, for check_dense_size.
std::optional<DenseGraph> read_dense(py::handle graph, py::handle weight, std::size_t matrices);
// The same for callers that need the matrix: a TypeError for such a graph.
DenseGraph dense_adjacency(py::handle graph, py::handle weight, std::size_t matrices);

// The dense weighted adjacency matrix of any networkx graph in its node
// order, as nx.to_numpy_array(graph, weight=weight) builds it.  Plain
// nx.Graph objects are read directly.  `matrices` as for dense_adjacency.
py::array_t<double> adjacency(py::handle graph, py::handle weight, std::size_t matrices);

// An n x n row-major matrix as a new numpy array.
py::array_t<double> to_array(const double *a, std::size_t n);

// Sign counts of a symmetric n x n matrix from numpy's eigvalsh, exactly as
// compute_lpi forms them.  Needs the interpreter lock.
lpi::SignCounts eigvalsh_counts(const double *a, std::size_t n, double tol);

// The same, callable from work that runs without the interpreter lock (it
// takes the lock for the call).
lpi::ExactCounts exact_counts(double tol);

// Symmetric eigen-decomposition by numpy.linalg.eigh, callable from work that
// runs without the interpreter lock (it takes the lock for the call).  A
// numpy error gives false, and the caller counts each trial on its own.
lpi::Decompose numpy_eigh();

// The same decomposition through numpy's LAPACK called directly: no
// interpreter lock, any thread; numpy_eigh() when that LAPACK is not to be
// had.  Only for counts checked against rounding margins.
lpi::Decompose lapack_eigh();

// Cores this process may run on (its CPU affinity), at least one: the
// threads the sign counts spread over.
std::size_t usable_cores();

// Trial cuts of single edges made through the graph's own methods: the edge
// is removed, the measure taken and the edge put back with its weight (also
// when the measure raises).
class EdgeTrials {
public:
    explicit EdgeTrials(py::handle graph);
    // The measure of the graph without the edge u-v, or a null object when
    // the graph has no such edge.
    template <class Measure>
    py::object cut(py::handle u, py::handle v, Measure &&measure) {
        if (!truth(has_edge_(u, v))) return py::object();
        py::object w = weight_of(u, v);
        remove_edge_(u, v);
        py::object result;
        try {
            result = measure();
        } catch (...) {
            try {
                restore(u, v, w);
            } catch (py::error_already_set &) {
            }
            throw;
        }
        restore(u, v, w);
        return result;
    }

private:
    py::object weight_of(py::handle u, py::handle v);
    void restore(py::handle u, py::handle v, py::handle w);
    py::handle graph_;
    py::object has_edge_, remove_edge_, add_edge_;
};

}  // namespace corvane::graph
