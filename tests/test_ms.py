"""Formulas, nominal masses, fragment prediction and the fragmentation cascade."""
import itertools
import types

import networkx as nx
import numpy as np
import pytest
from rdkit import Chem

import corvane
from molecules import prepared_molecule


def mol_of(smiles):
    return Chem.AddHs(Chem.MolFromSmiles(smiles))


def bond_records(mol, heavy_only=True):
    """One record per bond (as the soft-bond list of a molecule whose every
    bond between heavy atoms is soft)."""
    recs = []
    for b in mol.GetBonds():
        i, j = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        a, c = mol.GetAtomWithIdx(i), mol.GetAtomWithIdx(j)
        if heavy_only and 1 in (a.GetAtomicNum(), c.GetAtomicNum()):
            continue
        recs.append({"atom_u": i, "atom_v": j, "sym_u": a.GetSymbol(), "sym_v": c.GetSymbol(),
                     "order": max(1, round(b.GetBondTypeAsDouble()))})
    return recs


def vif_like(smiles):
    """A VIF-shaped graph without the layout: per atom a block of nodes (one
    for hydrogen, four for periods 2 and 3), sigma nodes joined by weight-1
    edges, and one 0.9 edge per bond unit; sigma units take the atom's sigma
    nodes and pi units its pi nodes in turn."""
    mol = mol_of(smiles)
    Chem.Kekulize(mol, clearAromaticFlags=True)
    H = nx.Graph()
    subgraphs, sigma, pi, nxt = [], [], [], 0
    for atom in mol.GetAtoms():
        n = 1 if atom.GetAtomicNum() <= 2 else 4
        npi = min(sum(max(0, round(b.GetBondTypeAsDouble()) - 1) for b in atom.GetBonds()), n - 1)
        nodes = list(range(nxt, nxt + n))
        nxt += n
        subgraphs.append(nodes)
        sigma.append(nodes[:n - npi])
        pi.append(nodes[n - npi:])
        H.add_nodes_from(nodes)
        for a, b in itertools.combinations(sigma[-1], 2):
            H.add_edge(a, b, weight=1.0)
    used = {}
    chem_bonds = []
    for b in mol.GetBonds():
        i, j = b.GetBeginAtomIdx(), b.GetEndAtomIdx()
        order = max(1, round(b.GetBondTypeAsDouble()))
        for k in range(order):
            ends = []
            for a in (i, j):
                pool = sigma[a] if k == 0 or not pi[a] else pi[a]
                c = used.get((a, k == 0), 0)
                used[(a, k == 0)] = c + 1
                ends.append(pool[c % len(pool)])
            if H.has_edge(*ends):
                continue
            H.add_edge(*ends, weight=0.9)
            chem_bonds.append({"u_node": ends[0], "v_node": ends[1], "atom_u": i, "atom_v": j,
                               "sym_u": b.GetBeginAtom().GetSymbol(), "sym_v": b.GetEndAtom().GetSymbol(),
                               "order": order, "k": k})
    return mol, H, subgraphs, chem_bonds


# --- formulas and masses ---------------------------------------------------

@pytest.mark.parametrize("smiles,indices,formula", [
    ("Cl", None, "HCl"),
    ("Br", None, "HBr"),
    ("N", None, "H3N"),
    ("O", None, "H2O"),
    ("[H]", None, "H"),
    ("BrCCl", None, "CH2BrCl"),
    ("c1ccc2ccccc2c1", None, "C10H8"),
    ("CCO", None, "C2H6O"),
    ("C[Si](C)(C)Cl", None, "C3H9ClSi"),
    ("C[Na]", None, "CH3Na"),
    ("CCO", [0, 3, 4, 5], "CH3"),
    ("CCO", [2], "O"),
    ("CCO", [2, 2, 8], "HO2"),
    ("CCO", [], ""),
])
def test_fragment_formula(smiles, indices, formula):
    mol = mol_of(smiles)
    if indices is None:
        indices = range(mol.GetNumAtoms())
    assert corvane._fragment_formula(mol, indices) == formula


