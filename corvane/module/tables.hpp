// Reference data bound at import: molecule lists, expected signatures and
// peaks, named SMILES strings and the PubChem address.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>
#include <vector>

namespace py = pybind11;

namespace corvane::tables {

py::str pubchem_rest();
py::list biomolecules();
py::list halogen_tests();
py::list lpi_references();
py::list ms_references();
// (name, SMILES) in binding order.
const std::vector<std::pair<const char *, const char *>> &named_molecules();
// (alias, name of the constant it copies) in binding order.
const std::vector<std::pair<const char *, const char *>> &aliases();

}  // namespace corvane::tables
