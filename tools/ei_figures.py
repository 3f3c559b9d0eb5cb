"""Figures of predicted against measured EI spectra, for fitting the scored model.

A small stand-alone reading of the workbench's figures (precision, recall@10,
recall@10+-1, cosine, identification rank), so that the fitting script needs
nothing beyond numpy.  The package's own scoring is the reference; this file
only has to agree with it.
"""
from __future__ import annotations

import numpy as np


def read_msp(path):
    """Records of an MSP file: dicts with name, smiles, id, mz (int array), intensity."""
    recs = []
    cur = None
    peaks = []
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            line = line.strip()
            if not line:
                if cur is not None:
                    cur["mz"] = np.array([p[0] for p in peaks], dtype=np.int64)
                    cur["intensity"] = np.array([p[1] for p in peaks], dtype=np.float64)
                    recs.append(cur)
                cur, peaks = None, []
                continue
            if cur is None:
                cur = {}
            if ":" in line and not line[0].isdigit():
                k, v = line.split(":", 1)
                k = k.strip().lower()
                v = v.strip()
                if k == "name":
                    cur["name"] = v
                elif k == "smiles":
                    cur["smiles"] = v
                elif k == "db#":
                    cur["id"] = v
                elif k == "inchikey":
                    cur["inchikey"] = v
                continue
            parts = line.replace(";", " ").split()
            if len(parts) >= 2:
                peaks.append((int(round(float(parts[0]))), float(parts[1])))
    if cur is not None and peaks:
        cur["mz"] = np.array([p[0] for p in peaks], dtype=np.int64)
        cur["intensity"] = np.array([p[1] for p in peaks], dtype=np.float64)
        recs.append(cur)
    return recs


def _cos(pm, pi, mm, mi):
    """Cosine of predicted (pm, pi) against sqrt of measured (mm, mi), m/z >= min(mm)."""
    if mm.size == 0 or pm.size == 0:
        return 0.0
    lo = mm.min()
    sel = pm >= lo
    pm, pi = pm[sel], pi[sel]
    q = np.sqrt(mi)
    common, ia, ib = np.intersect1d(pm, mm, return_indices=True)
    num = float(np.dot(pi[ia], q[ib]))
    den = float(np.linalg.norm(pi) * np.linalg.norm(q))
    return num / den if den > 0 else 0.0


def figures(pred_mz, pred_int, meas_mz, meas_int):
    """precision, recall10, recall10_pm1, cosine of one spectrum."""
    lo = meas_mz.min()
    base = meas_int.max()
    strong = meas_mz[meas_int >= 0.05 * base]
    pm = pred_mz[pred_mz >= lo]
    precision = float(np.isin(pm, strong).mean()) if pm.size else 0.0
    order = np.argsort(-meas_int, kind="stable")
    top = [m for m in meas_mz[order] if meas_int[meas_mz == m][0] >= 0.05 * base][:10]
    top = np.array(top, dtype=np.int64)
    pset = set(pred_mz.tolist())
    r10 = float(np.mean([m in pset for m in top])) if top.size else 0.0
    r10pm = float(np.mean([(m in pset) or (m - 1 in pset) or (m + 1 in pset) for m in top])) if top.size else 0.0
    return precision, r10, r10pm, _cos(pred_mz, pred_int, meas_mz, meas_int)


def _package_module(name):
    """A plain-numpy module of this tree's corvane_spectra, loaded on its own (no package import)."""
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parent.parent / "corvane_spectra" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def identification_ranks(preds, meas, score="learned"):
    """Rank of each query's own prediction among all predictions (strictly higher scores).

    ``score="learned"``: the package's learned identification score
    (corvane_spectra/_idscore.py with the weights of _similarity_weights.py);
    ``"cosine"``: the cosine of the predicted heights against sqrt of the
    measured intensities, m/z >= the query's lowest m/z."""
    if score == "learned":
        ids = _package_module("_idscore")
        weights = _package_module("_similarity_weights").WEIGHTS
        names = tuple(weights)
        w = np.array([weights[t] for t in names])
        refs = ids.References(preds)
        ranks = np.zeros(len(meas), dtype=np.int64)
        for j, (mm, mi) in enumerate(meas):
            s = refs.terms(mm, mi, names) @ w
            ranks[j] = int(np.sum(s > s[j] + 1e-12))
        return ranks
    if score != "cosine":
        raise ValueError(f"unknown score {score!r}")
    n = len(meas)
    ranks = np.zeros(n, dtype=np.int64)
    top = max(int(max((p[0].max() if p[0].size else 0) for p in preds)),
              int(max(m[0].max() for m in meas))) + 1
    # Dense matrices over m/z: fine for a library of a few thousand.
    P = np.zeros((len(preds), top))
    for i, (pm, pi) in enumerate(preds):
        P[i, pm] = pi
    cums = np.cumsum(P[:, ::-1] ** 2, axis=1)[:, ::-1]   # norm^2 of peaks at m/z >= lo
    for j, (mm, mi) in enumerate(meas):
        lo = mm.min()
        q = np.zeros(top)
        q[mm] = np.sqrt(mi)
        num = P @ q
        den = np.sqrt(cums[:, lo]) * np.linalg.norm(q)
        cos = np.where(den > 0, num / np.where(den > 0, den, 1), 0.0)
        ranks[j] = int(np.sum(cos > cos[j] + 1e-12))
    return ranks
