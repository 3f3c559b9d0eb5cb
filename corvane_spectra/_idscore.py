"""Terms of the identification score: one measured spectrum against many predicted ones.

Plain numpy, no package imports: the fitting tool (tools/fit_similarity.py)
loads this file on its own, so the score it fits is the one the package
computes.

A query is a measured spectrum (nominal m/z, intensities I); the references
are predicted spectra on the square-root scale (heights h, h**2 an abundance).
Only m/z >= the query's lowest measured m/z (``lo``) are compared, except
where a term says otherwise.  Every term is a number in [0, 1] per
reference; the score is a weighted sum of terms.
"""
from __future__ import annotations

import numpy as np

# name -> what it is (one line each); the order is the column order of ``terms``.
TERMS = {
    "cos": "cosine of h vs √I",
    "cos_mz": "cosine of h·m/z vs √I·m/z",
    "cos_mz2": "cosine of h·(m/z)² vs √I·(m/z)²",
    "cos_mz3": "cosine of h·(m/z)³ vs √I·(m/z)³",
    "cos_i": "cosine of h² vs I",
    "cos_q": "cosine of √h vs I^0.25",
    "reverse": "cosine of h vs √I with the query cut to the reference's peaks",
    "explained": "share of the measured intensity at m/z the reference predicts",
    "matched": "share of the predicted abundance h² at measured m/z",
    "above": "share of the measured intensity above the reference's highest predicted m/z",
    "above_sqrt": "share of √I above the reference's highest predicted m/z",
    "above_log": "1 + log10(0.001 + s)/3, s the share of √I above the reference's highest predicted m/z",
    "above_log2": "1 + log10(0.01 + s)/2, s the share of √I above the reference's highest predicted m/z",
    "above_log4": "1 + log10(0.0001 + s)/4, s the share of √I above the reference's highest predicted m/z",
    "heavier": "the reference's highest predicted m/z above the query's highest m/z of >= 1 % of the base "
               "peak, in units of 50, capped at 1",
}
TERM_NAMES = tuple(TERMS)
_MZ_POWER = {"cos": 0, "cos_mz": 1, "cos_mz2": 2, "cos_mz3": 3}
_LOG_EPS = {"above_log": 1e-3, "above_log2": 1e-2, "above_log4": 1e-4}


