"""Similarity of spectra, the figures of a prediction, and library search.

All comparisons are at nominal m/z.  A peak of intensity I at m/z M weighs
``I**intensity_power * M**mz_power`` (0.5 and 0 by default).

The per-spectrum figures of a predicted spectrum against a measured one
(:func:`figures`) are defined as follows; "strong" measured peaks are those
at >= 5 % of the base peak, and the lowest measured m/z is that of the
measured spectrum's first peak with a positive intensity:

precision
    of the predicted peaks at m/z >= the lowest measured m/z, the share whose
    m/z is a strong measured peak (NaN when there is no such predicted peak);
recall10
    of the ten most intense strong measured peaks (equal intensities taken
    in ascending m/z order), the share whose m/z is predicted;
recall10_pm1
    the same with a predicted peak within one mass unit counting;
cosine
    the predicted intensities against the square roots of the measured
    intensities, over the peaks at m/z >= the lowest measured m/z.

The identification rank of a query (:func:`identification_rank`) is the
number of library spectra whose cosine with the query, each cut at the
query's lowest measured m/z, is strictly higher than the true spectrum's;
ties count in the true spectrum's favour.  recall@k is the share of queries
with rank < k (:func:`recall_at_k`).

Identification against predicted spectra (``identify``, ``evaluate``) ranks
by :class:`IdentificationScore`: by default the learned score, the cosine
above plus a few fitted terms (mass consistency, m/z weighting; see
:data:`IDENTIFICATION_SCORES` and docs/identification.md); ``"cosine"``
ranks by the cosine alone.
"""
from __future__ import annotations

import math
import threading
from dataclasses import dataclass, field
from typing import Iterable, Sequence

import numpy as np

from . import _core, _idscore
from ._similarity_weights import WEIGHTS as _ID_WEIGHTS
from .spectrum import Spectrum

STRONG_FRACTION = 0.05
TOP_PEAKS = 10

__all__ = [
    "similarity", "cosine", "matched_peaks", "figures", "lowest_mz", "identification_rank",
    "recall_at_k", "Library", "Hit", "STRONG_FRACTION", "similarity_name", "predicted_relative",
    "query_power", "SQUARE_ROOT_CONVENTIONS", "similarity_label", "IdentificationScore",
    "IDENTIFICATION_SCORES", "identification_score_name",
]

# The scores a measured spectrum can be identified by against predicted spectra.
IDENTIFICATION_SCORES = ("learned", "cosine")

# Intensity conventions of predicted spectra whose heights already stand on the
# square-root scale on which a measured spectrum is compared (the scored
# spectrum's heights are square roots of abundances; the schematic heights are
# compared on that scale too).  A peak of such a spectrum weighted as a
# measured intensity**p is its height**(2p).
SQUARE_ROOT_CONVENTIONS = ("scored", "schematic")


def _is_prediction(s) -> bool:
    return isinstance(s, Spectrum) and s.convention in SQUARE_ROOT_CONVENTIONS


def query_power(spectrum, intensity_power: float) -> float:
    """The intensity power that weights ``spectrum`` like a measured spectrum
    weighted with ``intensity_power``: twice it for a prediction on the
    square-root scale, ``intensity_power`` itself otherwise."""
    return 2.0 * float(intensity_power) if _is_prediction(spectrum) else float(intensity_power)


def predicted_relative(spectrum: Spectrum) -> np.ndarray:
    """A spectrum's heights as % of its base peak on the measured intensity
    scale: a scored prediction's square-root heights squared back; other
    spectra as they are."""
    inten = np.asarray(spectrum.intensity, dtype=np.float64)
    if spectrum.convention == "scored":
        inten = inten ** 2
    top = float(inten.max()) if inten.size else 0.0
    return 100.0 * inten / top if top > 0 else np.zeros_like(inten)


def _power_text(p: float) -> str:
    return {1.0: "I", 0.5: "√I", 0.0: "1"}.get(float(p), f"I^{float(p):g}")


def similarity_label(kind: str = "figures", *, min_mz: int | None = None) -> str:
    """A short name of a similarity for plot titles and legends, e.g.
    "cosine (pred. height vs √meas., m/z ≥ 41)"."""
    cut = "" if min_mz is None else f", m/z ≥ {min_mz}"
    if kind in ("figures", "identify"):
        return f"cosine (pred. height vs √meas.{cut})"
    if kind == "matchms":
        return "matchms CosineGreedy (tol. 0.1, I^1)"
    raise ValueError(f"unknown similarity kind {kind!r}")


