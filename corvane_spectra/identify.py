"""Rank candidate structures against a measured spectrum."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable

import numpy as np

from .models import DEFAULT_MODEL, run_model
from .score import Library, figures, lowest_mz
from .spectrum import Spectrum

LIBRARY_SUFFIXES = (".msp", ".mgf", ".jsonl", ".ndjson")


@dataclass
class Candidate:
    """One ranked candidate.  ``rank`` is 1 + the number of candidates with a
    strictly higher score (equal scores share a rank); ``score`` is the
    cosine of the predicted intensities against the square roots of the
    measured ones over m/z >= the lowest measured m/z."""

    rank: int
    score: float
    matches: int
    name: str | None
    smiles: str | None
    precision: float
    recall10: float
    spectrum: Spectrum | None = field(default=None, repr=False)

    def to_dict(self) -> dict:
        def clean(x):
            return None if isinstance(x, float) and np.isnan(x) else x

        return {"rank": self.rank, "score": self.score, "matches": self.matches, "name": self.name,
                "smiles": self.smiles, "precision": clean(self.precision), "recall10": clean(self.recall10)}


@dataclass
class Identification:
    """Ranked candidates, best first, and the candidates that could not be
    predicted (``failed``: (label, reason) pairs)."""

    candidates: list[Candidate]
    failed: list[tuple[str, str]]

    def table(self) -> str:
        lines = [f"{'rank':>4} {'score':>6} {'match':>5} {'prec':>5} {'rec10':>5}  name / SMILES"]
        for c in self.candidates:
            label = c.name or ""
            if c.smiles and c.smiles != label:
                label = f"{label}  {c.smiles}".strip()
            lines.append(f"{c.rank:>4} {c.score:>6.3f} {c.matches:>5} {_f(c.precision):>5} "
                         f"{_f(c.recall10):>5}  {label}")
        if self.failed:
            lines.append(f"{len(self.failed)} candidate(s) could not be predicted:")
            lines.extend(f"  {label}: {why}" for label, why in self.failed)
        return "\n".join(lines)

    def to_dict(self) -> dict:
        return {"candidates": [c.to_dict() for c in self.candidates],
                "failed": [{"candidate": a, "reason": b} for a, b in self.failed]}


def _f(x) -> str:
    return "  n/a" if isinstance(x, float) and np.isnan(x) else f"{x:.2f}"


def read_smiles_list(path) -> list[tuple[str, str | None]]:
    """(SMILES, name) pairs of a SMILES file: one molecule a line, the SMILES
    first and an optional name after whitespace or a comma; blank lines and
    lines starting with '#' are skipped, as is a header line "smiles"."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.replace(",", " ", 1).replace("\t", " ").split(None, 1)
            if not out and parts[0].lower() == "smiles":
                continue
            out.append((parts[0], parts[1].strip() if len(parts) > 1 else None))
    return out


def is_library_file(path) -> bool:
    """Whether a candidates file is a spectrum library rather than SMILES."""
    p = Path(path)
    if p.is_dir():
        return True
    name = p.name.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    if name.endswith(LIBRARY_SUFFIXES):
        return True
    if name.endswith(".txt"):
        with open(p, encoding="utf-8", errors="replace") as f:
            return f.readline().startswith("ACCESSION:")
    return False


def identify(measured: Spectrum, candidates, *, top: int | None = None, model: str = DEFAULT_MODEL,
             ring_fragmentation: bool = False, recursive: bool = False, progress: bool = False,
             keep_spectra: bool = False) -> Identification:
    """Ranks candidates for a measured spectrum.

    ``candidates``: SMILES strings or (SMILES, name) pairs (each predicted
    with ``model``), predicted spectra, or a path to a SMILES file or to a
    predicted library in any readable format.  The ranking is done by the
    C++ library search; ``top`` keeps the best ones only."""
    if not isinstance(measured, Spectrum):
        raise TypeError(f"measured must be a Spectrum, not {type(measured).__name__}")
    if isinstance(candidates, (str, os.PathLike)):
        if is_library_file(candidates):
            from . import io

            candidates = io.read(candidates)
        else:
            candidates = read_smiles_list(candidates)
    spectra, failed = _predicted(candidates, model, ring_fragmentation, recursive, progress)
    lo = lowest_mz(measured)
    lib = Library(spectra, intensity_power=1.0)
    scores, matches = lib.scores(measured, min_mz=lo, query_intensity_power=0.5)
    # A score that is not a number ranks below every other, never first.
    scores = np.where(np.isnan(scores), -np.inf, scores)
    order = sorted(range(len(spectra)), key=lambda i: (-scores[i], i))
    if top is not None:
        order = order[:max(0, int(top))]
    out = []
    for i in order:
        s = spectra[i]
        fig = figures(measured, s)
        rank = 1 + int(np.count_nonzero(scores > scores[i]))
        out.append(Candidate(rank, float(scores[i]) if np.isfinite(scores[i]) else float("nan"), int(matches[i]), s.name, s.smiles, fig["precision"],
                             fig["recall10"], s if keep_spectra else None))
    return Identification(out, failed)


def _predicted(candidates: Iterable, model, ring, recursive, progress):
    from tqdm.auto import tqdm

    spectra: list[Spectrum] = []
    failed: list[tuple[str, str]] = []
    items = candidates if not progress else tqdm(candidates, desc="candidates", unit="mol", disable=None)
    for c in items:
        if isinstance(c, Spectrum):
            spectra.append(c)
            continue
        smiles, name = (c, None) if isinstance(c, str) else (c[0], c[1])
        try:
            s = run_model(model, smiles, ring_fragmentation=ring, recursive=recursive)
        except Exception as e:  # one bad candidate must not end the ranking
            failed.append((name or smiles, f"{type(e).__name__}: {e}"))
            continue
        if name:
            s.metadata.setdefault("name", name)
        spectra.append(s)
    return spectra, failed
