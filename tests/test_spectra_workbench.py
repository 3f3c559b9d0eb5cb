"""annotate, identify, evaluate, the baselines and the mirror plot, on real records."""
import itertools
import math
import re
from pathlib import Path

import numpy as np
import pytest

from corvane_spectra import Spectrum, io
from corvane_spectra.annotate import annotate
from corvane_spectra.baselines import all_cuts, breakable_bonds, random_cuts, _molecule
from corvane_spectra.evaluate import FIGURES, METHODS, evaluate, evaluation_figure
from corvane_spectra.identify import identify, read_smiles_list
from corvane_spectra.models import register_model, MODELS
from corvane_spectra.plot import mirror_plot
from corvane_spectra.predict import predict

DATA = Path(__file__).parent / "data"
FIXTURE = DATA / "ei_small.msp"


@pytest.fixture(scope="module")
def records():
    return list(io.read(FIXTURE))


def by_name(records, name):
    return next(r for r in records if r.name == name)


# ------------------------------------------------------------ baselines

@pytest.mark.parametrize("smiles,expected_mz", [
    # Ethyl benzoate: C-C, C-O, O-C(=O), C=O (double, terminal O: cut anyway), C(=O)-ring.
    ("CCOC(=O)c1ccccc1", {150, 135, 15, 121, 29, 105, 45, 134, 16, 77, 73}),
    ("ClCc1ccccc1", {126, 91, 35, 49, 77}),  # Cl|CH2-Ph and ClCH2|Ph
    ("c1ccccc1", {78}),                    # only ring bonds: the molecular ion alone
])
def test_all_cuts_cuts_every_non_ring_heavy_bond_once(smiles, expected_mz):
    assert set(all_cuts(smiles).mz.tolist()) == expected_mz


def test_breakable_bonds_are_the_heavy_atom_bridges_networkx_finds():
    import networkx as nx
    from molecules import corpus_rows

    rows = corpus_rows() + [("Cl.CCN(CC)CC", "salt"), ("C1CC1C1CC1", "two rings"), ("CC#N", "triple")]
    for smi, _ in rows:
        mol = _molecule(smi)
        g = nx.Graph()
        g.add_nodes_from(range(mol.GetNumAtoms()))
        g.add_edges_from((b.GetBeginAtomIdx(), b.GetEndAtomIdx()) for b in mol.GetBonds())
        heavy = {a.GetIdx() for a in mol.GetAtoms() if a.GetAtomicNum() > 1}
        want = {(min(u, v), max(u, v)) for u, v in nx.bridges(g) if u in heavy and v in heavy}
        assert set(breakable_bonds(mol)) == want, smi


def test_random_baseline_draws_from_the_same_bonds_reproducibly():
    smi = "CCCCOC(=O)c1ccccc1O"
    n_bonds = len(breakable_bonds(_molecule(smi)))
    a, b = random_cuts(smi, 3), random_cuts(smi, 3)
    assert a.mz.tolist() == b.mz.tolist()
    assert set(a.mz.tolist()) <= set(all_cuts(smi).mz.tolist())
    assert random_cuts(smi, 99).mz.tolist() == all_cuts(smi).mz.tolist()   # capped at all bonds
    assert random_cuts(smi, 0).mz.tolist() == [138 + 56]                   # molecular ion only
    assert n_bonds == 8


# ------------------------------------------------------------ annotate

def test_annotate_ethyl_benzoate(records):
    measured = by_name(records, "ETHYL BENZOATE")
    ann = annotate(measured, measured.smiles, model="schematic")
    peaks = {p.mz: p for p in ann.peaks}
    assert len(ann.peaks) == len(measured)
    assert peaks[150].fragments[0].mode == "molecular_ion"
    assert peaks[150].fragments[0].formula == "C9H10O2"
    strong = [p.mz for p in ann.peaks if p.strong]
    assert set(p.mz for p in ann.unexplained) == {m for m in strong if not peaks[m].explained}
    for p in ann.peaks:
        for a in p.fragments:
            assert a.formula and a.generation in (0, 1)
    d = ann.to_dict()
    assert d["smiles"] == measured.smiles and len(d["peaks"]) == len(measured)
    assert "unexplained strong peaks" in ann.table()


