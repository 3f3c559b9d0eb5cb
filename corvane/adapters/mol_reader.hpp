// Reading RDKit molecules: their atoms and bonds in index order, and what the
// VIF driver asks RDKit about them, read once per call and shared with the
// module's own functions it hands the molecule to.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "../module/pyapi.hpp"

namespace corvane::mol {

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

}  // namespace corvane::mol
