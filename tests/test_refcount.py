"""Repeated calls, successful and failing, leak neither references to their
arguments nor live objects."""

import gc
import sys
import tracemalloc

import matplotlib.pyplot as plt
import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import corvane


@pytest.fixture(scope="module")
def acetyl():
    r = corvane.VIF("CC(=O)Cl", n_iter=5, draw=False, verbose=False)
    mol = Chem.AddHs(Chem.MolFromSmiles("CC(=O)Cl"))
    return mol, r


def _cases(mol, r):
    n = mol.GetNumAtoms()
    H, cb, subs, softs = r["graph"], r["chem_bonds"], r["atom_subgraphs"], r["soft_bonds"]
    coords, ranks = corvane.compute_atom_layout(mol, n_iter=5)
    bad_graph = nx.Graph()
    bad_graph.add_edge(0, 1, weight="heavy")
    return [
        ("_get_period", ("Cl",), {}),
        ("_get_period", ("Xx",), {}),
        ("_angle_diff", (0.5, 4.0), {}),
        ("_angle_diff", ("a", 4.0), {}),
        ("_symmetry_classes", (mol,), {}),
        ("_symmetry_classes", (None,), {}),
        ("_radial_equalize", (coords.copy(), [[0, 2], [4, 5, 6]]), {}),
        ("_radial_equalize", (coords.copy(), [[0, 99]]), {}),
        ("_pca_align", (coords,), {}),
        ("_pca_align", (np.zeros((3,)),), {}),
        ("_enforce_mirror", (coords.copy(), ranks, 0), {}),
        ("_enforce_mirror", (coords.copy(), ranks[:2], 1), {}),
        ("compute_atom_layout", (mol,), {"n_iter": 3}),
        ("compute_atom_layout", (mol,), {"n_iter": "x"}),
        ("_yerlestir_dugumler", (4, [0.0, 2.0]), {}),
        ("_yerlestir_dugumler", (4, ["a"]), {}),
        ("compute_lpi", (H,), {}),
        ("compute_lpi", (bad_graph,), {}),
        ("detect_soft_bonds", (H, cb, r["lpi"]), {}),
        ("detect_soft_bonds", (H, [{"u_node": 0}], r["lpi"]), {}),
        ("_fragment_formula", (mol, [0, 1, 2]), {}),
        ("_fragment_formula", (mol, [0, 99]), {}),
        ("_pair_label", (mol, 0, 1), {}),
        ("_pair_label", (mol, 0, None), {}),
        ("_nominal_atom_mass", (17,), {}),
        ("_nominal_atom_mass", (-3,), {}),
        ("_nominal_mass", (mol, range(n)), {}),
        ("_nominal_mass", (mol, [0, "x"]), {}),
        ("predict_fragments", (mol, softs), {"ring_fragmentation": True}),
        ("predict_fragments", (mol, [{"atom_u": 0}]), {}),
        ("_fragment_atom_softs", (H, subs, cb, set(range(n))), {}),
        ("_fragment_atom_softs", (H, {}, cb, set(range(n))), {}),
        ("_cut_atom_set", (mol, set(range(n)), softs, True, 25), {}),
        ("_cut_atom_set", (mol, set(range(n)), [None], True, 25), {}),
        ("predict_fragments_recursive", (mol, H, subs, cb), {}),
        ("predict_fragments_recursive", (mol, H, None, cb), {}),
        ("_build_bond_orders", (mol,), {}),
        ("_build_bond_orders", (Chem.Mol(),), {}),
        ("_build_bond_orders", (3,), {}),
        ("plot_mass_spectrum", ("CC(=O)Cl", r["mol_mass"], r["fragments"]), {}),
        ("plot_mass_spectrum", ("CC(=O)Cl", "x", [{"split": True}]), {}),
        ("VIF", ("CC(=O)Cl",), {"n_iter": 3, "draw": False, "verbose": False, "recursive_ms": True}),
        ("VIF", ("C(C",), {"draw": False, "verbose": False}),
        ("VIF", ("CO",), {"n_iter": -1, "bond_kappa": "x", "draw": False, "verbose": False}),
        ("fetch_smiles_from_pubchem", ("water",), {"by": "smiles"}),
        ("fetch_smiles_from_pubchem", ("water",), {"timeout": 2}),
        ("VIF_from_pubchem", ("water",), {"draw": False}),
        ("VIF_panel", (["C(C"],), {"by": "name", "cols": 1}),
        ("VIF_ms_panel", ([],), {"cols": 0}),
        ("halogen_test", ([],), {"panel_n": 0, "save": None}),
        ("triple_group_demo", ("C(C",), {"save_prefix": None}),
    ]


