import ctypes
import os
import importlib
import inspect
import pickle
import pydoc
import subprocess
import sys
import textwrap
from pathlib import Path

import networkx as nx
import numpy as np
import pytest

import corvane


def run_python(code, **kw):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, **kw)


REGISTRY = [
    ("_get_period", ["symbol"], None),
    ("_angle_diff", ["a", "b"], None),
    ("_symmetry_classes", ["mol"], None),
    ("_radial_equalize", ["coords", "groups"], None),
    ("_pca_align", ["coords"], None),
    ("_enforce_mirror", ["coords", "ranks", "axis", "eps"], (0.05,)),
    ("compute_atom_layout", ["mol", "n_iter", "target_bond_len", "repulsion_factor", "k_attr", "k_rep"],
     (600, 1.5, 1.2, 0.06, 0.05)),
    ("_yerlestir_dugumler", ["n_nodes", "target_angles"], None),
    ("compute_lpi", ["graph", "tol", "weight"], (1e-09, "weight")),
    ("detect_soft_bonds", ["graph", "chem_bonds", "baseline_lpi", "tol"], (1e-09,)),
    ("_fragment_formula", ["mol", "atom_indices"], None),
    ("_pair_label", ["mol", "i", "j"], None),
    ("_nominal_atom_mass", ["atomic_num"], None),
    ("_nominal_mass", ["mol", "indices"], None),
    ("predict_fragments", ["mol", "soft_bonds", "ring_fragmentation", "min_ring_fragment_mz"], (False, 30)),
    ("_fragment_atom_softs", ["H", "atom_subgraphs", "chem_bonds", "atom_set", "tol"], (1e-09,)),
    ("_cut_atom_set", ["mol", "atom_set", "softs", "ring_fragmentation", "min_mz"], None),
    ("predict_fragments_recursive",
     ["mol", "H", "atom_subgraphs", "chem_bonds", "max_generations", "min_mz", "ring_fragmentation"], (3, 25, True)),
    ("_build_bond_orders", ["mol"], None),
    ("plot_mass_spectrum", ["smiles", "mol_mass", "fragments", "ax"], (None,)),
    ("VIF", ["smiles", "n_iter", "target_bond_len", "radius_ratio", "show_spectrum", "bond_kappa", "draw",
             "verbose", "ring_fragmentation", "recursive_ms", "max_generations"],
     (600, 1.5, 0.23, True, 0.9, True, True, False, False, 2)),
    ("fetch_smiles_from_pubchem", ["query", "by", "timeout"], ("name", 20)),
    ("VIF_from_pubchem", ["query", "by"], ("name",)),
    ("VIF_panel", ["molecules", "by", "cols", "save", "node_size", "bond_kappa"], (None, "name", 5, None, 60, 0.9)),
    ("VIF_ms_panel", ["molecules", "by", "cols", "save", "ring_fragmentation", "recursive_ms"],
     (None, "name", 2, None, False, False)),
    ("triple_group_demo", ["smiles", "save_prefix"], ("N#Cc1ccc(cc1)N=Nc1ccc(cc1)Cl", "/tmp/vif_kombine")),
    ("halogen_test", ["molekuller", "panel_n", "save"], (None, 4, "/tmp/vif_halojen.png")),
    ("validate", ["verbose"], (True,)),
]


def plain(name):
    f = getattr(corvane, name)
    return f.__wrapped__ if name == "_get_period" else f


def test_namespace_order():
    names = [k for k in vars(corvane) if not k.startswith("__")]
    libs = ["nx", "plt", "Chem", "rdDepictor", "element", "np", "math", "defaultdict", "lru_cache"]
    assert names[:9] == libs
    functions = [k for k in names if type(getattr(corvane, k)) is type(corvane.VIF)]
    assert functions == [r[0] for r in REGISTRY if r[0] != "_get_period"]
    assert names.index("_NOMINAL_ISOTOPE") == names.index("_pair_label") + 1
    assert names.index("PUBCHEM_REST") == names.index("VIF") + 1
    assert names[-8:] == ["CO", "NB", "DNB", "TNB", "TNT", "H2O", "CO2", "CCl4"]
    import matplotlib.pyplot
    import mendeleev
    from rdkit import Chem
    from rdkit.Chem import rdDepictor
    assert corvane.plt is matplotlib.pyplot and corvane.Chem is Chem and corvane.rdDepictor is rdDepictor
    assert corvane.element is mendeleev.element and corvane.np is np and corvane.nx is nx


