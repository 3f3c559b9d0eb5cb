"""The scored spectrum: textbook EI behaviour, determinism, and the schematic mode left as it was."""
import numpy as np
import pytest

from corvane_spectra import Spectrum, predict
from corvane_spectra import scored


def heights(sp: Spectrum) -> dict[int, float]:
    return dict(zip(sp.mz.tolist(), sp.intensity.tolist()))


def test_methyl_ketone_acylium_above_other_single_cut_fragments():
    # 2-Hexanone: single cuts give 15/85, 43/57 (acetyl side), 57/43 (propyl side), 71/29.
    h = heights(predict("CC(=O)CCCC", model="scored"))
    assert 43 in h
    for other in (15, 29, 57, 71, 85):
        assert h[43] > h.get(other, 0.0), other


@pytest.mark.parametrize("smiles", ["CCCc1ccccc1", "CCCCc1ccccc1", "CC(C)Cc1ccccc1"])
def test_alkylbenzene_benzylic_cleavage_gives_91(smiles):
    sp = predict(smiles, model="scored")
    h = heights(sp)
    mol_mz = max(m for m in h if any(a.mode == "molecular_ion" for a in sp.annotations[sp.mz.tolist().index(m)]))
    fragments = {m: v for m, v in h.items() if m != mol_mz}
    assert max(fragments, key=fragments.get) == 91
    i = sp.mz.tolist().index(91)
    assert sp.annotations[i][0].formula == "C7H7"


@pytest.mark.parametrize("smiles", ["CC(=O)CCCC", "Clc1ccc(cc1)C(=O)N", "CN(C)Cc1nnc2n1-c1ccc(Cl)cc1C(c1ccccc1)=NC2"])
def test_scored_spectrum_is_deterministic_and_well_formed(smiles):
    a = predict(smiles, model="scored")
    b = predict(smiles, model="scored")
    assert a.convention == b.convention == "scored"
    np.testing.assert_array_equal(a.mz, b.mz)
    np.testing.assert_array_equal(a.intensity, b.intensity)
    assert a.annotations == b.annotations
    assert a.intensity.max() == 100.0
    assert a.intensity.min() >= scored.MIN_HEIGHT
    assert all(len(anns) >= 1 for anns in a.annotations)


def test_hashed_substructure_columns_are_the_same_in_every_process(tmp_path):
    # Substructure tokens are hashed into weight columns; a hash salted per process
    # (str hash) would give every process, batch worker included, another spectrum.
    import json
    import os
    import subprocess
    import sys

    assert scored._weights().size == len(scored.FEATURES) + scored.N_ENV
    smiles = "CCOC(=O)c1ccccc1O"
    code = ("import json; from corvane_spectra import predict; s = predict(%r, model='scored'); "
            "print(json.dumps([s.mz.tolist(), s.intensity.tolist()]))" % smiles)
    here = predict(smiles, model="scored")
    for seed in ("1", "2"):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True,
                             env={**os.environ, "PYTHONHASHSEED": seed}, cwd=tmp_path)
        mz, inten = json.loads(out.stdout.strip().splitlines()[-1])
        assert mz == here.mz.tolist() and inten == here.intensity.tolist()


def test_an_isotope_pattern_does_not_depend_on_the_rows_computed_with_it():
    # Patterns are cached per composition: computed beside a wide cluster, a
    # row once kept its own negligible tail, so a spectrum depended on the
    # molecules predicted before it in the process (a batch run's bytes on --jobs).
    def comp(**counts):
        row = np.zeros(len(scored._ELEMENTS), dtype=np.int64)
        for e, k in counts.items():
            row[scored._EL[e]] = k
        return row

    alone, together = (scored.isotope_patterns(np.array(rows)) for rows in
                       ([comp(C=14, H=10, F=1, N=3)], [comp(C=14, H=10, F=1, N=3), comp(C=6, Cl=6, Br=4)]))
    lo = min(alone[0], together[0])
    grids = np.zeros((2, 40))
    for g, (off, pat) in zip(grids, (alone, together)):
        g[off - lo:off - lo + pat.shape[1]] = pat[0]
    np.testing.assert_array_equal(grids[0], grids[1])


