"""The one table of corvane's module-level functions and names.

Every function's name, parameters, defaults, types and one line of
documentation are written here once.  The build runs this file to produce

- the C++ ids, body declarations, parameter lists and defaults of the 28
  functions, and the named SMILES constants (``--ids``, ``--cpp``), and
- the typed stub ``corvane.pyi`` shipped beside the extension (``--stub``).

Run ``python api_table.py --ids FILE --cpp FILE --stub FILE``.
"""
import argparse
import sys
from pathlib import Path

# (parameter, annotation, default); NO marks a required parameter.
NO = object()

# (name, C++ namespace of the body, return annotation, one-line doc, params,
#  name of the **kwargs parameter or None), in registry order.
FUNCTIONS = [
    ("_get_period", "layout", "int", "Period of an element in the periodic table (cached for the module's life).",
     [("symbol", "str", NO)], None),
    ("_angle_diff", "layout", "float", "Smaller angle between two directions, in radians in [0, pi].",
     [("a", "float", NO), ("b", "float", NO)], None),
    ("_symmetry_classes", "layout", "list[int]", "Symmetry rank of every atom; equal for equivalent atoms.",
     [("mol", "Mol", NO)], None),
    ("_radial_equalize", "layout", "None",
     "Puts each symmetry class's atoms at the class's mean distance from its centroid, in place.",
     [("coords", "Coords", NO), ("groups", "Mapping[Any, Sequence[int]]", NO)], None),
    ("_pca_align", "layout", "Coords", "Centres the coordinates in place and returns them on their principal axes.",
     [("coords", "Coords", NO)], None),
    ("_enforce_mirror", "layout", "Coords", "Mirror clean-up across one axis between atoms of the same class.",
     [("coords", "Coords", NO), ("ranks", "Sequence[int]", NO), ("axis", "int", NO), ("eps", "float", 0.05)],
     None),
    ("compute_atom_layout", "layout", "tuple[Coords, list[int]]",
     "Deterministic 2-D atom positions and the symmetry ranks of a molecule.",
     [("mol", "Mol", NO), ("n_iter", "int", 600), ("target_bond_len", "float", 1.5),
      ("repulsion_factor", "float", 1.2), ("k_attr", "float", 0.06), ("k_rep", "float", 0.05)], None),
    ("_yerlestir_dugumler", "layout", "list[float]",
     "Angles of an atom's VIF nodes: its bond directions first, then into the widest gaps.",
     [("n_nodes", "int", NO), ("target_angles", "Sequence[float]", NO)], None),
    ("compute_lpi", "vif", "LpiRecord", "Eigenvalue-sign counts {n+, n0, n-} of a graph's weighted adjacency matrix.",
     [("graph", "Graph", NO), ("tol", "float", 1e-09), ("weight", "str | None", "weight")], None),
    ("detect_soft_bonds", "vif", "list[ChemBond]",
     "The chemical-bond records whose edge can be cut without changing the LPI.",
     [("graph", "Graph", NO), ("chem_bonds", "Sequence[ChemBond]", NO), ("baseline_lpi", "LpiRecord", NO),
      ("tol", "float", 1e-09)], None),
    ("_fragment_formula", "ms", "str", "Element formula of a set of atoms: C first, H second, then by symbol.",
     [("mol", "Mol", NO), ("atom_indices", "Iterable[int]", NO)], None),
    ("_pair_label", "ms", "str", "Label of an atom pair, such as 'C1-Cl2'.",
     [("mol", "Mol", NO), ("i", "int", NO), ("j", "int", NO)], None),
    ("_nominal_atom_mass", "ms", "int", "Mass number of an element's most common isotope (memoised).",
     [("atomic_num", "int", NO)], None),
    ("_nominal_mass", "ms", "int", "Nominal mass of a set of atoms (isotope labels count their own mass number).",
     [("mol", "Mol", NO), ("indices", "Iterable[int]", NO)], None),
    ("predict_fragments", "ms", "list[Prediction]",
     "Single cuts of each soft bond and, when asked, ring double cuts, as prediction records.",
     [("mol", "Mol", NO), ("soft_bonds", "Sequence[ChemBond]", NO), ("ring_fragmentation", "bool", False),
      ("min_ring_fragment_mz", "float", 30)], None),
    ("_fragment_atom_softs", "ms", "list[ChemBond]",
     "Soft bonds of a fragment, tested on the fragment's own VIF subgraph.",
     [("H", "Graph", NO), ("atom_subgraphs", "Mapping[int, Sequence[int]]", NO),
      ("chem_bonds", "Sequence[ChemBond]", NO), ("atom_set", "Iterable[int]", NO), ("tol", "float", 1e-09)], None),
    ("_cut_atom_set", "ms", "set[frozenset[int]]", "The fragments one fragment falls into at its soft bonds.",
     [("mol", "Mol", NO), ("atom_set", "Iterable[int]", NO), ("softs", "Sequence[ChemBond]", NO),
      ("ring_fragmentation", "bool", NO), ("min_mz", "float", NO)], None),
    ("predict_fragments_recursive", "ms", "dict[int, Peak]",
     "Multi-generation fragmentation: peaks by nominal m/z, the molecule itself first.",
     [("mol", "Mol", NO), ("H", "Graph", NO), ("atom_subgraphs", "Mapping[int, Sequence[int]]", NO),
      ("chem_bonds", "Sequence[ChemBond]", NO), ("max_generations", "int", 3), ("min_mz", "float", 25),
      ("ring_fragmentation", "bool", True)], None),
    ("_build_bond_orders", "vif", "dict[tuple[int, int], int]", "Integer order of every bond, keyed both ways.",
     [("mol", "Mol", NO)], None),
    ("plot_mass_spectrum", "ms", "Axes", "Schematic stick spectrum of the molecular ion and the predicted fragments.",
     [("smiles", "str", NO), ("mol_mass", "float", NO), ("fragments", "Sequence[Prediction]", NO),
      ("ax", "Axes | None", None)], None),
    ("VIF", "vif", "VifResult | str",
     "VIF graph, LPI, soft bonds and predicted fragments of a SMILES; 'SMILES okunamadı!' when unreadable.",
     [("smiles", "str", NO), ("n_iter", "int", 600), ("target_bond_len", "float", 1.5),
      ("radius_ratio", "float", 0.23), ("show_spectrum", "bool", True), ("bond_kappa", "float", 0.9),
      ("draw", "bool", True), ("verbose", "bool", True), ("ring_fragmentation", "bool", False),
      ("recursive_ms", "bool", False), ("max_generations", "int", 2)], None),
    ("fetch_smiles_from_pubchem", "pubchem", "tuple[str, int]",
     "SMILES and CID of a compound name or CID, from PubChem's PUG REST service.",
     [("query", "str | int", NO), ("by", "str", "name"), ("timeout", "float", 20)], None),
    ("VIF_from_pubchem", "pubchem", "VifResult | str", "VIF on the SMILES PubChem gives for a query.",
     [("query", "str | int", NO), ("by", "str", "name")], ("vif_kwargs", "Any")),
    ("VIF_panel", "suites", "Figure", "A grid of VIF graphs with their LPI.",
     [("molecules", "Sequence[str] | None", None), ("by", "str | None", "name"), ("cols", "int", 5),
      ("save", "str | None", None), ("node_size", "float", 60), ("bond_kappa", "float", 0.9)], None),
    ("VIF_ms_panel", "suites", "Figure", "A grid of predicted stick spectra.",
     [("molecules", "Sequence[str] | None", None), ("by", "str | None", "name"), ("cols", "int", 2),
      ("save", "str | None", None), ("ring_fragmentation", "bool", False), ("recursive_ms", "bool", False)],
     None),
    ("triple_group_demo", "suites", "VifResult", "The demonstration on one molecule with three functional groups.",
     [("smiles", "str", "N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl"), ("save_prefix", "str | None", "/tmp/vif_kombine")], None),
    ("halogen_test", "suites", "list[tuple[str, str, VifResult]]",
     "The substituted-halogen fragmentation test: table and panel.",
     [("molekuller", "Sequence[tuple[str, str, str]] | None", None), ("panel_n", "int", 4),
      ("save", "str | None", "/tmp/vif_halojen.png")], None),
    ("validate", "suites", "bool", "LPI and mass-spectrum validation against reference values.",
     [("verbose", "bool", True)], None),
]

