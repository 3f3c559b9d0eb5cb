"""Ranking a molecule among its isomers: the identification task a chemist faces.

An unknown's molecular formula is usually known (from the molecular ion, the
isotope pattern or accurate mass), so the realistic question is whether the
predicted spectrum of the true structure matches the measurement better than
the predicted spectra of the other structures with the same formula.

For each measured spectrum with a SMILES, its isomers are the structures of a
pool with the same formula of the largest component and another InChIKey
skeleton (first block: stereoisomers and isotope-labelled forms of the same
molecule are not isomers here).  The true structure and its isomers are
ranked by the cosine of their predicted spectra against the measurement;
ties are broken at random and counted at their expected value, so predicting
two isomers identically earns no credit.

Per query with k candidates (itself and k - 1 isomers), with g candidates
scoring strictly higher and t others tying with the true one:

* top-1: ``1/(t+1)`` when g = 0, else 0 (the chance of coming first);
* top-3: ``min(max(3-g, 0), t+1) / (t+1)``;
* relative rank: ``(E[rank] - 1) / (k - 1)`` with ``E[rank] = g + 1 + t/2``
  (0 = first, 1 = last, 0.5 = a coin);
* chance: ``1/k`` and ``min(3, k)/k`` for top-1 and top-3, 0.5 for the
  relative rank.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Callable, Iterable

import numpy as np

# Cosines closer than this count as a tie.
TIE = 1e-9


def structure_key(smiles: str) -> tuple[str, str] | None:
    """(formula of the largest component, InChIKey skeleton) of a SMILES, or None if unreadable."""
    from rdkit import Chem, RDLogger
    from rdkit.Chem.rdMolDescriptors import CalcMolFormula

    RDLogger.DisableLog("rdApp.*")
    if not isinstance(smiles, str) or not smiles.strip():
        return None
    mol = Chem.MolFromSmiles(smiles)
    if mol is None or mol.GetNumAtoms() == 0:
        return None
    frags = Chem.GetMolFrags(mol, asMols=True)
    main = max(frags, key=lambda m: (m.GetNumHeavyAtoms(), m.GetNumAtoms()))
    try:
        key = Chem.MolToInchiKey(main)
    except Exception:  # InChI cannot take the molecule
        key = ""
    if not key:
        key = "SMILES:" + Chem.MolToSmiles(main, isomericSmiles=False)
    # Isotope labels are not part of the formula: a deuterated molecule is the same structure.
    for a in main.GetAtoms():
        a.SetIsotope(0)
    return CalcMolFormula(main), key.split("-")[0]


def rank_figures(true_score: float, other_scores) -> dict:
    """Expected top-1, top-3 and relative rank of the true candidate, ties at random, and their chance values."""
    others = np.asarray(other_scores, dtype=np.float64)
    k = others.size + 1
    if k < 2:
        raise ValueError("a ranking needs at least one isomer")
    t_score = float(true_score)
    g = int(np.count_nonzero(others > t_score + TIE))
    t = int(np.count_nonzero(np.abs(others - t_score) <= TIE))
    top1 = (1.0 / (t + 1)) if g == 0 else 0.0
    top3 = min(max(3 - g, 0), t + 1) / (t + 1)
    rel = (g + t / 2.0) / (k - 1)
    return {"k": k, "top1": top1, "top3": top3, "relative_rank": rel,
            "chance_top1": 1.0 / k, "chance_top3": min(3, k) / k, "chance_relative_rank": 0.5}


@dataclass
class IsomerResult:
    """Per query (index, name, smiles, figures of :func:`rank_figures`), and the queries without isomers."""

    rows: list[dict]
    without_isomers: int
    failed: list[tuple[int, str | None, str]]

    def summary(self) -> dict:
        out = {"n": len(self.rows), "without_isomers": self.without_isomers, "failed": len(self.failed)}
        for key in ("top1", "top3", "relative_rank", "chance_top1", "chance_top3", "chance_relative_rank", "k"):
            vals = np.array([r[key] for r in self.rows], dtype=np.float64)
            out["mean_isomers" if key == "k" else key] = float(vals.mean() - (key == "k")) if vals.size else None
        return out


def _cosine(measured, predicted) -> float:
    from .score import lowest_mz, similarity

    if len(predicted) == 0 or len(measured) == 0:
        return 0.0
    return float(similarity(measured, predicted, intensity_power=0.5, reference_intensity_power=1.0,
                            min_mz=lowest_mz(measured)).cosine)


def _scores(measured, spectra, score: str) -> list[float]:
    if score == "cosine":
        return [_cosine(measured, p) for p in spectra]
    from .score import IdentificationScore

    if len(measured) == 0:
        return [0.0] * len(spectra)
    return IdentificationScore(spectra, score=score).scores(measured).tolist()


def rank_among_isomers(queries: Iterable, pool: Iterable[str], predict: Callable,
                       *, max_isomers: int | None = None, seed: int = 0, score: str = "cosine") -> IsomerResult:
    """The true structure's rank among its isomers in ``pool`` for each measured spectrum.

    ``queries``: (index, name, smiles, measured Spectrum) tuples;
    ``pool``: candidate SMILES; ``predict``: SMILES -> predicted Spectrum
    (called once per structure).  ``max_isomers``: at most this many isomers
    per query, drawn with ``seed`` (all by default).  ``score``: what ranks
    them, "cosine" or "learned" (:class:`corvane_spectra.score.IdentificationScore`).
    """
    if score not in ("cosine", "learned"):
        raise ValueError(f"score must be 'cosine' or 'learned', not {score!r}")
    by_formula: dict[str, dict[str, str]] = {}
    for smi in pool:
        key = structure_key(smi)
        if key is not None:
            by_formula.setdefault(key[0], {}).setdefault(key[1], smi)
    cache: dict[str, object] = {}

    def pred(smi):
        if smi not in cache:
            try:
                cache[smi] = predict(smi)
            except Exception as e:  # an unpredictable isomer stays out of the ranking
                cache[smi] = e
        return cache[smi]

    rng = np.random.default_rng(seed)
    rows, failed, without = [], [], 0
    for index, name, smiles, measured in queries:
        key = structure_key(smiles)
        if key is None:
            failed.append((index, name, "unreadable SMILES"))
            continue
        formula, skeleton = key
        iso = [s for sk, s in sorted(by_formula.get(formula, {}).items()) if sk != skeleton]
        if max_isomers is not None and len(iso) > max_isomers:
            iso = [iso[i] for i in sorted(rng.choice(len(iso), max_isomers, replace=False))]
        true_pred = pred(smiles)
        if isinstance(true_pred, Exception):
            failed.append((index, name, f"{type(true_pred).__name__}: {true_pred}"))
            continue
        others = [p for p in (pred(s) for s in iso) if not isinstance(p, Exception)]
        if not others:
            without += 1
            continue
        scores = _scores(measured, [true_pred] + others, score)
        fig = rank_figures(scores[0], scores[1:])
        rows.append({"index": index, "name": name, "smiles": smiles, "formula": formula, **fig})
    return IsomerResult(rows, without, failed)


def format_summary(summary: dict) -> str:
    """A few lines of text for the command line."""
    if not summary["n"]:
        return (f"isomers: no query has an isomer in the pool ({summary['without_isomers']} without, "
                f"{summary['failed']} failed)")
    return "\n".join([
        f"isomers: {summary['n']} queries with isomers in the pool (mean {summary['mean_isomers']:.1f} isomers each; "
        f"{summary['without_isomers']} without, {summary['failed']} failed)",
        f"  top-1          {summary['top1']:.3f}   (chance {summary['chance_top1']:.3f})",
        f"  top-3          {summary['top3']:.3f}   (chance {summary['chance_top3']:.3f})",
        f"  relative rank  {summary['relative_rank']:.3f}   (chance 0.500; 0 = always first)",
    ])


def read_pool(path) -> list[str]:
    """Candidate SMILES of a pool file: a molecule file the batch predictor reads (SMILES,
    CSV/TSV, SD) or a spectrum library with SMILES (MSP, MGF, JSON lines, MassBank records)."""
    import os

    from . import io as spectra_io
    from .batch import inputs

    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or folder")
    try:
        fmt = inputs.detect_format(path)
    except inputs.InputError:
        fmt = None
    out = []
    if fmt is None:
        with spectra_io.read(path, skip_bad=True) as reader:
            out = [s.smiles for s in reader if s.smiles]
        return out
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    for rec in inputs.read_records(path, fmt):
        if rec.kind == "molblock":
            mol = Chem.MolFromMolBlock(rec.text)
            if mol is not None:
                out.append(Chem.MolToSmiles(mol))
        elif rec.text:
            out.append(rec.text)
    return out
