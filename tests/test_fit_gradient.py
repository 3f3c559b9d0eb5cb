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
