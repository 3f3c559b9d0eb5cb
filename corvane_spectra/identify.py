"""Rank candidate structures against a measured spectrum."""
from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable

import numpy as np

from . import _ions
from .interop import matchms_cosine
from .models import DEFAULT_MODEL, run_model
from .score import (SQUARE_ROOT_CONVENTIONS, IdentificationScore, Library, figures, lowest_mz,
                    similarity_name)
from .spectrum import Spectrum

LIBRARY_SUFFIXES = (".msp", ".mgf", ".jsonl", ".ndjson")
TABLE_SUFFIXES = (".csv", ".tsv", ".tab", ".sdf", ".sd")
# A measured peak this strong (fraction of the base peak) above a candidate's
# molecular ion and its isotope peaks contradicts the candidate.
CONTRADICTION_FRACTION = 0.01
# Resamplings of the measured peaks behind the "within noise" note.
NOISE_RESAMPLES = 200

FLAG_TEXT = {
    "m_above_spectrum": "M+ above the highest measured m/z",
    "peaks_above_m": "measured peaks above M+ and its isotopes: the apparent molecular ion is impossible "
                     "for this formula",
}


@dataclass
class Candidate:
    """One ranked candidate.  ``rank`` is 1 + the number of candidates with a
    strictly higher score (equal scores share a rank); ``score`` is the
    identification score (:class:`corvane_spectra.score.IdentificationScore`:
    the learned score for predicted candidates, else the cosine); ``cosine``
    is the cosine of the predicted intensities against the square roots of
    the measured ones over m/z >= the lowest measured m/z."""

    rank: int
    score: float
    matches: int
    name: str | None
    smiles: str | None
    precision: float
    recall10: float
    spectrum: Spectrum | None = field(default=None, repr=False)
    # (m/z, formula of the predicted ion, "M+1 of X+" for an isotope peak else "")
    explained: list[tuple[int, str, str]] = field(default_factory=list)
    molecular_ion: int | None = None
    flags: list[str] = field(default_factory=list)
    matchms_score: float | None = None
    cosine: float | None = None

    def to_dict(self) -> dict:
        def clean(x):
            return None if isinstance(x, float) and np.isnan(x) else x

        return {"rank": self.rank, "score": self.score, "cosine": clean(self.cosine), "matches": self.matches,
                "name": self.name,
                "smiles": self.smiles, "precision": clean(self.precision), "recall10": clean(self.recall10),
                "matchms_score": self.matchms_score, "molecular_ion": self.molecular_ion,
                "explained": [{"mz": m, "formula": f, "isotope_of": iso or None} for m, f, iso in self.explained],
                "flags": [{"flag": f, "text": FLAG_TEXT.get(f, f)} for f in self.flags]}


