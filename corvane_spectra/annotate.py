"""Which predicted fragments explain which measured peaks."""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .models import DEFAULT_MODEL, run_model
from .score import STRONG_FRACTION, figures
from .spectrum import PeakAnnotation, Spectrum


@dataclass
class AnnotatedPeak:
    """One measured peak: m/z, intensity, intensity relative to the base peak
    (%), whether it is strong (>= 5 % of the base peak) and the predicted
    fragments at its m/z (empty when none)."""

    mz: int
    intensity: float
    relative: float
    strong: bool
    fragments: list[PeakAnnotation] = field(default_factory=list)

    @property
    def explained(self) -> bool:
        return bool(self.fragments)

    def to_dict(self) -> dict:
        return {"mz": self.mz, "intensity": self.intensity, "relative": round(self.relative, 3),
                "strong": self.strong, "fragments": [_ann_dict(a) for a in self.fragments]}


def _ann_dict(a: PeakAnnotation) -> dict:
    return {"formula": a.formula, "mode": a.mode, "bond": a.bond, "generation": a.generation}


@dataclass
class Annotation:
    """The annotation of a measured spectrum by a prediction.

    ``peaks``: every measured peak in m/z order; ``unexplained``: the strong
    measured peaks that no predicted fragment lands on, strongest first;
    ``unobserved``: predicted peaks at m/z >= the lowest measured m/z that
    are not among the strong measured peaks; ``figures``: precision,
    recall@10, recall@10±1 and cosine of the prediction."""

    measured: Spectrum
    predicted: Spectrum
    peaks: list[AnnotatedPeak]
    unexplained: list[AnnotatedPeak]
    unobserved: list[tuple[int, list[PeakAnnotation]]]
    figures: dict

    def to_dict(self) -> dict:
        return {
            "measured": {k: v for k, v in self.measured.metadata.items() if isinstance(v, (str, int, float))},
            "smiles": self.predicted.smiles,
            "convention": self.predicted.convention,
            "figures": {k: (None if isinstance(v, float) and np.isnan(v) else v) for k, v in self.figures.items()},
            "peaks": [p.to_dict() for p in self.peaks],
            "unexplained": [p.mz for p in self.unexplained],
            "unobserved": [{"mz": m, "fragments": [_ann_dict(a) for a in anns]} for m, anns in self.unobserved],
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

    def table(self, *, all_peaks: bool = False) -> str:
        """The annotation as text: explained and strong peaks (every peak
        with ``all_peaks``), then the unexplained strong peaks."""
        lines = [f"{'m/z':>5} {'rel %':>6}  fragments (formula, cut, generation)"]
        for p in self.peaks:
            if not (all_peaks or p.strong or p.explained):
                continue
            frags = "; ".join(f"{a.formula} ({_cut_text(a)}, gen {a.generation})" for a in p.fragments)
            mark = "" if p.explained else ("unexplained" if p.strong else "")
            lines.append(f"{p.mz:>5} {p.relative:>6.1f}  {frags or mark}")
        f = self.figures
        lines.append("")
        lines.append("unexplained strong peaks: " + (", ".join(str(p.mz) for p in self.unexplained) or "none"))
        lines.append("predicted but not observed: " + (", ".join(str(m) for m, _ in self.unobserved) or "none"))
        lines.append(f"precision {_fmt(f['precision'])}  recall@10 {_fmt(f['recall10'])}  "
                     f"recall@10±1 {_fmt(f['recall10_pm1'])}  cosine {_fmt(f['cosine'])}")
        return "\n".join(lines)


def _fmt(x) -> str:
    return "n/a" if x is None or (isinstance(x, float) and np.isnan(x)) else f"{x:.3f}"


def _cut_text(a: PeakAnnotation) -> str:
    if a.mode == "molecular_ion":
        return "molecular ion"
    return f"{a.mode} {a.bond}" if a.bond else a.mode


def annotate(measured: Spectrum, prediction: str | Spectrum, *, ring_fragmentation: bool = False,
             recursive: bool = False, model: str = DEFAULT_MODEL,
             strong_fraction: float = STRONG_FRACTION) -> Annotation:
    """Annotates the peaks of a measured spectrum with the fragments predicted
    for a molecule (a SMILES, predicted with ``model``) or with an existing
    predicted spectrum."""
    if not isinstance(measured, Spectrum):
        raise TypeError(f"measured must be a Spectrum, not {type(measured).__name__}")
    if isinstance(prediction, str):
        predicted = run_model(model, prediction, ring_fragmentation=ring_fragmentation, recursive=recursive)
    elif isinstance(prediction, Spectrum):
        predicted = prediction
    else:
        raise TypeError(f"prediction must be a SMILES or a Spectrum, not {type(prediction).__name__}")
    base = measured.base_peak()
    strong_level = strong_fraction * base
    anns = predicted.annotations
    by_mz = {m: (anns[k] if anns is not None else [PeakAnnotation("", "predicted")])
             for k, m in enumerate(predicted.mz.tolist()) if predicted.intensity[k] > 0}
    peaks = []
    for m, inten in zip(measured.mz.tolist(), measured.intensity.tolist()):
        peaks.append(AnnotatedPeak(m, inten, 100.0 * inten / base if base > 0 else 0.0,
                                   base > 0 and inten >= strong_level, list(by_mz.get(m, []))))
    unexplained = sorted((p for p in peaks if p.strong and not p.explained), key=lambda p: (-p.intensity, p.mz))
    strong_mz = {p.mz for p in peaks if p.strong}
    lo = next((p.mz for p in peaks if p.intensity > 0), None)
    unobserved = [(m, list(a)) for m, a in by_mz.items() if lo is not None and m >= lo and m not in strong_mz]
    return Annotation(measured, predicted, peaks, unexplained, unobserved,
                      figures(measured, predicted, strong_fraction=strong_fraction))
