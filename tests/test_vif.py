"""VIF graph construction, soft bonds and the VIF driver's record and report."""
import math
from collections import Counter

import networkx as nx
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from rdkit import Chem

import corvane
from molecules import prepared_molecule

UNREADABLE = "SMILES okunamadı!"


def vif(smiles, **kw):
    kw.setdefault("draw", False)
    kw.setdefault("verbose", False)
    return corvane.VIF(smiles, **kw)


# ---------------------------------------------------------------------------
# A plain reading of the construction, through the module's public helpers.


def plain_build(smiles, n_iter=600, target_bond_len=1.5, radius_ratio=0.23, bond_kappa=0.9):
    mol = prepared_molecule(smiles)
    first, _ = corvane.compute_atom_layout(mol, n_iter=n_iter, target_bond_len=target_bond_len)
    coords = {i: first[i] for i in range(mol.GetNumAtoms())}
    bond_orders = corvane._build_bond_orders(mol)
    H = nx.Graph()
    counter = 0
    subgraphs, sigmas, pis, pos, node_angles = {}, {}, {}, {}, {}
    radius = target_bond_len * radius_ratio
    for atom in mol.GetAtoms():
        idx, symbol = atom.GetIdx(), atom.GetSymbol()
        period = corvane._get_period(symbol)
        n_nodes = 4 if period in (2, 3) else (9 if period > 3 else 1)
        current = list(range(counter, counter + n_nodes))
        counter += n_nodes
        subgraphs[idx] = current
        pi_count = sum(max(0, bond_orders.get((idx, n.GetIdx()), 1) - 1) for n in atom.GetNeighbors())
        n_pi = min(pi_count, n_nodes - 1) if n_nodes > 1 else 0
        sigmas[idx], pis[idx] = current[: n_nodes - n_pi], current[n_nodes - n_pi :]
        rol = "Merkez" if symbol in ("C", "Li") else "Uç"
        H.add_nodes_from(sigmas[idx], symbol=symbol, rol=rol, kind="sigma")
        H.add_nodes_from(pis[idx], symbol=symbol, rol=rol, kind="pi")
        for i, a in enumerate(sigmas[idx]):
            for b in sigmas[idx][i + 1 :]:
                H.add_edge(a, b, weight=1.0)
        center, targets = coords[idx], []
        for n in atom.GetNeighbors():
            d = coords[n.GetIdx()] - center
            if np.linalg.norm(d) < 1e-9:
                continue
            base = math.atan2(d[1], d[0])
            order = max(1, min(bond_orders.get((idx, n.GetIdx()), 1), n_nodes))
            targets += [base + (k - (order - 1) / 2.0) * 0.35 for k in range(order)]
        angles = corvane._yerlestir_dugumler(n_nodes, targets[:n_nodes])
        node_angles[idx] = {}
        for node, ang in zip(current, angles):
            pos[node] = np.array([center[0] + radius * math.cos(ang), center[1] + radius * math.sin(ang)])
            node_angles[idx][node] = ang

    def greedy(targets, nodes, to_angle, assignment):
        if not targets or not nodes:
            return
        if len(nodes) == 1:
            for n_idx, k, _ in targets:
                assignment[(n_idx, k)] = nodes[0]
            return
        pairs = [(corvane._angle_diff(to_angle[n], ta), ti, n, n_idx, k)
                 for ti, (n_idx, k, ta) in enumerate(targets) for n in nodes]
        pairs.sort(key=lambda p: p[0])
        used_n, used_t = set(), set()
        for _, ti, n, n_idx, k in pairs:
            if ti in used_t or n in used_n:
                continue
            assignment[(n_idx, k)] = n
            used_t.add(ti)
            used_n.add(n)
        for ti, (n_idx, k, ta) in enumerate(targets):
            if ti not in used_t:
                assignment[(n_idx, k)] = min(nodes, key=lambda n: corvane._angle_diff(to_angle[n], ta))

    assign = {}
    for atom in mol.GetAtoms():
        idx = atom.GetIdx()
        center, st_, pt = coords[idx], [], []
        for n in atom.GetNeighbors():
            d = coords[n.GetIdx()] - center
            if np.linalg.norm(d) < 1e-9:
                continue
            base = math.atan2(d[1], d[0])
            order = max(1, bond_orders.get((idx, n.GetIdx()), 1))
            for k in range(order):
                (st_ if k == 0 else pt).append((n.GetIdx(), k, base + (k - (order - 1) / 2.0) * 0.35))
        assign[idx] = {}
        if len(subgraphs[idx]) == 1:
            for n_idx, k, _ in st_ + pt:
                assign[idx][(n_idx, k)] = subgraphs[idx][0]
            continue
        greedy(st_, sigmas[idx], node_angles[idx], assign[idx])
        greedy(pt, pis[idx], node_angles[idx], assign[idx])
    chem_bonds = []
    for b in mol.GetBonds():
        u, v = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        order = bond_orders[(u, v)]
        su, sv = mol.GetAtomWithIdx(u).GetSymbol(), mol.GetAtomWithIdx(v).GetSymbol()
        for k in range(order):
            un, vn = assign[u].get((v, k)), assign[v].get((u, k))
            if un is None or vn is None:
                un, vn = subgraphs[u][0], subgraphs[v][0]
            if H.has_edge(un, vn):
                continue
            H.add_edge(un, vn, weight=bond_kappa)
            chem_bonds.append({"u_node": un, "v_node": vn, "atom_u": u, "atom_v": v,
                               "sym_u": su, "sym_v": sv, "order": order, "k": k})
    return H, chem_bonds, subgraphs, pos


