"""The peak-order stage of the scored spectrum: the order of a molecule's strongest predicted peaks.

The scored model's intensities are fitted for the cosine over whole spectra, which barely moves
when two strong peaks trade places; a chemist reads the base peak and the next few first.  This
stage takes those of the TOP strongest predicted peaks whose main contribution is an ion at its
nominal m/z (isotope peaks follow their ion and are not ranked themselves), scores each with a
tree ensemble (``_scored_trees.Forest``: a LightGBM ranker fitted by ``tools/fit_peak_order.py``
on predictions of spectra the intensity model was not fitted on, each peak's relevance being how
high it stands in the measured spectrum) and hands the same abundances out again in the order of
the scores: every candidate ion whose nominal m/z is the best-scored peak is scaled so that the
peak gets the largest abundance, the next one the second largest, and so on.  An ion's isotope
peaks scale with it, so isotope patterns stay exact; the peaks are then summed again, and the
annotations are those of the scaled contributions.

A peak's row is ``peak_rows``: the named features of the candidate that contributes most to the
peak (its route: alpha-cleavage, benzylic, McLafferty, hydrogen shifts, the molecule's class ...)
and what the predicted spectrum says about the peak (its height, its rank, its distance in m/z
from the strongest peak, its main contribution's share of it, the height of the next ranked
peak), and the molecule beside it (how far below the molecular ion the peak lies, how strong the
molecular ion is, and which textbook routes the molecule's other ranked peaks carry).  Without the shipped file (``_peak_order.npz``) nothing changes.
"""
from __future__ import annotations

from functools import lru_cache
from pathlib import Path

import numpy as np

MODEL_FILE = Path(__file__).with_name("_peak_order.npz")
TOP = 32
# Routes of textbook ions.  Beside every row, for each of them, the largest value over the
# molecule's ranked peaks and the height of the strongest ranked peak that carries it: a peak is
# scored alone, and this is how an [M-H]+ row learns that the molecule also has a benzylic or an
# alpha cleavage among its strong peaks.
CONTEXT_ROUTES = ("molecular_ion", "alpha_N", "alpha_O_S", "acylium", "benzylic", "allylic", "mclafferty",
                  "mclafferty_aromatic", "mclafferty_alkene", "benzyl_type", "aroyl", "alpha_onium",
                  "ortho_loss", "ring_allylic", "benzylic_h_loss", "alpha_h_loss", "aryl_methyl_loss",
                  "onium_one_carbon", "mclafferty_ester", "acylium_shifted", "ortho_elimination",
                  "ion_iminium", "ion_oxonium", "ion_acyl", "loss_small_molecule", "loss_CH3", "loss_halogen",
                  "ring_alpha_cleavage", "hx_elimination", "alpha_h_only", "aryl_aldehyde_h_loss")
EXTRA = (("height", "rank", "delta_mz", "share", "height_next", "below_molecular_ion", "molecular_ion_height")
         + tuple(f"any_{r}" for r in CONTEXT_ROUTES) + tuple(f"height_{r}" for r in CONTEXT_ROUTES)
         + ("height_minus_1", "height_plus_1"))
N_EXTRA = len(EXTRA)


@lru_cache(maxsize=1)
def _route_cols() -> np.ndarray:
    from .scored import FEATURES

    return np.array([FEATURES.index(r) for r in CONTEXT_ROUTES])


def peak_rows(X: np.ndarray, height: np.ndarray, mz: np.ndarray, share: np.ndarray, mol_mz: int,
              mol_height: float, spectrum_height: np.ndarray) -> np.ndarray:
    """Input rows of a molecule's strongest peaks, strongest first.

    ``X``: the named features of each peak's main contribution (one row per peak); ``height``:
    the peaks' heights (square-root scale, the strongest peak of the spectrum 100), non-increasing;
    ``mz``: their m/z; ``share``: the main contribution's share of the peak's abundance;
    ``mol_mz`` and ``mol_height``: the molecular ion's nominal m/z and its peak's height;
    ``spectrum_height``: the height of every m/z of the predicted spectrum (same scale), from which
    each peak's neighbours one below and one above are read: an [M-H]+ row sees its M+. there,
    and a C7H7+ row its C7H8+."""
    k, nf = X.shape
    out = np.empty((k, nf + N_EXTRA))
    out[:, :nf] = X
    h = np.asarray(height, dtype=np.float64)
    out[:, nf] = h
    out[:, nf + 1] = np.arange(k)
    out[:, nf + 2] = np.asarray(mz, dtype=np.float64) - (mz[0] if k else 0)
    out[:, nf + 3] = share
    out[:, nf + 4] = np.append(h[1:], 0.0) if k else h
    out[:, nf + 5] = mol_mz - np.asarray(mz, dtype=np.float64)
    out[:, nf + 6] = mol_height
    if k:
        R = X[:, _route_cols()]
        nr = R.shape[1]
        out[:, nf + 7:nf + 7 + nr] = R.max(axis=0)
        out[:, nf + 7 + nr:nf + 7 + 2 * nr] = np.where(R > 0, h[:, None], 0.0).max(axis=0)
    padded = np.concatenate([[0.0], np.asarray(spectrum_height, dtype=np.float64), [0.0]])
    m = np.asarray(mz, dtype=np.int64) + 1
    out[:, -2] = padded[m - 1]
    out[:, -1] = padded[m + 1]
    return out


