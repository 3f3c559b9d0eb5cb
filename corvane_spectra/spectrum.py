"""The spectrum object shared by readers, writers, scoring and prediction."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Iterable, Mapping

import numpy as np

# The largest m/z a spectrum holds: nominal masses of EI spectra stay far
# below it, and every reader, writer and the library search take any m/z up
# to it.
MAX_MZ = 1_000_000

# Metadata keys with a fixed meaning; readers fill what their format has and
# keep any other field under its own (lower-case) name.
METADATA_KEYS = (
    "name", "smiles", "inchikey", "formula", "id", "license", "source",
    "instrument", "ion_mode",
)


@dataclass(frozen=True)
class PeakAnnotation:
    """What made one predicted peak.

    ``mode`` is "molecular_ion", "single" (one bond cut), "ring" (two bonds of
    a ring cut) or "recursive" (a peak of the multi-generation cascade); the
    scored spectrum also has "rearrangement" (the ion of the cut with hydrogens
    moved to or from it, e.g. the McLafferty ion) and "isotope" (a heavier
    isotope peak of the ion named by the formula);
    ``bond`` is the cut's bond label where one is known; ``generation`` is 0
    for the molecular ion, 1 for a cut of the whole molecule, g + 1 for a cut
    of a generation-g fragment.
    """

    formula: str
    mode: str
    bond: str | None = None
    generation: int = 0

    @classmethod
    def _make(cls, formula: str, mode: str, bond: str | None, generation: int,
              _new=object.__new__) -> "PeakAnnotation":
        """The same as ``cls(formula, mode, bond, generation)`` for trusted arguments, about
        twice as fast: the frozen class's ``__init__`` sets each field through
        ``object.__setattr__``, and the scored spectrum makes a few hundred per molecule."""
        a = _new(cls)
        a.__dict__.update(formula=formula, mode=mode, bond=bond, generation=generation)
        return a


def check_peaks(mz: np.ndarray, intensity: np.ndarray) -> None:
    """ValueError unless every m/z is a whole number from 1 to MAX_MZ and
    every intensity finite and not negative."""
    mz, intensity = np.asarray(mz), np.asarray(intensity, dtype=np.float64)
    if mz.dtype.kind not in "iu":
        raise ValueError(f"m/z values must be whole numbers, not {mz.dtype}")
    if mz.shape != intensity.shape:
        raise ValueError(f"{mz.size} m/z values but {intensity.size} intensities")
    if mz.size:
        bad = (mz < 1) | (mz > MAX_MZ)
        if bad.any():
            raise ValueError(f"m/z {mz[bad][0]} is out of range (1 to {MAX_MZ})")
    if intensity.size:
        bad = ~np.isfinite(intensity) | (intensity < 0)
        if bad.any():
            raise ValueError(f"intensity {intensity[bad][0]!r} is not a finite, non-negative number")


def _nominal(values) -> np.ndarray:
    """m/z values as int64: measured values rounded to the nearest whole
    number (halves to even, as the readers do); anything not finite, not
    above 0 or above MAX_MZ is refused before it can wrap around."""
    a = np.asarray(values)
    if a.dtype.kind in "iub":
        if a.dtype.kind == "u" and a.size and a.max() > MAX_MZ:
            raise ValueError(f"m/z {a.max()} is out of range (1 to {MAX_MZ})")
        return a.astype(np.int64).reshape(-1)
    a = np.asarray(a, dtype=np.float64).reshape(-1)
    bad = ~np.isfinite(a) | (a <= 0) | (a > MAX_MZ + 0.5)
    if bad.any():
        raise ValueError(f"m/z {a[bad][0]!r} is out of range (1 to {MAX_MZ})")
    return np.rint(a).astype(np.int64)


@dataclass
class Spectrum:
    """Peaks at nominal m/z (ascending, unique) with intensities and metadata.

    ``annotations`` is None for a measured spectrum; for a predicted one it
    holds, per peak, the annotations of every prediction at that m/z (the
    first one is the peak's label).  ``convention`` names the intensity
    convention of a prediction ("schematic": molecular ion 100, fragments 60;
    "scored": square roots of predicted relative abundances, base peak 100).

    m/z values are whole numbers from 1 to ``MAX_MZ`` (measured values are
    rounded) and intensities finite and not negative: anything else is a
    ValueError when the spectrum is made, and writers check again.
    """

    mz: np.ndarray
    intensity: np.ndarray
    metadata: dict = field(default_factory=dict)
    annotations: list | None = None
    convention: str | None = None

    def __post_init__(self):
        mz = _nominal(self.mz)
        inten = np.asarray(self.intensity, dtype=np.float64).reshape(-1)
        if mz.shape != inten.shape:
            raise ValueError(f"{mz.size} m/z values but {inten.size} intensities")
        check_peaks(mz, inten)
        if self.annotations is not None and len(self.annotations) != mz.size:
            raise ValueError(f"{mz.size} peaks but {len(self.annotations)} annotation lists")
        if mz.size and np.any(np.diff(mz) <= 0):
            order = np.argsort(mz, kind="stable")
            mz, inten = mz[order], inten[order]
            ann = [self.annotations[i] for i in order] if self.annotations is not None else None
            # Duplicate m/z: the strongest intensity stays; annotations gather.
            keep_mz, keep_int, keep_ann = [], [], []
            for i in range(mz.size):
                if keep_mz and keep_mz[-1] == mz[i]:
                    keep_int[-1] = max(keep_int[-1], inten[i])
                    if ann is not None:
                        keep_ann[-1] = list(keep_ann[-1]) + list(ann[i])
                    continue
                keep_mz.append(mz[i])
                keep_int.append(inten[i])
                if ann is not None:
                    keep_ann.append(list(ann[i]))
            mz = np.asarray(keep_mz, dtype=np.int64)
            inten = np.asarray(keep_int, dtype=np.float64)
            self.annotations = keep_ann if ann is not None else None
        self.mz, self.intensity = mz, inten
        self.metadata = dict(self.metadata)

    @classmethod
    def _trusted(cls, mz: np.ndarray, intensity: np.ndarray, metadata: dict,
                 annotations: list | None = None, convention: str | None = None) -> "Spectrum":
        """A spectrum from parts already in the form __post_init__ makes:
        int64 and float64 arrays of one length with m/z ascending and unique,
        a fresh metadata dict, one annotation list per peak or None.  The
        readers use it for speed; anything else should call the class."""
        self = object.__new__(cls)
        self.mz = mz
        self.intensity = intensity
        self.metadata = metadata
        self.annotations = annotations
        self.convention = convention
        return self

    @classmethod
    def from_peaks(cls, peaks: Iterable[tuple[int, float]], metadata: Mapping | None = None, **kw) -> "Spectrum":
        peaks = list(peaks)
        return cls(np.array([p[0] for p in peaks], dtype=np.int64),
                   np.array([p[1] for p in peaks], dtype=np.float64), dict(metadata or {}), **kw)

    def __len__(self) -> int:
        return int(self.mz.size)

    @property
    def name(self) -> str | None:
        return self.metadata.get("name")

    @property
    def smiles(self) -> str | None:
        return self.metadata.get("smiles")

    def peaks(self) -> list[tuple[int, float]]:
        return list(zip(self.mz.tolist(), self.intensity.tolist()))

    def base_peak(self) -> float:
        return float(self.intensity.max()) if self.mz.size else 0.0

    def __repr__(self) -> str:
        label = self.name or self.smiles or "unnamed"
        kind = f", {self.convention}" if self.convention else ""
        return f"<Spectrum {label!r}: {len(self)} peaks{kind}>"
