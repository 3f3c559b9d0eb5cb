"""Candidate enumeration of the scored spectrum: the C++ core's atom sets against a plain Python
enumeration of the same routes, and the isotope-pattern cache when it is full."""
import numpy as np
import pytest
from rdkit import Chem

from corvane_spectra import _core, scored


def inputs(smiles):
    """The main component's graph as build_candidates passes it to the core."""
    mol = scored.read_molecule(smiles)
    main = max(Chem.GetMolFrags(mol), key=lambda f: (sum(mol.GetAtomWithIdx(a).GetAtomicNum() > 1 for a in f), len(f)))
    bonds = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx(), b.IsInRing()) for b in mol.GetBonds()
             if b.GetBeginAtomIdx() in main]
    rings = [r for r in mol.GetRingInfo().AtomRings() if len(r) <= 8 and r[0] in main]
    return mol.GetNumAtoms(), main, bonds, rings


def reference(n, main, bonds, rings):
    """(mask, mode, label, generation) of every set in the order first met, and each bridge's two sets."""
    nbrs = [[] for _ in range(n)]
    index = {}
    for k, (u, v, _r) in enumerate(bonds):
        nbrs[u].append(v)
        nbrs[v].append(u)
        index[(u, v)] = index[(v, u)] = k
    full = sum(1 << a for a in main)
    sets = {full: ("molecular_ion", None, 0)}

    def add(mask, mode, label, gen):
        if mask and mask not in sets:
            sets[mask] = (mode, label, gen)

    def reach(start, cut):
        seen, stack = 1 << start, [start]
        while stack:
            a = stack.pop()
            for j in nbrs[a]:
                if not (seen >> j) & 1 and index[(a, j)] not in cut:
                    seen |= 1 << j
                    stack.append(j)
        return seen

    first, bridges = [], []
    for k, (u, v, ring) in enumerate(bonds):
        if not ring:
            su = reach(u, {k})
            sides = (su, full & ~su)
            bridges.append((k, sides))
            first += [(s, str(k)) for s in sides]
            for s in sides:
                add(s, "single", str(k), 1)
    for ring in rings:
        K = len(ring)
        ks = [index[(ring[i], ring[(i + 1) % K])] for i in range(K)]
        group = [reach(r, set(ks)) for r in ring]
        for i in range(K):
            for j in range(i + 1, K):
                s1 = s2 = 0
                for t in range(i + 1, j + 1):
                    s1 |= group[t]
                for t in range(j + 1, i + 1 + K):
                    s2 |= group[t % K]
                if not s1 & s2:
                    for s in (s1, s2):
                        first.append((s, f"{ks[i]}+{ks[j]}"))
                        add(s, "ring", f"{ks[i]}+{ks[j]}", 1)
    for s, lbl in first:
        for k, sides in bridges:
            for t in sides:
                x = s & t
                if x != s:
                    add(x, "recursive", f"{lbl}>{k}", 2)
    order = list(sets)
    return ([(m, *sets[m]) for m in order],
            [order.index(s) for _k, sides in bridges for s in sides])


def from_core(n, main, bonds, rings):
    S, kind, la, lb, gen, bridges, bridge_sets, ring_a, ring_b = _core.atom_sets(
        n, np.array([b[0] for b in bonds], dtype=np.int64), np.array([b[1] for b in bonds], dtype=np.int64),
        np.array([b[2] for b in bonds], dtype=np.uint8), np.array(main, dtype=np.int64),
        np.array([a for r in rings for a in r], dtype=np.int64), np.cumsum([0] + [len(r) for r in rings]))
    first = [str(k) for k in bridges.tolist() for _ in (0, 1)] + [f"{a}+{b}" for a, b in zip(ring_a.tolist(), ring_b.tolist())]
    out = []
    for row, c, a, b, g in zip(S, kind.tolist(), la.tolist(), lb.tolist(), gen.tolist()):
        mask = sum(1 << int(i) for i in np.nonzero(row)[0])
        label = None if c == 0 else str(a) if c == 1 else f"{a}+{b}" if c == 2 else f"{first[a]}>{b}"
        out.append((mask, scored._SET_MODES[c], label, g))
    return out, bridge_sets.tolist()


@pytest.mark.parametrize("smiles", [
    "CC(=O)Oc1ccccc1C(=O)O",                 # chain, ring and substituents
    "[Na+].[O-]C(=O)c1ccccc1",               # a salt: the main component is not the first
    "C1CC2(C1)CCC2",                         # spiro
    "C1CC2CCC1C2",                           # bridged bicycle: double cuts that leave one piece
    "c1ccc2cc3ccccc3cc2c1",                  # fused rings
    "C12C3C4C1C5C2C3C45",                    # cubane: every bond in rings
    "C1CCCCCCCCCC1CCO",                      # an eleven-membered ring (not cut twice)
    "C" * 70,                                # more atoms than one 64-bit word
    "c1ccc(cc1)" + "C" * 60 + "c1ccc(O)cc1",  # rings beyond the first word
    "[Cl-]",                                 # one atom, no bond
    "OCC.CCO",                               # two equal components
])
def test_core_atom_sets_equal_the_python_enumeration(smiles):
    args = inputs(smiles)
    assert from_core(*args) == reference(*args)


