import math
from collections import defaultdict

import numpy as np
import pytest
from rdkit import Chem
from rdkit.Chem import rdDepictor

import corvane

PI = math.pi


def mol_h(smiles):
    return Chem.AddHs(Chem.MolFromSmiles(smiles))


# A literal numpy reading of the layout, step by step, for comparison.


def ref_radial_equalize(coords, groups):
    for members in groups.values():
        if len(members) < 2:
            continue
        grp = coords[members]
        centroid = grp.mean(axis=0)
        rel = grp - centroid
        dists = np.linalg.norm(rel, axis=1)
        if dists.mean() < 1e-9:
            continue
        avg = dists.mean()
        for m in members:
            v = coords[m] - centroid
            L = np.linalg.norm(v)
            if L > 1e-9:
                coords[m] = centroid + v * (avg / L)


def ref_pca_align(coords):
    coords -= coords.mean(axis=0)
    if coords.shape[0] < 2:
        return coords
    eigvals, eigvecs = np.linalg.eigh(np.cov(coords.T))
    R = eigvecs[:, np.argsort(eigvals)[::-1]]
    if np.linalg.det(R) < 0:
        R[:, 1] = -R[:, 1]
    return coords @ R


def ref_enforce_mirror(coords, ranks, axis, eps=0.05):
    n, other = len(coords), 1 - axis
    matched = [False] * n
    for i in range(n):
        if abs(coords[i, axis]) < eps:
            coords[i, axis] = 0.0
            matched[i] = True
    for i in range(n):
        if matched[i]:
            continue
        best_d, best_j = float("inf"), -1
        for j in range(n):
            if j == i or matched[j] or ranks[j] != ranks[i] or (coords[i, axis] >= 0) == (coords[j, axis] >= 0):
                continue
            d = abs(coords[j, axis] + coords[i, axis]) + abs(coords[j, other] - coords[i, other])
            if d < best_d:
                best_d, best_j = d, j
        if best_j == -1:
            continue
        avg_other = (coords[i, other] + coords[best_j, other]) / 2.0
        avg_axis = (abs(coords[i, axis]) + abs(coords[best_j, axis])) / 2.0
        for k in (i, best_j):
            coords[k, axis] = avg_axis if coords[k, axis] >= 0 else -avg_axis
            coords[k, other] = avg_other
        matched[i] = matched[best_j] = True
    return coords