# (name, SMILES) of the named molecule constants, in binding order.
NAMED_MOLECULES = [
    ("diborane", "[H]B1([H])[H][B]([H])([H])[H]1"),
    ("ccl4", "C(Cl)(Cl)(Cl)Cl"),
    ("co2", "O=C=O"),
    ("h2o", "O"),
    ("methyl_li", "C[Li]"),
    ("dimethyllithium", "C1[Li]C[Li]1"),
    ("methanol", "CO"),
    ("ethanol", "CCO"),
    ("formaldehyde", "C=O"),
    ("formic_acid", "OC=O"),
    ("dodecane", "CCCCCCCCCCCC"),
    ("nitrobenzene", "c1ccc(cc1)[N+](=O)[O-]"),
    ("dnb", "c1cc(cc(c1)[N+](=O)[O-])[N+](=O)[O-]"),
    ("tnb", "c1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]"),
    ("tnt", "Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]"),
    ("acetone_oxime", "CC(=NO)C"),
    ("benzaldehyde_imine", "C(=NC)c1ccccc1"),
]

# (alias, name of the constant it copies), in binding order.
ALIASES = [
    ("CO", "methanol"), ("NB", "nitrobenzene"), ("DNB", "dnb"), ("TNB", "tnb"),
    ("TNT", "tnt"), ("H2O", "h2o"), ("CO2", "co2"), ("CCl4", "ccl4"),
]

