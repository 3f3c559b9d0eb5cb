// Binding of the candidate atom sets of the scored spectrum (cand_core).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "cand_core.hpp"

namespace py = pybind11;

namespace corvane::spectra {

namespace {

using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using U8 = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

template <typename T>
py::array_t<T> to_array(const std::vector<T> &v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::tuple atom_sets(std::size_t n_atoms, const I64 &bond_u, const I64 &bond_v, const U8 &bond_in_ring,
                    const I64 &main_atoms, const I64 &ring_atoms, const I64 &ring_start) {
    const py::ssize_t nb = bond_u.size();
    if (bond_v.size() != nb || bond_in_ring.size() != nb)
        throw py::value_error("bond_u, bond_v and bond_in_ring need one entry per bond");
    if (ring_start.size() < 1) throw py::value_error("ring_start needs n_rings + 1 entries");
    const std::size_t n_rings = static_cast<std::size_t>(ring_start.size() - 1);
    if (ring_start.data()[n_rings] != ring_atoms.size())
        throw py::value_error("ring_start must end at the number of ring atoms");
    const AtomSetInput in{n_atoms,
                          bond_u.data(),
                          bond_v.data(),
                          bond_in_ring.data(),
                          static_cast<std::size_t>(nb),
                          main_atoms.data(),
                          static_cast<std::size_t>(main_atoms.size()),
                          ring_atoms.data(),
                          ring_start.data(),
                          n_rings};
    // The lock stays held: the inputs may be the caller's own arrays, which another
    // thread could write while they are read (a molecule takes microseconds).
    AtomSets sets;
    const std::string bad = enumerate_atom_sets(in, sets);
    if (!bad.empty()) throw py::value_error(bad);
    py::array_t<bool> S({static_cast<py::ssize_t>(sets.size()), static_cast<py::ssize_t>(n_atoms)});
    atom_set_matrix(sets, n_atoms, reinterpret_cast<std::uint8_t *>(S.mutable_data()));
    return py::make_tuple(S, to_array(sets.mode), to_array(sets.label_a), to_array(sets.label_b),
                          to_array(sets.generation), to_array(sets.bridges), to_array(sets.bridge_sets),
                          to_array(sets.ring_side_a), to_array(sets.ring_side_b));
}

}  // namespace

void bind_candidates(py::module_ &m) {
    m.def("atom_sets", &atom_sets, py::arg("n_atoms"), py::arg("bond_u"), py::arg("bond_v"), py::arg("bond_in_ring"),
          py::arg("main_atoms"), py::arg("ring_atoms"), py::arg("ring_start"),
          "The candidate atom sets of a molecule's main component (see corvane_spectra.scored): "
          "(S, mode, label_a, label_b, generation, bridges, bridge_sets, ring_side_a, ring_side_b), "
          "S a sets x atoms bool matrix.");
}

}  // namespace corvane::spectra
