// Reference data bound at import: molecule lists, expected signatures and
// peaks, and the PubChem address.  The named SMILES constants live in the
// function table (api_table.py).
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace corvane::tables {

py::str pubchem_rest();
py::list biomolecules();
py::list halogen_tests();
py::list lpi_references();
py::list ms_references();

}  // namespace corvane::tables