@dataclass
class Identification:
    """Ranked candidates, best first, and the candidates that could not be
    predicted (``failed``: (label, reason) pairs).

    ``similarity`` names the score; ``tied``: how many candidates from the
    top score within noise of the best one (1: the best stands out), with
    ``noise`` the standard deviation of the difference between the two
    best scores when the measured peaks are resampled; ``excluded``: the
    candidates left out because their molecular ion contradicts the
    spectrum (``exclude_contradicted``)."""

    candidates: list[Candidate]
    failed: list[tuple[str, str]]
    similarity: str = ""
    tied: int = 1
    noise: float | None = None
    excluded: list[Candidate] = field(default_factory=list)
    # The query and the model, for the HTML report.
    measured: Spectrum | None = field(default=None, repr=False)
    model: object = field(default=None, repr=False)

    @property
    def notes(self) -> list[str]:
        out = []
        if self.tied > 1 and self.noise is not None:
            out.append(f"the top {self.tied} scores lie within noise of each other (2 standard deviations "
                       f"of the score difference when the measured peaks are resampled: {2 * self.noise:.3f}); "
                       "the ranking among them is not decided by this spectrum")
        if self.excluded:
            out.append(f"{len(self.excluded)} candidate(s) left out: their molecular ion contradicts the spectrum")
        return out

    def to_html(self, path=None, *, measured: Spectrum | None = None, title: str | None = None) -> str:
        """The ranking as one self-contained interactive HTML page
        (``corvane_spectra.report``): the candidates' table and, for the
        selected candidate, its structure and mirror plot.  Written to
        ``path`` when given; returns the HTML text."""
        from .report import identification_html, write_html

        text = identification_html(self, measured, title=title)
        if path is not None:
            write_html(text, path)
        return text

    def table(self) -> str:
        lines = [f"{'rank':>4} {'score':>6} {'cos':>5} {'mms':>5} {'match':>5} {'prec':>5} {'rec10':>5} {'M+':>5}  "
                 "name / SMILES"]
        for c in self.candidates:
            label = c.name or ""
            if c.smiles and c.smiles != label:
                label = f"{label}  {c.smiles}".strip()
            mplus = "" if c.molecular_ion is None else str(c.molecular_ion)
            mms = "" if c.matchms_score is None else f"{c.matchms_score:.2f}"
            cos = "" if c.cosine is None else f"{c.cosine:.2f}"
            lines.append(f"{c.rank:>4} {c.score:>6.3f} {cos:>5} {mms:>5} {c.matches:>5} {_f(c.precision):>5} "
                         f"{_f(c.recall10):>5} {mplus:>5}  {label}")
            for flag in c.flags:
                lines.append(f"{'':>42}! {FLAG_TEXT.get(flag, flag)}")
            if c.explained:
                lines.append(f"{'':>42}explains " + ", ".join(f"{m} ({iso})" if iso else f"{m} {f}"
                                                              for m, f, iso in c.explained))
        if self.similarity:
            lines.append(f"score = {self.similarity}")
            lines.append(f"cos = {similarity_name('identify')}")
            lines.append(f"mms = {similarity_name('matchms')}, on the spectra as written")
        lines.extend(f"note: {n}" for n in self.notes)
        if self.failed:
            lines.append(f"{len(self.failed)} candidate(s) could not be predicted:")
            lines.extend(f"  {label}: {why}" for label, why in self.failed)
        return "\n".join(lines)

    def to_dict(self) -> dict:
        return {"similarity": self.similarity, "candidates": [c.to_dict() for c in self.candidates],
                "tied_within_noise": self.tied, "noise": self.noise, "notes": self.notes,
                "excluded": [c.to_dict() for c in self.excluded],
                "failed": [{"candidate": a, "reason": b} for a, b in self.failed]}


def _f(x) -> str:
    return "  n/a" if isinstance(x, float) and np.isnan(x) else f"{x:.2f}"


def _parses(smiles: str) -> bool:
    from rdkit import Chem, RDLogger

    RDLogger.DisableLog("rdApp.*")
    try:
        return Chem.MolFromSmiles(smiles) is not None
    finally:
        RDLogger.EnableLog("rdApp.*")


def read_smiles_list(path) -> list[tuple[str, str | None]]:
    """(SMILES, name) pairs of a SMILES file: one molecule a line, the SMILES
    and an optional name after whitespace or a comma; blank lines and lines
    starting with '#' are skipped, as is a header line "smiles".  A line
    with the identifier first ("ID SMILES") is recognised: when the first
    field is no SMILES and the second is, they are swapped."""
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.replace(",", " ", 1).replace("\t", " ").split(None, 1)
            if not out and (parts[0].lower() == "smiles" or (len(parts) > 1 and parts[1].strip().lower() == "smiles")):
                continue
            smiles, name = parts[0], (parts[1].strip() if len(parts) > 1 else None)
            if name and " " not in name and not _parses(smiles) and _parses(name):
                smiles, name = name, smiles
            out.append((smiles, name))
    return out


def read_candidate_table(path) -> list[tuple[str, str | None]]:
    """(SMILES, name) pairs of a CSV/TSV table (SMILES and identifier columns
    found by name, as ``corvane predict`` finds them) or an SD file."""
    from .batch.inputs import read_records

    out = []
    for rec in read_records(os.fspath(path)):
        smiles = rec.text
        if rec.kind == "molblock":
            from rdkit import Chem

            mol = Chem.MolFromMolBlock(rec.text)
            smiles = Chem.MolToSmiles(mol) if mol is not None else ""
        out.append((smiles, getattr(rec, "name", "") or rec.ident))
    return out


def is_table_file(path) -> bool:
    name = Path(path).name.lower()
    if name.endswith(".gz"):
        name = name[:-3]
    return name.endswith(TABLE_SUFFIXES)


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


def molecular_ion_mass(spectrum: Spectrum) -> tuple[int | None, "Counter | None"]:
    """The nominal mass of a candidate's molecular ion and its element counts
    (from its formula, else its SMILES); None when neither tells it."""
    formula = spectrum.metadata.get("formula")
    counts = _ions.parse_formula(formula) if isinstance(formula, str) else None
    if counts is None and spectrum.smiles:
        try:
            from rdkit import Chem
            from rdkit.Chem.rdMolDescriptors import CalcMolFormula

            mol = Chem.MolFromSmiles(spectrum.smiles)
            counts = _ions.parse_formula(CalcMolFormula(mol)) if mol is not None else None
        except Exception:  # an odd SMILES only costs the check
            counts = None
    if counts is None:
        return None, None
    return _ions.nominal_mass(counts), counts


