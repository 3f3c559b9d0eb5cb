// The corvane_spectra._core extension: readers, scoring and library search.
// Each area binds its own functions; this file only puts them together.
#include <pybind11/pybind11.h>

#include "../../corvane/module/gil.hpp"

namespace py = pybind11;

namespace corvane::spectra {
void bind_io(py::module_ &m);
void bind_score(py::module_ &m);
void bind_trees(py::module_ &m);
void bind_candidates(py::module_ &m);
}  // namespace corvane::spectra

PYBIND11_MODULE(_core, m) {
    m.doc() = "C++ core of corvane_spectra: spectrum readers, scoring and library search.";
    corvane::gil::install_exit_hook();
    corvane::spectra::bind_io(m);
    corvane::spectra::bind_score(m);
    corvane::spectra::bind_trees(m);
    corvane::spectra::bind_candidates(m);
}