def test_chlorine_isotope_peak():
    # Chlorobenzene: M+2 from 37Cl at about a third of M (square root scale: about 0.57).
    h = heights(predict("Clc1ccccc1", model="scored"))
    assert h[114] / h[112] == pytest.approx(np.sqrt(24.22 / 75.78), rel=0.1)


@pytest.mark.parametrize("smiles", ["CCO", "Clc1ccccc1", "CC(=O)Cl"])
def test_scored_is_the_default_and_schematic_mode_unchanged(smiles):
    default = predict(smiles)
    scored = predict(smiles, model="scored")
    explicit = predict(smiles, model="schematic")
    assert default.convention == scored.convention == "scored"
    np.testing.assert_array_equal(default.mz, scored.mz)
    np.testing.assert_array_equal(default.intensity, scored.intensity)
    assert explicit.convention == "schematic"
    assert set(explicit.intensity.tolist()) <= {100.0, 60.0}


@pytest.mark.parametrize("bad, exc", [("C1CC", ValueError), ("not a smiles", ValueError), (42, TypeError)])
def test_scored_mode_rejects_bad_input(bad, exc):
    with pytest.raises(exc):
        predict(bad, model="scored")


def test_unknown_model_is_refused():
    with pytest.raises(ValueError, match="unknown model"):
        predict("CCO", model="exact")


def test_salt_is_predicted_as_its_largest_component():
    h = heights(predict("CCN(CC)CC.Cl", model="scored"))
    assert max(h) <= 101 + 4          # triethylamine, M+ 101, plus isotopes


@pytest.mark.parametrize("fmt", ["msp", "jsonl", "mgf"])
def test_exports_round_trip_the_scored_intensities(tmp_path, fmt):
    from corvane_spectra import io

    sp = predict("CCCCc1ccccc1", model="scored")
    sp.metadata["name"] = "butylbenzene"
    path = tmp_path / f"pred.{fmt}"
    io.write([sp], path)
    back = list(io.read(path))
    assert len(back) == 1
    np.testing.assert_array_equal(back[0].mz, sp.mz)
    np.testing.assert_allclose(back[0].intensity, sp.intensity, rtol=1e-9)
    if fmt == "jsonl":
        assert back[0].convention == "scored"
        assert back[0].annotations == sp.annotations
    assert io.dumps(sp, fmt) == path.read_text()


def test_evaluate_scored_reports_the_schematic_mode_beside_it():
    from pathlib import Path

    from corvane_spectra import io
    from corvane_spectra.evaluate import evaluate

    ev = evaluate(io.read(Path(__file__).parent / "data" / "ei_small.msp"), limit=4, model="scored")
    s = ev.summary()
    assert {"module", "schematic", "all_cuts", "random"} <= set(s)
    assert s["n"] + s["failed"] == 4
    assert "schematic" in ev.table()
    # The scored spectra carry intensities of their own; the schematic ones only 100 and 60.
    rec = ev.records[0]
    assert rec.predicted["module"].convention == "scored"
    assert set(rec.predicted["schematic"].intensity.tolist()) <= {100.0, 60.0}
def test_butyl_aryl_ketone_mclafferty_ion():
    # Valerophenone: the gamma-hydrogen moves to the carbonyl oxygen, propene leaves: m/z 120.
    sp = predict("CCCCC(=O)c1ccccc1", model="scored")
    h = heights(sp)
    assert h.get(120, 0.0) > max(h.get(119, 0.0), h.get(121, 0.0), h.get(133, 0.0), h.get(147, 0.0))
    i = sp.mz.tolist().index(120)
    assert any(a.formula == "C8H8O" and a.mode == "rearrangement" for a in sp.annotations[i])
    # The benzoyl ion of the alpha cleavage is among the strongest peaks with it.
    assert {105, 120} <= set(sorted(h, key=h.get, reverse=True)[:3])