class References:
    """Predicted spectra as flat arrays (m/z, height, owner), ready to score queries against."""

    def __init__(self, spectra):
        mzs, hs, owners, tops = [], [], [], []
        for k, (mz, h) in enumerate(spectra):
            mz = np.asarray(mz, dtype=np.int64)
            h = np.asarray(h, dtype=np.float64)
            keep = h > 0
            mz, h = mz[keep], h[keep]
            mzs.append(mz)
            hs.append(h)
            owners.append(np.full(mz.size, k, dtype=np.int64))
            tops.append(int(mz.max()) if mz.size else 0)
        self.n = len(tops)
        self.mz = np.concatenate(mzs) if mzs else np.zeros(0, dtype=np.int64)
        self.h = np.concatenate(hs) if hs else np.zeros(0)
        self.owner = np.concatenate(owners) if owners else np.zeros(0, dtype=np.int64)
        self.top = np.array(tops, dtype=np.int64)
        self.h2 = self.h ** 2
        self.h4 = self.h2 ** 2
        self.hq = np.sqrt(self.h)
        self.mzf = self.mz.astype(np.float64)
        self.maxmz = int(max(self.mz.max(initial=0), self.top.max(initial=0)))
        counts = np.array([x.size for x in mzs], dtype=np.int64)
        self._starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.intp)
        self._empty = counts == 0
        self._weighted: dict = {}      # e -> h * mz**(2e), per peak
        self._norms: dict = {}         # (e, lo) -> |h * mz**e| over each reference's peaks at m/z >= lo

    def _mz_cos(self, e, sq, lo, q_norm):
        """Cosine of h*mz**e against sqrt(I)*mz**e; ``sq``: sqrt(I) at each reference peak (0 below lo).
        The reference norms above lo are kept per lo (queries share few lowest m/z), each summed over
        that reference's peaks alone, so identical references get identical scores."""
        w = self._weighted.get(e)
        if w is None:
            w = self._weighted[e] = self.h * self.mzf ** (2 * e) if e else self.h
        rn = self._norms.get((e, lo))
        if rn is None:
            if len(self._norms) > 256:
                self._norms.clear()
            hw = self.h * self.mzf ** e if e else self.h
            rn = self._norms[(e, lo)] = np.sqrt(self._sum(np.where(self.mz >= lo, hw * hw, 0.0)))
        den = rn * q_norm
        return np.where(den > 0, self._sum(w * sq) / np.where(den > 0, den, 1.0), 0.0)

    def _sum(self, values):
        """Per reference, the sum of ``values`` over its peaks (0 for a reference without peaks)."""
        if self.n == 0:
            return np.zeros(0)
        # A trailing 0 gives a reference without peaks at the end a valid start.
        out = np.add.reduceat(np.concatenate([values, [0.0]]), self._starts)
        out[self._empty] = 0.0
        return out

    def terms(self, mz, intensity, names=TERM_NAMES, lo=None) -> np.ndarray:
        """(n references, len(names)) terms of one measured spectrum against every reference.

        ``lo``: compare at m/z >= lo (default: the query's lowest m/z with a
        positive intensity)."""
        mz = np.asarray(mz, dtype=np.int64)
        inten = np.asarray(intensity, dtype=np.float64)
        pos = inten > 0
        mz, inten = mz[pos], inten[pos]
        out = np.zeros((self.n, len(names)))
        if mz.size == 0 or self.n == 0:
            return out
        lo = int(mz.min()) if lo is None else int(lo)
        keep = mz >= lo
        mz, inten = mz[keep], inten[keep]
        if mz.size == 0:
            return out
        size = max(self.maxmz, int(mz.max())) + 2
        dense = np.zeros(size)
        np.add.at(dense, mz, inten)
        sqrt_dense = np.sqrt(dense)
        at = dense[self.mz]             # measured I at each reference peak (0 below lo: the query is cut there)
        sq = np.sqrt(at)
        tot_i = dense.sum()
        tot_sq = sqrt_dense.sum()
        inside = None if all(n in _MZ_POWER or n in _LOG_EPS for n in names) else self.mz >= lo

        def cos(ref_w, q_w, q_norm):
            dot = self._sum(ref_w * q_w)
            rn = np.sqrt(self._sum(np.where(inside, ref_w, 0.0) ** 2))
            den = rn * q_norm
            return np.where(den > 0, dot / np.where(den > 0, den, 1.0), 0.0)

        for j, name in enumerate(names):
            if name in _MZ_POWER:
                e = _MZ_POWER[name]
                v = self._mz_cos(e, sq, lo, np.sqrt(np.sum(inten * mz.astype(np.float64) ** (2 * e))))
            elif name == "cos_i":
                v = cos(self.h2, at, np.sqrt(np.sum(dense ** 2)))
            elif name == "cos_q":
                v = cos(self.hq, np.sqrt(sq), np.sqrt(tot_sq))
            elif name == "reverse":
                dot = self._sum(self.h * sq)
                rn = np.sqrt(self._sum(np.where(inside, self.h2, 0.0)))
                qr = np.sqrt(self._sum(at))
                den = rn * qr
                v = np.where(den > 0, dot / np.where(den > 0, den, 1.0), 0.0)
            elif name == "explained":
                v = self._sum(at) / tot_i
            elif name == "matched":
                hn = self._sum(np.where(inside, self.h2, 0.0))
                mt = self._sum(np.where(at > 0, self.h2, 0.0))
                v = np.where(hn > 0, mt / np.where(hn > 0, hn, 1.0), 0.0)
            elif name in _LOG_EPS:
                eps = _LOG_EPS[name]
                above = np.concatenate([np.cumsum(sqrt_dense[::-1])[::-1][1:], [0.0]])
                v = 1.0 + np.log10(eps + above[np.minimum(self.top, size - 1)] / tot_sq) / -np.log10(eps)
            elif name in ("above", "above_sqrt"):
                w = dense if name == "above" else sqrt_dense
                above = np.concatenate([np.cumsum(w[::-1])[::-1][1:], [0.0]])   # sum at m/z > index
                v = above[np.minimum(self.top, size - 1)] / w.sum()
            elif name == "heavier":
                strong = mz[inten >= 0.01 * inten.max()]
                v = np.clip((self.top - int(strong.max())) / 50.0, 0.0, 1.0)
            else:
                raise ValueError(f"unknown term {name!r}")
            out[:, j] = v
        return out