@pytest.mark.parametrize("name,params,defaults", REGISTRY)
def test_registry_function(name, params, defaults):
    f = plain(name)
    assert f.__name__ == f.__qualname__ == name
    assert f.__module__ == "corvane"
    assert f.__doc__ is None
    assert f.__defaults__ == defaults
    if defaults is not None:
        assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
    sig = inspect.signature(getattr(corvane, name))
    kinds = {p.kind for p in sig.parameters.values()}
    assert [p for p in sig.parameters][:len(params)] == params
    assert inspect.Parameter.POSITIONAL_OR_KEYWORD in kinds
    expected_defaults = tuple(p.default for p in sig.parameters.values()
                              if p.default is not inspect.Parameter.empty)
    assert expected_defaults == (defaults or ())


@pytest.mark.parametrize("name,params,defaults", REGISTRY)
def test_too_many_positional(name, params, defaults):
    f = plain(name)
    n = len(params)
    how = "exactly" if defaults is None else "at most"
    with pytest.raises(TypeError) as e:
        f(*range(n + 1))
    assert str(e.value) == f"{name}() takes {how} {n} positional argument{'' if n == 1 else 's'} ({n + 1} given)"


@pytest.mark.parametrize("name,params,defaults", REGISTRY)
def test_too_few_positional(name, params, defaults):
    f = plain(name)
    required = len(params) - len(defaults or ())
    if required == 0:
        pytest.skip("no required parameter")
    how = "exactly" if defaults is None else "at least"
    count = len(params) if defaults is None else required
    with pytest.raises(TypeError) as e:
        f()
    assert str(e.value) == f"{name}() takes {how} {count} positional argument{'' if count == 1 else 's'} (0 given)"


@pytest.mark.parametrize("call,message", [
    (lambda: corvane._angle_diff(1.0, 2.0, a=2.0), "_angle_diff() got multiple values for keyword argument 'a'"),
    (lambda: corvane._angle_diff(1.0, 2.0, c=3), "_angle_diff() got an unexpected keyword argument 'c'"),
    (lambda: corvane.compute_lpi(nx.Graph(), bogus=1), "compute_lpi() got an unexpected keyword argument 'bogus'"),
    # a required parameter missing after keywords counts as too few positional arguments
    (lambda: corvane._pair_label(None, j=1), "_pair_label() takes exactly 3 positional arguments (1 given)"),
    (lambda: corvane.predict_fragments_recursive(1, 2, 3), "predict_fragments_recursive() takes at least 4 "
                                                            "positional arguments (3 given)"),
    (lambda: corvane.VIF_from_pubchem(1, 2, 3), "VIF_from_pubchem() takes at most 2 positional arguments (3 given)"),
    (lambda: corvane.VIF_from_pubchem(by="cid"), "VIF_from_pubchem() takes at least 1 positional argument (0 given)"),
    (lambda: corvane.validate(1, verbose=2), "validate() got multiple values for keyword argument 'verbose'"),
    (lambda: corvane._get_period.__wrapped__(**{"symbol": "C", "x": 1}),
     "_get_period() got an unexpected keyword argument 'x'"),
])
def test_keyword_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_vif_from_pubchem_collects_keywords():
    sig = inspect.signature(corvane.VIF_from_pubchem)
    assert str(sig) == "(query, by='name', **vif_kwargs)"


def test_signature_and_help():
    assert str(inspect.signature(corvane.compute_atom_layout)) == (
        "(mol, n_iter=600, target_bond_len=1.5, repulsion_factor=1.2, k_attr=0.06, k_rep=0.05)")
    text = pydoc.render_doc(corvane.compute_lpi, renderer=pydoc.plaintext)
    assert "compute_lpi(graph, tol=1e-09, weight='weight')" in text


def test_function_object_behaviour():
    f = corvane.compute_lpi
    assert pickle.loads(pickle.dumps(f)) is f
    assert repr(f).startswith("<function compute_lpi at ")
    with pytest.raises(AttributeError):
        f.__defaults__ = (1,)
    with pytest.raises(TypeError):
        type(f)()

    class Holder:
        lpi = corvane.compute_lpi

    g = nx.Graph([(0, 1)])
    assert Holder.lpi(g)["n+"] == 1  # unbound through the class, like a plain function


