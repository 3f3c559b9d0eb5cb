"""The fitting tool's objective: its analytic gradient matches finite differences,
with the identification, isomer-contrast, base-peak and peak-order terms and the hashed columns switched on (an error there fits
wrong weights without any other sign)."""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
fit_scored = pytest.importorskip("fit_scored")
from corvane_spectra import scored  # noqa: E402


def test_objective_gradient_matches_finite_differences(monkeypatch):
    monkeypatch.setattr(fit_scored, "BASE_WEIGHT", 0.7)
    monkeypatch.setattr(fit_scored, "RANK_WEIGHT", 0.3)
    monkeypatch.setattr(fit_scored, "ORDER_WEIGHT", 0.5)
    monkeypatch.setattr(fit_scored, "ISO_WEIGHT", 0.4)
    recs, cands = [], []
    for smi, peaks in (("CCc1ccccc1", {91: 999, 106: 300, 65: 80, 51: 60}),
                       ("CC(=O)c1ccccc1", {105: 999, 77: 800, 120: 300, 51: 200}),
                       ("CCCO", {31: 999, 59: 100, 60: 60, 29: 150, 42: 90}),
                       ("Cc1ccccc1C", {91: 999, 106: 600, 105: 250, 77: 90})):
        mz = np.array(sorted(peaks))
        recs.append({"mz": mz, "intensity": np.array([peaks[m] for m in mz], dtype=float), "smiles": smi})
        cands.append(scored.build_candidates(scored.read_molecule(smi)))
    data = fit_scored.Data(recs, cands)
    obj = fit_scored.Objective(data, np.arange(data.nspec), block=4, env=True,
                               keys=fit_scored.structure_keys(recs))
    assert [c[0].tolist() for c in obj.iso_chunks] == [[0, 3]]      # ethylbenzene and o-xylene
    assert obj.nw == data.nfeat + scored.N_ENV
    rng = np.random.default_rng(0)
    w = rng.normal(0, 0.1, obj.nw)
    _, grad, _ = obj.value_grad(w)
    # The hashed columns these molecules reach (set- and candidate-level ones), a sample of them.
    touched = np.union1d(data.es_c, data.ec_c)
    cand_only = np.setdiff1d(data.ec_c, data.es_c)
    env_cols = np.union1d(rng.choice(touched, 12, replace=False), cand_only[:4]) + data.nfeat
    eps = 1e-4
    for i in list(range(data.nfeat)) + env_cols.tolist():
        e = np.zeros(obj.nw)
        e[i] = eps
        num = (obj.value_grad(w + e)[0] - obj.value_grad(w - e)[0]) / (2 * eps)
        name = scored.FEATURES[i] if i < data.nfeat else f"hashed column {i - data.nfeat}"
        assert grad[i] == pytest.approx(num, rel=2e-2, abs=2e-4), name


@pytest.mark.parametrize("smi", ["CCc1ccccc1", "CC(=O)c1ccccc1", "Clc1ccc(Cl)cc1Cl", "CCCCN(C)C", "C", "BrCCBr"])
def test_peak_order_stage_of_the_fitting_tool_is_the_products(smi):
    # The peak-order stage is fitted on rows the tool builds from its flat arrays and applied to
    # rows the product builds from one molecule's candidates: the rows, and the spectrum a ranking
    # makes of them, must be the same.
    pytest.importorskip("lightgbm")
    import fit_peak_order

    from corvane_spectra import _peak_order

    cand = scored.build_candidates(scored.read_molecule(smi))
    s = np.exp(np.clip(scored.shipped_log_scores(cand), -60, 60))
    contrib = s[:, None] * cand.pattern
    bins = scored.isotope_bins(cand)
    a = np.bincount(bins.ravel(), contrib.ravel(), minlength=int(bins.max()) + 1)
    got = _peak_order.molecule_rows(cand, contrib, bins, a, scored._SHIFT_COLS, scored.MIN_HEIGHT)
    mz = np.nonzero(a > 0)[0]
    rec = {"mz": mz, "intensity": a[mz], "smiles": smi}
    data = fit_scored.Data([rec], [cand])
    a_tool = np.bincount(data.bins, (s[data.rows] * data.pat), minlength=data.nbin)
    if got is None:
        with pytest.raises(ValueError):          # no spectrum with two peaks to rank
            fit_peak_order.Peaks([rec], data, a_tool, s)
        return
    P = fit_peak_order.Peaks([rec], data, a_tool, s)
    top, Z = got
    np.testing.assert_array_equal(P.bins - data.start[0], top)
    np.testing.assert_allclose(P.Z, Z, rtol=1e-6, atol=1e-6)   # the tool holds features in float32
    # The "measured" spectrum is the prediction itself: the ranked peaks' measured heights fall from
    # the base peak's 1, and so do their relevances from DEPTH.
    rel = P.relevance()
    assert P.mheight[0] == 1 and rel[0] == fit_peak_order.DEPTH
    assert np.all(np.diff(P.mheight) <= 0) and np.all(np.diff(rel) <= 0)
    scores = np.arange(top.size, dtype=float)        # the weakest ranked peak first, and so on

    class Ranker:
        forest = staticmethod(lambda rows: scores)

    contrib2, a2 = _peak_order.adjust(Ranker, cand, contrib, bins, a, scored._SHIFT_COLS, scored.MIN_HEIGHT)
    np.testing.assert_allclose(P.rescaled(data, a_tool, s, scores)[:a2.size], a2, rtol=1e-6)   # float32 patterns
    np.testing.assert_allclose(a2, np.bincount(bins.ravel(), contrib2.ravel(), minlength=a2.size))


def test_peak_order_ensemble_ships_as_one_forest():
    # The shipped ranker is the mean of several; written as one forest (every member's trees, each
    # leaf divided by their number) it must score every row as the mean does.
    lgb = pytest.importorskip("lightgbm")
    import fit_peak_order

    from corvane_spectra._scored_trees import Forest

    rng = np.random.default_rng(0)
    Z = rng.normal(size=(600, 5))
    y = np.clip((Z[:, 0] + rng.normal(scale=0.5, size=600)).round() + 2, 0, 4).astype(int)
    ds = lgb.Dataset(Z, y, group=[10] * 60, params={"verbose": -1})
    params = {"objective": "lambdarank", "feature_fraction": 0.6, "num_threads": 1, "verbose": -1}
    ens = fit_peak_order.Ensemble([lgb.train(dict(params, seed=s), ds, num_boost_round=20) for s in (1, 2, 3)])
    forest = Forest.from_lightgbm(ens.dump_model(), None, "peak")
    assert forest.n_trees == 60
    np.testing.assert_allclose(forest(Z), ens.predict(Z, raw_score=True), rtol=0, atol=1e-12)
