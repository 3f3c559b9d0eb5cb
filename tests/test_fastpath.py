"""The module's own fast paths (one decomposition for all trial cuts) against
the plain path, forced by rebinding compute_lpi to a Python wrapper of itself."""
import copy
from concurrent.futures import ThreadPoolExecutor

import networkx as nx
import numpy as np
import pytest

import corvane
from molecules import CORPUS, corpus_rows, prepared_molecule

def corpus():
    return [pytest.param(smi, id=name or smi) for smi, name in corpus_rows()]


@pytest.fixture
def plain(monkeypatch):
    """Context in which compute_lpi is a Python wrapper of the module's own."""
    own = corvane.compute_lpi

    class Plain:
        def __enter__(self):
            monkeypatch.setattr(corvane, "compute_lpi", lambda *a, **k: own(*a, **k))

        def __exit__(self, *exc):
            monkeypatch.setattr(corvane, "compute_lpi", own)

    return Plain()


def both(plain, fn, graph):
    """fn on two copies of graph, fast then plain: results and final edge lists."""
    g_fast, g_plain = copy.deepcopy(graph), copy.deepcopy(graph)
    for g in (g_fast, g_plain):
        g.__networkx_cache__["probe"] = {}  # a conversion cache, cleared by edge changes
    fast = fn(g_fast)
    with plain:
        slow = fn(g_plain)
    assert g_fast.__networkx_cache__ == g_plain.__networkx_cache__
    return fast, slow, list(g_fast.edges(data=True)), list(g_plain.edges(data=True))


CORPUS_ROWS = corpus()


@pytest.mark.skipif(not CORPUS.exists(), reason="corpus not available")
def test_corpus_soft_bonds():
    """Every corpus molecule: the same soft records (by identity), same order."""
    own = corvane.compute_lpi
    for p in CORPUS_ROWS:
        smi = p.values[0]
        r = corvane.VIF(smi, draw=False, verbose=False)
        if not isinstance(r, dict):
            continue
        H, cb, lpi = r["graph"], r["chem_bonds"], r["lpi"]
        fast = corvane.detect_soft_bonds(H, cb, lpi)
        corvane.compute_lpi = lambda *a, **k: own(*a, **k)
        try:
            slow = corvane.detect_soft_bonds(H, cb, lpi)
        finally:
            corvane.compute_lpi = own
        assert [id(s) for s in fast] == [id(s) for s in slow], p.id
        assert [id(s) for s in r["soft_bonds"]] == [id(s) for s in fast], p.id


@pytest.mark.skipif(not CORPUS.exists(), reason="corpus not available")
def test_corpus_cascade_first_generation(plain):
    """Every corpus molecule: the same one-generation cascade peaks."""
    for p in CORPUS_ROWS:
        smi = p.values[0]
        r = corvane.VIF(smi, draw=False, verbose=False)
        if not isinstance(r, dict):
            continue
        args = (prepared_molecule(smi), r["graph"], r["atom_subgraphs"], r["chem_bonds"])
        fast = corvane.predict_fragments_recursive(*args, max_generations=1)
        with plain:
            slow = corvane.predict_fragments_recursive(*args, max_generations=1)
        assert list(fast.items()) == list(slow.items()), p.id


