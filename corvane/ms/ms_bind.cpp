#include "../module/registry.hpp"

namespace corvane::ms {

py::object fragment_formula(const Args &) { not_implemented("_fragment_formula"); }
py::object pair_label(const Args &) { not_implemented("_pair_label"); }
py::object nominal_atom_mass(const Args &) { not_implemented("_nominal_atom_mass"); }
py::object nominal_mass(const Args &) { not_implemented("_nominal_mass"); }
py::object predict_fragments(const Args &) { not_implemented("predict_fragments"); }
py::object fragment_atom_softs(const Args &) { not_implemented("_fragment_atom_softs"); }
py::object cut_atom_set(const Args &) { not_implemented("_cut_atom_set"); }
py::object predict_fragments_recursive(const Args &) { not_implemented("predict_fragments_recursive"); }
py::object plot_mass_spectrum(const Args &) { not_implemented("plot_mass_spectrum"); }

}  // namespace corvane::ms