def graph_state(H):
    """Everything order-sensitive about a graph: nodes with attributes, and
    each node's neighbours with edge data, in networkx's order."""
    return ([(n, list(d.items())) for n, d in H.nodes(data=True)],
            [(n, [(m, list(d.items())) for m, d in nbrs.items()]) for n, nbrs in H.adj.items()])


def assert_same_build(r, expected):
    H, chem_bonds, subgraphs, pos = expected
    assert type(r["graph"]) is nx.Graph
    assert graph_state(r["graph"]) == graph_state(H)
    assert list(r["graph"].edges()) == list(H.edges())
    assert r["chem_bonds"] == chem_bonds
    assert [list(rec) for rec in r["chem_bonds"]] == [list(rec) for rec in chem_bonds]
    assert r["atom_subgraphs"] == subgraphs
    assert list(r["pos"]) == list(pos)
    for n, p in pos.items():
        q = r["pos"][n]
        assert isinstance(q, np.ndarray) and q.dtype == np.float64 and q.shape == (2,)
        assert q.tolist() == p.tolist()


MOLECULES = ["O", "C=C", "CC#N", "O=C=O", "CC(=O)Cl", "c1ccccc1Br", "CS(=O)(=O)O", "[NH4+].[Cl-]",
             "C[Li]", "c1ccc(cc1)[N+](=O)[O-]", "[H]B1([H])[H][B]([H])([H])[H]1", "c1ccn2c1cccc2", "[Fe]"]


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("smiles", MOLECULES)
def test_graph_matches_plain_reading(smiles):
    assert_same_build(vif(smiles), plain_build(smiles))


@pytest.mark.parametrize("smiles", ["CC(=O)Cl", "c1ccccc1Br", "C#CC=O"])
def test_rebound_layout_helpers_give_the_same_graph(smiles, monkeypatch):
    expected = plain_build(smiles, radius_ratio=0.4, bond_kappa=1)
    calls = Counter()
    for name in ("_get_period", "_yerlestir_dugumler", "_angle_diff", "_build_bond_orders"):
        own = getattr(corvane, name)

        def wrapper(*a, _own=own, _name=name):
            calls[_name] += 1
            return _own(*a)

        monkeypatch.setattr(corvane, name, wrapper)
    r = vif(smiles, radius_ratio=0.4, bond_kappa=1)
    assert_same_build(r, expected)
    n_atoms = len(r["atom_subgraphs"])
    assert calls["_get_period"] == calls["_yerlestir_dugumler"] == n_atoms
    assert calls["_build_bond_orders"] == 1 and calls["_angle_diff"] > 0