def test_annotate_with_a_given_prediction_keeps_its_intensities(records):
    measured = by_name(records, "BENZYL CHLORIDE")
    pred = Spectrum([91, 126], [999.0, 10.0], {"smiles": measured.smiles})
    ann = annotate(measured, pred)
    assert ann.predicted is pred
    assert [p.mz for p in ann.peaks if p.explained] == [91, 126]


def test_annotate_refuses_bad_smiles(records):
    with pytest.raises(ValueError, match="unreadable SMILES"):
        annotate(records[0], "C1CC(")


# ------------------------------------------------------------ identify

def test_identify_ranks_true_structure_among_isomers(records, tmp_path):
    measured = by_name(records, "ETHYL PARA TOLUATE")
    cands = tmp_path / "c.smi"
    cands.write_text("# candidates\nCCOC(=O)c1ccc(C)cc1 truth\nCCCOC(=O)c1ccccc1 propyl-benzoate\n"
                     "CC(=O)Oc1ccc(CC)cc1 acetate\nnot_a_smiles broken\n")
    res = identify(measured, cands)
    assert len(res.candidates) == 3
    assert [f[0] for f in res.failed] == ["broken"]
    ranks = [c.rank for c in res.candidates]
    scores = [c.score for c in res.candidates]
    assert scores == sorted(scores, reverse=True) and ranks[0] == 1
    assert all(ranks[i] == 1 + sum(s > scores[i] for s in scores) for i in range(3))
    truth = next(c for c in res.candidates if c.name == "truth")
    assert truth.cosine == pytest.approx(annotate(measured, truth.smiles).figures["cosine"])


def test_identify_from_a_predicted_library_file(records, tmp_path):
    measured = by_name(records, "BENZYL CHLORIDE")
    lib = [predict(s) for s in ("ClCc1ccccc1", "Clc1ccccc1C", "ClCCc1ccccc1")]
    for s, n in zip(lib, ("a", "b", "c")):
        s.metadata["name"] = n
    path = tmp_path / "pred.msp"
    io.write(lib, path)
    res = identify(measured, path, top=2)
    assert len(res.candidates) == 2
    direct = identify(measured, lib)
    assert [c.name for c in res.candidates] == [c.name for c in direct.candidates][:2]
    assert res.candidates[0].score == pytest.approx(direct.candidates[0].score)
    # Predictions (read back with their convention) are ranked by the learned score, measured spectra by the cosine.
    assert res.similarity.startswith("learned") and direct.similarity.startswith("learned")
    among_measured = identify(measured, [r for r in records if r.name != measured.name][:3] + [measured])
    assert among_measured.similarity.startswith("cosine")


def test_read_smiles_list_forms(tmp_path):
    p = tmp_path / "x.csv"
    p.write_text("smiles,name\nCCO,ethanol\n\nCC\n")
    assert read_smiles_list(p) == [("CCO", "ethanol"), ("CC", None)]


# ------------------------------------------------------------ evaluate

def test_evaluate_tiny_library_and_a_failing_molecule(records):
    bad = Spectrum([10, 20], [1.0, 2.0], {"name": "broken", "smiles": "C1CC("})
    nosmiles = Spectrum([10], [1.0], {"name": "anon"})
    ev = evaluate(records[:3] + [bad, nosmiles])
    s = ev.summary()
    assert set(s) == {"n", "failed", "model", "offset", "similarity", "identification", "fitted", "notes",
                      *ev.methods}
    assert set(METHODS) <= set(ev.methods)
    assert s["n"] == 3 and s["failed"] == 2
    assert [f[1] for f in ev.failed] == ["broken", "anon"]
    for meth in METHODS:
        assert set(s[meth]) == set(FIGURES)
        assert 0 <= s[meth]["id_at_1"] <= s[meth]["id_at_10"] == 1.0   # 3 molecules: rank < 10 always
        for key in ("precision", "recall10", "recall10_pm1", "cosine"):
            vals = [r.figures[meth][key] for r in ev.records]
            assert s[meth][key] == pytest.approx(np.nanmean(vals))
    # limit takes the first N
    assert evaluate(iter(records), limit=2).summary()["n"] == 2


def test_evaluate_takes_a_registered_model(records):
    calls = []

    def fake(smiles, *, ring_fragmentation=False, recursive=False):
        calls.append(smiles)
        return Spectrum([77, 105], [30.0, 100.0], {"smiles": smiles})

    register_model("test-fake", fake)
    try:
        ev = evaluate(records[:2], model="test-fake")
    finally:
        MODELS.pop("test-fake")
    assert calls == [r.smiles for r in records[:2]]
    assert ev.records[0].predicted["module"].intensity.tolist() == [30.0, 100.0]
    fig = evaluation_figure(ev)
    assert len(fig.axes) >= 5