# Library names and tables bound at import: (name, annotation, doc).
MODULE_NAMES = [
    ("nx", "ModuleType", "networkx."),
    ("plt", "ModuleType", "matplotlib.pyplot."),
    ("Chem", "ModuleType", "rdkit.Chem."),
    ("rdDepictor", "ModuleType", "rdkit.Chem.rdDepictor."),
    ("element", "Callable[[str], Any]", "mendeleev.element."),
    ("np", "ModuleType", "numpy."),
    ("math", "ModuleType", "The math module."),
    ("defaultdict", "type[collections.defaultdict[Any, Any]]", "collections.defaultdict."),
    ("lru_cache", "Callable[..., Any]", "functools.lru_cache."),
    ("_NOMINAL_ISOTOPE", "dict[int, int]", "Memo of _nominal_atom_mass: atomic number to mass number."),
    ("PUBCHEM_REST", "str", "Base URL of PubChem's PUG REST compound service."),
    ("BIOMOLECULES", "list[str]", "Compound names the panels draw by default."),
    ("HALOGEN_TESTS", "list[tuple[str, str, str]]", "(name, SMILES, expectation) rows of the halogen test."),
    ("LPI_REFERENCES", "list[tuple[str, str, tuple[int, int, int]]]", "(name, SMILES, LPI) reference rows."),
    ("MS_REFERENCES", "list[tuple[str, str, int]]", "(name, SMILES, expected fragment m/z) reference rows."),
]