def test_primary_amine_alpha_cleavage_gives_the_iminium_base_peak():
    # Pentylamine: CH2=NH2+ (m/z 30) from the alpha cleavage is the base peak.
    sp = predict("CCCCCN", model="scored")
    h = heights(sp)
    assert max(h, key=h.get) == 30
    assert sp.annotations[sp.mz.tolist().index(30)][0].formula == "CH4N"


@pytest.mark.parametrize("smiles, favoured, other", [
    ("CBr", 15, 79),                 # CH3 (9.84 eV) keeps the charge before Br (11.81 eV)
    ("OC(=O)c1ccccc1", 105, 17),     # benzoyl, not OH+
    ("CC1CCCCC1", 83, 15),           # cyclohexyl, not CH3+
])
def test_stevenson_feature_favours_the_fragment_of_lower_ionisation_energy(smiles, favoured, other):
    cand = scored.build_candidates(scored.read_molecule(smiles))
    col = scored._COL["stevenson"]
    one_cut = (cand.shift == 0) & (cand.generation == 1)
    value = {int(m): cand.F[b, col] for m, b in zip(cand.mz[one_cut], cand.base[one_cut])}
    assert value[favoured] > 0 > value[other] and value[favoured] == -value[other]
    assert cand.F[0, col] == 0       # the molecular ion: no bond cut


def test_silyl_transfer_ion_only_with_two_trimethylsilyl_ethers():
    two = predict("C[Si](C)(C)OCCCCO[Si](C)(C)C", model="scored")
    one = predict("CCCCO[Si](C)(C)C", model="scored")
    h = heights(two)
    assert 73 in h and 147 in h
    assert any(a.formula == "C5H15OSi2" and a.mode == "rearrangement" for a in two.annotations[two.mz.tolist().index(147)])
    assert all(a.formula != "C5H15OSi2" for anns in one.annotations for a in anns)


def test_molecule_without_ions_from_m_z_12_gives_an_empty_spectrum():
    sp = predict("[H][H]", model="scored")
    assert len(sp) == 0 and sp.metadata["formula"] == "H2"


@pytest.mark.parametrize("smiles, mol_ion, base", [
    ("CC(=O)C", 58, 43),
    ("[2H]C([2H])([2H])C(=O)C([2H])([2H])[2H]", 64, 46),        # acetone-d6: CD3CO+
    ("c1ccccc1", 78, 78),
    ("[2H]c1c([2H])c([2H])c([2H])c([2H])c1[2H]", 84, 84),       # benzene-d6
])
def test_isotope_labelled_hydrogens_keep_their_mass(smiles, mol_ion, base):
    h = heights(predict(smiles, model="scored"))
    assert max(h, key=h.get) == base
    assert mol_ion in h and max(h) <= mol_ion + 4


def _nominal_mass(formula: str, hydrogen: int = 1) -> int:
    import re

    from rdkit import Chem

    pt = Chem.GetPeriodicTable()
    total = 0
    for el, n in re.findall(r"([A-Z][a-z]?)(\d*)", formula):
        m = hydrogen if el == "H" else pt.GetMostCommonIsotope(pt.GetAtomicNumber(el))
        total += m * (int(n) if n else 1)
    return total


@pytest.mark.parametrize("smiles, formula, base, base_formula", [
    ("C[Sn](C)(C)C", "C4H12Sn", 165, "C3H9Sn"),       # tetramethyltin: Sn(CH3)3+
    ("C[Se]C", "C2H6Se", None, None),
    ("CC[Pb](CC)(CC)CC", "C8H20Pb", None, None),
    ("Clc1ccccc1", "C6H5Cl", None, None),
])
def test_every_element_stays_in_formulas_and_masses(smiles, formula, base, base_formula):
    sp = predict(smiles, model="scored")
    assert sp.metadata["formula"] == formula
    for m, anns in zip(sp.mz.tolist(), sp.annotations):
        for a in anns:
            if a.mode != "isotope":
                assert _nominal_mass(a.formula) == m, (m, a)
    if base is not None:
        i = int(np.argmax(sp.intensity))
        assert sp.mz[i] == base and sp.annotations[i][0].formula == base_formula
    if "Sn" in formula:
        # Tin's lighter isotopes: 118Sn and 116Sn put peaks below the nominal mass, labelled as isotopes.
        h = heights(sp)
        assert h[163] > 0.5 * h[165] and h[161] > 0.3 * h[165]
        assert all(a.mode == "isotope" for a in sp.annotations[sp.mz.tolist().index(163)])