def similarity_name(kind: str = "figures", *, intensity_power: float = 0.5, mz_power: float = 0.0,
                    min_mz: int | str | None = None, query_intensity_power: float | None = None,
                    method: str = "cosine") -> str:
    """What a similarity number is, in one line: its intensity and m/z
    weighting and its m/z cut, for text, JSON and plot titles.

    ``kind="figures"``: the cosine of :func:`figures` (annotate, evaluate,
    the mirror plot); ``"identify"``: that cosine as a ranking score;
    ``"learned"``: the learned identification score (:class:`IdentificationScore`);
    ``"matchms"``: :func:`matchms_cosine`; ``"weighted"``: a
    :func:`similarity` or :class:`Library` score with the given powers.
    """
    if kind in ("figures", "identify", "learned"):
        cut = "the lowest measured m/z" if min_mz is None else f"{min_mz} (the lowest measured m/z)"
        cos = ("cosine of predicted height vs √measured intensity, no m/z weighting, "
               f"unit m/z bins, peaks at m/z ≥ {cut}")
        if kind != "learned":
            return cos
        return f"learned identification score: {identification_score_name(min_mz)}"
    if kind == "matchms":
        return "CosineGreedy as matchms computes it: tolerance 0.1, intensity power 1, m/z power 0, no m/z cut"
    if kind != "weighted":
        raise ValueError(f"unknown similarity kind {kind!r}")
    q = intensity_power if query_intensity_power is None else query_intensity_power
    weight = _power_text(intensity_power)
    if q != intensity_power:
        weight = f"query {_power_text(q)}, library {weight}"
    if mz_power:
        weight += f" × (m/z)^{float(mz_power):g}"
    cut = "no m/z cut" if min_mz is None else f"peaks at m/z ≥ {min_mz}"
    name = "composite (NIST-style) score" if method == "composite" else "cosine"
    return f"{name}, weight {weight}, unit m/z bins, {cut}"


def _arrays(s, what: str) -> tuple[np.ndarray, np.ndarray]:
    if isinstance(s, Spectrum):
        return s.mz, s.intensity
    if isinstance(s, tuple) and len(s) == 2:
        sp = Spectrum(s[0], s[1])
        return sp.mz, sp.intensity
    raise TypeError(f"{what} must be a Spectrum or an (mz, intensity) pair, not {type(s).__name__}")


def _min_mz(min_mz) -> int:
    if min_mz is None:
        return -(2 ** 62)
    if isinstance(min_mz, bool) or not isinstance(min_mz, (int, np.integer)):
        raise TypeError(f"min_mz must be an int or None, not {type(min_mz).__name__}")
    return int(min_mz)


def _method(method: str) -> str:
    if method not in ("cosine", "composite"):
        raise ValueError(f"method must be 'cosine' or 'composite', not {method!r}")
    return method


@dataclass(frozen=True)
class Score:
    """One comparison: ``score`` (cosine or composite), the weighted
    ``cosine`` and the number of ``matches`` (peaks at one m/z in both)."""

    score: float
    cosine: float
    matches: int

    def __float__(self) -> float:
        return self.score


def similarity(query, reference, *, intensity_power: float = 0.5, mz_power: float = 0.0,
               method: str = "cosine", min_mz: int | None = None,
               reference_intensity_power: float | None = None) -> Score:
    """Weighted similarity of two spectra over the peaks at m/z >= ``min_mz``.

    ``method="cosine"``: the cosine of the weighted intensity vectors.
    ``method="composite"``: the EI library-search composite,
    ``(n_q * cos**2 + n_m * R) / (n_q + n_m)`` with ``n_q`` the query's peaks,
    ``n_m`` the matched peaks and ``R`` the peak-ratio term (the mean over
    consecutive matched peaks of ``min(r, 1/r)``,
    ``r = (q_i / q_{i-1}) * (l_{i-1} / l_i)``; 0 below two matches), so a
    spectrum scores 1 against itself.  The usual
    weights for that score are ``intensity_power=0.6, mz_power=3``.
    ``reference_intensity_power`` weights the reference differently (for
    example 1.0 for schematic predicted heights against sqrt of measured).

    A predicted spectrum (convention "scored" or "schematic") already holds
    square-root heights, so it is weighted with twice the power a measured
    one gets (:func:`query_power`); held against a measured spectrum with
    ``min_mz`` left None, both are cut at the measured spectrum's lowest
    m/z.  With the default powers the cosine of a measurement and a
    prediction is then the one :func:`figures` reports.
    """
    qm, qi = _arrays(query, "query")
    rm, ri = _arrays(reference, "reference")
    qa = query_power(query, intensity_power)
    ra = query_power(reference, intensity_power) if reference_intensity_power is None else reference_intensity_power
    if min_mz is None and _is_prediction(query) != _is_prediction(reference) \
            and isinstance(query, Spectrum) and isinstance(reference, Spectrum):
        min_mz = lowest_mz(reference if _is_prediction(query) else query)
    score, cos, matches = _core.similarity(qm, qi, rm, ri, float(qa), float(mz_power),
                                           float(ra), float(mz_power), _method(method), _min_mz(min_mz))
    return Score(score, cos, matches)