def ref_layout(mol, n_iter=600, target_bond_len=1.5, repulsion_factor=1.2, k_attr=0.06, k_rep=0.05,
               depictor=rdDepictor):
    n = mol.GetNumAtoms()
    depictor.SetPreferCoordGen(True)
    depictor.Compute2DCoords(mol)
    conf = mol.GetConformer()
    coords = np.array([[conf.GetAtomPosition(i).x, conf.GetAtomPosition(i).y] for i in range(n)], dtype=float)
    ranks = list(Chem.CanonicalRankAtoms(mol, breakTies=False))
    groups = defaultdict(list)
    for i, r in enumerate(ranks):
        groups[r].append(i)
    bonds = [(b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds()]
    bond_set = {tuple(sorted(b)) for b in bonds}
    min_nb = target_bond_len * repulsion_factor
    rng = np.random.default_rng(42)
    for i in range(n):
        for j in range(i + 1, n):
            if np.linalg.norm(coords[i] - coords[j]) < 1e-6:
                coords[j] += rng.normal(0, 0.1, size=2)
    for it in range(n_iter):
        forces = np.zeros_like(coords)
        for u, v in bonds:
            d = coords[v] - coords[u]
            L = np.linalg.norm(d)
            if L < 1e-9:
                continue
            f = (L - target_bond_len) * d / L * k_attr
            forces[u] += f
            forces[v] -= f
        for i in range(n):
            for j in range(i + 1, n):
                if (i, j) in bond_set:
                    continue
                d = coords[j] - coords[i]
                L = np.linalg.norm(d)
                if L < 1e-9:
                    continue
                if L < min_nb:
                    f = (min_nb - L) * d / L * k_rep
                    forces[i] -= f
                    forces[j] += f
        coords += forces
        if it > 50 and it % 5 == 0:
            ref_radial_equalize(coords, groups)
    coords = ref_pca_align(coords)
    coords = ref_enforce_mirror(coords, ranks, axis=1)
    coords = ref_enforce_mirror(coords, ranks, axis=0)
    return coords, ranks


# Angles


@pytest.mark.parametrize(
    "a, b, expected",
    [(0.0, 2 * PI, 0.0), (0.0, PI, PI), (1.3, 1.3, 0.0), (0.1, 2 * PI - 0.1, 0.2), (-3 * PI, 0.0, PI),
     (10 * PI + 0.5, 0.0, 0.5), (3, 0, 3.0)],
)
def test_angle_diff_examples(a, b, expected):
    assert corvane._angle_diff(a, b) == pytest.approx(expected, abs=1e-12)


def test_angle_diff_is_the_floored_formula_bit_for_bit():
    rng = np.random.default_rng(7)
    for a, b in rng.uniform(-40, 40, size=(500, 2)).tolist():
        assert corvane._angle_diff(a, b) == abs(((a - b) + math.pi) % (2 * math.pi) - math.pi)


@pytest.mark.parametrize(
    "n, targets, expected",
    [
        (1, [], [0.0]),
        (1, [2.0, 3.0], [0.0]),
        (4, [], [0.0, PI / 2, PI, 3 * PI / 2]),
        (4, [0.0], [0.0, PI, PI / 2, 3 * PI / 2]),
        (4, [0.0, PI / 2], [0.0, PI / 2, 5 * PI / 4, 7 * PI / 8]),
        (9, [0.0], [0.0, PI, PI / 2, 3 * PI / 2, PI / 4, 3 * PI / 4, 5 * PI / 4, 7 * PI / 4, PI / 8]),
        (4, [-PI / 2], [-PI / 2, PI / 2, PI, 0.0]),
        (4, [0.3, 0.3], [0.3, 0.3, 0.3, 0.3]),
        (4, [0.1, 0.2, 0.3, 0.4, 0.5], [0.1, 0.2, 0.3, 0.4]),
        (9, [], [i * (2 * PI / 9) for i in range(9)]),
    ],
)
def test_node_angles(n, targets, expected):
    before = list(targets)
    got = corvane._yerlestir_dugumler(n, targets)
    assert got == pytest.approx(expected, abs=1e-12)
    assert targets == before


def test_node_angles_keeps_targets_and_even_spread_exactly():
    assert corvane._yerlestir_dugumler(4, [-PI / 2])[0] == -PI / 2
    assert corvane._yerlestir_dugumler(4, []) == [i * (2 * PI / 4) for i in range(4)]
    assert corvane._yerlestir_dugumler(n_nodes=4, target_angles=(7.0,))[0] == 7.0


@pytest.mark.parametrize("n, targets, exc", [(0, [], ZeroDivisionError), (4, 5, TypeError), (2.5, [0.0], TypeError)])
def test_node_angles_errors(n, targets, exc):
    with pytest.raises(exc):
        corvane._yerlestir_dugumler(n, targets)


# Symmetry classes and periods


def test_symmetry_classes_of_benzene():
    ranks = corvane._symmetry_classes(mol_h("c1ccccc1"))
    assert isinstance(ranks, list) and len(ranks) == 12
    assert len(set(ranks[:6])) == 1 and len(set(ranks[6:])) == 1 and ranks[0] != ranks[6]


def test_symmetry_classes_fallback_and_non_molecule():
    class Fake:
        def GetNumAtoms(self):
            return 3

    assert corvane._symmetry_classes(Fake()) == [0, 1, 2]
    with pytest.raises(AttributeError):
        corvane._symmetry_classes(object())


@pytest.mark.parametrize("symbol, period", [("H", 1), ("C", 2), ("Cl", 3), ("Br", 4)])
def test_get_period(symbol, period):
    assert corvane._get_period(symbol) == period


# Geometry helpers


def test_radial_equalize_four_atom_group_in_place():
    coords = np.array([[1.0, 0.0], [-1.0, 0.0], [0.0, 3.0], [0.0, -3.0], [5.0, 5.0]])
    assert corvane._radial_equalize(coords, {7: [0, 1, 2, 3], 9: [4]}) is None
    np.testing.assert_allclose(coords, [[2, 0], [-2, 0], [0, 2], [0, -2], [5, 5]], atol=1e-15)


@pytest.mark.parametrize("groups", [{0: [0]}, {0: [0, 1]}, {0: [2, 3]}, {}])
def test_radial_equalize_leaves_trivial_groups(groups):
    coords = np.array([[0.0, 0.0], [3.0, 4.0], [1.0, 1.0], [1.0, 1.0]])
    before = coords.copy()
    corvane._radial_equalize(coords, groups)
    np.testing.assert_array_equal(coords, before)


def test_radial_equalize_matches_reference_on_random_groups():
    rng = np.random.default_rng(3)
    coords = rng.normal(size=(30, 2)) * 2
    groups = {r: sorted(rng.choice(30, size=k, replace=False).tolist()) for r, k in enumerate([2, 3, 5, 8, 9])}
    expected = coords.copy()
    ref_radial_equalize(expected, groups)
    corvane._radial_equalize(coords, groups)
    np.testing.assert_array_equal(coords, expected)


def test_pca_align_single_row_and_orientation():
    one = np.array([[3.0, -2.0]])
    assert corvane._pca_align(one) is one
    np.testing.assert_array_equal(one, [[0.0, 0.0]])

    ys = np.array([[1.0, -4.0], [1.1, 0.0], [0.9, 4.0], [1.0, 8.0]])
    before = ys.copy()
    out = corvane._pca_align(ys)
    assert out is not ys
    np.testing.assert_allclose(ys, before - before.mean(axis=0))  # caller's array centred
    assert np.ptp(out[:, 0]) > 10 and np.ptp(out[:, 1]) < 0.5
    np.testing.assert_array_equal(out, ref_pca_align(before.copy()))


def test_enforce_mirror_pairs_across_x_axis():
    coords = np.array([[1.0, 0.5], [1.2, -0.7]])
    assert corvane._enforce_mirror(coords, [4, 4], 1) is coords
    np.testing.assert_allclose(coords, [[1.1, 0.6], [1.1, -0.6]], atol=1e-15)


@pytest.mark.parametrize("value, snapped", [(0.049, True), (-0.049, True), (0.05, False), (-0.05, False)])
def test_enforce_mirror_snapping_boundary(value, snapped):
    other = -math.copysign(0.3, value)
    coords = np.array([[value, 2.0], [other, -1.0]])
    corvane._enforce_mirror(coords, [0, 0], axis=0)
    if snapped:
        assert coords[0, 0] == 0.0 and coords[1].tolist() == [other, -1.0]
    else:  # paired with the atom on the other side
        assert coords[0, 0] == -coords[1, 0] != 0.0 and coords[0, 1] == coords[1, 1]


def test_enforce_mirror_same_side_and_other_rank_stay():
    coords = np.array([[1.0, 1.0], [2.0, 3.0], [-1.0, 5.0]])
    before = coords.copy()
    corvane._enforce_mirror(coords, [0, 0, 1], axis=0)
    np.testing.assert_array_equal(coords, before)


def test_enforce_mirror_matches_reference_and_works_on_views():
    rng = np.random.default_rng(5)
    for axis in (0, 1):
        base = rng.normal(size=(40, 2))
        ranks = rng.integers(0, 6, size=40).tolist()
        expected = ref_enforce_mirror(base.copy(), ranks, axis)
        fortran = np.asfortranarray(base)
        corvane._enforce_mirror(fortran, ranks, axis)
        np.testing.assert_array_equal(fortran, expected)
        # ranks of any comparable kind
        corvane._enforce_mirror(base, [str(r) for r in ranks], axis, 0.05)
        np.testing.assert_array_equal(base, expected)


def _readonly():
    a = np.zeros((3, 2))
    a.flags.writeable = False
    return a


@pytest.mark.parametrize(
    "coords, exc",
    [
        ([[0.0, 0.0], [1.0, 1.0]], TypeError),
        (np.zeros((3, 2), dtype=np.int64), TypeError),
        (np.zeros((3, 2), dtype=np.float32), TypeError),
        (np.zeros(6), ValueError),
        (np.zeros((3, 3)), ValueError),
        (np.zeros((3, 2, 1)), ValueError),
        (_readonly(), ValueError),
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda c: corvane._enforce_mirror(c, [0, 0, 0], 0),
        lambda c: corvane._radial_equalize(c, {0: [0, 1]}),
        corvane._pca_align,
    ],
)
def test_geometry_helpers_reject_bad_arrays(coords, exc, call):
    with pytest.raises(exc):
        call(coords)


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda c: corvane._radial_equalize(c, {0: [0, 3]}), IndexError),
        (lambda c: corvane._radial_equalize(c, None), AttributeError),
        (lambda c: corvane._radial_equalize(c, {0: [0, "a"]}), TypeError),
        (lambda c: corvane._enforce_mirror(c, [0, 0, 0], 2), IndexError),
        (lambda c: corvane._enforce_mirror(c, [0], 0), IndexError),
    ],
)
def test_geometry_helpers_bad_arguments_leave_coords(call, exc):
    coords = np.array([[1.0, 1.0], [-1.0, 2.0], [3.0, 0.5]])
    before = coords.copy()
    with pytest.raises(exc):
        call(coords)
    np.testing.assert_array_equal(coords, before)