def test_ethylene_nodes_and_edges():
    r = vif("C=C")
    H = r["graph"]
    assert list(H.nodes(data=True)) == (
        [(n, {"symbol": "C", "rol": "Merkez", "kind": "sigma"}) for n in (0, 1, 2)]
        + [(3, {"symbol": "C", "rol": "Merkez", "kind": "pi"})]
        + [(n, {"symbol": "C", "rol": "Merkez", "kind": "sigma"}) for n in (4, 5, 6)]
        + [(7, {"symbol": "C", "rol": "Merkez", "kind": "pi"})]
        + [(n, {"symbol": "H", "rol": "Uç", "kind": "sigma"}) for n in range(8, 12)])
    assert list(H.edges(data=True)) == [
        (0, 1, {"weight": 1.0}), (0, 2, {"weight": 1.0}), (0, 4, {"weight": 0.9}), (1, 2, {"weight": 1.0}),
        (1, 9, {"weight": 0.9}), (2, 8, {"weight": 0.9}), (3, 7, {"weight": 0.9}), (4, 5, {"weight": 1.0}),
        (4, 6, {"weight": 1.0}), (5, 6, {"weight": 1.0}), (5, 11, {"weight": 0.9}), (6, 10, {"weight": 0.9})]
    rec = lambda u, v, au, av, sv, o, k: {"u_node": u, "v_node": v, "atom_u": au, "atom_v": av,
                                          "sym_u": "C", "sym_v": sv, "order": o, "k": k}
    assert r["chem_bonds"] == [rec(0, 4, 0, 1, "C", 2, 0), rec(3, 7, 0, 1, "C", 2, 1), rec(2, 8, 0, 2, "H", 1, 0),
                               rec(1, 9, 0, 3, "H", 1, 0), rec(6, 10, 1, 4, "H", 1, 0), rec(5, 11, 1, 5, "H", 1, 0)]
    assert r["atom_subgraphs"] == {0: [0, 1, 2, 3], 1: [4, 5, 6, 7], 2: [8], 3: [9], 4: [10], 5: [11]}


@pytest.mark.parametrize("d, order", [(1.0, 1), (1.5, 2), (2.5, 2), (3.0, 3), (0.0, 1), (0.4, 1)])
def test_build_bond_orders(d, order):
    class Bond:
        GetBeginAtomIdx = lambda self: 2
        GetEndAtomIdx = lambda self: 5
        GetBondTypeAsDouble = lambda self: d

    class Mol:
        GetBonds = lambda self: [Bond()]

    assert corvane._build_bond_orders(Mol()) == {(2, 5): order, (5, 2): order}


def test_build_bond_orders_of_a_molecule():
    mol = Chem.MolFromSmiles("C=CC#N")
    assert corvane._build_bond_orders(mol) == {(0, 1): 2, (1, 0): 2, (1, 2): 1, (2, 1): 1, (2, 3): 3, (3, 2): 3}


@pytest.mark.parametrize("result, exc", [((np.zeros((9, 2)),), ValueError),
                                         ((np.zeros((9, 2)), [], None), ValueError),
                                         (5, TypeError),
                                         ((np.zeros((2, 2)), []), IndexError)])
def test_layout_result_must_be_a_pair_of_rows(monkeypatch, result, exc):
    monkeypatch.setattr(corvane, "compute_atom_layout", lambda mol, **kw: result)
    with pytest.raises(exc):
        vif("CO")


# ---------------------------------------------------------------------------
# LPI and soft bonds


@pytest.mark.parametrize("name, smiles, expected", corvane.LPI_REFERENCES)
def test_lpi_references(name, smiles, expected):
    lpi = vif(smiles)["lpi"]
    assert (lpi["n+"], lpi["n0"], lpi["n-"]) == expected
    assert all(type(lpi[k]) is int for k in ("n+", "n0", "n-"))


def signature(records):
    return Counter((tuple(sorted((r["sym_u"], r["sym_v"]))), r["order"], r["k"]) for r in records)