def test_isotope_cluster_of_six_chlorines_is_complete():
    # Hexachlorobenzene: M .. M+10 in the 35Cl/37Cl binomial ratios (heights on the square-root scale).
    h = heights(predict("Clc1c(Cl)c(Cl)c(Cl)c(Cl)c1Cl", model="scored"))
    r = 24.22 / 75.78
    from math import comb
    binom = [comb(6, k) * r ** k for k in range(7)]
    for k in range(1, 6):
        assert h[282 + 2 * k] / h[282] == pytest.approx(np.sqrt(binom[k]), rel=0.12), k
    assert max(h, key=h.get) == 284


@pytest.mark.parametrize("labelled, plain, mol_ion", [
    ("[13cH]1[13cH][13cH][13cH][13cH][13cH]1", "c1ccccc1", 84),           # benzene-13C6
    ("[2H]c1c([2H])c([2H])c([2H])c([2H])c1[2H]", "c1ccccc1", 84),          # benzene-d6
])
def test_labelled_atoms_add_no_natural_isotope_peak(labelled, plain, mol_ion):
    h = heights(predict(labelled, model="scored"))
    p = heights(predict(plain, model="scored"))
    carbons_left = 0 if "13c" in labelled else 6
    # M+1 comes only from the unlabelled atoms' natural 13C (and 2H): sqrt(n * 1.08 %).
    expected = np.sqrt(carbons_left * 0.0108 / 0.9893 + 6 * 0.000115)
    assert h.get(mol_ion + 1, 0.0) / h[mol_ion] == pytest.approx(expected, abs=0.03)
    assert p[79] / p[78] == pytest.approx(np.sqrt(6 * 0.0108 / 0.9893), rel=0.1)


def test_hydrogen_shifts_of_a_perdeuterated_molecule_move_deuterons():
    # 2-Hexanone-d12: every ion is CxDy(O), so each m/z is its formula's mass with D = 2,
    # including the McLafferty ion (CD3C(OD)=CD2+., m/z 64) and the ions that lost a D.
    smi = "[2H]C([2H])([2H])C(=O)C([2H])([2H])C([2H])([2H])C([2H])([2H])C([2H])([2H])[2H]"
    sp = predict(smi, model="scored")
    modes = set()
    for m, anns in zip(sp.mz.tolist(), sp.annotations):
        for a in anns:
            if a.mode != "isotope":
                assert _nominal_mass(a.formula, hydrogen=2) == m, (m, a)
                modes.add(a.mode)
    assert "rearrangement" in modes and 64 in heights(sp)