# ---------------------------------------------------------- mirror plot

def text_boxes(ax):
    fig = ax.figure
    fig.canvas.draw()
    r = fig.canvas.get_renderer()
    return [t.get_window_extent(r) for t in ax.texts if t.get_text()], ax.get_window_extent(r)


def assert_readable(ax):
    boxes, axbox = text_boxes(ax)
    assert boxes
    for b in boxes:
        assert axbox.x0 - 0.5 <= b.x0 and b.x1 <= axbox.x1 + 0.5, "label leaves the axes"
        assert axbox.y0 - 0.5 <= b.y0 and b.y1 <= axbox.y1 + 0.5, "label leaves the axes"
    for a, b in itertools.combinations(boxes, 2):
        overlap_w = min(a.x1, b.x1) - max(a.x0, b.x0)
        overlap_h = min(a.y1, b.y1) - max(a.y0, b.y0)
        assert overlap_w <= 0.5 or overlap_h <= 0.5, "two labels collide"
    # No stick runs through a label (sticks in display units, from the drawn segments).
    sticks = [ax.transData.transform(seg) for c in ax.collections for seg in c.get_segments()]
    assert sticks
    for b in boxes:
        for (x, y0), (_, y1) in sticks:
            lo, hi = min(y0, y1), max(y0, y1)
            crosses = b.x0 + 0.5 < x < b.x1 - 0.5 and min(hi, b.y1) - max(lo, b.y0) > 0.5
            assert not crosses, f"a stick at x={x:.1f} runs through a label"


def test_mirror_plot_draws_both_sides_and_annotates(records):
    import matplotlib.pyplot as plt

    measured = by_name(records, "ETHYL BENZOATE")
    pred = predict(measured.smiles, model="schematic")
    fig, ax = plt.subplots(figsize=(8, 4))
    assert mirror_plot(measured, pred, ax=ax) is ax
    segs = np.concatenate([c.get_segments() for c in ax.collections])
    tops = segs[:, 1, 1]
    assert (tops > 0).sum() == len(measured) and (tops < 0).sum() == len(pred)
    assert tops.max() == pytest.approx(100.0) and tops.min() == pytest.approx(-100.0)
    texts = {t.get_text() for t in ax.texts}
    assert "105" in texts and "C9H10O2" in texts
    assert_readable(ax)


@pytest.mark.parametrize("size", [(10, 5.5), (5, 3)])
def test_mirror_plot_labels_stay_apart_for_a_large_molecule(size):
    import matplotlib.pyplot as plt

    # 60 heavy atoms: a long branched ester/amide chain with many cuts.
    smiles = "CCCCCCCCCCCCCCCC(=O)OCC(COC(=O)CCCCCCCCCCCCCCC)OC(=O)CCCCCCCCCCCNC(=O)c1ccccc1"
    from rdkit import Chem
    assert Chem.MolFromSmiles(smiles).GetNumHeavyAtoms() >= 55
    pred = all_cuts(smiles)
    assert len(pred) > 40
    rng = np.random.default_rng(1)
    mz = np.unique(rng.integers(40, int(pred.mz.max()), 150))
    measured = Spectrum(mz, rng.random(mz.size) * 999, {"name": "synthetic"})
    fig, ax = plt.subplots(figsize=size)
    mirror_plot(measured, pred, ax=ax)
    assert_readable(ax)


@pytest.mark.parametrize("scale", ["linear", "sqrt"])
def test_mirror_plot_a_perfect_prediction_mirrors_the_measurement(records, scale):
    import matplotlib.pyplot as plt

    measured = by_name(records, "BUTYL SALICYLATE")
    rel = measured.intensity / measured.intensity.max()
    # The measurement itself in the scored convention (square roots of abundances).
    pred = Spectrum(measured.mz, 100.0 * np.sqrt(rel), {"smiles": measured.smiles}, convention="scored")
    fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
    mirror_plot(measured, pred, ax=ax, scale=scale)
    segs = np.concatenate([c.get_segments() for c in ax.collections])
    up = sorted((x, y) for (x, _), (_, y) in segs if y > 0)
    down = sorted((x, -y) for (x, _), (_, y) in segs if y < 0)
    np.testing.assert_allclose(np.array(up), np.array(down), rtol=1e-9)
    assert "cosine 1.00" in ax.get_title() and f"{len(measured)} matched peaks" in ax.get_title()
    plt.close(fig)


