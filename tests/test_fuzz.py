"""Fuzzing: every registry function with odd arguments, and VIF on odd SMILES.

Each function must answer with a result or a Python exception; a SystemError
(a C-level fault reported as an exception) or a crash counts as a failure.
The normal run uses a small number of examples; set CORVANE_FUZZ_EXAMPLES to
run more, e.g.

    CORVANE_FUZZ_EXAMPLES=5000 ./dev.sh test tests/test_fuzz.py
"""

import copy
import inspect
import math
import os
import random
import subprocess
import sys
import textwrap

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import networkx as nx  # noqa: E402
import numpy as np  # noqa: E402
import pytest  # noqa: E402
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402
from rdkit import Chem  # noqa: E402

import corvane  # noqa: E402
from molecules import corpus_rows  # noqa: E402

LONG = int(os.environ.get("CORVANE_FUZZ_EXAMPLES", "0"))


def examples(normal):
    return max(normal, LONG) if LONG else normal


# ---------------------------------------------------------------------------
# The pool of odd values


def _mol(smiles, hs=True):
    m = Chem.MolFromSmiles(smiles)
    return Chem.AddHs(m) if hs else m


def _graph(weights):
    g = nx.Graph()
    g.add_nodes_from(range(4))
    for (u, v), w in zip([(0, 1), (1, 2), (2, 3)], weights):
        if w is _MISSING:
            g.add_edge(u, v)
        else:
            g.add_edge(u, v, weight=w)
    return g


_MISSING = object()


def _odd_graphs():
    di = nx.DiGraph([(0, 1), (1, 0)])
    multi = nx.MultiGraph()
    multi.add_edge(0, 1, weight=1.0)
    multi.add_edge(0, 1, weight=2.0)
    mixed = nx.Graph()
    mixed.add_edge("a", (1, 2), weight=1.0)
    mixed.add_edge(3.5, "a", weight=0.5)
    selfloop = nx.Graph()
    selfloop.add_edge(0, 0, weight=2.0)
    return [
        nx.Graph(),
        _graph([1.0, 2.0, 3.0]),
        _graph(["x", 1.0, 2.0]),
        _graph([_MISSING, _MISSING, 1.0]),
        _graph([None, 1.0, 1.0]),
        _graph([float("nan"), 1.0, float("inf")]),
        _graph([1e308, -1e308, 0.0]),
        _graph([[1.0], {}, 1j]),
        _graph([True, 10**30, -(2**70)]),
        di,
        multi,
        mixed,
        selfloop,
    ]


def _bond_records():
    return [
        [],
        [{}],
        [{"u_node": 0}],
        [{"u_node": 0, "v_node": 1, "atom_u": 0, "atom_v": 1, "sym_u": "C", "sym_v": "O", "order": 1, "k": 0}],
        [{"u_node": "x", "v_node": None, "atom_u": -1, "atom_v": 10**9}],
        [None],
        [[0, 1]],
        "u_node",
        {"u_node": 0, "v_node": 1},
    ]


def _arrays():
    return [
        np.zeros((0, 2)),
        np.zeros((3,)),
        np.zeros((2, 3)),
        np.zeros((3, 2, 1)),
        np.full((4, 2), np.nan),
        np.full((3, 2), np.inf),
        np.array([[1e308, -1e308], [1e308, 1e308], [0, 0]]),
        np.arange(8, dtype=np.int64).reshape(4, 2),
        np.arange(8, dtype=np.float32).reshape(4, 2),
        np.array([["a", "b"], ["c", "d"]]),
        np.array([[None, 1], [2, 3]], dtype=object),
        np.arange(12.0).reshape(6, 2)[::2],
        np.asfortranarray(np.arange(8.0).reshape(4, 2)),
        np.arange(8.0).reshape(4, 2).copy(),
        np.zeros((1, 2)),
        np.ones((2, 2), dtype=bool),
        [[0.0, 1.0], [1.0, 0.0]],
        np.zeros(()),
    ]


def _lpi_records():
    return [
        {"n+": 1, "n0": 0, "n-": 1, "eigenvalues": np.array([-1.0, 1.0])},
        {"n+": 1},
        {},
        {"n+": "1", "n0": None, "n-": float("nan")},
    ]