def test_tree_term_follows_its_splits_and_reaches_every_candidate():
    # A hand-made tree: a row's linear log-score (input column -2) <= 0.5 goes left (+1), else right
    # (-2); a value exactly at the threshold goes left, as LightGBM sends it.  With atom-set rows every
    # hydrogen-shifted candidate of a set gets its set's term; with candidate rows each its own.
    from corvane_spectra import _scored_trees as st

    nin = len(scored.FEATURES) + st.N_SUMMARY
    forest = st.Forest([nin - 2, -1, -1], [0.5, 0, 0], [1, 1, 2], [2, 1, 2], [0, 1.0, -2.0], [0], 1, nin)
    Z = np.zeros((3, nin))
    Z[:, nin - 2] = [0.5, 0.4, 0.6]
    np.testing.assert_array_equal(forest(Z), [1.0, 1.0, -2.0])
    # Arrays that would send the C++ walk out of bounds or round a cycle are refused.
    with pytest.raises(ValueError, match="cycle"):
        st.Forest([nin - 2, nin - 2, -1], [0.5, 0.5, 0], [1, 0, 2], [2, 2, 2], [0, 0, 1.0], [0], 1, nin)
    with pytest.raises(ValueError, match="column"):
        st.Forest([nin, -1, -1], [0.5, 0, 0], [1, 1, 2], [2, 1, 2], [0, 1.0, -2.0], [0], 1, nin)
    shipped = st.shipped_forest()
    if shipped is not None:
        assert shipped.n_inputs == nin, "the shipped trees were fitted on another feature set: refit them"
        # The C++ walk gives the numpy reference's bytes (NaN inputs go right in both).
        cand = scored.build_candidates(scored.read_molecule("CC(=O)c1ccc(Cl)cc1"))
        Zs = st.set_inputs(cand, scored._shipped_weights(), scored._SHIFT_COLS)
        F = cand.F.copy()
        F[:, scored._SHIFT_COLS] = 0.0
        named, hashed = cand.set_terms(scored._shipped_weights())
        assert Zs.tobytes() == st.tree_inputs(F, named if hashed is None else named + hashed).tobytes()
        Zs[0, :] = np.nan
        assert shipped(Zs).tobytes() == shipped.numpy_sum(Zs, shipped.roots).tobytes()
    cand = scored.build_candidates(scored.read_molecule("CCCC(=O)OC"))
    w = scored._shipped_weights()
    lin = cand.log_scores(w)
    diff = scored.shipped_log_scores(cand) - lin
    if shipped is None:
        np.testing.assert_array_equal(diff, 0.0)
    elif shipped.rows == "set":
        term = diff[np.unique(cand.base, return_index=True)[1]]
        np.testing.assert_allclose(diff, term[np.searchsorted(np.unique(cand.base), cand.base)], atol=1e-12)
    else:
        # Candidate rows read in place give the bytes of the rows written out.
        assert st.forest_term(shipped, cand, w, scored._SHIFT_COLS, None, lin).tobytes() == \
            shipped(st.cand_inputs(cand, lin)).tobytes()
        np.testing.assert_allclose(diff, shipped(st.cand_inputs(cand, lin)), atol=1e-12)


@pytest.mark.parametrize("n_rows", [0, 1, 63, 64, 65, 200])
def test_tree_sums_of_rows_in_parts_equal_the_rows_written_out(n_rows):
    from corvane_spectra import _scored_trees as st

    rng = np.random.default_rng(n_rows)
    nin, n_sets = 7, 5
    # Two depth-2 trees over columns from both tables; source: 2 and 5 own, the rest shared.
    forest = st.Forest([0, 2, 5, -1, -1, -1, -1, 6, -1, -1], [0.0, 0.5, -0.5, 0, 0, 0, 0, 0.25, 0, 0],
                       [1, 3, 5, 3, 4, 5, 6, 8, 8, 9], [2, 4, 6, 3, 4, 5, 6, 9, 8, 9],
                       [0, 0, 0, 1.0, 2.0, 3.0, 4.0, 0, 0.125, -0.5], [0, 7], 2, nin)
    source = np.array([-1, -2, 0, -4, -5, 1, 2], dtype=np.int32)
    shared = rng.normal(size=(n_sets, 5))
    own = rng.normal(size=(n_rows, 3))
    own[::7, 0] = np.nan
    own[1::5, 1] = -0.5                          # at a threshold: goes left
    row_of = rng.integers(0, n_sets, n_rows)
    Z = np.where(source >= 0, own[:, np.maximum(source, 0)], shared[row_of][:, np.maximum(-1 - source, 0)])
    assert forest.sum_parts(shared, row_of, own, source).tobytes() == forest(Z).tobytes()
    if n_rows:
        # Indices that would read outside the arrays are refused.
        for bad_row_of, bad_source in ((np.where(np.arange(n_rows) == 0, n_sets, row_of), source),
                                       (np.where(np.arange(n_rows) == 0, 2**32, row_of), source),
                                       (np.where(np.arange(n_rows) == 0, -1, row_of), source),
                                       (row_of, np.where(np.arange(nin) == 3, 3, source)),
                                       (row_of, np.where(np.arange(nin) == 3, -6, source)),
                                       (row_of[:-1], source), (row_of, source[:-1])):
            with pytest.raises(ValueError):
                forest.sum_parts(shared, bad_row_of, own, bad_source.astype(np.int32))