# The whole layout


REFERENCE_MOLECULES = ["O", "CCO", "c1ccccc1", "CC(=O)O", "OC(=O)c1ccccc1O", "[Na+].[Cl-]", "C1CC1C#N"]


@pytest.mark.parametrize("smiles", REFERENCE_MOLECULES)
def test_layout_matches_numpy_reading(smiles):
    n_iter = 600 if mol_h(smiles).GetNumAtoms() <= 9 else 120
    got, ranks = corvane.compute_atom_layout(mol_h(smiles), n_iter=n_iter)
    expected, ref_ranks = ref_layout(mol_h(smiles), n_iter=n_iter)
    assert ranks == ref_ranks
    assert got.shape == expected.shape and got.dtype == np.float64
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9)


def test_layout_is_deterministic():
    mol = mol_h("CN1C(=O)CN=C(c2ccccc2)c2cc(Cl)ccc21")
    a, ra = corvane.compute_atom_layout(Chem.Mol(mol))
    b, rb = corvane.compute_atom_layout(Chem.Mol(mol))
    np.testing.assert_array_equal(a, b)
    assert ra == rb == corvane._symmetry_classes(mol)


def test_water_is_mirrored():
    coords, ranks = corvane.compute_atom_layout(mol_h("O"))
    assert coords[0, 0] == 0.0
    assert coords[1, 1] == coords[2, 1] and coords[1, 0] == -coords[2, 0] != 0.0