# Libraries keep caches of their own (mendeleev's database session, for one):
# count only what is allocated from this file, where the module's own
# objects are attributed.
OWN = [tracemalloc.Filter(True, __file__)]


def _run(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except Exception as e:  # the error path is as much under test as the result
        assert not isinstance(e, SystemError), e
    plt.close("all")


def _refs(args, kwargs):
    return [sys.getrefcount(a) for a in args] + [sys.getrefcount(v) for v in kwargs.values()]


def _live_objects():
    gc.collect()
    return len(gc.get_objects())


@pytest.fixture
def offline(monkeypatch, refused_rest, capsys):
    monkeypatch.setattr(corvane, "PUBCHEM_REST", refused_rest)
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    yield
    capsys.readouterr()


def test_no_leaks(acetyl, offline, capsys):
    mol, r = acetyl
    leaks = []
    for name, args, kwargs in _cases(mol, r):
        fn = getattr(corvane, name)
        reps = 2 if name in ("VIF_panel", "halogen_test", "triple_group_demo", "compute_atom_layout", "VIF_from_pubchem") else 5
        for _ in range(2):  # warm caches, interned names, lazy imports
            _run(fn, args, kwargs)
        capsys.readouterr()
        # A leak grows batch after batch; caches (the libraries' too) settle.
        tracemalloc.start()
        found = []
        for _ in range(3):
            refs = _refs(args, kwargs)
            tracemalloc.clear_traces()
            live = _live_objects()
            before = tracemalloc.take_snapshot().filter_traces(OWN)
            for _ in range(reps):
                _run(fn, args, kwargs)
            capsys.readouterr()
            after = tracemalloc.take_snapshot().filter_traces(OWN)
            grown = sum(d.size_diff for d in after.compare_to(before, "filename"))
            del before, after
            live_after = _live_objects()
            refs_after = _refs(args, kwargs)
            found.append(
                {
                    "argument references": refs_after != refs,
                    # one object per call shows as at least `reps` objects
                    # (mendeleev keeps objects of failed element queries)
                    "live objects": live_after - live >= reps and args != ("Xx",),
                    "traced bytes": grown > 10000 * reps,
                }
            )
        tracemalloc.stop()
        leaks += [(name, args, kwargs, what) for what in found[0] if all(f[what] for f in found)]
    assert not leaks, "; ".join(f"{n}{a!r:.60} {w}" for n, a, k, w in leaks)


def test_error_paths_keep_caches_small():
    corvane._get_period("C")
    info = corvane._get_period.cache_info()
    for _ in range(50):
        with pytest.raises(Exception):
            corvane._get_period("Xx")
    # Failed look-ups are not cached.
    assert corvane._get_period.cache_info().currsize == info.currsize
    memo = dict(corvane._NOMINAL_ISOTOPE)
    failing = (-1, 10**6, None, 2.5, -(2**70))
    for bad in failing:
        with pytest.raises(Exception):
            corvane._nominal_atom_mass(bad)
    # A failed look-up leaves no entry behind, and the others keep theirs.
    assert not any(k in corvane._NOMINAL_ISOTOPE for k in failing if k is not None and k != 2.5)
    assert None not in corvane._NOMINAL_ISOTOPE and 2.5 not in corvane._NOMINAL_ISOTOPE
    for k, v in memo.items():
        assert corvane._NOMINAL_ISOTOPE[k] == v