@pytest.mark.parametrize("smiles, soft", [
    ("O", {}), ("F", {}), ("CO", {}), ("C=C", {}),
    ("Clc1ccccc1", {(("C", "C"), 1, 0): 3, (("C", "C"), 2, 0): 3, (("C", "Cl"), 1, 0): 1}),
    ("ClCc1ccccc1", {(("C", "C"), 1, 0): 4, (("C", "C"), 2, 0): 3, (("C", "Cl"), 1, 0): 1}),
    ("CC(=O)Cl", {(("C", "O"), 2, 0): 1, (("C", "Cl"), 1, 0): 1}),
])
def test_soft_bonds(smiles, soft):
    r = vif(smiles)
    assert signature(r["soft_bonds"]) == Counter(soft)
    ids = [id(b) for b in r["chem_bonds"]]
    positions = [ids.index(id(s)) for s in r["soft_bonds"]]
    assert positions == sorted(positions)


def random_graph(data, labels):
    """A builder of one random weighted graph (called twice for two equal
    graphs) and random records over its node pairs, joined or not."""
    n = data.draw(st.integers(1, 9))
    nodes = data.draw(st.permutations(range(n))) if labels == "ints" else [f"n{i}" for i in range(n)]
    pairs = [(nodes[i], nodes[j]) for i in range(n) for j in range(i, n)]
    weights = st.one_of(st.none(), st.sampled_from([0.0, 1.0, -1.0, 0.9, 2.5, 1e-10, 3]))
    edges = data.draw(st.lists(st.tuples(st.sampled_from(pairs), weights), max_size=20))
    records = [{"u_node": u, "v_node": v, "tag": i}
               for i, (u, v) in enumerate(data.draw(st.lists(st.sampled_from(pairs), max_size=12)))]

    def build():
        G = nx.Graph()
        G.add_nodes_from(nodes)
        for (u, v), w in edges:
            if w is None:
                G.add_edge(u, v, color="x")
            else:
                G.add_edge(u, v, weight=w)
        return G

    return build, records


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data(), labels=st.sampled_from(["ints", "strs"]), tol=st.sampled_from([1e-9, 0.0, 0.5]))
def test_detect_soft_bonds_matches_plain_path_and_restores(data, labels, tol):
    build, records = random_graph(data, labels)
    G, G_plain = build(), build()
    before = {frozenset((u, v)): d.get("weight", 1.0) for u, v, d in G.edges(data=True)}
    node_order = list(G.nodes)
    baseline = corvane.compute_lpi(G, tol=tol)
    soft = corvane.detect_soft_bonds(G, records, baseline, tol=tol)
    own = corvane.compute_lpi
    corvane.compute_lpi = lambda *a, **k: own(*a, **k)
    try:
        soft_plain = corvane.detect_soft_bonds(G_plain, records, baseline, tol=tol)
    finally:
        corvane.compute_lpi = own
    assert [id(s) for s in soft] == [id(s) for s in soft_plain]
    assert all(any(s is r for r in records) for s in soft)
    assert list(G.nodes) == node_order
    assert {frozenset((u, v)): d.get("weight", 1.0) for u, v, d in G.edges(data=True)} == before
    assert graph_state(G) == graph_state(G_plain)


def test_detect_soft_bonds_restored_edge_moves_to_the_end():
    G = nx.Graph()
    G.add_edge(0, 1, weight=2.0, color="red")
    G.add_edge(0, 2)
    records = [{"u_node": 0, "v_node": 1}, {"u_node": 1, "v_node": 2}, {"u_node": 0, "v_node": 2}]
    soft = corvane.detect_soft_bonds(G, records, corvane.compute_lpi(G))
    assert list(G.adj[0].items()) == [(1, {"weight": 2.0}), (2, {"weight": 1.0})]
    # a path of three nodes and a single edge share the LPI {1, 1, 1}
    assert soft == [records[0], records[2]] and soft[0] is records[0]


def test_detect_soft_bonds_uses_rebound_compute_lpi(monkeypatch):
    seen = []
    monkeypatch.setattr(corvane, "compute_lpi",
                        lambda g, tol=1e-9: seen.append(g.number_of_edges()) or {"n+": 1, "n0": 0, "n-": 1})
    G = nx.path_graph(4)
    records = [{"u_node": 0, "v_node": 1}, {"u_node": 0, "v_node": 3}, {"u_node": 2, "v_node": 3}]
    assert corvane.detect_soft_bonds(G, records, {"n+": 1, "n0": 0, "n-": 1}) == [records[0], records[2]]
    assert seen == [2, 2]
    with pytest.raises(KeyError):
        corvane.detect_soft_bonds(G, [{"u_node": 0}], {"n+": 1, "n0": 0, "n-": 1})


