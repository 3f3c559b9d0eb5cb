// Bindings of scoring and library search.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace corvane::spectra {
void bind_score(py::module_ &) {}
}  // namespace corvane::spectra