def _fragment_records():
    return [
        [],
        [{"bond": "C–O", "split": True, "mode": "single", "fragments": [("CH3", 15.03, 15), ("OH", 17.01, 17)]}],
        [{"bond": "x", "split": True, "mode": "single", "fragments": [("A", "b", "c")]}],
        [{"bond": "x", "split": True, "mode": "single", "fragments": [(1, 2)]}],
        [{"fragments": None}],
        [{"split": True}],
        [{"bond": "x", "split": False, "mode": "ring", "fragments": [("C", float("nan"), -(10**20))]}],
        [{"bond": "x", "split": True, "mode": "single", "fragments": [("C", 1.0, 10**30)]}],
        [None],
    ]


SCALARS = [
    None,
    True,
    False,
    0,
    1,
    2,
    -1,
    -(10**6),
    2**31,
    2**63,
    -(2**64),
    10**100,
    0.0,
    -0.0,
    0.5,
    -1.5,
    1e-300,
    1e308,
    float("nan"),
    float("inf"),
    float("-inf"),
    1j,
    "",
    "C",
    "O",
    "1",
    "nan",
    "name",
    "cid",
    "Xx",
    "\x00",
    "çğışöü→",
    "C" * 300,
    b"C",
    [],
    [0, 1],
    [[]],
    (),
    (0, "a"),
    {},
    {0: 1},
    set(),
    {0, 1},
    frozenset({0, 1, 2}),
    range(3),
    range(-2, 2),
    object(),
    np.float64("nan"),
    np.int64(3),
    np.int8(-1),
    np.bool_(True),
]

# Counts that size the work (iterations, nodes, grid columns): huge values
# would legitimately run for ages, so they only get moderate odd values.
BOUNDED = {"n_iter", "n_nodes", "cols", "panel_n", "node_size", "max_generations", "timeout"}
HUGE_INTS = {2**31, 2**63, 10**100, -(2**64), -(10**6)}


def _pool():
    mols = [
        _mol("CO"),
        _mol("c1ccccc1Cl"),
        _mol("CC(=O)Cl", hs=False),
        Chem.Mol(),
        Chem.RWMol(),
        _mol("[Na+].[Cl-]"),
        _mol("[CH3]"),
        _mol("[13CH4]"),
        _mol("F[S](F)(F)(F)(F)F"),
        _mol("[Fe]"),
        Chem.MolFromSmiles("c1cccc1", sanitize=False),
    ]
    ax = plt.figure().gca()
    return SCALARS + mols + _odd_graphs() + _bond_records() + _arrays() + _lpi_records() + _fragment_records() + [ax]


POOL = _pool()
plt.close("all")


def _allowed(name, value):
    if name in BOUNDED:
        if isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, bool):
            try:
                return abs(value) <= 10**4 or math.isnan(value)
            except TypeError:
                return True
        if isinstance(value, str) and len(value) > 20:
            return False
    return True


def _values_for(name):
    return [v for v in POOL if _allowed(name, v)]


# Functions that draw a large figure or run many VIF calls get few examples.
SLOW = {"VIF_panel": 3, "VIF_ms_panel": 3, "triple_group_demo": 3, "halogen_test": 3, "validate": 2, "VIF": 10, "VIF_from_pubchem": 8}
# Parameters left at their defaults would write under /tmp: always fuzzed or
# sent into tmp_path.
PATH_PARAMS = {"save", "save_prefix"}

REGISTRY = [
    "_get_period",
    "_angle_diff",
    "_symmetry_classes",
    "_radial_equalize",
    "_pca_align",
    "_enforce_mirror",
    "compute_atom_layout",
    "_yerlestir_dugumler",
    "compute_lpi",
    "detect_soft_bonds",
    "_fragment_formula",
    "_pair_label",
    "_nominal_atom_mass",
    "_nominal_mass",
    "predict_fragments",
    "_fragment_atom_softs",
    "_cut_atom_set",
    "predict_fragments_recursive",
    "_build_bond_orders",
    "plot_mass_spectrum",
    "VIF",
    "fetch_smiles_from_pubchem",
    "VIF_from_pubchem",
    "VIF_panel",
    "VIF_ms_panel",
    "triple_group_demo",
    "halogen_test",
    "validate",
]


@pytest.fixture
def offline(monkeypatch, refused_rest, tmp_path):
    monkeypatch.setattr(corvane, "PUBCHEM_REST", refused_rest)
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    monkeypatch.chdir(tmp_path)
    return tmp_path