# ---------------------------------------------------------------------------
# The driver


KEYS_NO_DRAW = ["lpi", "soft_bonds", "fragments", "real_fragments", "single_fragments", "ringcut_fragments",
                "ring_soft_bonds", "recursive_peaks", "graph", "chem_bonds", "atom_subgraphs", "pos", "mol_mass",
                "mol_mass_avg"]
KEYS_DRAW = ["lpi", "soft_bonds", "fragments", "graph", "chem_bonds", "atom_subgraphs", "pos", "mol_mass",
             "mol_mass_avg"]


def test_record_keys(monkeypatch):
    import matplotlib.pyplot as plt
    monkeypatch.setattr(plt, "show", lambda: None)
    r = corvane.VIF("CC(=O)Cl", draw=False, verbose=False)
    assert list(r) == KEYS_NO_DRAW and r["recursive_peaks"] is None
    assert r["real_fragments"] == r["single_fragments"] + r["ringcut_fragments"]
    assert type(r["mol_mass"]) is int and r["mol_mass"] == 78
    assert isinstance(r["mol_mass_avg"], float)
    d = corvane.VIF("CC(=O)Cl", draw=True, verbose=False, show_spectrum=False)
    assert list(d) == KEYS_DRAW
    assert isinstance(vif("CC(=O)Cl", recursive_ms=True)["recursive_peaks"], dict)


@pytest.mark.parametrize("smiles", ["", "C1CC", "((", "c1cccc", "x" * 10**6, "\x00", "C\x00C", "[Xx]", "%%%"])
@pytest.mark.parametrize("draw", [False, True])
def test_unreadable_smiles(smiles, draw, capsys):
    import matplotlib.pyplot as plt
    assert corvane.VIF(smiles, draw=draw, verbose=True) == UNREADABLE
    assert capsys.readouterr().out == ""
    assert plt.get_fignums() == []


@pytest.mark.parametrize("smiles", [None, 5, ["C"], 1.5])
def test_non_string_smiles_raise(smiles):
    with pytest.raises(TypeError):
        corvane.VIF(smiles, draw=False, verbose=False)


@settings(max_examples=60, deadline=None)
@given(st.text(alphabet="CNOSPFIBrcl()=#[]+-@/\\.%0123456789HLiXe*\x00 ", max_size=25))
def test_any_text_gives_record_or_text_or_exception(smiles):
    try:
        r = vif(smiles)
    except Exception:
        return
    assert r == UNREADABLE or list(r) == KEYS_NO_DRAW


def test_water_report(capsys):
    r = corvane.VIF("O", draw=False)
    ev = np.round(np.linalg.eigvalsh(nx.to_numpy_array(r["graph"])), 3).tolist()
    assert capsys.readouterr().out.splitlines() == [
        "[VIF] O",
        "      Molecular mass M = 18.02 g/mol (avg)  (M+ peak m/z = 18 nominal)",
        "      LPI = {n+=3, n0=0, n-=3}  (6 orbitals total)",
        f"      Eigenvalues: {ev}",
        "      Soft bonds: none (all bonds essential → stable M+ dominates)",
        "      No real fragments → M+ dominates, single peak",
    ]
    assert len(ev) == 6 and r["soft_bonds"] == [] and r["fragments"] == []


def test_report_with_fragments(capsys):
    r = corvane.VIF("CC(=O)Cl", draw=False, recursive_ms=True)
    lines = capsys.readouterr().out.splitlines()
    assert lines[:3] == ["[VIF] CC(=O)Cl",
                         "      Molecular mass M = 78.50 g/mol (avg)  (M+ peak m/z = 78 nominal)",
                         "      LPI = {n+=8, n0=0, n-=11}  (19 orbitals total)"]
    assert lines[4:] == [
        "      Soft bonds: 2  (1 single-cut fragment(s) + 0 ring bond(s))",
        "      Single-cut MS fragments (m/z):",
        "        if C1-Cl3 cleaves:  C2H3O (m/z=43)  +  Cl (m/z=35)",
        "      Expected peak m/z list: [43, 35]",
        f"      Multi-generation MS (2 generations, {len(r['recursive_peaks'])} peaks):",
        f"        m/z list: {sorted(r['recursive_peaks'], reverse=True)}",
    ]