def test_tables():
    assert corvane.PUBCHEM_REST.startswith("https://")
    assert corvane.PUBCHEM_REST.endswith("/rest/pug/compound")
    assert corvane.BIOMOLECULES == ["water", "glucose", "glycine", "urea", "lactic acid", "adenine", "dopamine",
                                    "ascorbic acid", "acetic acid", "cytosine"]
    assert len(corvane.HALOGEN_TESTS) == 12 and len(corvane.LPI_REFERENCES) == 11
    assert corvane.HALOGEN_TESTS[0] == ("chlorobenzene  (C-Cl)", "Clc1ccccc1", "exp: 112(M), 77(-Cl) base")
    assert corvane.HALOGEN_TESTS[1][2] == "exp: 96(M) BASE \u2014 F NOT lost"
    assert corvane.HALOGEN_TESTS[8][2] == corvane.HALOGEN_TESTS[9][2]
    assert corvane.LPI_REFERENCES[10] == ("aspirin", "CC(=O)OC1=CC=CC=C1C(=O)O", (26, 0, 34))
    assert corvane.LPI_REFERENCES[5] == ("HF", "F", (2, 0, 3))
    assert corvane.MS_REFERENCES == [("nitrobenzene", "c1ccc(cc1)[N+](=O)[O-]", 77), ("acetone oxime", "CC(=NO)C", 17)]
    assert corvane.CCl4 is corvane.ccl4 and corvane.H2O == "O" and corvane.CO == corvane.methanol == "CO"
    assert corvane.dodecane == "C" * 12
    assert corvane.diborane == "[H]B1([H])[H][B]([H])([H])[H]1"
    assert corvane.TNT == "Cc1c(cc(cc1[N+](=O)[O-])[N+](=O)[O-])[N+](=O)[O-]"


def test_fresh_import_state():
    r = run_python("""
        import corvane
        print(corvane._NOMINAL_ISOTOPE, corvane._get_period.cache_info())
        corvane._get_period("C"); corvane._get_period("C")
        print(corvane._get_period.cache_info())
    """)
    assert r.returncode == 0, r.stderr
    first, second = r.stdout.splitlines()
    assert first == "{} CacheInfo(hits=0, misses=0, maxsize=None, currsize=0)"
    assert second == "CacheInfo(hits=1, misses=1, maxsize=None, currsize=1)"


def test_one_module_per_process():
    first_period = corvane._get_period
    assert importlib.import_module("corvane") is corvane
    assert importlib.reload(corvane) is corvane
    assert corvane._get_period is first_period  # the body did not run again
    del sys.modules["corvane"]
    try:
        again = importlib.import_module("corvane")
        assert again is corvane and again._get_period is first_period
    finally:
        sys.modules["corvane"] = corvane


def test_reinitialisation_refused():
    lib = ctypes.PyDLL(corvane.__file__)
    lib.PyInit_corvane.restype = ctypes.py_object
    moddef = lib.PyInit_corvane()
    api = ctypes.pythonapi
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    other = type(sys)("corvane")
    with pytest.raises(RuntimeError) as e:
        api.PyModule_ExecDef(other, moddef)
    assert str(e.value) == "Module 'corvane' has already been imported. Re-initialisation is not supported."
    assert api.PyModule_ExecDef(corvane, moddef) == 0