@pytest.mark.parametrize("change, message", [
    (lambda a: a.update(bond_u=np.array([0, 99], dtype=np.int64)), "out of range"),
    (lambda a: a.update(main_atoms=np.array([], dtype=np.int64)), "no atoms"),
    (lambda a: a.update(ring_atoms=np.array([0, 2, 1], dtype=np.int64), ring_start=np.array([0, 3])), "share no bond"),
    (lambda a: a.update(ring_start=np.array([0, 5])), "ring_start"),
    (lambda a: a.update(bond_v=np.array([1], dtype=np.int64)), "one entry per bond"),
])
def test_core_atom_sets_refuses_malformed_input(change, message):
    # Propane, atoms 0-1-2, with a (made-up) ring 0-1-2 that has no bond 2-0.
    args = dict(n_atoms=3, bond_u=np.array([0, 1], dtype=np.int64), bond_v=np.array([1, 2], dtype=np.int64),
                bond_in_ring=np.zeros(2, dtype=np.uint8), main_atoms=np.array([0, 1, 2], dtype=np.int64),
                ring_atoms=np.zeros(0, dtype=np.int64), ring_start=np.array([0]))
    change(args)
    with pytest.raises(ValueError, match=message):
        _core.atom_sets(**args)


@pytest.mark.parametrize("change, message", [
    (lambda a: a.update(bond_v=np.array([1, 7], dtype=np.int64)), "out of range"),
    (lambda a: a.update(bond_u=np.array([-1, 1], dtype=np.int64)), "out of range"),
    (lambda a: a.update(main_atoms=np.array([0, 3], dtype=np.int64)), "out of range"),
    (lambda a: a.update(bond_order=np.array([1.0, 4.0])), "order"),
    (lambda a: a.update(nh=np.zeros(2, dtype=np.int64)), "one entry per atom"),
    (lambda a: a.update(bond_soft=np.zeros(1, dtype=np.uint8)), "one entry per bond"),
])
def test_core_bond_graph_refuses_malformed_input(change, message):
    # Propane, atoms 0-1-2.
    args = dict(symbols=["C", "C", "C"], aromatic=np.zeros(3, dtype=np.uint8), in_ring=np.zeros(3, dtype=np.uint8),
                nh=np.array([3, 2, 3]), charge=np.zeros(3, dtype=np.int64), main_atoms=np.arange(3),
                bond_u=np.array([0, 1]), bond_v=np.array([1, 2]), bond_order=np.ones(2),
                bond_in_ring=np.zeros(2, dtype=np.uint8), bond_soft=np.zeros(2, dtype=np.uint8))
    _core.bond_graph(**args)
    change(args)
    with pytest.raises(ValueError, match=message):
        _core.bond_graph(**args)


@pytest.mark.parametrize("change, message", [
    (lambda a: a.update(mass=np.zeros(1, dtype=np.int64)), "one entry per row"),
    (lambda a: a.update(mol_comp=np.zeros(3, dtype=np.int64)), "mol_comp"),
    (lambda a: a.update(el_cols=np.array([0, 1, 2, 3, 4, 11])), "standard-element"),
    (lambda a: a.update(n_std=12), "n_std"),
    (lambda a: a.update(comp=np.zeros(4, dtype=np.int64)), "matrix"),
])
def test_core_shifted_candidates_refuses_malformed_input(change, message):
    cand = scored.build_candidates(scored.read_molecule("CCO"))
    n = cand.F.shape[0]
    z, zb = np.zeros(n), np.zeros(n, dtype=np.uint8)
    args = dict(comp=np.zeros((n, 11), dtype=np.int64), mass=np.full(n, 20), generation=np.ones(n, dtype=np.int64),
                dbe=np.zeros(n), n_hetero=np.zeros(n, dtype=np.int64), aromatic_ring=z, acylium=z,
                alpha_onium_site=z, mcl=z, mcl_alkene=z, mcl_aromatic=z, mcl_ester=z, aryl_methyl=zb, hx=zb,
                ring_alpha=zb, ortho=zb, synthetic=zb, mol_comp=np.zeros(11, dtype=np.int64),
                loss_keys=scored._LOSS_TABLE, loss_bits=scored._LOSS_BITS, silanol=scored._SILANOL,
                el_cols=scored._CORE_EL_COLS, n_std=11, min_mz=12, aromatic=False, has_ortho=False,
                multi_halogen=False, benzylic_h=False, alpha_h=False, alpha_h_only=False, aryl_aldehyde=False)
    _core.shifted_candidates(**args)
    change(args)
    with pytest.raises(ValueError, match=message):
        _core.shifted_candidates(**args)


def test_a_full_pattern_cache_starts_again_without_losing_the_rows_at_hand(monkeypatch):
    def butanol(fill):
        cache = {}
        monkeypatch.setattr(scored, "_PATTERN_CACHE", cache)
        scored.build_candidates(scored.read_molecule("CCCO"))      # some of butanol's compositions
        if fill:
            cache.update((b"filler %d" % i, None) for i in range(200_001 - len(cache)))
        cand = scored.build_candidates(scored.read_molecule("CCCCO"))
        assert len(cache) < 1000
        return cand

    np.testing.assert_array_equal(butanol(fill=True).pattern, butanol(fill=False).pattern)