@pytest.mark.parametrize("smi", [p for i, p in enumerate(CORPUS_ROWS) if i % 8 == 0] + ["CN", "CC(=O)Cl"])
def test_cascade_peaks(plain, smi):
    r = corvane.VIF(smi, draw=False, verbose=False)
    mol = prepared_molecule(smi)
    args = (mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"])
    fast = corvane.predict_fragments_recursive(*args, max_generations=2)
    with plain:
        slow = corvane.predict_fragments_recursive(*args, max_generations=2)
    assert list(fast.items()) == list(slow.items())


def methylamine_graph():
    r = corvane.VIF("CN", draw=False, verbose=False)
    return r["graph"], r["chem_bonds"]


def test_methylamine_has_zero_eigenvalues():
    H, _ = methylamine_graph()
    assert corvane.compute_lpi(H)["n0"] > 0


def random_graph(seed):
    """Weighted graphs of several kinds: integer weights on trees and sparse
    graphs (many zero eigenvalues), negative and zero weights, self-loops."""
    rng = np.random.default_rng(seed)
    kind = seed % 5
    n = int(rng.integers(2, 30))
    if kind == 0:
        G = nx.random_labeled_tree(n, seed=seed) if hasattr(nx, "random_labeled_tree") else nx.random_tree(n, seed=seed)
        G = nx.Graph(G)
        for u, v in G.edges:
            G[u][v]["weight"] = 1.0
    else:
        G = nx.gnp_random_graph(n, 0.2 if kind != 4 else 0.5, seed=seed)
        for u, v in G.edges:
            if kind == 1:
                w = float(rng.integers(1, 3))
            elif kind == 2:
                w = float(rng.choice([-1.0, 1.0, 0.5, 0.0]))
            else:
                w = float(rng.normal())
            G[u][v]["weight"] = w
        if kind == 3 and n > 2:
            G.add_edge(0, 0, weight=0.7)
            for u, v, d in list(G.edges(data=True))[:2]:
                del d["weight"]
    return G


def bond_records(G, seed):
    rng = np.random.default_rng(seed)
    recs = [{"u_node": u, "v_node": v, "atom_u": u, "atom_v": v} for u, v in G.edges]
    n = G.number_of_nodes()
    recs.append({"u_node": 0, "v_node": n - 1, "atom_u": 0, "atom_v": n - 1})  # may be absent
    rng.shuffle(recs)
    return recs


GRAPH_CASES = [pytest.param(seed, tol, id=f"seed{seed}-tol{tol}") for seed in range(40) for tol in (1e-9, 0.0)]


@pytest.mark.parametrize("seed, tol", GRAPH_CASES)
def test_random_graph_soft_bonds(plain, seed, tol):
    G = random_graph(seed)
    recs = bond_records(G, seed)
    base = corvane.compute_lpi(G, tol=tol)

    def run(g):
        return corvane.detect_soft_bonds(g, recs, base, tol=tol)

    fast, slow, e_fast, e_slow = both(plain, run, G)
    assert [id(s) for s in fast] == [id(s) for s in slow]
    assert e_fast == e_slow


@pytest.mark.parametrize("seed, tol", GRAPH_CASES[::3])
def test_random_graph_fragment_softs(plain, seed, tol):
    G = random_graph(seed)
    recs = bond_records(G, seed)
    rng = np.random.default_rng(seed + 1000)
    nodes = list(G.nodes)
    atom_set = {x for x in nodes if rng.random() < 0.8} or {nodes[0]}
    subgraphs = {x: [x] for x in nodes}

    def run(g):
        return corvane._fragment_atom_softs(g, subgraphs, recs, atom_set, tol)

    fast, slow, e_fast, e_slow = both(plain, run, G)
    assert [id(s) for s in fast] == [id(s) for s in slow]
    assert e_fast == e_slow


def edge_tol_graph(w_end):
    """A chain whose trial cuts leave a two-node piece with eigenvalues
    +-w_end, close to the band edges: the fast path must defer to eigenvalues."""
    G = nx.Graph()
    G.add_edge(0, 1, weight=w_end)
    for u in range(1, 6):
        G.add_edge(u, u + 1, weight=1.0)
    G.add_edge(6, 7, weight=w_end)
    G.add_edge(3, 8, weight=0.9)
    return G


@pytest.mark.parametrize("rel", [-1e-6, -1e-12, -1e-15, 0.0, 1e-15, 1e-12, 1e-6])
@pytest.mark.parametrize("tol", [1e-9, 1e-3])
def test_trial_eigenvalue_at_band_edge(plain, rel, tol):
    G = edge_tol_graph(tol * (1.0 + rel))
    recs = bond_records(G, 7)
    base = corvane.compute_lpi(G, tol=tol)
    fast, slow, e_fast, e_slow = both(plain, lambda g: corvane.detect_soft_bonds(g, recs, base, tol=tol), G)
    assert [id(s) for s in fast] == [id(s) for s in slow]
    subgraphs = {x: [x] for x in G.nodes}
    fast, slow, _, _ = both(plain, lambda g: corvane._fragment_atom_softs(g, subgraphs, recs, set(G.nodes), tol), G)
    assert [id(s) for s in fast] == [id(s) for s in slow]


@pytest.mark.parametrize("tol", [1e-9, 0.0, 1e-3])
def test_methylamine(plain, tol):
    H, cb = methylamine_graph()
    base = corvane.compute_lpi(H, tol=tol)
    fast, slow, e_fast, e_slow = both(plain, lambda g: corvane.detect_soft_bonds(g, cb, base, tol=tol), H)
    assert [id(s) for s in fast] == [id(s) for s in slow]
    assert e_fast == e_slow


def test_threads_agree():
    """Trial counts run without the GIL: concurrent calls give the serial results."""
    graphs = []
    for smi in ["Clc1ccccc1", "ClCc1ccccc1", "CC(=O)Cl", "c1ccc2ccccc2c1", "CCCCCCCCCC"]:
        r = corvane.VIF(smi, draw=False, verbose=False)
        graphs.append((r["graph"], r["chem_bonds"], r["lpi"]))
    serial = [[id(s) for s in corvane.detect_soft_bonds(*g)] for g in graphs]
    copies = [(copy.deepcopy(H), cb, lpi) for H, cb, lpi in graphs]
    with ThreadPoolExecutor(4) as ex:
        for _ in range(3):
            got = list(ex.map(lambda g: [id(s) for s in corvane.detect_soft_bonds(*g)], copies))
            assert got == serial


@pytest.fixture(scope="module")
def huge():
    G = nx.empty_graph(200_000)
    G.add_edge(0, 1, weight=1.0)
    return G


def test_dense_matrix_too_large(huge):
    with pytest.raises(MemoryError, match="200000 nodes"):
        corvane.compute_lpi(huge)
    with pytest.raises(MemoryError, match="200000 nodes"):
        corvane.compute_lpi(nx.MultiGraph(nx.empty_graph(200_000)))
    recs = [{"u_node": 0, "v_node": 1, "atom_u": 0, "atom_v": 1}]
    with pytest.raises(MemoryError):
        corvane.detect_soft_bonds(huge, recs, {"n+": 1, "n0": 199_998, "n-": 1})
    with pytest.raises(MemoryError):
        corvane._fragment_atom_softs(huge, {0: range(200_000)}, recs, {0})
    assert list(huge.edges(data=True)) == [(0, 1, {"weight": 1.0})]