def contradictions(measured: Spectrum, spectrum: Spectrum) -> tuple[int | None, list[str]]:
    """The candidate's molecular-ion m/z and what in the measured spectrum
    contradicts it: "m_above_spectrum" (M+ above the highest measured m/z)
    and "peaks_above_m" (measured peaks of at least 1 % of the base peak
    above M+ and its isotope peaks)."""
    mplus, counts = molecular_ion_mass(spectrum)
    flags: list[str] = []
    if mplus is None or len(measured) == 0:
        return mplus, flags
    pos = measured.intensity > 0
    if not pos.any():
        return mplus, flags
    top = int(measured.mz[pos].max())
    if mplus > top:
        flags.append("m_above_spectrum")
    # 13C and 2 x 13C, and two mass units per Cl, Br, S or Si (their heavy isotopes).
    heavy = sum(counts.get(el, 0) for el in ("Cl", "Br", "S", "Si"))
    allowance = 2 + 2 * heavy
    strong = measured.intensity >= CONTRADICTION_FRACTION * measured.base_peak()
    if np.any(strong & (measured.mz > mplus + allowance)):
        flags.append("peaks_above_m")
    return mplus, flags


def _noise(measured: Spectrum, spectra: list[Spectrum], order: list[int], lo: int,
           resamples: int = NOISE_RESAMPLES, seed: int = 0, score: str = "cosine") -> tuple[int, float | None]:
    """How many candidates from the top are within noise of the best one,
    and the noise (the standard deviation of best minus second score when
    the measured peaks are drawn again with replacement)."""
    if len(order) < 2:
        return 1, None
    keep = (measured.mz >= lo) & (measured.intensity > 0)
    mz = measured.mz[keep]
    q = np.sqrt(measured.intensity[keep])
    if mz.size < 2:
        return 1, None
    head = order[:min(len(order), 10)]
    if score != "cosine":
        return _noise_of_score(mz, measured.intensity[keep], [spectra[i] for i in head], lo, resamples, seed, score)
    vecs = []
    for i in head:
        s = spectra[i]
        at = dict(zip(s.mz.tolist(), s.intensity.tolist()))
        inside = (s.mz >= lo) & (s.intensity > 0)
        norm = float(np.sqrt(np.sum(s.intensity[inside] ** 2)))
        vecs.append((np.array([at.get(m, 0.0) for m in mz.tolist()]), norm))
    rng = np.random.default_rng(seed)
    draws = rng.integers(0, mz.size, size=(resamples, mz.size))
    # Resampled measured vector: counts of each peak drawn, times its weight.
    counts = np.zeros((resamples, mz.size))
    np.add.at(counts, (np.arange(resamples)[:, None], draws), 1.0)
    qv = counts * q[None, :]
    qn = np.sqrt(np.sum(qv ** 2, axis=1))
    scores = np.stack([(qv @ v) / np.where(qn * n > 0, qn * n, 1.0) for v, n in vecs], axis=1)
    diff = scores[:, :1] - scores[:, 1:]
    sd = diff.std(axis=0, ddof=1)
    observed = (np.array([(q @ v) for v, _ in vecs]) / np.array(
        [max(float(np.linalg.norm(q)) * n, 1e-300) for _, n in vecs]))
    gap = observed[0] - observed[1:]
    tied = 1
    for g, d in zip(gap, sd):
        if g <= 2 * d:
            tied += 1
        else:
            break
    return tied, float(sd[0])


def _noise_of_score(mz, inten, head: list[Spectrum], lo: int, resamples: int, seed: int,
                    score: str) -> tuple[int, float]:
    """_noise for any identification score: the head candidates scored
    against resampled measured spectra (a peak drawn c times weighs c times
    its square root, i.e. intensity c**2 * I)."""
    scorer = IdentificationScore(head, score=score)
    rng = np.random.default_rng(seed)
    draws = rng.integers(0, mz.size, size=(resamples, mz.size))
    counts = np.zeros((resamples, mz.size))
    np.add.at(counts, (np.arange(resamples)[:, None], draws), 1.0)
    scores = np.stack([scorer.scores((mz, c ** 2 * inten), min_mz=lo) for c in counts])
    sd = (scores[:, :1] - scores[:, 1:]).std(axis=0, ddof=1)
    observed = scorer.scores((mz, inten), min_mz=lo)
    tied = 1
    for g, d in zip(observed[0] - observed[1:], sd):
        if g <= 2 * d:
            tied += 1
        else:
            break
    return tied, float(sd[0])