@pytest.mark.parametrize("smiles,mass", [
    ("CCO", 46), ("ClC(Cl)Cl", 118), ("ClCc1ccccc1", 126),
    # isotope labels count their own mass number
    ("[2H]C([2H])([2H])[2H]", 20), ("[13CH4]", 17), ("[2H]OC", 33), ("[37Cl]C", 52),
])
def test_nominal_mass(smiles, mass):
    mol = mol_of(smiles)
    assert corvane._nominal_mass(mol, range(mol.GetNumAtoms())) == mass
    assert corvane._nominal_mass(mol, []) == 0


def test_isotope_labels_leave_formula_and_memo_alone(monkeypatch):
    monkeypatch.setattr(corvane, "_NOMINAL_ISOTOPE", {})
    mol = mol_of("[2H]C([2H])([2H])[2H]")
    assert corvane._fragment_formula(mol, range(5)) == "CH4"
    corvane._nominal_mass(mol, range(5))
    assert corvane._NOMINAL_ISOTOPE == {6: 12}


def test_pair_label():
    mol = mol_of("CCO")
    assert corvane._pair_label(mol, 0, 1) == "C0-C1"
    assert corvane._pair_label(mol, 2, 1) == "O2-C1"


def test_nominal_isotope_memo(monkeypatch):
    monkeypatch.setattr(corvane, "_NOMINAL_ISOTOPE", {})
    mol = mol_of("CCO")
    assert corvane._nominal_mass(mol, range(9)) == 46
    assert corvane._NOMINAL_ISOTOPE == {6: 12, 1: 1, 8: 16}

    class NoTable:
        def GetPeriodicTable(self):
            raise RuntimeError("periodic table consulted")

    # cached elements never reach the periodic table again; a present entry decides
    monkeypatch.setattr(corvane, "Chem", NoTable())
    corvane._NOMINAL_ISOTOPE[8] = 100
    assert corvane._nominal_mass(mol, range(9)) == 130
    assert corvane._nominal_atom_mass(6) == 12
    # a miss that fails stores nothing
    with pytest.raises(RuntimeError, match="periodic table consulted"):
        corvane._nominal_atom_mass(17)
    assert 17 not in corvane._NOMINAL_ISOTOPE


def test_nominal_mass_uses_rebound_atom_mass(monkeypatch):
    monkeypatch.setattr(corvane, "_nominal_atom_mass", lambda z: 1000 + z)
    mol = mol_of("CO")
    assert corvane._nominal_mass(mol, range(6)) == 6 * 1000 + 6 + 8 + 4


@pytest.mark.parametrize("call,exc", [
    (lambda m: corvane._fragment_formula(m, [99]), RuntimeError),
    (lambda m: corvane._nominal_mass(m, [0, 99]), RuntimeError),
    (lambda m: corvane._nominal_mass(m, 5), TypeError),
    (lambda m: corvane._fragment_formula(None, [0]), AttributeError),
    (lambda m: corvane._nominal_atom_mass([6]), TypeError),
])
def test_formula_and_mass_errors(call, exc):
    with pytest.raises(exc):
        call(mol_of("CCO"))


# --- single cuts and ring cuts ---------------------------------------------

ETHANOL_CO = {"u_node": 0, "v_node": 1, "atom_u": 1, "atom_v": 2, "sym_u": "C", "sym_v": "O", "order": 1, "k": 0}


def test_ethanol_fragments():
    assert corvane.predict_fragments(mol_of("CCO"), [ETHANOL_CO]) == [
        {"bond": "C1-O2", "split": True, "mode": "single", "fragments": [("C2H5", 29.06, 29), ("HO", 17.01, 17)]}]


@pytest.mark.parametrize("records,labels", [
    ([ETHANOL_CO, dict(ETHANOL_CO, atom_u=2, atom_v=1, sym_u="O", sym_v="C")], ["C1-O2"]),
    ([dict(ETHANOL_CO, atom_u=2, atom_v=1, sym_u="O", sym_v="C"), ETHANOL_CO], ["O2-C1"]),
    # a pair is marked before the bond test: its repeat is skipped even after a skip
    ([dict(ETHANOL_CO, atom_u=0, atom_v=2), dict(ETHANOL_CO, atom_u=2, atom_v=0)], []),
    ([], []),
])
def test_repeated_pairs_give_one_record(records, labels):
    assert [r["bond"] for r in corvane.predict_fragments(mol_of("CCO"), records)] == labels


