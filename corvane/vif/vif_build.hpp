// Building the VIF graph of a SMILES string as interpreter objects: the
// molecule, its networkx graph, chemical-bond records, atom subgraphs and
// node positions.  Used by the VIF driver.
#pragma once

#include <optional>

#include "../adapters/mol_reader.hpp"

namespace corvane::vif {

// Interned strings used as dict keys and attribute values of the VIF graph and
// its records, created once and kept for the life of the process.
struct Names {
    PyObject *u_node = interned("u_node"), *v_node = interned("v_node"), *atom_u = interned("atom_u"),
             *atom_v = interned("atom_v"), *sym_u = interned("sym_u"), *sym_v = interned("sym_v"),
             *order = interned("order"), *k = interned("k"), *symbol = interned("symbol"), *rol = interned("rol"),
             *kind = interned("kind"), *weight = interned("weight"), *sigma = interned("sigma"),
             *pi = interned("pi"), *merkez = interned("Merkez"), *uc = interned("U\xc3\xa7"),
             *n_plus = interned("n+"), *n_zero = interned("n0"), *n_minus = interned("n-"),
             *eigenvalues = interned("eigenvalues");
    PyObject *one = PyFloat_FromDouble(1.0);
};
const Names &names();

struct Built {
    py::object mol, H;
    py::list chem_bonds;
    py::dict atom_subgraphs, pos;
    // The molecule as read while building; reset once code outside the
    // module has been handed the molecule (it may have changed it).
    std::optional<mol::MolInfo> info;
};

// The molecule of `smiles` prepared, laid out and turned into its VIF graph;
// nullopt when the SMILES is unreadable or describes no atom at all.
std::optional<Built> build_vif_graph(py::handle smiles, py::handle n_iter, py::handle target_bond_len,
                                     py::handle radius_ratio, py::handle bond_kappa);

}  // namespace corvane::vif