def _auto_score(spectra: list[Spectrum], score: str) -> str:
    if score != "auto":
        if score not in ("learned", "cosine"):
            raise ValueError(f"score must be 'auto', 'learned' or 'cosine', not {score!r}")
        return score
    return "learned" if spectra and all(s.convention in SQUARE_ROOT_CONVENTIONS for s in spectra) else "cosine"


def identify(measured: Spectrum, candidates, *, top: int | None = None, model: str = DEFAULT_MODEL,
             ring_fragmentation: bool = False, recursive: bool = False, progress: bool = False,
             keep_spectra: bool = False, exclude_contradicted: bool = False,
             score: str = "auto") -> Identification:
    """Ranks candidates for a measured spectrum.

    ``candidates``: SMILES strings or (SMILES, name) pairs (each predicted
    with ``model``), predicted spectra, or a path to a SMILES file (SMILES
    and name in either order), a CSV/TSV table or SD file of molecules, or a
    predicted library in any readable format.  The ranking is done by the
    C++ library search; ``top`` keeps the best ones only.

    Each candidate carries the measured peaks its prediction explains (m/z
    and the formula of the predicted ion there), its molecular-ion m/z and
    flags where that contradicts the spectrum (:func:`contradictions`);
    ``exclude_contradicted`` leaves flagged candidates out of the ranking.

    ``score``: "learned" ranks by the learned identification score
    (:class:`corvane_spectra.score.IdentificationScore`), "cosine" by the
    cosine alone; "auto" (the default) takes the learned score when every
    candidate is a prediction (predicted here, or a library of predicted
    spectra), the cosine otherwise (for example a library of measured spectra)."""
    if not isinstance(measured, Spectrum):
        raise TypeError(f"measured must be a Spectrum, not {type(measured).__name__}")
    _auto_score([], score)      # a wrong name fails before anything is predicted
    if isinstance(candidates, (str, os.PathLike)):
        if is_library_file(candidates):
            from . import io

            candidates = io.read(candidates)
        elif is_table_file(candidates):
            candidates = read_candidate_table(candidates)
        else:
            candidates = read_smiles_list(candidates)
    spectra, failed = _predicted(candidates, model, ring_fragmentation, recursive, progress)
    checks = [contradictions(measured, s) for s in spectra]
    excluded_idx = [i for i, (_m, fl) in enumerate(checks) if fl] if exclude_contradicted else []
    dropped = set(excluded_idx)
    kept = [i for i in range(len(spectra)) if i not in dropped]
    lo = lowest_mz(measured)
    score = _auto_score(spectra, score)
    lib = Library(spectra, intensity_power=1.0)
    all_cos, all_matches = lib.scores(measured, min_mz=lo, query_intensity_power=0.5)
    all_scores = all_cos if score == "cosine" else IdentificationScore(spectra, score=score).scores(measured,
                                                                                                    min_mz=lo)
    # A score that is not a number ranks below every other, never first.
    all_scores = np.where(np.isnan(all_scores), -np.inf, all_scores)
    scores = all_scores[kept] if kept else np.zeros(0)
    order = sorted(kept, key=lambda i: (-all_scores[i], i))
    tied, noise = _noise(measured, spectra, order, lo, score=score)
    if top is not None:
        order = order[:max(0, int(top))]
    measured_mz = set(measured.mz[measured.intensity > 0].tolist())

    def candidate(i, rank):
        s = spectra[i]
        fig = figures(measured, s)
        anns = s.annotations
        explained = [(m, (anns[k][0].formula if anns and anns[k] else ""),
                      (_ions.isotope_text(m, anns[k][0].formula) if anns and anns[k] and anns[k][0].mode == "isotope"
                       else ""))
                     for k, m in enumerate(s.mz.tolist())
                     if m in measured_mz and m >= lo and s.intensity[k] > 0]
        score = float(all_scores[i]) if np.isfinite(all_scores[i]) else float("nan")
        return Candidate(rank, score, int(all_matches[i]), s.name, s.smiles, fig["precision"],
                         fig["recall10"], s if keep_spectra else None, explained, checks[i][0],
                         list(checks[i][1]), float(matchms_cosine(measured, s)[0]), float(all_cos[i]))

    out = [candidate(i, 1 + int(np.count_nonzero(scores > all_scores[i]))) for i in order]
    excluded = [candidate(i, 0) for i in excluded_idx]
    name = similarity_name("learned" if score == "learned" else "identify", min_mz=lo)
    return Identification(out, failed, name, tied, noise, excluded,
                          measured=measured, model=model)


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
