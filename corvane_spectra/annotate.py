"""Which predicted fragments explain which measured peaks."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from . import _ions
from .models import DEFAULT_MODEL, run_model
from .score import STRONG_FRACTION, figures, predicted_relative, similarity_name
from .spectrum import PeakAnnotation, Spectrum

# How many "predicted but not observed" peaks the table and JSON show by default.
UNOBSERVED_SHOWN = 10


@dataclass
class AnnotatedPeak:
    """One measured peak: m/z, intensity, intensity relative to the base peak
    (%), whether it is strong (>= 5 % of the base peak), the predicted
    fragments at its m/z (empty when none) and the predicted relative
    abundance there (% of the predicted base peak, on the measured scale;
    0 when nothing is predicted)."""

    mz: int
    intensity: float
    relative: float
    strong: bool
    fragments: list[PeakAnnotation] = field(default_factory=list)
    predicted: float = 0.0
    descriptions: list[str] = field(default_factory=list)

    @property
    def explained(self) -> bool:
        return bool(self.fragments)

    def to_dict(self) -> dict:
        return {"mz": self.mz, "intensity": self.intensity, "relative": round(self.relative, 3),
                "predicted_relative": round(self.predicted, 3), "strong": self.strong,
                "fragments": [dict(_ann_dict(a), description=d)
                              for a, d in zip(self.fragments, self.descriptions or [""] * len(self.fragments))]}


def _ann_dict(a: PeakAnnotation) -> dict:
    return {"formula": a.formula, "mode": a.mode, "bond": a.bond, "generation": a.generation}


def describe(a: PeakAnnotation, mz: int, molecule_formula: str | None = None, smiles: str | None = None) -> str:
    """One predicted contribution in a chemist's words: the ion, what the
    molecular ion lost, the cut (bond atoms in RDKit's numbering, as a
    depiction with atom indices shows them) and the charged side's SMILES;
    an isotope peak as "M+1 of C7H7+"."""
    if a.mode == "isotope":
        return _ions.isotope_text(mz, a.formula)
    if a.mode == "molecular_ion":
        return f"{a.formula}+· molecular ion"
    parts = [f"{a.formula}+"]
    loss = _ions.loss_text(molecule_formula, a.formula, small_only=True)
    if loss:
        parts.append(loss)
    if a.bond:
        steps = [_ions.bond_text(x.strip()) for x in a.bond.split(">")]
        cut = ("ring cut " if " + " in steps[0] else "cut ") + steps[0]
        for step in steps[1:]:
            cut += f", then {step}"
        if a.mode == "rearrangement":
            cut += " with H shift"
        frag = _ions.fragment_smiles(smiles, a.bond, a.formula) if smiles else None
        if frag:
            cut += f"; ion side {frag}"
        parts.append(cut)
    elif a.mode not in ("single",):
        parts.append(a.mode)
    if a.generation and a.generation > 1:
        parts.append(f"gen {a.generation}")
    return ", ".join(parts)


@dataclass
class Annotation:
    """The annotation of a measured spectrum by a prediction.

    ``peaks``: every measured peak in m/z order; ``unexplained``: the strong
    measured peaks that no predicted fragment lands on, strongest first;
    ``unobserved``: predicted peaks at m/z >= the lowest measured m/z that
    are not among the strong measured peaks, strongest prediction first;
    ``figures``: precision, recall@10, recall@10±1 and cosine of the
    prediction; ``similarity``: what that cosine is (see
    :func:`corvane_spectra.score.similarity_name`)."""

    measured: Spectrum
    predicted: Spectrum
    peaks: list[AnnotatedPeak]
    unexplained: list[AnnotatedPeak]
    unobserved: list[tuple[int, list[PeakAnnotation]]]
    figures: dict
    unobserved_predicted: list[float] = field(default_factory=list)
    similarity: str = ""

    def _descriptions(self, m: int, anns) -> list[str]:
        return [describe(a, m, self.predicted.metadata.get("formula"), self.predicted.smiles) for a in anns]

    def to_dict(self, *, unobserved: int | None = UNOBSERVED_SHOWN) -> dict:
        shown = self.unobserved if unobserved is None else self.unobserved[:max(0, unobserved)]
        return {
            "measured": {k: v for k, v in self.measured.metadata.items() if isinstance(v, (str, int, float))},
            "smiles": self.predicted.smiles,
            "convention": self.predicted.convention,
            "similarity": self.similarity,
            "figures": {k: (None if isinstance(v, float) and np.isnan(v) else v) for k, v in self.figures.items()},
            "peaks": [p.to_dict() for p in self.peaks],
            "unexplained": [p.mz for p in self.unexplained],
            "unobserved": [{"mz": m, "predicted_relative": round(r, 3),
                            "fragments": [dict(_ann_dict(a), description=d)
                                          for a, d in zip(anns, self._descriptions(m, anns))]}
                           for (m, anns), r in zip(shown, self.unobserved_predicted)],
            "unobserved_total": len(self.unobserved),
        }

    def to_html(self, path=None, *, title: str | None = None) -> str:
        """The annotation as one self-contained interactive HTML page
        (``corvane_spectra.report``); written to ``path`` when given.
        Returns the HTML text."""
        from .report import annotation_html, write_html

        text = annotation_html(self, title=title)
        if path is not None:
            write_html(text, path)
        return text

    def table(self, *, all_peaks: bool = False, unobserved: int | None = UNOBSERVED_SHOWN) -> str:
        """The annotation as text: explained and strong peaks (every peak
        with ``all_peaks``) with measured and predicted relative heights (both
        % of their base peak, on the measured intensity scale) and what the
        predicted ions are, then the unexplained strong peaks and the
        ``unobserved`` strongest predicted peaks nothing was measured at."""
        lines = [f"{'m/z':>5} {'meas %':>7} {'pred %':>7}  predicted ions"]
        for p in self.peaks:
            if not (all_peaks or p.strong or p.explained):
                continue
            frags = "; ".join(p.descriptions or self._descriptions(p.mz, p.fragments))
            mark = "" if p.explained else ("unexplained" if p.strong else "")
            pred = f"{p.predicted:>7.1f}" if p.explained else f"{'-':>7}"
            lines.append(f"{p.mz:>5} {p.relative:>7.1f} {pred}  {frags or mark}")
        f = self.figures
        lines.append("")
        lines.append("unexplained strong peaks: " + (", ".join(str(p.mz) for p in self.unexplained) or "none"))
        shown = self.unobserved if unobserved is None else self.unobserved[:max(0, unobserved)]
        text = ", ".join(f"{m} ({r:.1f} %)" for (m, _), r in zip(shown, self.unobserved_predicted)) or "none"
        more = len(self.unobserved) - len(shown)
        if more > 0:
            text += f" and {more} weaker"
        lines.append("predicted but not measured as strong peaks (strongest prediction first): " + text)
        lines.append(f"precision {_fmt(f['precision'])}  recall@10 {_fmt(f['recall10'])}  "
                     f"recall@10±1 {_fmt(f['recall10_pm1'])}  cosine {_fmt(f['cosine'])}")
        if "matchms_cosine" in f:
            lines.append(f"matchms {_fmt(f['matchms_cosine'])} ({f['matchms_matches']} matched peaks)")
        if self.similarity:
            lines.append(f"cosine = {self.similarity}")
            lines.append(f"matchms = {similarity_name('matchms')}, on the spectra as written")
        return "\n".join(lines)


def _with_matchms(figs: dict, measured: Spectrum, predicted: Spectrum) -> dict:
    from .interop import matchms_cosine

    score, n = matchms_cosine(measured, predicted)
    figs = dict(figs)
    figs["matchms_cosine"] = score
    figs["matchms_matches"] = n
    return figs


def _fmt(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and np.isnan(x)) else f"{x:.3f}"


def _cut_text(a: PeakAnnotation) -> str:
    if a.mode == "molecular_ion":
        return "molecular ion"
    return f"{a.mode} {a.bond}" if a.bond else a.mode


def _matches(s: Spectrum, name: str | None, ident: str | None) -> bool:
    md = s.metadata
    if ident is not None:
        return any(str(md.get(k, "")).strip().lower() == ident.strip().lower() for k in ("id", "nist_id"))
    want = name.strip().lower()
    names = [md.get("name") or ""] + list(md.get("synonyms") or ())
    return any(str(n).strip().lower() == want for n in names)


def pick(path, *, index: int | None = None, name: str | None = None, id: str | None = None):
    """One spectrum of a spectrum file (any readable format) and its position:
    by position (0-based; the first when nothing is given), by name (or
    synonym, any case) or by identifier (MSP DB# or NIST#, MassBank
    accession).  Returns ``(spectrum, index)``.  A position past the end
    says how many spectra the file holds; a name or id not found says so."""
    import os

    from . import io

    if sum(x is not None for x in (index, name, id)) > 1:
        raise ValueError("choose the spectrum by one of index, name and id")
    if index is not None and index < 0:
        raise ValueError("--index must not be negative")
    if not os.path.exists(path):
        raise FileNotFoundError(f"{path}: no such file or folder")
    want = 0 if index is None and name is None and id is None else index
    count = 0
    with io.read(path) as reader:
        for k, s in enumerate(reader):
            count += 1
            if (want is not None and k == want) or (want is None and _matches(s, name, id)):
                return s, k
    if want is not None:
        holds = ("no spectra" if count == 0
                 else f"{count} spectr{'um' if count == 1 else 'a'} (--index 0 to {count - 1})")
        raise ValueError(f"{path}: no spectrum at index {want}: the file holds {holds}")
    what = f"--name {name!r}" if name is not None else f"--id {id!r}"
    raise ValueError(f"{path}: no spectrum matches {what} among its {count} spectra")


def annotate(measured: Spectrum, prediction: str | Spectrum | None = None, *, ring_fragmentation: bool = False,
             recursive: bool = False, model: str = DEFAULT_MODEL,
             strong_fraction: float = STRONG_FRACTION) -> Annotation:
    """Annotates the peaks of a measured spectrum with the fragments predicted
    for a molecule (a SMILES, predicted with ``model``; by default the SMILES
    the measured spectrum carries) or with an existing predicted spectrum."""
    if not isinstance(measured, Spectrum):
        raise TypeError(f"measured must be a Spectrum, not {type(measured).__name__}")
    if prediction is None:
        prediction = measured.smiles
        if not prediction:
            raise ValueError("the measured spectrum carries no SMILES: give the molecule to predict")
    if isinstance(prediction, str):
        predicted = run_model(model, prediction, ring_fragmentation=ring_fragmentation, recursive=recursive)
    elif isinstance(prediction, Spectrum):
        predicted = prediction
    else:
        raise TypeError(f"prediction must be a SMILES or a Spectrum, not {type(prediction).__name__}")
    base = measured.base_peak()
    strong_level = strong_fraction * base
    anns = predicted.annotations
    rel_pred = predicted_relative(predicted)
    by_mz = {m: (anns[k] if anns is not None else [PeakAnnotation("", "predicted")])
             for k, m in enumerate(predicted.mz.tolist()) if predicted.intensity[k] > 0}
    pred_at = {m: float(r) for m, r in zip(predicted.mz.tolist(), rel_pred.tolist())}
    mol_formula = predicted.metadata.get("formula")
    peaks = []
    for m, inten in zip(measured.mz.tolist(), measured.intensity.tolist()):
        frags = list(by_mz.get(m, []))
        peaks.append(AnnotatedPeak(m, inten, 100.0 * inten / base if base > 0 else 0.0,
                                   base > 0 and inten >= strong_level, frags, pred_at.get(m, 0.0) if frags else 0.0,
                                   [describe(a, m, mol_formula, predicted.smiles) for a in frags]
                                   if (base > 0 and inten >= strong_level) or frags else []))
    unexplained = sorted((p for p in peaks if p.strong and not p.explained), key=lambda p: (-p.intensity, p.mz))
    strong_mz = {p.mz for p in peaks if p.strong}
    lo = next((p.mz for p in peaks if p.intensity > 0), None)
    unobserved = [(m, list(a)) for m, a in by_mz.items() if lo is not None and m >= lo and m not in strong_mz]
    unobserved.sort(key=lambda t: (-pred_at.get(t[0], 0.0), t[0]))
    return Annotation(measured, predicted, peaks, unexplained, unobserved,
                      _with_matchms(figures(measured, predicted, strong_fraction=strong_fraction), measured,
                                    predicted),
                      [pred_at.get(m, 0.0) for m, _ in unobserved], similarity_name("figures", min_mz=lo))