def _good_values():
    r = corvane.VIF("CC(=O)Cl", n_iter=5, draw=False, verbose=False)
    mol = _mol("CC(=O)Cl")
    coords, ranks = corvane.compute_atom_layout(mol, n_iter=5)
    n = mol.GetNumAtoms()
    return {
        "symbol": "Cl", "a": 0.5, "b": 2.0, "mol": mol, "coords": coords, "groups": [[0, 2], [4, 5, 6]],
        "ranks": ranks, "axis": 0, "eps": 0.05, "n_iter": 5, "target_bond_len": 1.5, "repulsion_factor": 1.2,
        "k_attr": 0.06, "k_rep": 0.05, "n_nodes": 4, "target_angles": [0.0, 2.0], "graph": r["graph"],
        "tol": 1e-9, "weight": "weight", "chem_bonds": r["chem_bonds"], "baseline_lpi": r["lpi"],
        "atom_indices": [0, 1, 2], "i": 0, "j": 1, "atomic_num": 17, "indices": range(n),
        "soft_bonds": r["soft_bonds"], "ring_fragmentation": True, "min_ring_fragment_mz": 30, "H": r["graph"],
        "atom_subgraphs": r["atom_subgraphs"], "atom_set": set(range(n)), "softs": r["soft_bonds"], "min_mz": 25,
        "max_generations": 2, "smiles": "CC(=O)Cl", "mol_mass": r["mol_mass"], "fragments": r["fragments"],
        "query": "water", "by": "name", "molecules": ["water"], "cols": 2, "node_size": 60, "bond_kappa": 0.9,
        "molekuller": list(corvane.HALOGEN_TESTS[:1]), "panel_n": 1, "verbose": False, "draw": False,
        "show_spectrum": True, "radius_ratio": 0.23, "recursive_ms": True, "timeout": 5,
    }


GOOD = _good_values()


def _good(name):
    if name == "ax":
        return plt.figure().gca()
    return copy.deepcopy(GOOD[name])


def _call(fn, name, data, tmp_path):
    params = list(inspect.signature(fn).parameters.values())
    args, kwargs = [], {}
    for p in params:
        if p.kind is p.VAR_KEYWORD:
            continue
        if p.name in PATH_PARAMS:
            kwargs[p.name] = data.draw(st.sampled_from([None, str(tmp_path / "out"), tmp_path / "x.png", "", 3]), label=p.name)
            continue
        modes = ["good", "good", "odd"] if p.name in GOOD or p.name == "ax" else ["odd"]
        if p.default is not p.empty:
            modes.append("default")
        mode = data.draw(st.sampled_from(modes), label=f"mode {p.name}")
        if mode == "good":
            kwargs[p.name] = _good(p.name)
        elif mode == "odd":
            kwargs[p.name] = data.draw(st.sampled_from(_values_for(p.name)), label=p.name)
    if name == "VIF_from_pubchem":
        kwargs.update(data.draw(st.dictionaries(st.sampled_from(["draw", "verbose", "n_iter", "bogus"]), st.sampled_from([False, 0, None, "x"]), max_size=2), label="vif_kwargs"))
    if name in ("VIF", "VIF_from_pubchem") and not isinstance(kwargs.get("n_iter"), int):
        kwargs["n_iter"] = 3  # keep the layout short; odd values are fuzzed elsewhere
    return fn(*args, **kwargs)


def _check_sound(name, result):
    if name == "_get_period" or name == "_nominal_atom_mass":
        assert isinstance(result, int)
    elif name == "_angle_diff":
        # numpy operands broadcast, as the arithmetic does in Python
        vals = np.asarray(result, dtype=float).ravel()
        assert all(math.isnan(x) or 0.0 <= x <= math.pi for x in vals)
    elif name == "compute_lpi":
        assert set(result) == {"n+", "n0", "n-", "eigenvalues"}
        # with a negative tolerance the three bands overlap, so only each count is bounded
        assert all(0 <= result[k] <= len(result["eigenvalues"]) for k in ("n+", "n0", "n-"))
    elif name == "VIF":
        assert isinstance(result, (dict, str))


@pytest.mark.parametrize("name", REGISTRY)
def test_odd_arguments(name, offline, capsys):
    fn = getattr(corvane, name)

    @settings(
        max_examples=examples(SLOW.get(name, 25)),
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
    )
    @given(st.data())
    def run(data):
        try:
            result = _call(fn, name, data, offline)
        except SystemError:
            raise
        except Exception:
            pass
        else:
            _check_sound(name, result)
        finally:
            plt.close("all")
            capsys.readouterr()

    run()


# ---------------------------------------------------------------------------
# SMILES fuzzing, in a child process so that a crash shows as a failure