def cosine(query, reference, *, intensity_power: float = 0.5, mz_power: float = 0.0,
           min_mz: int | None = None) -> float:
    """Weighted cosine of two spectra (see :func:`similarity`; for a
    measurement and a prediction with the defaults, the cosine of
    :func:`figures`)."""
    return similarity(query, reference, intensity_power=intensity_power, mz_power=mz_power,
                      min_mz=min_mz).cosine


def matched_peaks(a, b, *, tolerance: int = 0, min_mz: int | None = None) -> int:
    """Peaks of ``a`` at m/z >= ``min_mz`` with a peak of ``b`` within
    ``tolerance`` mass units (zero intensities are not peaks)."""
    am, ai = _arrays(a, "first spectrum")
    bm, bi = _arrays(b, "second spectrum")
    return _core.matched_peaks(am, ai, bm, bi, int(tolerance), _min_mz(min_mz))


def lowest_mz(spectrum) -> int:
    """The lowest m/z with a positive intensity (0 for an empty spectrum)."""
    m, i = _arrays(spectrum, "spectrum")
    return _core.lowest_mz(m, i)


def figures(measured, predicted, *, strong_fraction: float = STRONG_FRACTION, top: int = TOP_PEAKS) -> dict:
    """precision, recall10, recall10_pm1 and cosine of a prediction (module
    docstring), plus ``n_predicted`` (predicted peaks at m/z >= the lowest
    measured m/z) and ``n_top`` (measured peaks recall@10 looks at).  The
    figures are NaN where undefined (an empty measured spectrum; precision
    without predicted peaks in range)."""
    mm, mi = _arrays(measured, "measured")
    pm, pi = _arrays(predicted, "predicted")
    return _core.figures(mm, mi, pm, pi, float(strong_fraction), int(top))


@dataclass(frozen=True)
class Hit:
    """One library match: position in the library, score, weighted cosine,
    matched peaks and the library spectrum's metadata."""

    index: int
    score: float
    cosine: float
    matches: int
    metadata: dict = field(default_factory=dict, compare=False)

    @property
    def name(self):
        return self.metadata.get("name")

    @property
    def smiles(self):
        return self.metadata.get("smiles")


