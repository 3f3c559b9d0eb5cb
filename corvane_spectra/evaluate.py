"""How well predictions explain a measured library, against two baselines.

For each measured spectrum with a SMILES the molecule is analysed once with
``corvane.VIF``; three spectra are made from it: the model's prediction
("module"), every non-ring heavy-atom bond cut once ("all_cuts"), and as
many randomly chosen such bonds as the molecule has soft-bond records
("random").  Each is scored against the measurement (see
:mod:`corvane_spectra.score` for the figures), and each measured spectrum is
searched against the predicted spectra of all molecules of the run for the
identification rank.
"""
from __future__ import annotations

import itertools
import math
import time
from dataclasses import dataclass, field
from typing import Iterable

import corvane
import numpy as np

from . import baselines
from .interop import matchms_cosine
from .models import DEFAULT_MODEL, run_model
from .predict import spectrum_from_vif
from .score import IdentificationScore, figures, identification_score_name, similarity_label, similarity_name
from .spectrum import Spectrum

METHODS = ("module", "all_cuts", "random")
# With a model other than the schematic one, the schematic spectrum of the same
# VIF result is evaluated beside it, so that both modes are seen side by side.
METHODS_WITH_SCHEMATIC = ("module", "schematic", "all_cuts", "random")
FIGURES = ("precision", "recall10", "recall10_pm1", "cosine", "matchms_cosine", "id_at_1", "id_at_10",
           "median_peaks")
PER_SPECTRUM = ("precision", "recall10", "recall10_pm1", "cosine")
# Means shown beside the per-spectrum figures but not drawn as distributions.
EXTRA_PER_SPECTRUM = ("matchms_cosine",)


def fitted_keys(model: str) -> frozenset[str]:
    """InChIKey first blocks of the compounds a built-in model was fitted on
    (empty for a model fitted on nothing, such as the schematic spectrum)."""
    if model != "scored":
        return frozenset()
    return _scored_keys()


_KEYS: frozenset[str] | None = None


def _scored_keys() -> frozenset[str]:
    global _KEYS
    if _KEYS is None:
        from importlib.resources import files

        try:
            text = files("corvane_spectra").joinpath("fitted_inchikeys.txt").read_text(encoding="ascii")
        except (FileNotFoundError, OSError):
            text = ""
        _KEYS = frozenset(line.strip() for line in text.splitlines() if line.strip() and not line.startswith("#"))
    return _KEYS


def inchikey_block(spectrum: Spectrum) -> str | None:
    """The first block of a spectrum's InChIKey (from its metadata, else its SMILES)."""
    key = spectrum.metadata.get("inchikey")
    if not key and spectrum.smiles:
        from rdkit import Chem, RDLogger

        RDLogger.DisableLog("rdApp.*")
        try:
            mol = Chem.MolFromSmiles(spectrum.smiles)
            key = Chem.MolToInchiKey(mol) if mol is not None else None
        except Exception:  # no key: the spectrum simply cannot be matched
            key = None
        finally:
            RDLogger.EnableLog("rdApp.*")
    return str(key).split("-")[0].strip().upper() if key else None


@dataclass
class Record:
    """One evaluated spectrum: its measurement, the three predictions, their
    figures and identification ranks (0 = first)."""

    index: int
    name: str | None
    smiles: str
    measured: Spectrum
    predicted: dict[str, Spectrum]
    figures: dict[str, dict] = field(default_factory=dict)
    rank: dict[str, int] = field(default_factory=dict)
    fitted: bool = False