@pytest.mark.parametrize("smiles,atoms,order,expected", [
    # a multiple bond is not cleaved when one side is a lone heavy atom
    ("CC(C)=O", (1, 3), 2, None),
    ("C=CC", (0, 1), 2, None),
    ("C=CC", (1, 2), 1, [("C2H3", 27.05, 27), ("CH3", 15.04, 15)]),
    ("CCl", (0, 1), 1, [("Cl", 35.45, 35), ("CH3", 15.04, 15)]),
    ("C=CC=C", (1, 2), 1, [("C2H3", 27.05, 27), ("C2H3", 27.05, 27)]),
    ("CC=CC", (1, 2), 2, [("C2H4", 28.05, 28), ("C2H4", 28.05, 28)]),
])
def test_lone_heavy_atom_rule(smiles, atoms, order, expected):
    mol = mol_of(smiles)
    i, j = atoms
    units = [{"atom_u": i, "atom_v": j, "sym_u": mol.GetAtomWithIdx(i).GetSymbol(),
              "sym_v": mol.GetAtomWithIdx(j).GetSymbol(), "order": order, "k": k} for k in range(order)]
    res = corvane.predict_fragments(mol, units)
    assert res == ([] if expected is None else [
        {"bond": f"{units[0]['sym_u']}{i}-{units[0]['sym_v']}{j}", "split": True, "mode": "single",
         "fragments": expected}])


def test_equal_masses_keep_lowest_atom_order():
    # 2-pentanone cut between C2 and C3: propyl and acetyl both weigh 43
    mol = mol_of("CCCC(=O)C")
    rec = [r for r in bond_records(mol) if (r["atom_u"], r["atom_v"]) == (2, 3)]
    assert corvane.predict_fragments(mol, rec)[0]["fragments"] == [("C3H7", 43.09, 43), ("C2H3O", 43.05, 43)]


CYCLOHEXANE_RINGS = {
    30: [("C0-C1 + C3-C4", [("C3H6", 42.08, 42), ("C3H6", 42.08, 42)])],
    28: [("C0-C1 + C2-C3", [("C4H8", 56.11, 56), ("C2H4", 28.05, 28)]),
         ("C0-C1 + C3-C4", [("C3H6", 42.08, 42), ("C3H6", 42.08, 42)])],
    1: [("C0-C1 + C1-C2", [("C5H10", 70.13, 70), ("CH2", 14.03, 14)]),
        ("C0-C1 + C2-C3", [("C4H8", 56.11, 56), ("C2H4", 28.05, 28)]),
        ("C0-C1 + C3-C4", [("C3H6", 42.08, 42), ("C3H6", 42.08, 42)])],
}


@pytest.mark.parametrize("threshold", sorted(CYCLOHEXANE_RINGS))
def test_ring_cuts_threshold_and_mass_pair_dedup(threshold):
    mol = mol_of("C1CCCCC1")
    res = corvane.predict_fragments(mol, bond_records(mol), ring_fragmentation=True, min_ring_fragment_mz=threshold)
    single = res[:6]
    assert [r["bond"] for r in single] == ["C0-C1", "C1-C2", "C2-C3", "C3-C4", "C4-C5", "C5-C0"]
    assert all(r["split"] is False and r["fragments"] is None and r["mode"] == "single" for r in single)
    assert [(r["bond"], r["fragments"]) for r in res[6:]] == CYCLOHEXANE_RINGS[threshold]
    assert all(r["split"] is True and r["mode"] == "ring" for r in res[6:])


def test_ring_cuts_off_by_default_and_across_rings():
    mol = mol_of("C1CCCCC1")
    assert all(r["mode"] == "single" for r in corvane.predict_fragments(mol, bond_records(mol)))
    # two bonds in two different rings never make a ring cleavage
    mol = mol_of("C1CC1C1CC1")
    recs = [r for r in bond_records(mol) if (r["atom_u"], r["atom_v"]) in {(0, 1), (3, 4)}]
    assert [r["split"] for r in corvane.predict_fragments(mol, recs, True, 1)] == [False, False]