def test_mirror_plot_of_a_scored_prediction(records):
    import matplotlib.pyplot as plt
    from matplotlib.colors import to_hex

    from corvane_spectra import plot
    from corvane_spectra.score import figures

    measured = by_name(records, "BUTYL SALICYLATE")
    pred = predict(measured.smiles, model="scored")
    lo = int(measured.mz.min())
    assert pred.mz.min() < lo and any(a and a[0].mode == "isotope" for a in pred.annotations)
    fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
    mirror_plot(measured, pred, ax=ax)
    # The title's cosine is the workbench's.
    assert f"cosine {figures(measured, pred)['cosine']:.2f}" in ax.get_title()
    below, dotted = set(), set()
    for c in ax.collections:
        for (x, _), (_, y) in c.get_segments():
            if y < 0 and x < lo:
                below.add(to_hex(c.get_colors()[0]))
            if y < 0 and c.get_linestyles()[0][1] is not None:
                dotted.add(int(x))
    assert below == {plot.OUTSIDE_COLOUR}
    iso = {m for m, a in zip(pred.mz.tolist(), pred.annotations) if a and a[0].mode == "isotope"}
    assert dotted == iso
    # Only the strongest predicted ions are labelled, none below the compared range or an isotope peak.
    formulas = {a[0].formula: m for m, a in zip(pred.mz.tolist(), pred.annotations) if a}
    pred_labels = [t for t in ax.texts if t.get_text() in formulas]
    assert 0 < len(pred_labels) <= plot.SCORED_LABELS
    assert all(t.get_position()[0] >= lo for t in pred_labels)
    assert ax.child_axes, "the structure is drawn in an inset"
    assert ax.get_legend() is not None
    assert_readable(ax)
    plt.close(fig)
    # An isotope peak is named as one, not with its ion's bare formula.
    measured = by_name(records, "BENZYL CHLORIDE")
    ax = mirror_plot(measured, predict(measured.smiles, model="scored"), max_predicted_labels=40)
    texts = [t.get_text() for t in ax.texts]
    assert "C7H7Cl +2" in texts and texts.count("C7H7Cl") == 1
    assert_readable(ax)
    plt.close(ax.figure)


def test_evaluation_figure_keeps_a_colour_per_predictor(records):
    from corvane_spectra.plot import PREDICTOR_COLOURS

    colours = {}
    for model in ("scored", "schematic"):
        fig = evaluation_figure(evaluate(records[:2], model=model), examples=1)
        ident = next(a for a in fig.axes if a.get_title() == "identification")
        for line in ident.get_lines():
            colours.setdefault(model, []).append(line.get_color())
    assert colours["scored"][0] == PREDICTOR_COLOURS["scored"]
    assert colours["schematic"][0] == PREDICTOR_COLOURS["schematic"]
    assert PREDICTOR_COLOURS["schematic"] in colours["scored"]   # shown beside the scored model


# ------------------------------------------- SMILES that name no molecule

@pytest.mark.parametrize("smiles", ["c1cccc1", "C(C)(C)(C)(C)C"])
@pytest.mark.parametrize("entry", ["predict", "predict_scored_model", "annotate", "identify", "evaluate"])
def test_every_entry_point_refuses_a_smiles_rdkit_cannot_sanitise(entry, smiles):
    measured = Spectrum([39, 65, 66], [20.0, 100.0, 80.0], {"name": "m", "smiles": smiles})
    message = f"unreadable SMILES {smiles!r}: RDKit cannot sanitise it"
    if entry == "identify":
        res = identify(measured, [(smiles, "bad"), ("c1ccccc1", "benzene")])
        assert [c.name for c in res.candidates] == ["benzene"]
        assert [(label, why.startswith(f"ValueError: {message}")) for label, why in res.failed] == [("bad", True)]
    elif entry == "evaluate":
        ev = evaluate([measured])
        assert not ev.records and message in ev.failed[0][2]
    else:
        call = {"predict": lambda: predict(smiles, model="schematic"),
                "predict_scored_model": lambda: predict(smiles, model="scored"),
                "annotate": lambda: annotate(measured, smiles)}[entry]
        with pytest.raises(ValueError, match=re.escape(message)):
            call()