class Library:
    """Spectra held compactly in C++ with an inverted index on m/z.

    Built from any iterable of spectra (a reader streams them in; only the
    weighted peaks and each spectrum's metadata are kept), or with
    :meth:`from_file`.  Each stored peak weighs
    ``intensity**intensity_power * mz**mz_power``; a query is weighted with
    the same powers unless :meth:`search` is told otherwise.
    """

    def __init__(self, spectra: Iterable[Spectrum] = (), *, intensity_power: float = 0.5,
                 mz_power: float = 0.0, keep_spectra: bool = False):
        for name, v in (("intensity_power", intensity_power), ("mz_power", mz_power)):
            if not math.isfinite(float(v)):
                raise ValueError(f"{name} must be finite")
        self.intensity_power = float(intensity_power)
        self.mz_power = float(mz_power)
        self._core = _core.LibraryCore(self.intensity_power, self.mz_power)
        self._metadata: list[dict] = []
        self._spectra: list[Spectrum] | None = [] if keep_spectra else None
        self._adding = threading.Lock()
        self.extend(spectra)

    @classmethod
    def from_file(cls, path, fmt: str | None = None, *, skip_bad: bool = False, **kw) -> "Library":
        """A library of every spectrum in a file (read as a stream)."""
        from . import io

        lib = cls(**kw)
        for k, s in enumerate(io.read(path, fmt, skip_bad=skip_bad), 1):
            try:
                lib.add(s)
            except ValueError as e:
                raise ValueError(f"{path}: record {k}: {e}") from None
        return lib

    def add(self, spectrum: Spectrum) -> int:
        """Adds one spectrum; returns its index.

        Safe from several threads: an add waits for running searches, and a
        search sees every spectrum added before it started."""
        if not isinstance(spectrum, Spectrum):
            raise TypeError(f"a library holds Spectrum objects, not {type(spectrum).__name__}")
        with self._adding:
            # Metadata first: a search running meanwhile may already return
            # the new index, and finds its metadata.
            self._metadata.append(spectrum.metadata)
            if self._spectra is not None:
                self._spectra.append(spectrum)
            try:
                i = self._core.add(spectrum.mz, spectrum.intensity)
            except ValueError as e:
                self._metadata.pop()
                if self._spectra is not None:
                    self._spectra.pop()
                label = spectrum.name or spectrum.metadata.get("id") or f"spectrum {len(self._metadata) + 1}"
                raise ValueError(f"{label!s}: {e}") from None
            return i

    def extend(self, spectra: Iterable[Spectrum]) -> None:
        for s in spectra:
            self.add(s)

    def __len__(self) -> int:
        return len(self._metadata)

    def metadata(self, index: int) -> dict:
        return self._metadata[index]

    def spectrum(self, index: int) -> Spectrum:
        """The stored spectrum (kept with ``keep_spectra=True``), else its
        weighted peaks with the metadata."""
        if self._spectra is not None:
            return self._spectra[index]
        if not -len(self) <= index < len(self):
            raise IndexError("library index out of range")
        index %= len(self)
        mz, w = self._core.peaks(index)
        return Spectrum(mz, w, self._metadata[index])

    @property
    def memory_bytes(self) -> int:
        """Bytes held by the C++ arrays (peaks, index, scratch)."""
        return self._core.memory_bytes

    def _query_power(self, query_intensity_power, query=None):
        if query_intensity_power is not None:
            return float(query_intensity_power)
        return query_power(query, self.intensity_power)

    def scores(self, query, *, min_mz: int | None = None,
               query_intensity_power: float | None = None) -> tuple[np.ndarray, np.ndarray]:
        """Weighted cosine of the query with every library spectrum (both cut
        at ``min_mz``), and the matched-peak counts: two arrays of len(self)."""
        qm, qi = _arrays(query, "query")
        return self._core.scores(qm, qi, self._query_power(query_intensity_power, query), self.mz_power,
                                 _min_mz(min_mz))

    def search(self, query, top: int = 10, *, min_mz: int | None = None, method: str = "cosine",
               query_intensity_power: float | None = None, prefilter: int = 200) -> list[Hit]:
        """The ``top`` best library spectra for the query, best first.

        ``min_mz`` cuts query and library spectra (use the query's lowest
        measured m/z when the measurement started above the low masses).
        A predicted query (convention "scored" or "schematic": square-root
        heights) is weighted with twice the library's intensity power, so
        that it stands on the scale of the measured spectra it is held
        against; ``query_intensity_power`` overrides that.
        ``method="composite"`` rescores the ``prefilter`` best by cosine with
        the composite score.  Equal scores keep library order."""
        if isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0:
            raise ValueError(f"top must be a non-negative int, not {top!r}")
        qm, qi = _arrays(query, "query")
        hits = self._core.search(qm, qi, self._query_power(query_intensity_power, query), self.mz_power,
                                 int(top), _min_mz(min_mz), _method(method), int(prefilter))
        return [Hit(i, s, c, n, self._metadata[i]) for i, s, c, n in hits]

    def similarity_name(self, query=None, *, min_mz=None, method: str = "cosine",
                        query_intensity_power: float | None = None) -> str:
        """What :meth:`search` scores for this query (see :func:`similarity_name`)."""
        return similarity_name("weighted", intensity_power=self.intensity_power, mz_power=self.mz_power,
                               min_mz=min_mz, method=method,
                               query_intensity_power=self._query_power(query_intensity_power, query))

    def __repr__(self) -> str:
        return (f"<Library: {len(self)} spectra, {self._core.peak_count} peaks, "
                f"weights I^{self.intensity_power:g}*mz^{self.mz_power:g}>")


def identification_rank(query, library: Library | Sequence[Spectrum], true_index: int, *,
                        min_mz: int | None = None) -> int:
    """Library spectra scoring strictly higher than the true one.

    The score is the cosine of the library's predicted intensities (as they
    are, power 1) against the square roots of the query's measured
    intensities, both cut at ``min_mz`` (default: the query's lowest m/z).
    A plain list of spectra is indexed on the fly.
    """
    if not isinstance(library, Library):
        library = Library(library, intensity_power=1.0)
    elif library.intensity_power != 1.0 or library.mz_power != 0.0:
        raise ValueError("identification ranks need a library of unweighted predicted intensities "
                         "(Library(..., intensity_power=1.0, mz_power=0.0))")
    if not 0 <= true_index < len(library):
        raise IndexError(f"true_index {true_index} outside a library of {len(library)}")
    if min_mz is None:
        min_mz = lowest_mz(query)
    s, _ = library.scores(query, min_mz=min_mz, query_intensity_power=0.5)
    return int(np.count_nonzero(s > s[true_index]))


