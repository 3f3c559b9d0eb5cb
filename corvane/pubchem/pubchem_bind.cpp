#include "../module/registry.hpp"

namespace corvane::pubchem {

py::object fetch_smiles_from_pubchem(const Args &) { not_implemented("fetch_smiles_from_pubchem"); }
py::object VIF_from_pubchem(const Args &) { not_implemented("VIF_from_pubchem"); }

}  // namespace corvane::pubchem