CHILD = textwrap.dedent(
    """
    import sys, json
    import corvane
    ok = bad = err = 0
    for line in sys.stdin.buffer.read().split(b"\\n"):
        if not line:
            continue
        smi = json.loads(line)
        sys.stderr.write("TRY " + ascii(smi) + "\\n")
        sys.stderr.flush()
        try:
            r = corvane.VIF(smi, n_iter=int(sys.argv[1]), draw=False, verbose=False, recursive_ms=len(smi) < 40)
        except Exception as e:
            if isinstance(e, SystemError):
                raise
            err += 1
            continue
        if r == "SMILES okunamadı!":
            bad += 1
        else:
            assert isinstance(r, dict) and len(r) == 14, r
            lpi = r["lpi"]
            assert lpi["n+"] + lpi["n0"] + lpi["n-"] == r["graph"].number_of_nodes()
            ok += 1
    print(json.dumps([ok, bad, err]))
    """
)


def _run_child(smiles, n_iter=3):
    import json

    data = "\n".join(json.dumps(s) for s in smiles).encode()
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.path.dirname(corvane.__file__))
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(n_iter)], input=data, capture_output=True, env=env, timeout=600
    )
    tried = [ln for ln in proc.stderr.decode(errors="replace").splitlines() if ln.startswith("TRY ")]
    assert proc.returncode == 0, f"child died ({proc.returncode}) at {tried[-1:] }\n{proc.stderr.decode(errors='replace')[-3000:]}"
    return json.loads(proc.stdout.decode().strip().splitlines()[-1])


def _corpus():
    return [smi for smi, _ in corpus_rows()]


SPECIAL = [
    "",
    " ",
    "\x00",
    "C\x00C",
    "çğış",
    "☃",
    "C" * 5000 + ")",  # long and unreadable; a long readable chain only takes long
    "C" * 80,
    "[" * 200,
    "(" * 100 + "C",
    "C1CC",
    "c1cccc1",  # aromatic ring that cannot be kekulized
    "c1ccc2c(c1)ccn2",
    "n1cccc1",
    "[nH]1cccc1",
    "c",
    "C.C",
    "[Na+].[Cl-]",
    "CC(=O)[O-].[Na+]",
    "[NH4+].[Cl-]",
    "[CH3]",
    "[CH2]",
    "[C]",
    "[O]",
    "[O-][N+](=O)c1ccccc1",
    "[Fe]",
    "[Fe+2].[Cl-].[Cl-]",
    "Cl[Pt](Cl)([NH3])[NH3]",
    "C[Li]",
    "C[Mg]Br",
    "[U]",
    "[Og]",
    "[Ts]",
    "[*]",
    "*C*",
    "[H]",
    "[H][H]",
    "[2H]O[2H]",
    "[13CH4]",
    "[238U]",
    "[999C]",
    "[0C]",
    "F[S](F)(F)(F)(F)F",
    "OS(=O)(=O)O",
    "CS(=O)(=O)(=O)C",
    "P(Cl)(Cl)(Cl)(Cl)Cl",
    "O=P(O)(O)O",
    "FP(F)(F)(F)(F)(F)F",
    "[I-](I)I",
    "C=C=C=C=C=C",
    "C#C#C",
    "C1CC1C2CC2",
    "C12C3C4C1C5C2C3C45",  # cubane
    "B1[H]B([H]1)",
    "[BH3-][NH3+]",
    "[C-]#[O+]",
    "[Cl-]",
    "[He]",
    "[Xe](F)(F)(F)F",
    "C/C=C/C",
    "C[C@H](N)O",
    "C[C@@](F)(Cl)Br",
    "C$C",
    "[CH3+]",
    "[CH3-]",
    "C[N+](C)(C)C",
    "[O-2]",
    "[Fe-4]",
    "[C+4]",
    "c1ccccc1" * 3,
    ".".join(["C"] * 8),
    "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC(=O)O",
]


def _mutations(rng, corpus, count):
    alphabet = list("CNOSPFIBrcl()[]=#@+-123456789%./\\*Hh:$") + ["Cl", "Br", "[Fe]", "[Na+]", "[13C]", "[O-]", "[nH]", "c1", ".", "é", "\x00"]
    out = []
    for _ in range(count):
        s = list(rng.choice(corpus))
        for _ in range(rng.randint(1, 4)):
            op = rng.randrange(4)
            pos = rng.randrange(len(s) + 1)
            if op == 0 and s:
                del s[min(pos, len(s) - 1)]
            elif op == 1:
                s.insert(pos, rng.choice(alphabet))
            elif op == 2 and s:
                s[min(pos, len(s) - 1)] = rng.choice(alphabet)
            else:
                other = rng.choice(corpus)
                s = s + ["."] + list(other[: rng.randint(1, len(other))])
        out.append("".join(s))
    return out