# Result records: (name, [(key, annotation, doc, required)]).
RECORDS = [
    ("LpiRecord", [
        ("n+", "int", "number of eigenvalues above tol", True),
        ("n0", "int", "number of eigenvalues within [-tol, tol]", True),
        ("n-", "int", "number of eigenvalues below -tol", True),
        ("eigenvalues", "NDArray[_np.float64]", "eigenvalues of the adjacency matrix, ascending", True),
    ]),
    ("ChemBond", [
        ("u_node", "int", "graph node of the unit at atom_u", True),
        ("v_node", "int", "graph node of the unit at atom_v", True),
        ("atom_u", "int", "begin atom of the bond", True),
        ("atom_v", "int", "end atom of the bond", True),
        ("sym_u", "str", "element symbol of atom_u", True),
        ("sym_v", "str", "element symbol of atom_v", True),
        ("order", "int", "integer bond order", True),
        ("k", "int", "index of this unit within the bond (0 is the sigma unit)", True),
    ]),
    ("Prediction", [
        ("bond", "str", "label of the cut bond or bond pair", True),
        ("split", "bool", "whether the cut splits the molecule", True),
        ("mode", "str", "'single' or 'ring'", True),
        ("fragments", "list[tuple[str, float, int]] | None",
         "(formula, mass to two decimals, nominal mass), heavier first; None when nothing splits", True),
    ]),
    ("Peak", [
        ("formula", "str", "formula of the first fragment reaching this m/z", True),
        ("generation", "int", "cut generation that first reached it (0: the molecule)", True),
    ]),
    ("VifResult", [
        ("lpi", "LpiRecord", "LPI of the intact graph", True),
        ("soft_bonds", "list[ChemBond]", "the soft chemical-bond records, in chem_bonds order", True),
        ("fragments", "list[Prediction]", "prediction records as predict_fragments returns them", True),
        ("real_fragments", "list[Prediction]", "single_fragments then ringcut_fragments (draw=False only)", False),
        ("single_fragments", "list[Prediction]", "records of single cuts that split (draw=False only)", False),
        ("ringcut_fragments", "list[Prediction]", "records of ring double cuts (draw=False only)", False),
        ("ring_soft_bonds", "list[Prediction]", "records of soft ring bonds that split nothing (draw=False only)",
         False),
        ("recursive_peaks", "dict[int, Peak] | None", "multi-generation peaks when recursive_ms (draw=False only)",
         False),
        ("graph", "Graph", "the VIF graph", True),
        ("chem_bonds", "list[ChemBond]", "one record per bond unit", True),
        ("atom_subgraphs", "dict[int, list[int]]", "atom index to its graph nodes", True),
        ("pos", "dict[int, NDArray[_np.float64]]", "node to its [x, y] position", True),
        ("mol_mass", "int", "nominal mass of the molecule: the m/z of the molecular ion", True),
        ("mol_mass_avg", "float", "average molecular mass, explicit hydrogens included", True),
    ]),
]


def cpp_literal(v):
    if v is None:
        return "py::none()"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (int, float)):
        return repr(v)
    if isinstance(v, str):
        return '"' + v.replace("\\", "\\\\").replace('"', '\\"') + '"'
    raise TypeError(f"no C++ literal for {v!r}")


def body_name(name):
    return name.lstrip("_")


def cpp_ids():
    out = ["// Generated by corvane/module/api_table.py: do not edit.", "",
           "// The module-level functions, in registry order.", "enum FnId {"]
    out += [f"    F_{body_name(f[0])}," for f in FUNCTIONS]
    out += ["    F_COUNT", "};", ""]
    for ns in dict.fromkeys(f[1] for f in FUNCTIONS):
        out.append(f"namespace {ns} {{")
        out += [f"py::object {body_name(f[0])}(const Args &);" for f in FUNCTIONS if f[1] == ns]
        out.append(f"}}  // namespace {ns}")
    return "\n".join(out) + "\n"