def test_benzene_rings_are_round():
    mol = mol_h("c1ccccc1")
    coords, _ = corvane.compute_atom_layout(mol)
    for idx, tol in ((range(6), 1e-8), (range(6, 12), 1e-5)):
        pts = coords[list(idx)]
        r = np.linalg.norm(pts - pts.mean(axis=0), axis=1)
        assert np.ptp(r) < tol


def test_n_iter_zero_is_depiction_after_clean_up():
    coords, _ = corvane.compute_atom_layout(mol_h("CC(=O)N"), n_iter=0)
    expected, _ = ref_layout(mol_h("CC(=O)N"), n_iter=0)
    np.testing.assert_array_equal(coords, expected)


def test_single_atom_and_empty_molecule():
    mol = Chem.MolFromSmiles("C")
    coords, ranks = corvane.compute_atom_layout(mol)
    pos = mol.GetConformer().GetAtomPosition(0)
    assert coords.tolist() == [[pos.x, pos.y]] and ranks == [0]
    coords, ranks = corvane.compute_atom_layout(Chem.Mol())
    assert coords.shape == (0, 2) and ranks == []


@pytest.mark.parametrize(
    "args, exc",
    [((1.5,), TypeError), (("600",), TypeError), ((None,), TypeError), ((600, "x"), TypeError)],
)
def test_layout_bad_parameters(args, exc):
    with pytest.raises(exc):
        corvane.compute_atom_layout(mol_h("CO"), *args)


@pytest.mark.parametrize("mol", [None, "CCO", 42])
def test_layout_rejects_non_molecules(mol):
    with pytest.raises(Exception):
        corvane.compute_atom_layout(mol)


class CoincidentDepictor:
    """Depicts with RDKit, then puts atoms 2 and 3 on atom 0's spot."""

    def SetPreferCoordGen(self, flag):
        rdDepictor.SetPreferCoordGen(flag)

    def Compute2DCoords(self, mol):
        rdDepictor.Compute2DCoords(mol)
        conf = mol.GetConformer()
        for k in (2, 3):
            conf.SetAtomPosition(k, conf.GetAtomPosition(0))


def test_coincident_atoms_are_separated_like_the_reference(monkeypatch):
    monkeypatch.setattr(corvane, "rdDepictor", CoincidentDepictor())
    got, _ = corvane.compute_atom_layout(mol_h("CCO"), n_iter=80)
    expected, _ = ref_layout(mol_h("CCO"), n_iter=80, depictor=CoincidentDepictor())
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9)
    assert len({tuple(p) for p in got.round(6).tolist()}) == got.shape[0]


def test_rebound_helpers_are_used(monkeypatch):
    calls = []
    own_eq, own_mirror = corvane._radial_equalize, corvane._enforce_mirror
    expected, _ = corvane.compute_atom_layout(mol_h("c1ccncc1"), n_iter=70)

    def equalize(coords, groups):
        calls.append(("eq", id(coords), isinstance(groups, defaultdict)))
        return own_eq(coords, groups)

    def mirror(coords, ranks, axis, eps=0.05):
        calls.append(("mirror", axis))
        return own_mirror(coords, ranks, axis, eps)

    monkeypatch.setattr(corvane, "_radial_equalize", equalize)
    monkeypatch.setattr(corvane, "_enforce_mirror", mirror)
    got, _ = corvane.compute_atom_layout(mol_h("c1ccncc1"), n_iter=70)
    np.testing.assert_array_equal(got, expected)
    eq_calls = [c for c in calls if c[0] == "eq"]
    assert len(eq_calls) == 3 and len({c[1] for c in eq_calls}) == 1 and all(c[2] for c in eq_calls)
    assert [c for c in calls if c[0] == "mirror"] == [("mirror", 1), ("mirror", 0)]

    # A rebound equaliser that does nothing changes the result.
    monkeypatch.setattr(corvane, "_radial_equalize", lambda coords, groups: None)
    plain, _ = corvane.compute_atom_layout(mol_h("c1ccncc1"), n_iter=70)
    assert not np.array_equal(plain, expected)