@dataclass
class Evaluation:
    """Per-spectrum records, failures ((index, name, reason) triples) and
    timings: seconds in VIF, and in everything else."""

    records: list[Record]
    failed: list[tuple[int, str | None, str]]
    model: str = DEFAULT_MODEL
    seconds_vif: float = 0.0
    seconds_total: float = 0.0
    methods: tuple = METHODS
    offset: int = 0
    identification: str = "learned"

    @property
    def fitted(self) -> list["Record"]:
        """The evaluated spectra of compounds the model was fitted on."""
        return [r for r in self.records if r.fitted]

    @property
    def notes(self) -> list[str]:
        n_fit = len(self.fitted)
        if not n_fit:
            return []
        return [f"{n_fit} of the {len(self.records)} spectra are of compounds the {self.model} model was fitted on "
                "(by InChIKey): its figures on them are not held out"]

    def summary(self) -> dict:
        """``{"n", "failed", "model", "similarity", "fitted", "module": F,
        "all_cuts": F, "random": F}`` (and "schematic" beside another model)
        with F the means over the spectra (precision over those that have a
        predicted peak in range), identification recall@1 and @10 and the
        median number of predicted peaks; "fitted" counts the spectra of
        compounds the model was fitted on."""
        out: dict = {"n": len(self.records), "failed": len(self.failed), "model": self.model,
                     "offset": self.offset, "similarity": similarity_name("figures"),
                     "identification": self.identification_name,
                     "fitted": len(self.fitted), "notes": self.notes}
        for meth in self.methods:
            f = {}
            for key in PER_SPECTRUM + EXTRA_PER_SPECTRUM:
                vals = np.array([r.figures[meth][key] for r in self.records], dtype=float)
                vals = vals[~np.isnan(vals)]
                f[key] = float(vals.mean()) if vals.size else None
            ranks = np.array([r.rank[meth] for r in self.records], dtype=np.int64)
            f["id_at_1"] = float(np.mean(ranks < 1)) if ranks.size else None
            f["id_at_10"] = float(np.mean(ranks < 10)) if ranks.size else None
            peaks = [len(r.predicted[meth]) for r in self.records]
            f["median_peaks"] = float(np.median(peaks)) if peaks else None
            out[meth] = f
        return out

    @property
    def identification_name(self) -> str:
        """What the identification ranks are ranked by, in one line."""
        return similarity_name("learned" if self.identification == "learned" else "identify")

    def table(self) -> str:
        s = self.summary()
        head = ["precision", "recall@10", "recall@10±1", "cosine", "matchms cos", "id@1", "id@10", "median peaks"]
        lines = [f"{s['n']} spectra evaluated, {s['failed']} failed (model: {self.model})",
                 f"{'':<10}" + "".join(f"{h:>13}" for h in head)]
        for meth in self.methods:
            row = []
            for key in FIGURES:
                v = s[meth][key]
                row.append("n/a" if v is None else (f"{v:.1f}" if key == "median_peaks" else f"{v:.3f}"))
            lines.append(f"{meth:<10}" + "".join(f"{v:>13}" for v in row))
        if self.seconds_total > 0:
            share = 100.0 * (self.seconds_total - self.seconds_vif) / self.seconds_total
            lines.append(f"time {self.seconds_total:.1f} s, of which VIF {self.seconds_vif:.1f} s "
                         f"(the rest: {share:.1f} %)")
        lines.append(f"cosine = {similarity_name('figures')}; matchms cos = {similarity_name('matchms')}, "
                     "on the spectra as written; id@k: the true compound among the k best of all predictions "
                     f"of the run, ranked by the {self.identification} score"
                     + (f": {identification_score_name()}" if self.identification == "learned" else " (the cosine)"))
        lines.extend(f"note: {n}" for n in self.notes)
        return "\n".join(lines)


def _progress(iterable, total, enabled, desc):
    if not enabled:
        return iterable
    from tqdm.auto import tqdm

    return tqdm(iterable, total=total, desc=desc, unit="spectrum", disable=None)