def test_second_interpreter_refused():
    r = run_python("""
        import corvane, _interpreters
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        err = _interpreters.run_string(interp, "import corvane")
        print(err.type.__name__, err.msg)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == ("ImportError Interpreter change detected - this module can only be loaded into "
                                "one interpreter per process.")


def test_import_without_requests():
    r = run_python("""
        import sys
        sys.modules["requests"] = None
        import corvane
        try:
            corvane.fetch_smiles_from_pubchem("water")
        except ImportError as e:
            print("ImportError")
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ImportError"


def test_failed_import_starts_afresh():
    r = run_python("""
        import sys
        sys.modules["mendeleev"] = None
        try:
            import corvane
        except ImportError:
            print("failed")
        del sys.modules["mendeleev"]
        sys.modules.pop("corvane", None)
        import corvane
        print(corvane.element.__module__.split(".")[0])
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["failed", "mendeleev"]


# --- compute_lpi -----------------------------------------------------------

def weighted(edges, nodes=()):
    g = nx.Graph()
    g.add_nodes_from(nodes)
    for u, v, *w in edges:
        if w:
            g.add_edge(u, v, weight=w[0])
        else:
            g.add_edge(u, v)
    return g


@pytest.mark.parametrize("graph,tol,counts", [
    (nx.Graph(), 1e-9, (0, 0, 0)),
    (weighted([], nodes=range(4)), 1e-9, (0, 4, 0)),
    (weighted([(0, 1, 1.0)]), 1e-9, (1, 0, 1)),
    (weighted([(0, 1, 0.37)]), 1e-9, (1, 0, 1)),
    (weighted([(0, 1, 0.0)]), 1e-9, (0, 2, 0)),
    (weighted([(0, 1, 1e-9)]), 1e-9, (0, 2, 0)),            # eigenvalues at exactly ±tol count as zero
    (weighted([(0, 1, 2e-9)]), 1e-9, (1, 0, 1)),
    (weighted([(0, 1, 1e-300)]), 0, (1, 0, 1)),             # tol=0: only exact zeros are zero
    (weighted([(0, 1)]), 1e-9, (1, 0, 1)),                  # a missing weight counts 1
    (weighted([("a", "b", 1.0), ("b", "c", 1.0)]), 1e-9, (1, 1, 1)),
    (weighted([(2, 0, 0.9), (0, 1, 1.0), (1, 2, 1.0)], nodes=[1, 2, 0]), 1e-9, (1, 0, 2)),
])
def test_compute_lpi_counts(graph, tol, counts):
    r = corvane.compute_lpi(graph, tol=tol)
    assert list(r) == ["n+", "n0", "n-", "eigenvalues"]
    assert (r["n+"], r["n0"], r["n-"]) == counts
    assert all(type(r[k]) is int for k in ("n+", "n0", "n-"))
    assert isinstance(r["eigenvalues"], np.ndarray) and r["eigenvalues"].dtype == np.float64
    if graph.number_of_nodes():
        expected = np.linalg.eigvalsh(nx.to_numpy_array(graph, weight="weight"))
        np.testing.assert_allclose(r["eigenvalues"], expected, atol=1e-12)
    else:
        assert r["eigenvalues"].shape == (0,)


@pytest.mark.parametrize("graph", [nx.DiGraph([(0, 1), (1, 0)]), nx.MultiGraph([(0, 1), (0, 1)]),
                                   nx.path_graph(5)])
def test_compute_lpi_other_graph_types(graph):
    r = corvane.compute_lpi(graph)
    expected = np.linalg.eigvalsh(nx.to_numpy_array(graph))
    np.testing.assert_allclose(r["eigenvalues"], expected, atol=1e-12)


def test_compute_lpi_weight_attribute():
    g = weighted([(0, 1, 1.0)])
    g[0][1]["w2"] = 0.0
    assert corvane.compute_lpi(g, weight="w2")["n0"] == 2
    assert corvane.compute_lpi(g, 1e-9, None)["n0"] == 0


@pytest.mark.parametrize("bad", [None, 42, "graph", [1, 2]])
def test_compute_lpi_rejects_non_graphs(bad):
    with pytest.raises(Exception):
        corvane.compute_lpi(bad)


def test_compute_lpi_rejects_non_numeric_weight():
    g = weighted([(0, 1, "heavy")])
    with pytest.raises((TypeError, ValueError)):
        corvane.compute_lpi(g)


def test_compute_lpi_random_graphs_match_numpy():
    rng = np.random.default_rng(7)
    for n in (3, 10, 40):
        g = nx.gnp_random_graph(n, 0.3, seed=int(rng.integers(1000)))
        for u, v in g.edges:
            g[u][v]["weight"] = float(rng.choice([1.0, 0.9, -0.5]))
        r = corvane.compute_lpi(g)
        ev = np.linalg.eigvalsh(nx.to_numpy_array(g))
        assert (r["n+"], r["n0"], r["n-"]) == (int(np.sum(ev > 1e-9)), int(np.sum(np.abs(ev) <= 1e-9)),
                                               int(np.sum(ev < -1e-9)))


def test_launcher_runs_the_halogen_test_as_main(tmp_path):
    launcher = Path(__file__).resolve().parent.parent / "launcher" / "corvane_launch.py"
    out = Path("/tmp/vif_halogen.png")
    before = out.stat().st_mtime_ns if out.exists() else None
    r = subprocess.run([sys.executable, str(launcher)], capture_output=True, text=True, timeout=600,
                       env={**os.environ, "MPLBACKEND": "Agg"}, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert lines[1] == "SUBSTITUTED-HALOGEN TEST \u2014 K4 (square) representation"
    assert lines[-1] == "Panel saved: /tmp/vif_halogen.png"
    assert sum(line.startswith("chlorobenzene  (C-Cl)") for line in lines) == 1  # the body ran once
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert before is None or out.stat().st_mtime_ns >= before


@pytest.mark.parametrize("args,code", [(["--help"], 0), (["-h"], 0), (["--bogus"], 2)])
def test_launcher_answers_help_and_bad_options_without_running(tmp_path, args, code):
    launcher = Path(__file__).resolve().parent.parent / "launcher" / "corvane_launch.py"
    r = subprocess.run([sys.executable, str(launcher), *args], capture_output=True, text=True, timeout=120,
                       env={**os.environ, "MPLBACKEND": "Agg"}, cwd=tmp_path)
    assert r.returncode == code, r.stderr
    assert "SUBSTITUTED-HALOGEN" not in r.stdout
    if code == 0:
        assert r.stdout.startswith("usage: corvane-main") and "/tmp/vif_halogen.png" in r.stdout