def cpp_table():
    out = ["// Generated by corvane/module/api_table.py: do not edit.", "",
           "// Parameter lists, in registry order.", "const FnDef kSpecs[F_COUNT] = {"]
    for name, ns, _ret, _doc, params, var_kw in FUNCTIONS:
        plist = ", ".join(f'"{p[0]}"' for p in params)
        kw = f'"{var_kw[0]}"' if var_kw else "nullptr"
        out.append(f'    {{"{name}", {{{plist}}}, {kw}, {ns}::{body_name(name)}}},')
    out += ["};", "", "// Defaults of each function (None: no defaults).", "py::object defaults_of(FnId id) {",
            "    switch (id) {"]
    for name, _ns, _ret, _doc, params, _kw in FUNCTIONS:
        defaults = [p[2] for p in params if p[2] is not NO]
        if defaults:
            out.append(f"        case F_{body_name(name)}: return py::make_tuple("
                       + ", ".join(cpp_literal(d) for d in defaults) + ");")
    out += ["        default: return py::none();", "    }", "}", "",
            "// (name, SMILES) of the named molecule constants, in binding order.",
            "const std::pair<const char *, const char *> kNamedMolecules[] = {"]
    out += [f"    {{{cpp_literal(n)}, {cpp_literal(s)}}}," for n, s in NAMED_MOLECULES]
    out += ["};", "", "// (alias, name of the constant it copies), in binding order.",
            "const std::pair<const char *, const char *> kAliases[] = {"]
    out += [f"    {{{cpp_literal(a)}, {cpp_literal(n)}}}," for a, n in ALIASES]
    out += ["};"]
    return "\n".join(out) + "\n"


def py_default(v):
    return repr(v)


def stub():
    out = ['"""VIF graphs, LPI signatures and predicted EI mass spectra of molecules.', "",
           "Typed stub of the corvane extension module (generated from its function table).", '"""',
           "import collections",
           "from collections.abc import Callable, Iterable, Mapping, Sequence",
           "from types import ModuleType",
           "from typing import Any, NotRequired, TypeAlias, TypedDict", "",
           "import numpy as _np",
           "from matplotlib.axes import Axes",
           "from matplotlib.figure import Figure",
           "from numpy.typing import NDArray", "",
           "Mol: TypeAlias = Any", '"""An RDKit molecule (rdkit.Chem.Mol)."""',
           "Graph: TypeAlias = Any", '"""A networkx Graph."""',
           "Coords: TypeAlias = NDArray[_np.float64]", '"""Atom coordinates: float64 array of shape (n, 2)."""', ""]
    for rec, keys in RECORDS:
        out.append("")
        out.append(f"{rec} = TypedDict(")
        out.append(f'    "{rec}",')
        out.append("    {")
        for key, ann, doc, required in keys:
            ann = ann if required else f"NotRequired[{ann}]"
            out.append(f"        # {doc}")
            out.append(f'        "{key}": {ann},')
        out.append("    },")
        out.append(")")
    out.append("")
    for name, ann, doc in MODULE_NAMES:
        out += [f"{name}: {ann}", f'"""{doc}"""']
    for name, smiles in NAMED_MOLECULES:
        out += [f"{name}: str", f'"""SMILES {smiles}"""']
    for alias, name in ALIASES:
        out += [f"{alias}: str", f'"""Same as {name}."""']
    for name, _ns, ret, doc, params, var_kw in FUNCTIONS:
        args = []
        for p, ann, d in params:
            args.append(f"{p}: {ann}" if d is NO else f"{p}: {ann} = {py_default(d)}")
        if var_kw:
            args.append(f"**{var_kw[0]}: {var_kw[1]}")
        out += ["", "", f"def {name}({', '.join(args)}) -> {ret}:", f'    """{doc}"""']
    return "\n".join(out) + "\n"


def write(path, text):
    p = Path(path)
    p.parent.mkdir(parents=True, exist_ok=True)
    if not p.exists() or p.read_text() != text:
        p.write_text(text)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--ids", help="write the C++ ids and body declarations here")
    ap.add_argument("--cpp", help="write the C++ parameter lists, defaults and constants here")
    ap.add_argument("--stub", help="write corvane.pyi here")
    ns = ap.parse_args(argv)
    if not (ns.ids or ns.cpp or ns.stub):
        ap.error("nothing to write: give --ids, --cpp or --stub")
    if ns.ids:
        write(ns.ids, cpp_ids())
    if ns.cpp:
        write(ns.cpp, cpp_table())
    if ns.stub:
        write(ns.stub, stub())


if __name__ == "__main__":
    sys.exit(main())