def test_report_with_ring_cuts(capsys):
    r = corvane.VIF("Clc1ccccc1", draw=False, ring_fragmentation=True)
    lines = capsys.readouterr().out.splitlines()
    n_ring = len(r["ringcut_fragments"])
    assert n_ring > 0
    assert lines[4] == f"      Soft bonds: 7  (1 single-cut fragment(s) + {len(r['ring_soft_bonds'])} ring bond(s))"
    assert f"      Ring double-cut fragments ({n_ring} possible cleavages — not all may be observed):" in lines
    peaks = {mz for f in r["real_fragments"] for _, _, mz in f["fragments"]}
    assert lines[-1] == f"      Expected peak m/z list: {sorted(peaks, reverse=True)}"


def test_driver_looks_up_phases_at_call_time(monkeypatch):
    seen = {}
    monkeypatch.setattr(corvane, "detect_soft_bonds", lambda H, cb, lpi: seen.setdefault("softs", cb[:1]))
    monkeypatch.setattr(corvane, "predict_fragments",
                        lambda mol, softs, ring_fragmentation: seen.setdefault("rf", (softs, ring_fragmentation)) and [])
    monkeypatch.setattr(corvane, "_nominal_mass", lambda mol, idx: 1000 + len(idx))
    r = vif("CCl", ring_fragmentation="yes")
    assert r["soft_bonds"] is seen["softs"] and seen["rf"] == (seen["softs"], "yes")
    assert r["mol_mass"] == 1005


def test_verbose_false_prints_nothing(capsys):
    vif("c1ccccc1CCl", recursive_ms=True)
    assert capsys.readouterr().out == ""


def test_vif_refuses_a_molecule_too_large_for_a_dense_matrix_before_the_layout(monkeypatch):
    def no_layout(*args, **kwargs):
        raise AssertionError("the layout ran")

    monkeypatch.setattr(corvane, "compute_atom_layout", no_layout)
    with pytest.raises(MemoryError, match="dense"):
        corvane.VIF("C" * 7000, draw=False, verbose=False)


def wrap(fn):
    return lambda *a, **k: fn(*a, **k)


MS_NAMES = ["_nominal_mass", "predict_fragments", "_fragment_formula", "detect_soft_bonds"]


@pytest.mark.parametrize("smiles", ["CC(=O)Cl", "[13CH3]C(=O)O", "ClCc1ccccc1.Cl", "C[N+](C)(C)C.[Br-]",
                                    "c1ccc2ccccc2c1O"])
@pytest.mark.parametrize("ring", [False, True])
def test_masses_and_fragments_agree_with_wrapped_phases(smiles, ring, monkeypatch):
    """The driver's shared reading of the molecule gives what the functions
    give when each reads the molecule itself."""
    fast = corvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring)
    for name in MS_NAMES:
        monkeypatch.setattr(corvane, name, wrap(getattr(corvane, name)))
    slow = corvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring)
    for key in ("mol_mass", "mol_mass_avg", "fragments", "real_fragments"):
        assert fast[key] == slow[key], key
    assert type(fast["mol_mass"]) is type(slow["mol_mass"])


@pytest.mark.parametrize("mutator", ["_nominal_mass", "_build_bond_orders", "compute_atom_layout"])
def test_molecule_changed_by_a_rebound_phase_is_read_afresh(mutator, monkeypatch):
    """A rebound phase that relabels the chlorine as 37Cl: what is read after
    it sees the label, as when each function reads the molecule itself."""
    own = getattr(corvane, mutator)

    def relabel(mol, *a, **k):
        for atom in mol.GetAtoms():
            if atom.GetSymbol() == "Cl":
                atom.SetIsotope(37)
        return own(mol, *a, **k)

    monkeypatch.setattr(corvane, mutator, relabel)
    r = corvane.VIF("CC(=O)Cl", draw=False, verbose=False)
    assert r["mol_mass"] == 80
    masses = sorted(f[2] for rec in r["real_fragments"] for f in rec["fragments"])
    assert 37 in masses and 35 not in masses