def factors(a: np.ndarray, top: np.ndarray, scores: np.ndarray) -> np.ndarray:
    """Per m/z, the factor by which the ions at that nominal m/z are scaled: the abundances of the
    peaks ``top`` (strongest first) handed out again in the order of ``scores`` (ties keep the
    predicted order); 1 elsewhere."""
    f = np.ones(a.size)
    target = np.empty(top.size)
    target[np.argsort(-scores, kind="stable")] = a[top]
    f[top] = target / a[top]
    return f


def molecule_rows(cand, contrib: np.ndarray, bins: np.ndarray, a: np.ndarray, shift_cols,
                  min_height: float):
    """(m/z of the peaks to rank, their ``peak_rows``) of one molecule, or None under two of them.

    ``contrib`` and ``bins``: every candidate's abundance per isotope entry and the m/z of each
    (``scored.predict_scored``'s arrays); ``a``: the abundance summed per m/z.  The peaks ranked
    are those of the TOP strongest, at least ``min_height`` high, whose main contribution is an
    ion at its nominal m/z."""
    top = np.argsort(-a, kind="stable")[:TOP]
    full = np.sqrt(a)
    full = 100 * full / full[top[0]]
    h = full[top]
    keep = h >= min_height
    top, h = top[keep], h[keep]
    flat_bin, flat_c = bins.ravel(), contrib.ravel()
    width = contrib.shape[1]
    # The main contribution of each peak: the first of its largest entries.
    in_top = np.zeros(a.size, dtype=bool)
    in_top[top] = True
    at = np.zeros(a.size, dtype=np.int64)
    at[top] = np.arange(top.size)
    e = np.flatnonzero(in_top[flat_bin])
    e = e[np.lexsort((-flat_c[e], at[flat_bin[e]]))]
    first = np.concatenate([[True], flat_bin[e][1:] != flat_bin[e][:-1]])
    e = e[first]                                       # one per peak, in the order of ``top``
    c, k = np.divmod(e, width)
    nominal = k == -cand.iso_offset                    # the column of the candidate's nominal m/z
    if nominal.sum() < 2:
        return None
    top, h, c, e = top[nominal], h[nominal], c[nominal], e[nominal]
    X = cand.F[cand.base[c]]
    X[:, shift_cols] = cand.E[c]
    mol_mz, mol_h = molecular_ion(cand, a)
    return top, peak_rows(X, h, top, flat_c[e] / a[top], mol_mz, mol_h, full)


def molecular_ion(cand, a: np.ndarray) -> tuple[int, float]:
    """The molecular ion's nominal m/z and its peak's height (the strongest peak 100)."""
    m = cand.mz[(cand.base == 0) & (cand.shift == 0)]
    mol_mz = int(m[0]) if m.size else int(cand.mol_mz)
    return mol_mz, (100 * np.sqrt(a[mol_mz] / a.max()) if 0 <= mol_mz < a.size else 0.0)


def adjust(model: "PeakOrderModel", cand, contrib, bins, a, shift_cols, min_height: float):
    """(``contrib``, ``a``) of a molecule with its strongest ions scaled into the model's order."""
    got = molecule_rows(cand, contrib, bins, a, shift_cols, min_height)
    if got is None:
        return contrib, a
    top, Z = got
    scale = factors(a, top, model.forest(Z))[cand.mz]
    contrib = contrib * scale[:, None]
    return contrib, np.bincount(bins.ravel(), contrib.ravel(), minlength=a.size)


class PeakOrderModel:
    """The shipped ranker."""

    def __init__(self, forest, meta: str = ""):
        self.forest, self.meta = forest, meta

    def save(self, path) -> None:
        self.forest.save(path, self.meta, top=np.array(TOP))

    @classmethod
    def load(cls, path) -> "PeakOrderModel":
        from ._scored_trees import Forest

        forest = Forest.load(path)
        with np.load(path) as z:
            if int(z["top"]) != TOP:
                raise ValueError(f"{path}: fitted on the {int(z['top'])} strongest peaks, this code reads {TOP}")
            return cls(forest, str(z["meta"]))


@lru_cache(maxsize=1)
def shipped_model() -> PeakOrderModel | None:
    return PeakOrderModel.load(MODEL_FILE) if MODEL_FILE.exists() else None