def evaluate(spectra: Iterable[Spectrum], *, limit: int | None = None, ring_fragmentation: bool = False,
             recursive: bool = False, model: str = DEFAULT_MODEL, seed: int = baselines.DEFAULT_SEED,
             progress: bool = False, offset: int = 0, identification: str = "learned") -> Evaluation:
    """Evaluates the predictions of ``model`` on a measured library.

    ``spectra``: measured spectra with a "smiles" in their metadata (a
    reader streams them); ``offset`` skips the first ones, ``limit`` takes
    N after them (indices in the result count from the file's start).
    Spectra of compounds the model was fitted on are marked (``Record.fitted``,
    by InChIKey first block) and counted in the summary.  A spectrum whose
    molecule cannot be analysed (no SMILES, unreadable SMILES, an error
    anywhere in its prediction) is counted in ``failed`` with the reason and
    the run goes on.

    ``identification``: the score the identification ranks are ranked by,
    "learned" (the default; :class:`corvane_spectra.score.IdentificationScore`)
    or "cosine" (the cosine of the figures).  The same score ranks every
    predictor's spectra."""
    if identification not in ("learned", "cosine"):
        raise ValueError(f"identification must be 'learned' or 'cosine', not {identification!r}")
    if limit is not None and limit < 0:
        raise ValueError("limit must not be negative")
    if offset < 0:
        raise ValueError("offset must not be negative")
    t_start = time.perf_counter()
    t_vif = 0.0
    with_schematic = model != "schematic"
    methods = METHODS_WITH_SCHEMATIC if with_schematic else METHODS
    keys = fitted_keys(model) if isinstance(model, str) else frozenset()
    records: list[Record] = []
    failed: list[tuple[int, str | None, str]] = []
    it = itertools.islice(spectra, offset, None if limit is None else offset + limit)
    for k, measured in enumerate(_progress(it, limit, progress, "evaluate"), start=offset):
        name = measured.name
        smiles = measured.smiles
        if not smiles:
            failed.append((k, name, "no SMILES"))
            continue
        if len(measured) == 0 or not measured.base_peak() > 0:
            failed.append((k, name, "empty measured spectrum"))
            continue
        try:
            t0 = time.perf_counter()
            r = corvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring_fragmentation,
                            recursive_ms=recursive)
            t_vif += time.perf_counter() - t0
            if isinstance(r, str):
                raise ValueError(f"unreadable SMILES {smiles!r}")
            module = run_model(model, smiles, ring_fragmentation=ring_fragmentation, recursive=recursive,
                               vif_result=r)
            cuts, rand = baselines.both(smiles, len(r["soft_bonds"]), seed=seed)
            predicted = {"module": module, "all_cuts": cuts, "random": rand}
            if with_schematic:
                predicted["schematic"] = spectrum_from_vif(smiles, r, recursive=recursive)
        except Exception as e:  # a failing molecule is reported, not fatal
            failed.append((k, name, f"{type(e).__name__}: {e}"))
            continue
        rec = Record(k, name, smiles, measured, predicted)
        if keys:
            rec.fitted = inchikey_block(measured) in keys
        for meth, p in predicted.items():
            rec.figures[meth] = figures(measured, p)
            rec.figures[meth]["matchms_cosine"] = matchms_cosine(measured, p)[0]
        records.append(rec)

    # Identification: each measurement against the predictions of all molecules.
    for meth in methods:
        scorer = IdentificationScore([r.predicted[meth] for r in records], score=identification)
        for j, rec in enumerate(records):
            rec.rank[meth] = scorer.rank(rec.measured, j)
    return Evaluation(records, failed, model if isinstance(model, str) else getattr(model, "__name__", "custom"),
                      t_vif, time.perf_counter() - t_start, methods, offset, identification)


def write_figure(ev: Evaluation, path, *, examples: int = 3) -> None:
    """Saves :func:`evaluation_figure` to ``path``."""
    evaluation_figure(ev, examples=examples).savefig(path, dpi=110)


def evaluation_figure(ev: Evaluation, *, examples: int = 3):
    """Distributions of the per-spectrum figures of every predictor, the
    identification curve, and mirror plots of a few examples (best, median
    and worst cosine of the model); see :func:`corvane_spectra.plot.evaluation_figure`."""
    from .plot import evaluation_figure as draw

    return draw(ev, examples=examples)


def nan_to_none(x):
    return None if isinstance(x, float) and math.isnan(x) else x
