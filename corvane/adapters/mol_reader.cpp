#include "mol_reader.hpp"

#include <algorithm>

namespace corvane::mol {

namespace {

// Whether `mol` is exactly an RDKit Mol, whose atoms and bonds can be read by
// index.
bool is_plain_mol(py::handle mol) {
    static PyObject *mol_type = [] {
        py::object t = py::module_::import("rdkit.Chem.rdchem").attr("Mol");
        return t.release().ptr();
    }();
    return Py_IS_TYPE(mol.ptr(), reinterpret_cast<PyTypeObject *>(mol_type));
}

}  // namespace

std::vector<py::object> mol_items(py::handle mol, bool bonds) {
    std::vector<py::object> out;
    if (is_plain_mol(mol)) {
        const long long n = as_index(mol.attr(bonds ? "GetNumBonds" : "GetNumAtoms")());
        py::object get = mol.attr(bonds ? "GetBondWithIdx" : "GetAtomWithIdx");
        out.reserve(static_cast<std::size_t>(std::max(0LL, n)));
        for (long long i = 0; i < n; ++i) out.push_back(get(int_(i)));
        return out;
    }
    for (py::handle x : mol.attr(bonds ? "GetBonds" : "GetAtoms")()) out.push_back(py::reinterpret_borrow<py::object>(x));
    return out;
}

std::optional<MolInfo> read_mol_info(py::handle mol) {
    if (!is_plain_mol(mol)) return std::nullopt;
    MolInfo info;
    const long long n = as_index(mol.attr("GetNumAtoms")());
    const long long nb = as_index(mol.attr("GetNumBonds")());
    if (n < 0 || nb < 0) return std::nullopt;
    const auto n_atoms = static_cast<std::size_t>(n);
    auto call1 = [](PyObject *fn, py::handle self) { return steal(PyObject_CallOneArg(fn, self.ptr())); };
    py::object get_atom = mol.attr("GetAtomWithIdx"), get_bond = mol.attr("GetBondWithIdx");
    // Unbound accessors of the atom and bond types: no bound method per call.
    py::object GetSymbol, GetAtomicNum, GetIsotope, GetMass, GetNeighbors, GetIdx;
    for (long long i = 0; i < n; ++i) {
        py::object atom = get_atom(int_(i));
        if (!GetSymbol) {
            py::handle t = reinterpret_cast<PyObject *>(Py_TYPE(atom.ptr()));
            GetSymbol = t.attr("GetSymbol");
            GetAtomicNum = t.attr("GetAtomicNum");
            GetIsotope = t.attr("GetIsotope");
            GetMass = t.attr("GetMass");
            GetNeighbors = t.attr("GetNeighbors");
            GetIdx = t.attr("GetIdx");
        }
        info.symbol.push_back(call1(GetSymbol.ptr(), atom));
        info.atomic_num.push_back(call1(GetAtomicNum.ptr(), atom));
        info.isotope.push_back(call1(GetIsotope.ptr(), atom));
        info.mass.push_back(as_double(call1(GetMass.ptr(), atom)));
        std::vector<long> nbs;
        for (py::handle x : call1(GetNeighbors.ptr(), atom)) {
            const long long j = as_index(call1(GetIdx.ptr(), x));
            if (j < 0 || static_cast<std::size_t>(j) >= n_atoms) throw py::index_error("neighbour atom out of range");
            nbs.push_back(static_cast<long>(j));
        }
        info.neighbours.push_back(std::move(nbs));
    }
    py::object GetBeginAtomIdx, GetEndAtomIdx, GetBondTypeAsDouble;
    for (long long i = 0; i < nb; ++i) {
        py::object bond = get_bond(int_(i));
        if (!GetBeginAtomIdx) {
            py::handle t = reinterpret_cast<PyObject *>(Py_TYPE(bond.ptr()));
            GetBeginAtomIdx = t.attr("GetBeginAtomIdx");
            GetEndAtomIdx = t.attr("GetEndAtomIdx");
            GetBondTypeAsDouble = t.attr("GetBondTypeAsDouble");
        }
        const long long u = as_index(call1(GetBeginAtomIdx.ptr(), bond));
        const long long v = as_index(call1(GetEndAtomIdx.ptr(), bond));
        if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n_atoms || static_cast<std::size_t>(v) >= n_atoms)
            throw py::index_error("bond atom index out of range");
        info.bonds.emplace_back(static_cast<long>(u), static_cast<long>(v));
        info.bond_type.push_back(as_double(call1(GetBondTypeAsDouble.ptr(), bond)));
    }
    return info;
}

namespace {
thread_local PyObject *hint_mol = nullptr;
thread_local const MolInfo *hint_info = nullptr;
}  // namespace

MolInfoHint::MolInfoHint(py::handle mol, const MolInfo *info) : prev_mol_(hint_mol), prev_info_(hint_info) {
    hint_mol = mol.ptr();
    hint_info = info;
}

MolInfoHint::~MolInfoHint() {
    hint_mol = prev_mol_;
    hint_info = prev_info_;
}

const MolInfo *take_mol_info(py::handle mol) {
    const MolInfo *info = hint_mol == mol.ptr() ? hint_info : nullptr;
    hint_mol = nullptr;
    hint_info = nullptr;
    return info;
}

}  // namespace corvane::mol
