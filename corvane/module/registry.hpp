// The 28 module-level functions, in the order the module defines them.  Each
// subsystem's binding file defines the bodies of its own functions.
#pragma once

#include "function.hpp"

namespace corvane {

enum FnId {
    F_get_period,
    F_angle_diff,
    F_symmetry_classes,
    F_radial_equalize,
    F_pca_align,
    F_enforce_mirror,
    F_compute_atom_layout,
    F_yerlestir_dugumler,
    F_compute_lpi,
    F_detect_soft_bonds,
    F_fragment_formula,
    F_pair_label,
    F_nominal_atom_mass,
    F_nominal_mass,
    F_predict_fragments,
    F_fragment_atom_softs,
    F_cut_atom_set,
    F_predict_fragments_recursive,
    F_build_bond_orders,
    F_plot_mass_spectrum,
    F_VIF,
    F_fetch_smiles_from_pubchem,
    F_VIF_from_pubchem,
    F_VIF_panel,
    F_VIF_ms_panel,
    F_triple_group_demo,
    F_halogen_test,
    F_validate,
    F_COUNT
};

// The module's namespace dict (borrowed); valid once the module has been
// created.
PyObject *module_dict();

// The object currently bound to a module-level name; NameError when unbound.
py::object lookup(const char *name);
py::object lookup(FnId id);

// The module's own function object for `id` (borrowed), and whether the
// module-level name still refers to it.
py::handle own(FnId id);
bool is_own(FnId id);

// Raises NotImplementedError naming a function that is not built yet.
[[noreturn]] void not_implemented(const char *name);

namespace layout {
py::object get_period(const Args &);
py::object angle_diff(const Args &);
py::object symmetry_classes(const Args &);
py::object radial_equalize(const Args &);
py::object pca_align(const Args &);
py::object enforce_mirror(const Args &);
py::object compute_atom_layout(const Args &);
py::object yerlestir_dugumler(const Args &);
}  // namespace layout

namespace vif {
py::object compute_lpi(const Args &);
py::object detect_soft_bonds(const Args &);
py::object build_bond_orders(const Args &);
py::object VIF(const Args &);
}  // namespace vif

namespace ms {
py::object fragment_formula(const Args &);
py::object pair_label(const Args &);
py::object nominal_atom_mass(const Args &);
py::object nominal_mass(const Args &);
py::object predict_fragments(const Args &);
py::object fragment_atom_softs(const Args &);
py::object cut_atom_set(const Args &);
py::object predict_fragments_recursive(const Args &);
py::object plot_mass_spectrum(const Args &);
}  // namespace ms

namespace pubchem {
py::object fetch_smiles_from_pubchem(const Args &);
py::object VIF_from_pubchem(const Args &);
}  // namespace pubchem

namespace suites {
py::object VIF_panel(const Args &);
py::object VIF_ms_panel(const Args &);
py::object triple_group_demo(const Args &);
py::object halogen_test(const Args &);
py::object validate(const Args &);
}  // namespace suites

}  // namespace corvane