def identification_score_name(min_mz: int | None = None) -> str:
    """The learned identification score in one line: its terms and weights."""
    parts = []
    for k, (term, w) in enumerate(_ID_WEIGHTS.items()):
        sign = "" if k == 0 else (" + " if w >= 0 else " − ")
        coef = "" if (k == 0 and w == 1.0) else f"{abs(w) if k else w:.3g} × "
        parts.append(f"{sign}{coef}{term}")
    cut = "the lowest measured m/z" if min_mz is None else f"{min_mz} (the lowest measured m/z)"
    return ("".join(parts) + "; " + "; ".join(f"{t} = {_idscore.TERMS[t]}" for t in _ID_WEIGHTS)
            + f" (I measured intensity, h predicted height, unit m/z bins, peaks at m/z ≥ {cut})")


def _check_score(score: str) -> str:
    if score not in IDENTIFICATION_SCORES:
        raise ValueError(f"score must be one of {', '.join(map(repr, IDENTIFICATION_SCORES))}, not {score!r}")
    return score


class IdentificationScore:
    """Scores measured spectra against a fixed list of predicted spectra.

    ``score="learned"`` (the default): the cosine of the predicted heights
    against the square roots of the measured intensities plus the fitted
    terms of :func:`identification_score_name` (for example a penalty for
    measured intensity above the reference's highest predicted m/z, which no
    fragment of that molecule can explain); higher is better.  The weights
    were fitted (tools/fit_similarity.py) on scored predictions of spectra
    the model was not fitted on, so the score is meant for references on
    the square-root scale (conventions "scored" and "schematic").
    ``score="cosine"``: the cosine alone, as :func:`identification_rank`
    computes it.  Either way a query is compared at m/z >= its lowest
    measured m/z; the score depends on the query and one reference only
    (not on the other references), and is deterministic.
    """

    def __init__(self, references: Sequence[Spectrum], *, score: str = "learned"):
        self.score = _check_score(score)
        refs = list(references)
        for r in refs:
            if not isinstance(r, Spectrum):
                raise TypeError(f"references must be Spectrum objects, not {type(r).__name__}")
        self._n = len(refs)
        if self.score == "cosine":
            self._lib = Library(refs, intensity_power=1.0)
        else:
            self._refs = _idscore.References([(r.mz, r.intensity) for r in refs])
            self._names = tuple(_ID_WEIGHTS)
            self._w = np.array([_ID_WEIGHTS[t] for t in self._names])

    def __len__(self) -> int:
        return self._n

    def terms(self, query) -> dict[str, np.ndarray]:
        """The learned score's terms of ``query`` against every reference (name -> array)."""
        qm, qi = _arrays(query, "query")
        if self.score == "cosine":
            return {"cos": self.scores(query)}
        t = self._refs.terms(qm, qi, self._names)
        return {name: t[:, j] for j, name in enumerate(self._names)}

    def scores(self, query, *, min_mz: int | None = None) -> np.ndarray:
        """The score of ``query`` (a measured spectrum) against every
        reference, at m/z >= ``min_mz`` (default: the query's lowest m/z)."""
        qm, qi = _arrays(query, "query")
        lo = _core.lowest_mz(qm, qi) if min_mz is None else _min_mz(min_mz)
        if self.score == "cosine":
            s, _ = self._lib.scores((qm, qi), min_mz=lo, query_intensity_power=0.5)
            return np.asarray(s, dtype=np.float64)
        return self._refs.terms(qm, qi, self._names, lo=lo) @ self._w

    def rank(self, query, true_index: int) -> int:
        """References scoring strictly higher than reference ``true_index``."""
        if not 0 <= true_index < self._n:
            raise IndexError(f"true_index {true_index} outside {self._n} references")
        s = self.scores(query)
        return int(np.count_nonzero(s > s[true_index]))

    def name(self, min_mz: int | None = None) -> str:
        """What :meth:`scores` computes, in one line."""
        return similarity_name("learned" if self.score == "learned" else "identify", min_mz=min_mz)


def recall_at_k(ranks: Iterable[int], k: int) -> float:
    """Share of ranks below k (NaN for no ranks)."""
    r = np.asarray(list(ranks), dtype=np.int64)
    return float(np.mean(r < k)) if r.size else float("nan")