def _random_strings(rng, count):
    out = []
    for _ in range(count):
        n = rng.choice([1, 3, 10, 50, 2000])
        out.append("".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0, 32), rng.randrange(128, 0x2FFF)])) for _ in range(n)))
    return out


def test_special_smiles_never_crash():
    ok, bad, err = _run_child(SPECIAL, n_iter=1)
    assert ok + bad + err == len(SPECIAL)
    assert ok > 20


def test_mutated_and_random_smiles_never_crash():
    rng = random.Random(20261208)
    corpus = _corpus()
    n = examples(15)
    smiles = _mutations(rng, corpus, n) + _random_strings(rng, max(10, n // 4))
    ok, bad, err = _run_child(smiles)
    assert ok + bad + err == len(smiles)


def test_corpus_with_full_layout_never_crashes():
    corpus = _corpus()
    step = 1 if LONG else 60
    ok, bad, err = _run_child(corpus[::step], n_iter=600 if LONG else 10)
    assert err == 0 and bad == 0


# ---------------------------------------------------------------------------
# Graph functions with Python code running mid-call: a weight's __float__ or
# a node's __hash__ changes the graph being read, a generator of bond records
# changes it between records.  The answer is a result, or a Python exception
# other than SystemError.

_GRAPH_MUTATIONS = {
    "add nodes": lambda G, k: G.add_nodes_from(range(1000, 1000 + 40 * k)),
    "remove nodes": lambda G, k: G.remove_nodes_from(list(G.nodes)[: k + 1]),
    "add edges": lambda G, k: G.add_edges_from((i, i + k + 2) for i in range(3)),
    "remove edges": lambda G, k: G.remove_edges_from(list(G.edges)[: k + 1]),
    "clear": lambda G, k: G.clear(),
    "swap dicts": lambda G, k: setattr(G, "_adj", dict(G._adj)),
    "raise": lambda G, k: (_ for _ in ()).throw(ArithmeticError("from a callback")),
}


class _Trigger:
    def __init__(self, action, value=1.0):
        self.action, self.value, self.fired = action, value, False

    def __float__(self):
        if not self.fired:
            self.fired = True
            self.action()
        return self.value


class _HashNode(int):
    """An int node whose hash runs an action once."""

    action = None

    def __hash__(self):
        act, type(self).action = type(self).action, None
        if act:
            act()
        return int.__hash__(self)


@settings(max_examples=examples(30), deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(
    n=st.integers(3, 12),
    extra=st.lists(st.tuples(st.integers(0, 11), st.integers(0, 11)), max_size=12),
    where=st.sampled_from(["weight", "hash"]),
    mutation=st.sampled_from(sorted(_GRAPH_MUTATIONS)),
    k=st.integers(0, 5),
    weight=st.sampled_from([1.0, -2.5, 1e-300, 1e300, 0.0]),
)
def test_graph_read_with_mutating_callbacks(n, extra, where, mutation, k, weight):
    G = nx.path_graph(n)
    G.add_edges_from((u % n, v % n) for u, v in extra)
    act = lambda: _GRAPH_MUTATIONS[mutation](G, k)  # noqa: E731
    if where == "weight":
        u, v = next(iter(G.edges))
        G[u][v]["weight"] = _Trigger(act, weight)
    else:
        node = _HashNode(n + 1)
        G.add_edge(0, node, weight=weight)
        _HashNode.action = act
    try:
        r = corvane.compute_lpi(G)
    except SystemError:
        raise
    except Exception:
        return
    finally:
        _HashNode.action = None
    assert r["n+"] + r["n0"] + r["n-"] == len(r["eigenvalues"])


@settings(max_examples=examples(15), deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(
    smiles=st.sampled_from(["CCO", "CC(=O)OC", "c1ccccc1Cl", "CC(N)C(=O)O"]),
    at=st.integers(0, 12),
    mutation=st.sampled_from(sorted(_GRAPH_MUTATIONS) + ["rebind compute_lpi", "rebind np"]),
    k=st.integers(0, 5),
)
def test_soft_bonds_with_a_generator_that_mutates(smiles, at, mutation, k):
    r = corvane.VIF(smiles, n_iter=5, draw=False, verbose=False)
    G, bonds = r["graph"], r["chem_bonds"]
    own_lpi, own_np = corvane.compute_lpi, corvane.np

    def act():
        if mutation == "rebind compute_lpi":
            corvane.compute_lpi = lambda g, tol=1e-6, weight="weight": own_lpi(g, tol, weight)
        elif mutation == "rebind np":
            corvane.np = np
        else:
            _GRAPH_MUTATIONS[mutation](G, k)

    def records():
        for i, b in enumerate(bonds):
            if i == at:
                act()
            yield b

    try:
        soft = corvane.detect_soft_bonds(G, records(), r["lpi"])
    except SystemError:
        raise
    except Exception:
        return
    finally:
        corvane.compute_lpi, corvane.np = own_lpi, own_np
    assert all(b in bonds for b in soft)


# ===========================================================================
# Issue 14, group "net": the PubChem lookup against answers of any shape.
# Whatever the server sends, the lookup returns SMILES text without control
# characters and an integer (or no) CID, or raises an ordinary exception; it
# never prints or hands on anything else.  (One block; keep it together.)

import gzip  # noqa: E402
import json as _json  # noqa: E402

import requests  # noqa: E402

from pubchem_server import PubChemServer, property_table, smiles_path  # noqa: E402

_JSON_LEAVES = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(10**30), max_value=10**30),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(max_size=20),
    st.sampled_from(["O", "", "C\n[PubChem] x", "O\x1b[2K", "\u0085", "C" * 5000, "962"]),
)
_JSON = st.recursive(
    _JSON_LEAVES,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=8), inner, max_size=4)),
    max_leaves=12,
)
_RECORD = st.dictionaries(
    st.sampled_from(["SMILES", "IsomericSMILES", "ConnectivitySMILES", "CID", "Other"]), _JSON, max_size=5
)


