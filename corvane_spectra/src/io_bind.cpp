// Bindings of the spectrum readers.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace corvane::spectra {
void bind_io(py::module_ &) {}
}  // namespace corvane::spectra
