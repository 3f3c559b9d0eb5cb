// Binding helpers of the VIF graph that other subsystems' bindings use.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <utility>
#include <vector>

#include "vif_core.hpp"

namespace py = pybind11;

namespace corvane::vif {

// The dense weighted adjacency matrix of a networkx graph in its node order,
// as nx.to_numpy_array(graph, weight=weight) builds it (a missing weight
// counts 1).  Plain nx.Graph objects are read directly.
py::array_t<double> adjacency(py::handle graph, py::handle weight);

// Whether `graph` is exactly a networkx Graph (not a subclass), whose
// `_node` and `_adj` dicts can be read and filled directly.
bool is_plain_graph(py::handle graph);

// The same matrix of a plain nx.Graph as a row-major vector, with the row of
// each node: `row(node)` is valid for every node of the graph.
struct DenseGraph {
    std::vector<double> a;
    std::size_t n = 0;
    bool identity = true;   // nodes are the ints 0 .. n-1 in this order
    py::dict nodes;         // the graph's node dict
    mutable py::dict index;  // node -> row, built on first need
    std::size_t row(py::handle node) const;
};
DenseGraph dense_adjacency(py::handle graph, py::handle weight);

// Raises MemoryError when a dense n x n float64 matrix would take more than a
// quarter of the machine's physical memory; called before allocating one.
void check_dense_size(std::size_t n);

// The atoms (bonds = false) or bonds of an RDKit molecule in index order, as
// iterating mol.GetAtoms() / mol.GetBonds() yields them; a plain Mol is read
// by index, which skips the per-item Python wrapper of those sequences.
std::vector<py::object> mol_items(py::handle mol, bool bonds);

// What VIF asks RDKit about the atoms and bonds of its molecule, asked once
// per call and shared by the phases that run as the module's own code (each
// RDKit accessor costs about a microsecond).  Values are the objects RDKit
// returned, so comparisons and arithmetic stay the interpreter's.
struct MolInfo {
    std::vector<py::object> symbol, atomic_num, isotope;  // per atom
    std::vector<double> mass;                              // per atom: GetMass()
    std::vector<std::vector<long>> neighbours;             // per atom, in RDKit's order
    std::vector<std::pair<long, long>> bonds;              // (begin, end), in bond order
    std::vector<double> bond_type;                         // per bond: GetBondTypeAsDouble()
};

// Reads a plain RDKit Mol; nullopt for any other object (whose accessors are
// then asked one by one where they are needed).
std::optional<MolInfo> read_mol_info(py::handle mol);

// While VIF hands its molecule to one of the module's own functions, the
// molecule as VIF read it.  The called function takes it, once, when it was
// given that very molecule; nested calls see nothing.
class MolInfoHint {
public:
    MolInfoHint(py::handle mol, const MolInfo *info);
    ~MolInfoHint();
    MolInfoHint(const MolInfoHint &) = delete;
    MolInfoHint &operator=(const MolInfoHint &) = delete;

private:
    PyObject *prev_mol_;
    const MolInfo *prev_info_;
};
const MolInfo *take_mol_info(py::handle mol);

// Symmetric eigen-decomposition by numpy.linalg.eigh, callable from work that
// runs without the GIL (it takes the GIL for the call).  A numpy error gives
// false, and the caller counts each trial on its own.
Decompose numpy_eigh();

}  // namespace corvane::vif