def reference_predict(mol, soft, ring, thr):
    """The documented algorithm on a networkx atom graph (connected molecules)."""
    g = nx.Graph()
    g.add_nodes_from(range(mol.GetNumAtoms()))
    g.add_edges_from((b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds())

    def frags_of(comps):
        out = [(corvane._fragment_formula(mol, c), round(sum(mol.GetAtomWithIdx(i).GetMass() for i in sorted(c)), 2),
                corvane._nominal_mass(mol, c)) for c in comps]
        out.sort(key=lambda t: t[2], reverse=True)
        return out

    res, seen, ring_pairs = [], set(), []
    for s in soft:
        pair = tuple(sorted((s["atom_u"], s["atom_v"])))
        if pair in seen:
            continue
        seen.add(pair)
        if not g.has_edge(*pair):
            continue
        label = "{}{}-{}{}".format(s["sym_u"], s["atom_u"], s["sym_v"], s["atom_v"])
        g.remove_edge(*pair)
        comps = list(nx.connected_components(g))
        g.add_edge(*pair)
        if len(comps) == 2:
            if s["order"] >= 2 and min(sum(mol.GetAtomWithIdx(i).GetAtomicNum() > 1 for i in c) for c in comps) == 1:
                continue
            res.append({"bond": label, "split": True, "mode": "single", "fragments": frags_of(comps)})
        else:
            res.append({"bond": label, "split": False, "mode": "single", "fragments": None})
            ring_pairs.append(pair)
    if ring:
        seen_double = set()
        for p1, p2 in itertools.combinations(ring_pairs, 2):
            g.remove_edges_from([p1, p2])
            comps = list(nx.connected_components(g))
            g.add_edges_from([p1, p2])
            if len(comps) != 2:
                continue
            frags = frags_of(comps)
            if min(f[2] for f in frags) < thr:
                continue
            key = tuple(sorted(f[2] for f in frags))
            if key in seen_double:
                continue
            seen_double.add(key)
            res.append({"bond": corvane._pair_label(mol, *p1) + " + " + corvane._pair_label(mol, *p2),
                        "split": True, "mode": "ring", "fragments": frags})
    return res


@pytest.mark.parametrize("smiles", [
    "CCCC(=O)C", "ClCc1ccccc1", "CC(=O)Cl", "OC1CCC(CC1)C(=O)N", "c1ccc2ccccc2c1", "C1CC2CCC1CC2",
    "CS(=O)(=O)c1ccc(Br)cc1", "[2H]C1CCCCC1O",
])
@pytest.mark.parametrize("heavy_only", [True, False])
def test_predict_fragments_matches_reference(smiles, heavy_only):
    mol = mol_of(smiles)
    Chem.Kekulize(mol, clearAromaticFlags=True)
    soft = bond_records(mol, heavy_only)
    for ring, thr in [(False, 30), (True, 30), (True, 25)]:
        assert corvane.predict_fragments(mol, soft, ring, thr) == reference_predict(mol, soft, ring, thr)


@pytest.mark.parametrize("smiles,cut,expected", [
    # the counter-ion belongs to neither fragment
    ("ClCc1ccccc1.Cl", (0, 1), [("C7H7", 91.13, 91), ("Cl", 35.45, 35)]),
    ("ClCc1ccccc1.Cl", (1, 2), [("C6H5", 77.11, 77), ("CH2Cl", 49.48, 49)]),
    ("[Na+].CC(=O)[O-]", (1, 2), [("CO2", 44.01, 44), ("CH3", 15.04, 15)]),
    ("CCO.O.O", (1, 2), [("C2H5", 29.06, 29), ("HO", 17.01, 17)]),
])
def test_salts(smiles, cut, expected):
    mol = mol_of(smiles)
    soft = [r for r in bond_records(mol) if (r["atom_u"], r["atom_v"]) == cut]
    res = corvane.predict_fragments(mol, soft)
    assert res[0]["split"] is True and res[0]["fragments"] == expected


def test_salt_ring_bonds_and_ring_cuts():
    salt, free = mol_of("ClCc1ccccc1.Cl"), mol_of("ClCc1ccccc1")
    # atoms of the free base keep their indices in the salt (the counter-ion is atom 8)
    soft = bond_records(free)
    salt_res = corvane.predict_fragments(salt, soft, ring_fragmentation=True)
    free_res = corvane.predict_fragments(free, soft, ring_fragmentation=True)
    assert [(r["bond"], r["split"], r["mode"]) for r in salt_res] == \
        [(r["bond"], r["split"], r["mode"]) for r in free_res]
    for s, f in zip(salt_res, free_res):
        if s["fragments"] is not None:
            assert [fr[0] for fr in s["fragments"]] == [fr[0] for fr in f["fragments"]]


def test_isotope_fragments():
    mol = mol_of("[2H]OC")   # atoms: H(2H) 0, O 1, C 2
    rec = {"atom_u": 1, "atom_v": 2, "sym_u": "O", "sym_v": "C", "order": 1}
    frags = corvane.predict_fragments(mol, [rec])[0]["fragments"]
    assert frags == [("HO", 18.01, 18), ("CH3", 15.04, 15)]


@pytest.mark.parametrize("record,exc", [
    ({"atom_v": 2, "sym_u": "C", "sym_v": "O", "order": 1}, "atom_u"),
    ({"atom_u": 1, "atom_v": 2, "sym_v": "O", "order": 1}, "sym_u"),
    ({"atom_u": 1, "atom_v": 2, "sym_u": "C", "sym_v": "O"}, "order"),
    # no bond between the atoms: skipped before its symbols are read
    ({"atom_u": 0, "atom_v": 2}, None),
    ({"atom_u": 0, "atom_v": 99}, None),
    ({"atom_u": "a", "atom_v": "b"}, None),
])
def test_missing_keys(record, exc):
    mol = mol_of("CCO")
    if exc is None:
        assert corvane.predict_fragments(mol, [record]) == []
    else:
        with pytest.raises(KeyError, match=exc):
            corvane.predict_fragments(mol, [record])


def test_ring_bond_needs_no_order():
    mol = mol_of("C1CC1")
    rec = {"atom_u": 0, "atom_v": 1, "sym_u": "C", "sym_v": "C"}
    assert corvane.predict_fragments(mol, [rec])[0]["split"] is False


@pytest.mark.parametrize("args,exc", [
    ((None, []), AttributeError),
    (("CCO", []), AttributeError),
    ((mol_of("CCO"), 5), TypeError),
    ((mol_of("CCO"), [{"atom_u": 1, "atom_v": "x"}]), TypeError),
])
def test_predict_fragments_bad_input(args, exc):
    with pytest.raises(exc):
        corvane.predict_fragments(*args)


def test_rebound_helpers_are_used(monkeypatch):
    mol = mol_of("C1CCCCC1")
    monkeypatch.setattr(corvane, "_fragment_formula", lambda m, c: "F" + ",".join(map(str, sorted(c))))
    monkeypatch.setattr(corvane, "_nominal_mass", lambda m, c: 2 * len(c))
    monkeypatch.setattr(corvane, "_pair_label", lambda m, i, j: f"<{i}.{j}>")
    res = corvane.predict_fragments(mol, bond_records(mol), True, 1)
    ring = [r for r in res if r["mode"] == "ring"]
    assert ring[0]["bond"] == "<0.1> + <1.2>"
    assert ring[0]["fragments"][1] == ("F1,8,9", 14.03, 6)


# --- fragments of fragments ------------------------------------------------

def test_cut_atom_set_ring_threshold_on_atomic_masses():
    mol = mol_of("C1CCCCC1")
    softs = bond_records(mol)
    allatoms = set(range(mol.GetNumAtoms()))
    sizes = sorted(len(f) for f in corvane._cut_atom_set(mol, allatoms, softs, True, 25))
    # C2H4 (about 28.05) passes 25, CH2 (about 14.03) does not
    assert sizes == [6] * 6 + [9] * 6 + [12] * 6
    sizes = sorted(len(f) for f in corvane._cut_atom_set(mol, allatoms, softs, True, 28.06))
    assert sizes == [9] * 6
    assert corvane._cut_atom_set(mol, allatoms, softs, False, 25) == set()


@pytest.mark.parametrize("orders,cut", [([1], True), ([2], False), ([1, 2], False), ([None], True)])
def test_cut_atom_set_pair_order(orders, cut):
    mol = mol_of("CC(C)=O")    # C0 C1 C2 O3, then the hydrogens
    # a pair listed more than once is cut once, with its largest order; no order counts as 1
    softs = [{"atom_u": 1, "atom_v": 3} if o is None else {"atom_u": 3, "atom_v": 1, "order": o} for o in orders]
    out = corvane._cut_atom_set(mol, set(range(10)), softs, True, 25)
    assert out == ({frozenset({3}), frozenset(set(range(10)) - {3})} if cut else set())


def test_cut_atom_set_subset_and_salt():
    mol = mol_of("ClCc1ccccc1.Cl")
    softs = bond_records(mol)
    # only bonds inside the set count, and the counter-ion goes with neither part
    out = corvane._cut_atom_set(mol, set(range(mol.GetNumAtoms())), softs[:1], False, 25)
    assert out == {frozenset({0}), frozenset(set(range(mol.GetNumAtoms())) - {0, 8, 16})}   # HCl: 8 and 16
    assert corvane._cut_atom_set(mol, {1, 2, 9, 10}, softs, True, 25) == {frozenset({1, 9, 10}), frozenset({2})}


def test_fragment_atom_softs_fast_and_plain(monkeypatch):
    mol, H, subs, cb = vif_like("ClCc1ccccc1")
    frags = [set(range(mol.GetNumAtoms())), {0, 1, 8, 9}, {2, 3, 4, 5, 6, 7, 10, 11, 12, 13, 14}]
    fast = [corvane._fragment_atom_softs(H, subs, cb, f) for f in frags]
    assert any(fast)
    before = sorted(H.edges(data=True))
    own = corvane.compute_lpi
    monkeypatch.setattr(corvane, "compute_lpi", lambda *a, **k: own(*a, **k))
    plain = [corvane._fragment_atom_softs(H, subs, cb, f) for f in frags]
    assert [[id(x) for x in s] for s in fast] == [[id(x) for x in s] for s in plain]
    assert sorted(H.edges(data=True)) == before


@pytest.mark.parametrize("bad,exc", [({"atom_u": 0, "atom_v": 1}, KeyError), ({"atom_v": 1}, KeyError)])
def test_fragment_atom_softs_missing_keys(bad, exc):
    mol, H, subs, cb = vif_like("CCl")
    with pytest.raises(exc):
        corvane._fragment_atom_softs(H, subs, cb + [bad], set(range(5)))
    # a record outside the fragment is not read past its first atom
    assert corvane._fragment_atom_softs(H, subs, cb + [{"atom_u": 99}], {0, 1}) is not None


CASCADE_SMILES = ["CCO", "ClCc1ccccc1", "CC(=O)Cl", "OC1CCCCC1", "ClCc1ccccc1.Cl", "CCCC(=O)OCC",
                  "N#CCC(=O)c1ccccc1", "[2H]OC(C)C"]


@pytest.mark.parametrize("smiles", CASCADE_SMILES)
@pytest.mark.parametrize("gens,ring", [(3, True), (2, False), (5, True)])
def test_cascade_fast_and_plain_paths_agree(smiles, gens, ring, monkeypatch):
    mol, H, subs, cb = vif_like(smiles)
    fast = corvane.predict_fragments_recursive(mol, H, subs, cb, gens, 25, ring)
    calls = []
    own = corvane.compute_lpi

    def wrapper(*a, **k):
        calls.append(1)
        return own(*a, **k)

    monkeypatch.setattr(corvane, "compute_lpi", wrapper)
    plain = corvane.predict_fragments_recursive(mol, H, subs, cb, gens, 25, ring)
    assert calls
    assert list(fast.items()) == list(plain.items())
    assert all(list(v) == ["formula", "generation"] for v in fast.values())


def test_cascade_breadth_first_generations():
    mol, H, subs, cb = vif_like("OC1CCCCC1")
    peaks = corvane.predict_fragments_recursive(mol, H, subs, cb)
    assert next(iter(peaks.items())) == (100, {"formula": "C6H12O", "generation": 0})
    gens = [v["generation"] for v in peaks.values()]
    assert gens == sorted(gens) and max(gens) == 2
    # a lower limit records the same first generations, and cuts nothing further
    one = corvane.predict_fragments_recursive(mol, H, subs, cb, max_generations=1)
    assert list(one.items()) == [kv for kv in peaks.items() if kv[1]["generation"] <= 1]
    # without ring cuts no ring bond is ever cut: the ring survives whole
    noring = corvane.predict_fragments_recursive(mol, H, subs, cb, ring_fragmentation=False)
    assert noring == {100: {"formula": "C6H12O", "generation": 0}, 83: {"formula": "C6H11", "generation": 1},
                      17: {"formula": "HO", "generation": 1}}


def test_cascade_salt_never_frees_the_counter_ion(monkeypatch):
    mol, H, subs, cb = vif_like("ClCc1ccccc1.Cl")
    seen = []
    own = corvane._fragment_atom_softs

    def spy(H_, s, c, atom_set, *rest):
        seen.append(frozenset(atom_set))
        return own(H_, s, c, atom_set, *rest)

    monkeypatch.setattr(corvane, "_fragment_atom_softs", spy)
    peaks = corvane.predict_fragments_recursive(mol, H, subs, cb, 3, 25, True)
    assert seen[0] == frozenset(range(mol.GetNumAtoms()))
    assert all(8 not in s for s in seen[1:]) and len(seen) > 1
    # each distinct atom set is expanded once
    assert len(seen) == len(set(seen))
    assert 35 in peaks and peaks[35]["formula"] == "Cl"


@pytest.mark.parametrize("gens", [0, -1, 0.0, False])
def test_cascade_zero_generations_reads_no_graph(gens, monkeypatch):
    mol = mol_of("CCO")
    expected = {46: {"formula": "C2H6O", "generation": 0}}
    assert corvane.predict_fragments_recursive(mol, None, None, None, gens) == expected
    monkeypatch.setattr(corvane, "compute_lpi", None)
    assert corvane.predict_fragments_recursive(mol, None, None, None, gens) == expected


def test_cascade_without_soft_bonds():
    mol, H, subs, cb = vif_like("CCO")
    assert corvane.predict_fragments_recursive(mol, H, subs, []) == {46: {"formula": "C2H6O", "generation": 0}}


@pytest.mark.parametrize("mutate,exc", [
    (lambda cb: cb.append({"atom_u": 0}), KeyError),
    (lambda cb: cb.append({"atom_u": 0, "atom_v": 1}), KeyError),
    (lambda cb: cb.append({"atom_u": 0, "atom_v": 1, "u_node": [1], "v_node": 2}), TypeError),
])
def test_cascade_bad_records(mutate, exc):
    mol, H, subs, cb = vif_like("CCO")
    mutate(cb)
    with pytest.raises(exc):
        corvane.predict_fragments_recursive(mol, H, subs, cb)


class RecordDict(dict):
    pass


class GraphSubclass(nx.Graph):
    pass


def test_cascade_other_inputs_take_the_plain_path():
    mol, H, subs, cb = vif_like("OC1CCCCC1")
    ref = corvane.predict_fragments_recursive(mol, H, subs, cb)
    assert len(ref) > 3
    assert corvane.predict_fragments_recursive(mol, H, dict(enumerate(subs)), tuple(cb), 3.0) == ref
    assert corvane.predict_fragments_recursive(mol, GraphSubclass(H), subs, [RecordDict(c) for c in cb], 2.5) == ref
    assert corvane.predict_fragments_recursive(mol, H, subs, cb, 3, 25.0, 1) == ref
    with pytest.raises(TypeError):
        corvane.predict_fragments_recursive(mol, H, subs, cb, None)


# --- on the VIF graphs of the driver -----------------------------------------

def vif_inputs(smiles):
    r = corvane.VIF(smiles, draw=False, verbose=False)
    return prepared_molecule(smiles), r["graph"], r["atom_subgraphs"], r["chem_bonds"]


@pytest.mark.parametrize("smiles", ["Clc1ccccc1", "ClCc1ccccc1", "CC(=O)Cl", "ClCc1ccccc1.Cl"])
def test_whole_molecule_softs_are_the_soft_bonds(smiles):
    mol, H, subs, cb = vif_inputs(smiles)
    whole = corvane._fragment_atom_softs(H, subs, cb, set(range(mol.GetNumAtoms())))
    soft = corvane.detect_soft_bonds(H, cb, corvane.compute_lpi(H))
    assert [id(x) for x in whole] == [id(x) for x in soft] and soft


@pytest.mark.parametrize("smiles", ["ClCc1ccccc1", "CC(=O)Cl", "OC(=O)CCc1ccccc1", "ClCc1ccccc1.Cl", "CCO",
                                    "CC(C)(C)Br", "[2H]C(Cl)c1ccncc1"])
def test_cascade_paths_agree_on_vif_graphs(smiles, monkeypatch):
    args = vif_inputs(smiles)
    fast = corvane.predict_fragments_recursive(*args)
    own = corvane.compute_lpi
    monkeypatch.setattr(corvane, "compute_lpi", lambda *a, **k: own(*a, **k))
    assert list(corvane.predict_fragments_recursive(*args).items()) == list(fast.items())


def test_radical_fragments_of_a_drug_count_as_the_eigenvalues_do(monkeypatch):
    # Most fragments of this benzodiazepine are radicals (zeros their VIF
    # pattern forces), counted from factorisations beside zero; the plain
    # path counts every cut from numpy's eigenvalues.
    args = vif_inputs("O=C1CN=C(c2ccccc2Cl)c2sc(Cl)cc2N1")
    fast = corvane.predict_fragments_recursive(*args, max_generations=2)
    own = corvane.compute_lpi
    monkeypatch.setattr(corvane, "compute_lpi", lambda *a, **k: own(*a, **k))
    assert list(corvane.predict_fragments_recursive(*args, max_generations=2).items()) == list(fast.items())
    assert len(fast) > 150


def test_benzyl_chloride_cascade():
    mol, H, subs, cb = vif_inputs("ClCc1ccccc1")
    peaks = corvane.predict_fragments_recursive(mol, H, subs, cb)
    assert next(iter(peaks)) == 126
    for mz, formula in [(91, "C7H7"), (77, "C6H5"), (49, "CH2Cl"), (35, "Cl")]:
        assert peaks[mz] == {"formula": formula, "generation": 1}
    assert corvane.predict_fragments_recursive(*vif_inputs("CCO")) == {46: {"formula": "C2H6O", "generation": 0}}


@pytest.mark.parametrize("w", [1e-9, 1.0000000000000002e-9, 0.9999999999999999e-9, 2e-9, 0.0])
def test_eigenvalues_at_the_band_edge_agree(w, monkeypatch):
    # a path C0-C1-C2 of one node per atom: cutting the strong edge leaves
    # eigenvalues of about +-w, right at the tolerance
    mol = Chem.MolFromSmiles("CCC")
    H = nx.Graph()
    H.add_edge(0, 1, weight=w)
    H.add_edge(1, 2, weight=1.0)
    cb = [{"u_node": 0, "v_node": 1, "atom_u": 0, "atom_v": 1, "order": 1},
          {"u_node": 1, "v_node": 2, "atom_u": 1, "atom_v": 2, "order": 1}]
    subs = [[0], [1], [2]]
    calls = []

    class Linalg:
        @staticmethod
        def eigvalsh(a):
            calls.append(a.shape)
            return np.linalg.eigvalsh(a)

    # counts that rounding could tip are taken from numpy's eigenvalues
    monkeypatch.setattr(corvane, "np", types.SimpleNamespace(linalg=Linalg, array=np.array))
    fast = corvane._fragment_atom_softs(H, subs, cb, {0, 1, 2})
    peaks = corvane.predict_fragments_recursive(mol, H, subs, cb)
    assert bool(calls) == (abs(w - 1e-9) < 1e-20)
    own = corvane.compute_lpi
    monkeypatch.setattr(corvane, "compute_lpi", lambda *a, **k: own(*a, **k))
    assert corvane._fragment_atom_softs(H, subs, cb, {0, 1, 2}) == fast
    assert corvane.predict_fragments_recursive(mol, H, subs, cb) == peaks