def _answer_body():
    table = st.lists(_RECORD, max_size=3).map(lambda recs: _json.dumps(property_table(*recs)).encode())
    odd_json = _JSON.map(lambda v: _json.dumps(v).encode())
    raw = st.binary(max_size=200)
    deep = st.integers(min_value=1, max_value=100_000).map(lambda n: b"[" * n + b"]" * n)
    return st.one_of(table, table, odd_json, raw, deep)


@settings(max_examples=examples(60), deadline=None, database=None, suppress_health_check=list(HealthCheck))
@given(
    body=_answer_body(),
    status=st.sampled_from([200, 200, 200, 404, 500, 302]),
    gz=st.booleans(),
    timeout=st.sampled_from([5, 5.0, (2, 3), np.float64(4), (None, 5), None]),
)
def test_pubchem_answers_of_any_shape(body, status, gz, timeout):
    headers = {"Content-Encoding": "gzip"} if gz else {}
    if status == 302:
        headers["Location"] = smiles_path("water")
    old = corvane.PUBCHEM_REST
    with PubChemServer() as server:
        server.add(smiles_path("thing"), status, gzip.compress(body) if gz else body, headers)
        server.add_compound("water", {"CID": 962, "SMILES": "O"})
        corvane.PUBCHEM_REST = server.base_url
        try:
            try:
                smiles, cid = corvane.fetch_smiles_from_pubchem("thing", timeout=timeout)
            except SystemError:
                raise
            except (Exception, RecursionError):
                pass
            else:
                assert isinstance(smiles, str) and smiles and smiles.isprintable()
                assert cid is None or (type(cid) is int)
        finally:
            corvane.PUBCHEM_REST = old


@pytest.mark.parametrize(
    "timeout",
    [0, -1, True, "5", b"5", (1,), (1, 2, 3), (True, 1), (1, "x"), float("inf"), float("nan"), [1, 2], {}, object()],
)
def test_pubchem_odd_time_limits(pubchem_server, timeout):
    # requests decides what it accepts; the total limit never adds a crash or
    # a SystemError of its own.
    pubchem_server.add_compound("water", {"CID": 962, "SMILES": "O"})
    try:
        corvane.fetch_smiles_from_pubchem("water", timeout=timeout)
    except SystemError:
        raise
    except (ValueError, TypeError, OverflowError, requests.exceptions.RequestException):
        pass
# ===========================================================================


# ---------------------------------------------------------------------------
# ms group: the mass-spectrum functions attacked mid-call.  A weight's
# __float__, an atom_subgraphs lookup or a chem_bonds generator mutates the
# graph, rebinds a module name or raises at a drawn moment; every call ends
# in a result or an ordinary exception, never a crash or SystemError.

MS_SMILES = ["CCO", "CC(=O)Cl", "c1ccccc1O", "CCOC(=O)c1ccccc1", "CC(C)(C)Br"]
_MS_RECORDS = {}


