"""matchms interoperability: converting spectra, and matchms's cosine score.

``to_matchms(spectrum)`` and ``from_matchms(spectrum)`` convert between
:class:`corvane_spectra.Spectrum` and ``matchms.Spectrum`` (matchms is an
optional extra: ``pip install corvane[matchms]``; only the converters need
it).  Metadata keys follow matchms's names both ways: ``compound_name``
<-> "name", ``spectrum_id`` <-> "id", ``ionmode`` <-> "ion_mode"; smiles,
inchikey and formula keep their names, everything else is passed through.
A matchms spectrum's m/z values are rounded to the nominal m/z (halves to
even, as the readers do; the strongest peak stays where several meet).

``matchms_cosine(a, b)`` computes what matchms's ``CosineGreedy()`` with its
defaults (tolerance 0.1, mz_power 0, intensity_power 1) gives for two
spectra, without matchms: peaks are paired greedily, the pair with the
largest product of weighted intensities first, each peak used once, pairs
within ``tolerance``; the score is the sum of the paired products over the
norms of the two whole weighted spectra (no m/z cut).  It is the score
matchms users quote, reported beside corvane's own cosine (which compares
square-root intensities above the lowest measured m/z; see
:func:`corvane_spectra.score.similarity_name`).
"""
from __future__ import annotations

import numpy as np

from .spectrum import Spectrum

# corvane metadata key -> matchms metadata key
_TO_MATCHMS = {"name": "compound_name", "id": "spectrum_id", "ion_mode": "ionmode"}
_FROM_MATCHMS = {v: k for k, v in _TO_MATCHMS.items()}

DEFAULT_TOLERANCE = 0.1
DEFAULT_MZ_POWER = 0.0
DEFAULT_INTENSITY_POWER = 1.0


def _require():
    try:
        import matchms
    except ImportError as e:  # pragma: no cover - depends on the environment
        raise ImportError("matchms is not installed: pip install 'corvane[matchms]' (or pip install matchms)") from e
    return matchms


def to_matchms(spectrum: Spectrum):
    """A ``matchms.Spectrum`` with the same peaks and metadata (annotations
    of a prediction go into the metadata as "peak_comments", m/z -> text)."""
    if not isinstance(spectrum, Spectrum):
        raise TypeError(f"expected a Spectrum, not {type(spectrum).__name__}")
    matchms = _require()
    md: dict = {}
    for k, v in spectrum.metadata.items():
        if v is None:
            continue
        md[_TO_MATCHMS.get(k, k)] = v
    if spectrum.convention:
        md["convention"] = spectrum.convention
    if spectrum.annotations is not None:
        from .io import _annotation_text

        md["peak_comments"] = {float(m): _annotation_text(a)
                               for m, a in zip(spectrum.mz.tolist(), spectrum.annotations) if a}
    order = np.argsort(spectrum.mz, kind="stable")
    return matchms.Spectrum(mz=spectrum.mz[order].astype(np.float64),
                            intensities=spectrum.intensity[order].astype(np.float64),
                            metadata=md, metadata_harmonization=False)


def from_matchms(spectrum) -> Spectrum:
    """A corvane :class:`Spectrum` of a ``matchms.Spectrum`` (or of anything
    with ``peaks.mz``, ``peaks.intensities`` and ``metadata``)."""
    peaks = getattr(spectrum, "peaks", None)
    if peaks is None or not hasattr(peaks, "mz"):
        raise TypeError(f"expected a matchms Spectrum, not {type(spectrum).__name__}")
    mz = np.rint(np.asarray(peaks.mz, dtype=np.float64)).astype(np.int64)
    inten = np.asarray(peaks.intensities, dtype=np.float64)
    md = {}
    for k, v in dict(getattr(spectrum, "metadata", {}) or {}).items():
        if k in ("peak_comments", "convention"):
            continue
        md[_FROM_MATCHMS.get(k, k)] = v
    raw = dict(getattr(spectrum, "metadata", {}) or {})
    convention = raw.get("convention")
    return Spectrum(mz, inten, md, convention=str(convention) if convention else None)


def _peaks(s) -> tuple[np.ndarray, np.ndarray]:
    if isinstance(s, Spectrum):
        return s.mz.astype(np.float64), s.intensity
    if isinstance(s, tuple) and len(s) == 2:
        return np.asarray(s[0], dtype=np.float64), np.asarray(s[1], dtype=np.float64)
    peaks = getattr(s, "peaks", None)
    if peaks is not None and hasattr(peaks, "mz"):
        return np.asarray(peaks.mz, dtype=np.float64), np.asarray(peaks.intensities, dtype=np.float64)
    raise TypeError(f"expected a Spectrum, an (mz, intensity) pair or a matchms Spectrum, not {type(s).__name__}")


def matchms_cosine(a, b, *, tolerance: float = DEFAULT_TOLERANCE, mz_power: float = DEFAULT_MZ_POWER,
                   intensity_power: float = DEFAULT_INTENSITY_POWER) -> tuple[float, int]:
    """(score, matched peaks) as matchms's ``CosineGreedy`` computes them."""
    am, ai = _peaks(a)
    bm, bi = _peaks(b)
    wa = np.power(am, mz_power) * np.power(np.clip(ai, 0, None), intensity_power)
    wb = np.power(bm, mz_power) * np.power(np.clip(bi, 0, None), intensity_power)
    na, nb = float(np.sqrt(np.sum(wa ** 2))), float(np.sqrt(np.sum(wb ** 2)))
    if na == 0 or nb == 0:
        return 0.0, 0
    ob = np.argsort(bm, kind="stable")
    bm_s = bm[ob]
    pairs = []
    for i in range(am.size):
        lo = np.searchsorted(bm_s, am[i] - tolerance, side="left")
        hi = np.searchsorted(bm_s, am[i] + tolerance, side="right")
        for jj in range(lo, hi):
            j = int(ob[jj])
            pairs.append((wa[i] * wb[j], i, j))
    # Largest product first; ties in peak order (stable), as matchms sorts them.
    pairs.sort(key=lambda t: -t[0])
    used_a: set[int] = set()
    used_b: set[int] = set()
    total = 0.0
    n = 0
    for prod, i, j in pairs:
        if i in used_a or j in used_b:
            continue
        used_a.add(i)
        used_b.add(j)
        total += prod
        n += 1
    return total / (na * nb), n
