#include "../module/registry.hpp"

namespace corvane::layout {

py::object get_period(const Args &) { not_implemented("_get_period"); }
py::object angle_diff(const Args &) { not_implemented("_angle_diff"); }
py::object symmetry_classes(const Args &) { not_implemented("_symmetry_classes"); }
py::object radial_equalize(const Args &) { not_implemented("_radial_equalize"); }
py::object pca_align(const Args &) { not_implemented("_pca_align"); }
py::object enforce_mirror(const Args &) { not_implemented("_enforce_mirror"); }
py::object compute_atom_layout(const Args &) { not_implemented("compute_atom_layout"); }
py::object yerlestir_dugumler(const Args &) { not_implemented("_yerlestir_dugumler"); }

}  // namespace corvane::layout