def _ms_record(smi):
    if smi not in _MS_RECORDS:
        r = corvane.VIF(smi, draw=False, verbose=False)
        _MS_RECORDS[smi] = (r["graph"], r["atom_subgraphs"], r["chem_bonds"])
    G, subs, cb = _MS_RECORDS[smi]
    return copy.deepcopy(G), subs, cb


class _MsWeight:
    def __init__(self, x, fire):
        self.x, self.fire = x, fire

    def __float__(self):
        self.fire()
        return self.x


MS_ACTIONS = ["add nodes", "remove nodes", "remove edge", "set weight", "clear", "rebind compute_lpi",
              "rebind _nominal_mass", "raise"]


@settings(max_examples=examples(40), deadline=None, suppress_health_check=list(HealthCheck))
@given(
    smi=st.sampled_from(MS_SMILES),
    fn=st.sampled_from(["_fragment_atom_softs", "predict_fragments_recursive"]),
    trigger=st.sampled_from(["weight", "atom_subgraphs", "chem_bonds generator"]),
    action=st.sampled_from(MS_ACTIONS),
    when=st.integers(0, 30),
    seed=st.integers(0, 2**16),
)
def test_ms_functions_attacked_mid_call(smi, fn, trigger, action, when, seed):
    from molecules import prepared_molecule

    G, subs, cb = _ms_record(smi)
    rng = random.Random(seed)
    own_lpi, own_mass = corvane.compute_lpi, corvane._nominal_mass
    count = [0]

    class Boom(Exception):
        pass

    def act():
        nodes = list(G.nodes)
        if action == "add nodes":
            G.add_nodes_from(range(10**6, 10**6 + rng.choice([1, 50, 2000])))
        elif action == "remove nodes" and nodes:
            G.remove_nodes_from(rng.sample(nodes, max(1, len(nodes) // 3)))
        elif action == "remove edge" and G.number_of_edges():
            G.remove_edge(*rng.choice(list(G.edges)))
        elif action == "set weight" and G.number_of_edges():
            u, v = rng.choice(list(G.edges))
            G[u][v]["weight"] = rng.choice([0.0, -1.0, 1e300, 7.5])
        elif action == "clear":
            G.clear()
        elif action == "rebind compute_lpi":
            corvane.compute_lpi = lambda *a, **k: own_lpi(*a, **k)
        elif action == "rebind _nominal_mass":
            corvane._nominal_mass = lambda m, idx: own_mass(m, idx) + 2**70
        elif action == "raise":
            raise Boom("attack")

    def fire():
        count[0] += 1
        if count[0] == when + 1:
            act()

    atom_subgraphs, chem_bonds = subs, cb
    if trigger == "weight":
        for _, _, d in G.edges(data=True):
            d["weight"] = _MsWeight(float(d.get("weight", 1.0)), fire)
    elif trigger == "atom_subgraphs":

        class Subs(dict):
            def __getitem__(self, k):
                fire()
                return dict.__getitem__(self, k)

        atom_subgraphs = Subs(subs)
    else:

        def gen():
            for c in cb:
                fire()
                yield c

        chem_bonds = gen()
    mol = prepared_molecule(smi)
    try:
        if fn == "_fragment_atom_softs":
            r = corvane._fragment_atom_softs(G, atom_subgraphs, chem_bonds, set(range(mol.GetNumAtoms())))
        else:
            r = corvane.predict_fragments_recursive(mol, G, atom_subgraphs, chem_bonds, max_generations=2)
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - networkx's, numpy's or the attack's own error
        r = e
    finally:
        corvane.compute_lpi, corvane._nominal_mass = own_lpi, own_mass
    assert isinstance(r, (list if fn == "_fragment_atom_softs" else dict, Exception)), repr(r)
    # A change is reported as such: by the module, or by Python's own dict
    # iteration on the networkx path.
    if isinstance(r, RuntimeError) and "changed" not in str(r):
        raise r


# ---------------------------------------------------------------------------


# ---------------------------------------------------------------------------
# Layout attacks (issue 14, group "layout"): callbacks that resize the
# coordinates, raise, or rebind module names in the middle of the layout
# functions, drawn at random and run in one child process.

LAYOUT_ATTACK_CHILD = textwrap.dedent(
    """
    import sys, json
    import numpy as np
    from rdkit import Chem
    import corvane

    ORIGINAL = {k: getattr(corvane, k) for k in ("_radial_equalize", "_symmetry_classes", "_pca_align", "_enforce_mirror")}

    class Trigger:
        # Runs the attack on its `when`-th use (counted over every hook of one case).
        def __init__(self, plan, arr):
            self.plan, self.arr, self.count = plan, arr, 0
        def __call__(self):
            self.count += 1
            if self.count != self.plan["when"]:
                return
            act = self.plan["action"]
            if act == "raise":
                raise ValueError("attack")
            if act == "resize" and self.arr:
                self.arr[0].resize((self.plan["rows"], 2), refcheck=False)
            if act == "rebind":
                corvane._radial_equalize = lambda c, g: None

    def case(plan):
        rng = np.random.default_rng(plan["seed"])
        n = plan["n"]
        coords = rng.normal(size=(n, 2))
        if plan["fortran"]:
            c = np.ndarray((n, 2), dtype=float, order="F")
            c[:] = coords
            coords = c
        arr = [coords]
        t = Trigger(plan, arr)
        class R:
            def __init__(self, v): self.v = v
            def __ne__(self, o):
                t()
                return self.v != o.v
            def __eq__(self, o):
                t()
                return self.v == o.v
            def __hash__(self): return hash(self.v)
        class I:
            def __init__(self, i): self.i = i
            def __index__(self):
                t()
                return self.i
        class F:
            def __init__(self, x): self.x = x
            def __float__(self):
                t()
                return self.x
        fn = plan["fn"]
        ranks = [R(int(v)) for v in rng.integers(0, 3, n)]
        if fn == "mirror":
            corvane._enforce_mirror(coords, ranks, I(plan["axis"]), F(0.05))
        elif fn == "radial":
            corvane._radial_equalize(coords, {0: [I(int(i)) for i in rng.integers(0, n, 4)], 1: [I(0), I(n - 1)]})
        elif fn == "pca":
            corvane._pca_align(coords)
        elif fn == "nodes":
            corvane._yerlestir_dugumler(I(plan["n"] + 2), [F(float(x)) for x in rng.normal(size=3)])
        elif fn == "layout":
            mol = Chem.AddHs(Chem.MolFromSmiles(plan["smiles"]))
            def eq(c, g):
                arr[:] = [c]
                t()
            def classes(m):
                t()
                return [R(i % 2) for i in range(m.GetNumAtoms() + plan["extra_ranks"])]
            corvane._radial_equalize = eq
            if plan["rebind_classes"]:
                corvane._symmetry_classes = classes
            corvane.compute_atom_layout(mol, n_iter=I(70), target_bond_len=F(1.5))

    counts = {}
    for line in sys.stdin.read().splitlines():
        plan = json.loads(line)
        sys.stderr.write("TRY " + line + "\\n")
        sys.stderr.flush()
        try:
            case(plan)
            key = "ok"
        except SystemError:
            raise
        except Exception as e:
            key = type(e).__name__
        finally:
            for k, v in ORIGINAL.items():
                setattr(corvane, k, v)
        counts[key] = counts.get(key, 0) + 1
    print(json.dumps(counts))
    """
)

layout_attack = st.fixed_dictionaries({
    "fn": st.sampled_from(["mirror", "radial", "pca", "nodes", "layout"]),
    "seed": st.integers(0, 2**32 - 1),
    "n": st.sampled_from([1, 2, 3, 7, 40, 300]),
    "fortran": st.booleans(),
    "when": st.integers(1, 12),
    "action": st.sampled_from(["resize", "resize", "raise", "rebind", "none"]),
    "rows": st.sampled_from([0, 1, 2, 3, 5000]),
    "axis": st.sampled_from([0, 1]),
    "smiles": st.sampled_from(["CC", "c1ccccc1", "CCO", "ClC(Cl)Cl", "C1CC1C(=O)O"]),
    "extra_ranks": st.sampled_from([0, 0, 2, -1]),
    "rebind_classes": st.booleans(),
})


def test_layout_attacks_never_crash():
    import json

    plans = []

    @settings(max_examples=examples(60), deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(layout_attack)
    def collect(plan):
        plans.append(plan)

    collect()
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.path.dirname(corvane.__file__))
    proc = subprocess.run([sys.executable, "-c", LAYOUT_ATTACK_CHILD], input="\n".join(json.dumps(s) for s in plans),
                          capture_output=True, text=True, env=env, timeout=1800)
    tried = [ln for ln in proc.stderr.splitlines() if ln.startswith("TRY ")]
    assert proc.returncode == 0, f"child died ({proc.returncode}) at {tried[-1:]}\n{proc.stderr[-3000:]}"
    counts = json.loads(proc.stdout.strip().splitlines()[-1])
    assert sum(counts.values()) == len(plans)
    assert "SystemError" not in counts