def _tree_arrays(shape, rng, n_cols, values):
    """Node arrays of one kind of tree (see the parametrisation below); thresholds drawn from
    ``values`` so that inputs equal to a threshold occur."""
    feature, threshold, left, right, value = [], [], [], [], []

    def node(split):
        i = len(feature)
        feature.append(int(rng.integers(n_cols)) if split else -1)
        threshold.append(float(rng.choice(values)) if split else 0.0)
        left.append(i)
        right.append(i)
        value.append(0.0 if split else float(np.float32(rng.normal())))
        return i

    def grow(d, max_d):
        if d == max_d or (d > 0 and rng.random() < 0.25):
            return node(False)
        i = node(True)
        left[i] = grow(d + 1, max_d)
        right[i] = grow(d + 1, max_d)
        return i

    if shape == "leaf":
        root = node(False)
    elif shape in ("lopsided", "deep"):      # a chain down alternate sides: leaves at every depth
        root = prev = node(True)
        for d in range(1, 6 if shape == "lopsided" else 12):
            nxt = node(True)
            left[prev], right[prev] = (nxt, node(False)) if d % 2 else (node(False), nxt)
            prev = nxt
        left[prev], right[prev] = node(False), node(False)
    elif shape == "ladder":                  # every node's two children are the same next node
        root = prev = node(True)
        for _ in range(40):
            nxt = node(True)
            left[prev] = right[prev] = nxt
            prev = nxt
        left[prev], right[prev] = node(False), node(False)
    else:
        root = grow(0, 6)
    return root, feature, threshold, left, right, value


@pytest.mark.parametrize("shapes", [("leaf",), ("lopsided", "leaf", "random"), ("deep", "random", "ladder"),
                                    ("random",) * 300])
@pytest.mark.parametrize("n_rows", [1, 17, 150])
def test_tree_sums_equal_the_numpy_walk_bytewise(shapes, n_rows):
    # Trees of every depth the evaluation lays out differently (a single leaf, leaves above
    # the bottom level, deeper than a complete layout holds, nodes shared by two parents),
    # on row counts that fill no block of rows, with NaN inputs and inputs equal to thresholds.
    from corvane_spectra import _scored_trees as st

    rng = np.random.default_rng(len(shapes) * 1000 + n_rows)
    n_cols = 9
    Z = rng.normal(size=(n_rows, n_cols)).round(1)
    Z[rng.random(Z.shape) < 0.1] = np.nan
    values = np.r_[np.unique(Z[np.isfinite(Z)]), -np.inf, np.inf]
    arrays = [[] for _ in range(5)]
    roots = []
    depth = 0
    for shape in shapes:
        root, *cols = _tree_arrays(shape, rng, n_cols, values)
        base = len(arrays[0])
        roots.append(root + base)
        for a, c, shift in zip(arrays, cols, (False, False, True, True, False)):
            a.extend(np.asarray(c) + base if shift else c)
        depth = max(depth, {"leaf": 0, "lopsided": 6, "deep": 12, "ladder": 41}.get(shape, 6))
    forest = st.Forest(*arrays, roots, depth, n_cols)
    for n_trees in (len(roots), max(1, len(roots) // 2)):
        got = forest(Z, n_trees)
        assert got.tobytes() == forest.numpy_sum(Z, forest.roots[:n_trees]).tobytes()
