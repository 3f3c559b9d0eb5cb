"""Fit the weights of corvane_spectra's scored spectrum model, with k-fold cross-validation over compounds.

    python tools/fit_scored.py cache          # soft bonds (one VIF call each) and candidates, cached
    python tools/fit_scored.py cv             # 5-fold cross-validated figures of the current features
    python tools/fit_scored.py shipped        # the shipped weights on libraries of never-fitted spectra
    python tools/fit_scored.py fit            # fit on every compound, write _scored_weights.py
    python tools/fit_scored.py ablate         # cross-validated refits with each feature group removed (slow)
    python tools/fit_scored.py envtop         # the strongest hashed substructure columns, with their tokens

Data: ../shared/ei/massbank_ei_dev.msp and massbank_ei_extra.msp (5,483
measured 70 eV EI spectra, one per compound).  Folds: compounds grouped by
the first block of their InChIKey (the skeleton; SMILES where there is no
InChIKey), the groups shuffled with a fixed seed and dealt round-robin into K
folds.  Each fold is held out once: the weights are fitted on the other K-1
folds and measured on it, and the held-out fold (about 1,100 spectra) is also
the identification library.  Figures are the mean over folds with the
standard error (standard deviation over folds / sqrt(K)).

Objective: mean cosine, over the fitted spectra, of the predicted peak
heights (square root of the summed candidate abundances) against the square
roots of the measured intensities at m/z >= the spectrum's lowest measured
m/z -- the workbench's cosine -- minus RANK_WEIGHT x a softmax identification
loss (each fitted spectrum searched among the predictions of the fitted
molecules of its block: the fitted spectra are dealt into blocks of about
BLOCK spectra, libraries of the size the figures are measured on), minus
BASE_WEIGHT x the cross-entropy of each fitted spectrum's measured base peak
among its predicted peaks (-log of the predicted abundance's share at that
m/z; spectra whose base peak no candidate reaches are left out of this term),
minus ORDER_WEIGHT x the same for the second and third strongest measured peaks
among the predicted peaks without the stronger ones (Plackett-Luce), minus
an L2 penalty on the named features' weights (L2) and one of its own on the
hashed substructure columns (L2_ENV; scipy CSR matrices beside the dense
features); L-BFGS from zero weights with the exact gradient.  An isomer-contrast
term (ISO_WEIGHT, off by default) can be added: each fitted spectrum's softmax
loss among the predictions of the fitted molecules with its formula and another
skeleton.  Besides the library figures, ``cv`` reports how often the predicted
strongest peak is the measured base peak, and saves each fold's weights.
Needs scipy (the ``fit`` extra).  Soft bonds and candidates are cached under
CORVANE_FIT_CACHE (default /tmp/corvane_scored_cache); the candidate cache is
keyed by the source of scored.py, so a change of features rebuilds it.

Isomer figures: for each held-out spectrum, its isomers are the dataset's
other structures with the same formula (corvane_spectra.isomers), ranked by
the cosine of their predictions against the measurement.
"""
from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
from ei_figures import _cos, figures, identification_ranks, read_msp  # noqa: E402

EI = Path(os.environ.get("CORVANE_EI_DIR", ROOT.parent / "shared" / "ei"))
if not EI.exists():
    EI = Path("/work/shared/ei")
DATA_FILES = (EI / "massbank_ei_dev.msp", EI / "massbank_ei_extra.msp")
CACHE = Path(os.environ.get("CORVANE_FIT_CACHE", "/tmp/corvane_scored_cache"))
K_FOLDS = 5
FOLD_SEED = 20261209
BLOCK = 1000
L2 = float(os.environ.get("CORVANE_FIT_L2", "1e-4"))
# L2 penalty of the hashed substructure columns (scored.N_ENV of them), a strength of their own;
# CORVANE_FIT_ENV=0 fits the named features alone.
L2_ENV = float(os.environ.get("CORVANE_FIT_L2_ENV", "1e-3"))
USE_ENV = os.environ.get("CORVANE_FIT_ENV", "1") != "0"
# Weight and temperature of the identification (softmax ranking) term; 0 turns it off.
RANK_WEIGHT = float(os.environ.get("CORVANE_FIT_RANK_WEIGHT", "0.3"))
RANK_TEMPERATURE = float(os.environ.get("CORVANE_FIT_RANK_TEMPERATURE", "0.02"))
# Weight of the base-peak term: the cross-entropy of each fitted spectrum's measured base peak
# among its predicted peaks (share of the predicted abundance at that m/z); 0 turns it off.
BASE_WEIGHT = float(os.environ.get("CORVANE_FIT_BASE_WEIGHT", "0.2"))
# Weight of the order of the next strongest peaks: the second and third factors of a
# Plackett-Luce likelihood of the measured three strongest peaks (-log of the predicted share of
# the second strongest among the predicted peaks without the first, then of the third without
# the first two); 0 turns it off.
ORDER_WEIGHT = float(os.environ.get("CORVANE_FIT_ORDER_WEIGHT", "0.1"))
# Weight of the isomer-contrast term: each fitted spectrum's softmax loss among the predictions of the
# fitted molecules that share its formula but not its skeleton (the isomers a chemist must tell apart),
# at the identification term's temperature.  Formula groups are packed into chunks of about ISO_CHUNK.
ISO_WEIGHT = float(os.environ.get("CORVANE_FIT_ISO_WEIGHT", "0"))
ISO_CHUNK = 256
ORDER_TOP = 3
# Weight of the spectra of molecules of at most SMALL_HEAVY heavy atoms in the cosine, base-peak and
# peak-order terms, relative to the others (1: every spectrum alike).
SMALL_WEIGHT = float(os.environ.get("CORVANE_FIT_SMALL_WEIGHT", "1"))
SMALL_HEAVY = int(os.environ.get("CORVANE_FIT_SMALL_HEAVY", "12"))


def soft_cache(recs):
    """Soft heavy-atom pairs per SMILES from one VIF call each (cached as JSON)."""
    import corvane

    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / "soft_pairs.json"
    done = json.loads(path.read_text()) if path.exists() else {}
    todo = [r["smiles"] for r in recs if r.get("smiles") and r["smiles"] not in done]
    t0 = time.time()
    for i, smi in enumerate(dict.fromkeys(todo)):
        try:
            r = corvane.VIF(smi, draw=False, verbose=False)
            done[smi] = None if isinstance(r, str) else sorted(
                {(min(s["atom_u"], s["atom_v"]), max(s["atom_u"], s["atom_v"])) for s in r["soft_bonds"]})
        except Exception as e:  # a molecule VIF cannot take stays without soft bonds
            done[smi] = None
            print(f"  VIF failed on {smi}: {e}", file=sys.stderr)
        if i % 100 == 0:
            print(f"  soft bonds {i}/{len(todo)} {time.time() - t0:.0f} s", file=sys.stderr, flush=True)
            path.write_text(json.dumps(done))
    path.write_text(json.dumps(done))
    return {k: (frozenset(map(tuple, v)) if v else frozenset()) for k, v in done.items()}


def read_all():
    """Records of both data files that have a SMILES, with the file they came from."""
    recs = []
    for path in DATA_FILES:
        for r in read_msp(path):
            if r.get("smiles") and r["mz"].size:
                r["file"] = path.name
                recs.append(r)
    return recs


def load():
    """Records and the compact candidate data of all of them (cached, keyed by scored.py's source)."""
    recs = read_all()
    softs = soft_cache(recs)
    from corvane_spectra import scored

    h = hashlib.sha1(Path(scored.__file__).read_bytes())
    for r in recs:
        h.update(r["smiles"].encode())
    path = CACHE / f"data-{h.hexdigest()[:16]}.npz"
    if path.exists():
        return recs, Data.from_npz(path, recs)

    def cands():
        t0 = time.time()
        for i, r in enumerate(recs):
            try:
                mol = scored.read_molecule(r["smiles"])
                yield scored.build_candidates(mol, softs.get(r["smiles"], frozenset()))
            except Exception as e:
                print(f"  skipped {r.get('name')}: {e}", file=sys.stderr)
                yield None
            if i % 500 == 0:
                print(f"  candidates {i}/{len(recs)} {time.time() - t0:.0f} s", file=sys.stderr, flush=True)

    data = Data(recs, cands())
    data.save(path)
    return recs, data


def group_key(r) -> str:
    """The compound group a record belongs to: InChIKey skeleton, or the SMILES."""
    key = r.get("inchikey") or ""
    return key.split("-")[0] if key else "SMILES:" + r["smiles"]


def fold_of(recs, k=K_FOLDS, seed=FOLD_SEED) -> np.ndarray:
    """Fold number of every record: groups shuffled with ``seed`` and dealt round-robin."""
    groups = sorted({group_key(r) for r in recs})
    order = np.random.default_rng(seed).permutation(len(groups))
    fold_of_group = {groups[g]: i % k for i, g in enumerate(order)}
    return np.array([fold_of_group[group_key(r)] for r in recs])


class Data:
    """The candidates of every spectrum in flat arrays, and the measured spectra on the same m/z grid.

    Each spectrum owns the bins of m/z 0 .. its top m/z; ``inrange`` marks the
    bins at or above its lowest measured m/z (the ones compared).  Features are
    held as the candidates hold them, per atom set (F) and per candidate (E, the
    shift-dependent ones), in float32, so the full matrix is never built.
    """

    ARRAYS = ("F", "E", "set_of", "rows", "bins", "pat", "q", "owner", "inrange", "has_cand",
              "es_r", "es_c", "ec_r", "ec_c")

    def __init__(self, recs, cands=None):
        from corvane_spectra import scored

        self.shift_cols = scored._SHIFT_COLS
        self.nfeat = len(scored.FEATURES)
        self.nenv = scored.N_ENV
        self.lo = np.array([int(r["mz"].min()) for r in recs])
        if cands is None:
            return
        Fs, Es, set_of, rows, bins, pats, qs, owner, has = [], [], [], [], [], [], [], [], []
        esr, esc, ecr, ecc = [], [], [], []
        base = nrow = nset = 0
        for k, (r, cand) in enumerate(zip(recs, cands)):
            top = int(r["mz"].max()) + 1
            if cand is not None and cand.mz.size:
                off = getattr(cand, "iso_offset", 0)
                b = np.maximum(cand.mz[:, None] + off + np.arange(cand.pattern.shape[1])[None, :], 0)
                ci, kj = np.nonzero(cand.pattern > 0)
                top = max(top, int(b.max()) + 1)
                F = cand.F.astype(np.float32)
                Fs.append(F)
                Es.append(cand.E.astype(np.float32))
                set_of.append((nset + cand.base).astype(np.int32))
                esr.append((nset + cand.env_set[0]).astype(np.int32))
                esc.append(cand.env_set[1].astype(np.int32))
                ecr.append((nrow + cand.env_cand[0]).astype(np.int32))
                ecc.append(cand.env_cand[1].astype(np.int32))
                rows.append((nrow + ci).astype(np.int32))
                bins.append((base + b[ci, kj]).astype(np.int32))
                pats.append(cand.pattern[ci, kj].astype(np.float32))
                nrow += cand.E.shape[0]
                nset += F.shape[0]
            has.append(cand is not None and cand.mz.size > 0)
            q = np.zeros(top, dtype=np.float32)
            q[r["mz"]] = np.sqrt(r["intensity"])
            q[:self.lo[k]] = 0
            qs.append(q)
            owner.append(np.full(top, k, dtype=np.int32))
            base += top
        self.F = np.vstack(Fs)
        self.F[:, self.shift_cols] = 0.0
        self.E = np.vstack(Es)
        self.set_of, self.rows, self.bins = (np.concatenate(x) for x in (set_of, rows, bins))
        self.pat, self.q, self.owner = (np.concatenate(x) for x in (pats, qs, owner))
        self.es_r, self.es_c, self.ec_r, self.ec_c = (np.concatenate(x) for x in (esr, esc, ecr, ecc))
        self.has_cand = np.array(has)
        self._finish()

    def _finish(self):
        self.nspec = self.lo.size
        self.nset, self.nrow, self.nbin = self.F.shape[0], self.E.shape[0], self.owner.size
        starts = np.concatenate([[0], np.cumsum(np.bincount(self.owner, minlength=self.nspec))[:-1]])
        self.start = starts
        self.mloc = (np.arange(self.nbin) - starts[self.owner]).astype(np.int32)   # the bin's m/z
        self.inrange = self.mloc >= self.lo[self.owner]
        q = self.q.astype(np.float64)
        qn = np.sqrt(np.bincount(self.owner, q ** 2, minlength=self.nspec))
        self.qhat = q / np.maximum(qn[self.owner], 1e-300)
        # Hashed substructure columns as sparse matrices (CSR; a token met twice counts twice).
        from scipy import sparse

        if getattr(self, "es_r", None) is None:
            self.nenv = 0
            return
        self.Senv = sparse.csr_matrix((np.ones(self.es_r.size, dtype=np.float32), (self.es_r, self.es_c)),
                                      shape=(self.nset, self.nenv))
        self.Cenv = sparse.csr_matrix((np.ones(self.ec_r.size, dtype=np.float32), (self.ec_r, self.ec_c)),
                                      shape=(self.nrow, self.nenv))

    def heavy_atoms(self):
        """Heavy atoms of each spectrum's molecule (its main component), read from the molecular
        ion's features; a large number where a spectrum has no candidates."""
        from corvane_spectra import scored

        mi = np.flatnonzero(self.F[:, scored.FEATURES.index("molecular_ion")] > 0)
        row_spec = np.zeros(self.nrow, dtype=np.int64)
        row_spec[self.rows] = self.owner[self.bins]
        set_spec = np.zeros(self.nset, dtype=np.int64)
        set_spec[self.set_of] = row_spec
        heavy = np.full(self.nspec, 1 << 20, dtype=np.int64)
        heavy[set_spec[mi]] = np.rint(np.exp(self.F[mi, scored.FEATURES.index("mi_log_heavy")]))
        return heavy

    def subset(self, idx):
        """The data of the spectra ``idx`` only (sorted), renumbered."""
        idx = np.sort(np.asarray(idx))
        keep_spec = np.zeros(self.nspec, dtype=bool)
        keep_spec[idx] = True
        row_spec = np.zeros(self.nrow, dtype=np.int64)
        row_spec[self.rows] = self.owner[self.bins]
        set_spec = np.zeros(self.nset, dtype=np.int64)
        set_spec[self.set_of] = row_spec
        keep_set, keep_row = keep_spec[set_spec], keep_spec[row_spec]
        keep_bin, keep_ent = keep_spec[self.owner], keep_spec[self.owner[self.bins]]
        new_set = np.cumsum(keep_set) - 1
        new_row = np.cumsum(keep_row) - 1
        new_bin = np.cumsum(keep_bin) - 1
        new_spec = np.cumsum(keep_spec) - 1
        d = Data.__new__(Data)
        d.shift_cols, d.nfeat, d.nenv = self.shift_cols, self.nfeat, self.nenv
        if self.nenv:
            ks, kc = keep_set[self.es_r], keep_row[self.ec_r]
            d.es_r, d.es_c = new_set[self.es_r[ks]].astype(np.int32), self.es_c[ks]
            d.ec_r, d.ec_c = new_row[self.ec_r[kc]].astype(np.int32), self.ec_c[kc]
        d.lo = self.lo[idx]
        d.F, d.E = self.F[keep_set], self.E[keep_row]
        d.set_of = new_set[self.set_of[keep_row]].astype(np.int32)
        d.rows = new_row[self.rows[keep_ent]].astype(np.int32)
        d.bins = new_bin[self.bins[keep_ent]].astype(np.int32)
        d.pat = self.pat[keep_ent]
        d.q = self.q[keep_bin]
        d.owner = new_spec[self.owner[keep_bin]].astype(np.int32)
        d.has_cand = self.has_cand[idx]
        d._finish()
        return d

    def save(self, path):
        tmp = path.with_name(path.stem + ".tmp.npz")
        np.savez(tmp, **{k: getattr(self, k) for k in self.ARRAYS if k != "inrange"})
        tmp.replace(path)

    @classmethod
    def from_npz(cls, path, recs):
        d = cls(recs)
        with np.load(path) as z:
            for k in cls.ARRAYS:
                if k in z:
                    setattr(d, k, z[k])
        d._finish()
        return d

    def full_weights(self, w, mask=None, env=False):
        """Weights of the named features (zero where ``mask`` leaves a feature out), then the
        hashed columns when ``env`` (the optimiser's vector: masked named ones, then hashed ones)."""
        w = np.asarray(w, dtype=np.float64)
        nd = self.nfeat if mask is None else int(mask.sum())
        wf = np.zeros(self.nfeat)
        if mask is None:
            wf[:] = w[:nd]
        else:
            wf[mask] = w[:nd]
        return np.concatenate([wf, w[nd:nd + self.nenv]]) if env else wf

    def linear_log_scores(self, wf):
        """Every candidate's w . x in float32 (``wf``: named features, then optionally the hashed columns)."""
        w32 = wf.astype(np.float32)
        nf = self.nfeat
        ls = (self.F @ w32[:nf])[self.set_of] + self.E @ w32[self.shift_cols]
        if wf.size > nf and self.nenv:
            we = w32[nf:]
            ls += (self.Senv @ we)[self.set_of] + self.Cenv @ we
        return ls

    def abundances(self, wf):
        """Summed abundance in every bin, and each candidate's abundance (``wf``: named
        features, then optionally the hashed columns)."""
        ls = self.linear_log_scores(wf)
        if getattr(self, "offset", None) is not None:      # boosted trees' term (fit_scored_trees.py)
            ls = ls + self.offset
        s = np.exp(np.clip(ls.astype(np.float64), -60, 60))
        return np.bincount(self.bins, s[self.rows] * self.pat, minlength=self.nbin), s

    def xt(self, per_c, mask=None, env=False):
        """X^T per_c, accumulated in float64 in chunks (the hashed columns' part after the rest when ``env``)."""
        per_set = np.bincount(self.set_of, per_c, minlength=self.nset)
        g = np.zeros(self.nfeat)
        step = 200_000
        for i in range(0, self.nset, step):
            g += self.F[i:i + step].T.astype(np.float64) @ per_set[i:i + step]
        gs = np.zeros(len(self.shift_cols))
        for i in range(0, self.nrow, step):
            gs += self.E[i:i + step].T.astype(np.float64) @ per_c[i:i + step]
        g[self.shift_cols] = gs
        g = g if mask is None else g[mask]
        if env:
            ge = np.asarray(self.Senv.T @ per_set.astype(np.float32), dtype=np.float64) \
                + np.asarray(self.Cenv.T @ per_c.astype(np.float32), dtype=np.float64)
            g = np.concatenate([g, ge])
        return g

    def predictions(self, a, idx, threshold=None):
        """Predicted (m/z, heights) of the spectra ``idx`` from the bin abundances, as the product reports them."""
        from corvane_spectra import scored

        threshold = scored.MIN_HEIGHT if threshold is None else threshold
        out = []
        for k in idx:
            seg = a[self.start[k]:(self.start[k + 1] if k + 1 < self.nspec else self.nbin)]
            h = np.sqrt(seg)
            if not self.has_cand[k] or h.max() <= 0:
                out.append((np.array([], dtype=np.int64), np.array([])))
                continue
            h = 100 * h / h.max()
            m = np.nonzero(h >= threshold)[0]
            out.append((m, h[m]))
        return out


class Objective:
    """Cosine and softmax identification loss over the fitted spectra, in blocks of about BLOCK."""

    def __init__(self, data, train_idx, mask=None, block=BLOCK, seed=FOLD_SEED, env=None, keys=None):
        self.d, self.mask = data, mask
        self.env = bool(data.nenv) and (USE_ENV if env is None else env)
        self.ndense = data.nfeat if mask is None else int(mask.sum())
        self.nw = self.ndense + (data.nenv if self.env else 0)
        train_idx = np.asarray(train_idx)
        self.ntrain = train_idx.size
        self.wspec = np.zeros(data.nspec)
        self.wspec[train_idx] = 1.0 / self.ntrain
        if SMALL_WEIGHT != 1.0:
            w = np.where(data.heavy_atoms()[train_idx] <= SMALL_HEAVY, SMALL_WEIGHT, 1.0)
            self.wspec[train_idx] = w / w.sum()
        nb = max(1, round(train_idx.size / block))
        order = np.random.default_rng(seed + 1).permutation(train_idx.size)
        self.blocks = []
        for j in range(nb):
            members = np.sort(train_idx[order[j::nb]])
            local = np.full(data.nspec, -1)
            local[members] = np.arange(members.size)
            bb = np.nonzero(local[data.owner] >= 0)[0]
            self.blocks.append((members, bb, local[data.owner[bb]], data.mloc[bb]))
        self.iso_chunks = self._iso_chunks(train_idx, keys) if ISO_WEIGHT and keys is not None else []

    def _iso_chunks(self, train_idx, keys):
        """The fitted spectra that have an isomer among the fitted molecules, packed by formula into
        chunks: (members, bins, local row, m/z, allowed) with allowed[i, j] when the prediction of
        member i competes for member j's spectrum (the same formula, another skeleton, or i = j)."""
        d = self.d
        by_formula: dict = {}
        for i in train_idx:
            if keys[i] is not None:
                by_formula.setdefault(keys[i][0], []).append(int(i))
        groups = [g for g in by_formula.values() if len({keys[i][1] for i in g}) > 1]
        chunks, cur = [], []
        for g in sorted(groups, key=len, reverse=True):
            if cur and len(cur) + len(g) > ISO_CHUNK:
                chunks.append(cur)
                cur = []
            cur = cur + g
        if cur:
            chunks.append(cur)
        out = []
        for members in chunks:
            members = np.array(sorted(members))
            local = np.full(d.nspec, -1)
            local[members] = np.arange(members.size)
            bb = np.nonzero(local[d.owner] >= 0)[0]
            fk = np.array([keys[i][0] for i in members])
            sk = np.array([keys[i][1] for i in members])
            allowed = (fk[:, None] == fk[None, :]) & (sk[:, None] != sk[None, :])
            np.fill_diagonal(allowed, True)
            out.append((members, bb, local[d.owner[bb]], d.mloc[bb], allowed))
        return out

    def _base_bins(self):
        """Per fitted spectrum, the bin of its measured base peak, where a candidate can reach it."""
        if getattr(self, "_bb", None) is None:
            d = self.d
            q = np.where(d.inrange, d.q, -1.0)
            order = np.lexsort((-q, d.owner))            # per spectrum, its strongest bin first
            first = order[np.concatenate([[0], np.cumsum(np.bincount(d.owner, minlength=d.nspec))[:-1]])]
            reach = np.bincount(d.bins, minlength=d.nbin) > 0
            ok = (self.wspec > 0) & (q[first] > 0) & reach[first]
            self._bb = (np.nonzero(ok)[0], first[ok])
            # The next strongest measured bins (j = 1, 2), each with the bins above it.
            counts = np.bincount(d.owner, minlength=d.nspec)
            starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
            self._order = []
            for j in range(1, ORDER_TOP):
                has = (self.wspec > 0) & (counts > j)
                rows = np.nonzero(has)[0]
                bj = order[starts[rows] + j]
                above = [order[starts[rows] + i] for i in range(j)]
                ok = (q[bj] > 0) & reach[bj] & np.all([q[b] > 0 for b in above], axis=0)
                self._order.append((rows[ok], bj[ok], [b[ok] for b in above]))
        return self._bb

    def _order_term(self, a):
        """Mean over the fitted spectra of -log of the predicted share of the measured j-th strongest
        peak among the predicted peaks without the stronger measured ones (j = 2, 3), and its gradient."""
        d = self.d
        self._base_bins()
        tot = np.bincount(d.owner, a, minlength=d.nspec)
        loss, G = 0.0, np.zeros(d.nbin)
        for rows, bj, above in self._order:
            wk = self.wspec[rows]
            rest = np.maximum(tot[rows] - sum(a[b] for b in above), 1e-300)
            ab = np.maximum(a[bj], 1e-300)
            loss += float(wk @ (np.log(rest) - np.log(ab)))
            coef = np.zeros(d.nspec)
            coef[rows] = wk / rest
            G += coef[d.owner] * d.inrange
            for b in above:
                G[b] -= wk / rest
            G[bj] -= wk / ab
        return loss, G

    def _base_term(self, a):
        """Mean of -log(a[base] / sum a) over the fitted spectra, and its gradient in the bin abundances."""
        d = self.d
        rows, bins = self._base_bins()
        tot = np.bincount(d.owner, a, minlength=d.nspec)
        ab = np.maximum(a[bins], 1e-300)
        wk = self.wspec[rows]
        loss = float(wk @ (np.log(np.maximum(tot[rows], 1e-300)) - np.log(ab)))
        coef = np.zeros(d.nspec)
        coef[rows] = wk / np.maximum(tot[rows], 1e-300)
        G = coef[d.owner] * d.inrange
        G[bins] -= wk / ab
        return loss, G

    def value_grad(self, w):
        d = self.d
        wf = d.full_weights(w, self.mask, self.env)
        a, s = d.abundances(wf)
        a = a * d.inrange
        p = np.sqrt(a)
        pn = np.sqrt(np.bincount(d.owner, a, minlength=d.nspec))
        pn_b = np.maximum(pn[d.owner], 1e-300)
        dot = np.bincount(d.owner, p * d.qhat, minlength=d.nspec)
        cos = dot / np.maximum(pn, 1e-300)
        val = float(self.wspec @ cos)
        # d cos / d p_m = (qhat_m - cos p_m/|p|) / |p|
        g_p = self.wspec[d.owner] * (d.qhat - cos[d.owner] * p / pn_b) / pn_b
        if RANK_WEIGHT:
            for members, bb, rr, mm in self.blocks:
                loss, G = _rank_term(p[bb], d.qhat[bb], rr, mm, members.size, d.lo[members])
                f = members.size / self.ntrain
                val -= RANK_WEIGHT * f * loss
                g_p[bb] -= RANK_WEIGHT * f * G
        for members, bb, rr, mm, allowed in self.iso_chunks:
            loss, G = _rank_term(p[bb], d.qhat[bb], rr, mm, members.size, d.lo[members], allowed, self.ntrain)
            val -= ISO_WEIGHT * loss
            g_p[bb] -= ISO_WEIGHT * G
        with np.errstate(over="ignore", invalid="ignore"):
            g_a = np.where(p > 0, g_p / (2 * np.maximum(p, 1e-300)), 0.0)
        if BASE_WEIGHT:
            loss, G = self._base_term(a)
            val -= BASE_WEIGHT * loss
            g_a -= BASE_WEIGHT * G
        if ORDER_WEIGHT:
            loss, G = self._order_term(a)
            val -= ORDER_WEIGHT * loss
            g_a -= ORDER_WEIGHT * G
        per_c = np.bincount(d.rows, d.pat * g_a[d.bins], minlength=d.nrow) * s
        self.per_c = per_c                                   # d objective / d log-abundance (boosting)
        grad = d.xt(per_c, self.mask, self.env)
        w = np.asarray(w)
        lam = np.full(w.size, L2)
        lam[self.ndense:] = L2_ENV
        return val - float(lam @ (w * w)), grad - 2 * lam * w, cos


def _rank_term(p, qhat, rr, mm, n, lo, allowed=None, norm=None):
    """Softmax identification loss of n spectra against each other's predictions, and its gradient in p.

    ``allowed[i, j]``: prediction i competes for spectrum j (default: all); the loss is summed over
    the spectra and divided by ``norm`` (default n: the mean)."""
    norm = n if norm is None else norm
    tau = RANK_TEMPERATURE
    mmax = int(mm.max()) + 1
    P = np.zeros((n, mmax))
    P[rr, mm] = p
    Qd = np.zeros((n, mmax))
    Qd[rr, mm] = qhat
    C = np.cumsum((P ** 2)[:, ::-1], axis=1)[:, ::-1]
    N = np.sqrt(np.maximum(C[:, lo], 1e-300))          # N[i, j]: |P_i| above lo_j
    cos = (P @ Qd.T) / N
    z = cos / tau
    if allowed is not None:
        z = np.where(allowed, z, -np.inf)
    z -= z.max(axis=0, keepdims=True)
    sm = np.exp(z)
    sm /= sm.sum(axis=0, keepdims=True)
    diag = np.arange(n)
    loss = -np.sum(np.log(np.maximum(sm[diag, diag], 1e-300))) / norm
    g = sm
    g[diag, diag] -= 1.0
    g /= tau * norm                                       # d loss / d cos[i, j]
    G = (g / N) @ Qd
    hh = g * cos / N ** 2
    Hlo = np.zeros((n, mmax))
    np.add.at(Hlo.T, lo, hh.T)
    G -= P * np.cumsum(Hlo, axis=1)
    return loss, G[rr, mm]


def fit(obj, w0=None, maxiter=300):
    from scipy.optimize import minimize

    w0 = np.zeros(obj.nw) if w0 is None else w0
    res = minimize(lambda w: tuple(-v for v in obj.value_grad(w)[:2]), w0, jac=True,
                   method="L-BFGS-B", options={"maxiter": maxiter})
    return res.x, -res.fun


def evaluate(recs, idx, preds):
    """Figures of the spectra ``idx`` (predictions ``preds``), which are also the identification library."""
    meas, figs, base = [], [], []
    for k, (pm, pi) in zip(idx, preds):
        r = recs[k]
        meas.append((r["mz"], r["intensity"]))
        figs.append(figures(pm, pi, r["mz"], r["intensity"]) if pm.size else (0, 0, 0, 0))
        # The measured base peak: the predicted strongest peak, among the three strongest?
        mbase = r["mz"][np.argmax(r["intensity"])]
        top = pm[np.argsort(-pi, kind="stable")[:3]] if pm.size else pm
        base.append((top.size > 0 and top[0] == mbase, mbase in top))
    figs = np.array(figs)
    base = np.array(base, dtype=float)
    ranks = identification_ranks(preds, meas)
    return {"precision": figs[:, 0].mean(), "recall10": figs[:, 1].mean(), "recall10_pm1": figs[:, 2].mean(),
            "cosine": figs[:, 3].mean(), "id_at_1": float(np.mean(ranks < 1)),
            "id_at_10": float(np.mean(ranks < 10)),
            "median_peaks": float(np.median([p[0].size for p in preds])),
            "base_first": float(base[:, 0].mean()), "base_top3": float(base[:, 1].mean())}


_KEYS: dict = {}


def structure_keys(recs):
    """(formula of the largest component, InChIKey skeleton) of every record, or None."""
    from corvane_spectra.isomers import structure_key

    for r in recs:
        if r["smiles"] not in _KEYS:
            _KEYS[r["smiles"]] = structure_key(r["smiles"])
    return [_KEYS[r["smiles"]] for r in recs]


def isomer_figures(recs, has_cand, held_idx, preds_all):
    """Isomer ranking of the held-out spectra among the dataset's structures (all records)."""
    from corvane_spectra.isomers import rank_figures

    structure_keys(recs)
    by_formula: dict = {}
    for i, r in enumerate(recs):
        key = _KEYS[r["smiles"]]
        if key is not None and has_cand[i]:
            by_formula.setdefault(key[0], {}).setdefault(key[1], i)
    rows = []
    for i in held_idx:
        r = recs[i]
        key = _KEYS[r["smiles"]]
        if key is None or not has_cand[i]:
            continue
        others = [j for sk, j in by_formula.get(key[0], {}).items() if sk != key[1]]
        if not others:
            continue
        rows.append(rank_figures(_cos(*preds_all[i], r["mz"], r["intensity"]),
                                 [_cos(*preds_all[j], r["mz"], r["intensity"]) for j in others]))
    out = {k: float(np.mean([row[k] for row in rows])) for k in ("top1", "top3", "relative_rank", "chance_top1")}
    out["n"] = len(rows)
    out["mean_k"] = float(np.mean([row["k"] for row in rows]))
    return out


FIGS = ("id_at_1", "id_at_10", "cosine", "precision", "recall10", "iso_top1", "iso_top3", "iso_relrank",
        "iso_chance", "base_first", "base_top3")


def fold_figures(recs, data, wf, held_idx):
    return figures_of(recs, data, data.abundances(wf)[0], held_idx)


def figures_of(recs, data, a, held_idx):
    """Figures of the held-out spectra ``held_idx`` from the bin abundances ``a`` of every spectrum."""
    preds_all = data.predictions(a, range(data.nspec))
    f = evaluate(recs, held_idx, [preds_all[i] for i in held_idx])
    iso = isomer_figures(recs, data.has_cand, held_idx, preds_all)
    f.update(iso_top1=iso["top1"], iso_top3=iso["top3"], iso_relrank=iso["relative_rank"],
             iso_chance=iso["chance_top1"], iso_n=iso["n"], n=len(held_idx))
    return f


def summarise(per_fold):
    summary = {}
    for key in FIGS:
        if not all(key in f for f in per_fold):
            continue
        v = np.array([f[key] for f in per_fold])
        summary[key] = (float(v.mean()), float(v.std(ddof=1) / np.sqrt(len(v))) if len(v) > 1 else 0.0)
    return summary


def cross_validate(recs, data, mask=None, maxiter=300, tag="cv", folds_to_run=None, subsample=None):
    """K-fold figures: per fold and mean +- standard error.

    ``subsample``: fit on this many spectra drawn (seeded) from the K-1 training
    folds instead of all of them (a cheaper, slightly pessimistic estimate).
    """
    folds = fold_of(recs)
    per_fold = []
    for k in (range(K_FOLDS) if folds_to_run is None else folds_to_run):
        t0 = time.time()
        train_idx = np.nonzero((folds != k) & data.has_cand)[0]
        if subsample and subsample < train_idx.size:
            train_idx = np.sort(np.random.default_rng(FOLD_SEED + k).choice(train_idx, subsample, replace=False))
        held_idx = np.nonzero(folds == k)[0]
        train = data.subset(train_idx)
        keys = structure_keys(recs)
        obj = Objective(train, np.arange(train.nspec), mask, keys=[keys[i] for i in train_idx])
        w, _ = fit(obj, maxiter=maxiter)
        np.save(CACHE / f"cvw-{tag}-fold{k}.npy", data.full_weights(w, mask, USE_ENV and bool(data.nenv)))
        del train, obj
        f = fold_figures(recs, data, data.full_weights(w, mask, USE_ENV and bool(data.nenv)), held_idx)
        f["seconds"] = time.time() - t0
        f["fold"] = k
        per_fold.append(f)
        print(f"  {tag} fold {k}: " + json.dumps({a: round(b, 3) for a, b in f.items()}), file=sys.stderr, flush=True)
    return summarise(per_fold), per_fold


def table(rows):
    labels = ("id@1", "id@10", "cosine", "precision", "recall@10", "isomer top-1", "isomer top-3",
              "isomer rel. rank", "isomer chance", "base peak first", "base peak in top 3")
    lines = ["| variant | " + " | ".join(labels) + " |", "|---|" + "---|" * len(labels)]
    for name, s in rows:
        lines.append(f"| {name} | " + " | ".join(f"{s[k][0]:.3f} ± {s[k][1]:.3f}" if k in s else "–"
                                                for k in FIGS) + " |")
    return "\n".join(lines)


def write_weights(w, train_cos, cv, n, maxiter):
    from corvane_spectra import scored

    summary = (cv or {}).get("summary")
    cvtxt = ", ".join(f"{k} {m:.3f} +- {se:.3f}" for k, (m, se) in summary.items()) if summary else "not run"
    how = (f" (each fold fitted on {cv['subsample'] or 'all'} training spectra, {cv['maxiter']} iterations)"
           if summary and "maxiter" in cv else "")
    lines = [
        '"""Weights of the scored spectrum model, written by tools/fit_scored.py; do not edit by hand.',
        "",
        f"Fitted {datetime.date.today().isoformat()} on all {n} spectra of massbank_ei_dev.msp and",
        "massbank_ei_extra.msp (measured 70 eV EI spectra from MassBank, one per compound).  Features and",
        f"settings chosen by {K_FOLDS}-fold cross-validation over compounds (folds by InChIKey skeleton, seed",
        f"{FOLD_SEED}).  Objective: mean cosine of the predicted heights against the square roots of the",
        "measured intensities (m/z >= each spectrum's lowest measured m/z), minus",
        f"{RANK_WEIGHT} x the softmax identification loss (temperature {RANK_TEMPERATURE}) of each fitted",
        f"spectrum among the predictions of the fitted molecules of its block of about {BLOCK}, minus",
        f"{BASE_WEIGHT} x the cross-entropy of its measured base peak among its predicted peaks, minus "
        f"{ORDER_WEIGHT} x that of the second and third strongest among the rest, minus an L2",
        f"penalty {L2} on the named features' weights; L-BFGS from zero, at most {maxiter} iterations.  Mean cosine on the",
        f"fitted spectra: {train_cos:.3f}.",
        f"Cross-validated figures of these features and settings{how} (mean +- standard error over folds;",
        "each held-out fold of about 1,100 spectra is its own identification library; isomers among the",
        "dataset's structures): " + cvtxt + ".",
        '"""',
        "",
        "WEIGHTS = {",
    ]
    nf = len(scored.FEATURES)
    lines += [f"    {name!r}: {float(v)!r}," for name, v in zip(scored.FEATURES, w[:nf])]
    lines.append("}")
    lines += ["", f"# Hashed substructure columns (scored.N_ENV = {scored.N_ENV}; L2 penalty {L2_ENV}): column -> weight,",
              "# the columns no fitted spectrum's candidates reach left out (weight 0).",
              "ENV_WEIGHTS = {"]
    we = w[nf:]
    cols = np.nonzero(np.abs(we) >= 1e-6)[0]
    for i in range(0, cols.size, 6):
        lines.append("    " + " ".join(f"{int(c)}: {float(f'{we[c]:.5g}')!r}," for c in cols[i:i + 6]))
    lines.append("}")
    (ROOT / "corvane_spectra" / "_scored_weights.py").write_text("\n".join(lines) + "\n")


def env_top(top):
    """The strongest positive and negative hashed columns of the shipped weights, with the tokens
    that fall into them in the dataset's molecules (and how many molecules have each)."""
    from corvane_spectra import scored

    wf = scored._weights()
    we = wf[len(scored.FEATURES):]
    if not we.size:
        print("the shipped weights have no hashed columns")
        return 0
    count: dict = {}
    for r in read_all():
        names: dict = {}
        try:
            scored.build_candidates(scored.read_molecule(r["smiles"]), env_names=names)
        except Exception:
            continue
        for col, toks in names.items():
            for t in toks:
                count[(col, t)] = count.get((col, t), 0) + 1
    by_col: dict = {}
    for (col, t), c in count.items():
        by_col.setdefault(col, []).append((c, t))
    order = np.argsort(we)
    for title, cols in (("strongest positive", order[::-1][:top]), ("strongest negative", order[:top])):
        print(f"\n{title}:\n| column | weight | molecules | token(s) |\n|---|---|---|---|")
        for c in cols:
            toks = sorted(by_col.get(int(c), []), reverse=True)
            text = "; ".join(f"`{t}` ({n})" for n, t in toks[:3]) + (" ..." if len(toks) > 3 else "")
            print(f"| {int(c)} | {we[c]:+.3f} | {sum(n for n, _ in toks)} | {text} |")
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=("cache", "cv", "shipped", "fit", "ablate", "envtop", "trees-cv", "trees-fit"))
    ap.add_argument("--maxiter", type=int, default=300)
    ap.add_argument("--tag", default="cv", help="name of the variant in the report and the saved figures")
    ap.add_argument("--folds", type=int, nargs="*", default=None, help="cv: only these folds")
    ap.add_argument("--subsample", type=int, default=None,
                    help="cv/ablate: fit each fold on this many spectra of its training folds (seeded draw)")
    ap.add_argument("--cv-json", metavar="PATH", help="fit: cross-validated figures to record with the weights")
    ap.add_argument("--weights-from", metavar="NPY",
                    help="fit: write these saved weights (CACHE/fit-TAG.npy of an earlier fit) instead of fitting")
    ap.add_argument("--groups", nargs="*", default=None, help="ablate: only these feature groups")
    ap.add_argument("--top", type=int, default=20, help="envtop: this many strongest columns each way")
    ap.add_argument("--trees", type=int, default=100, help="trees-fit/trees-cv: boosting rounds (trees)")
    ap.add_argument("--trees-at", type=int, nargs="*", default=None,
                    help="trees-cv: held-out figures after these numbers of trees (the largest is the run)")
    ap.add_argument("--from-saved", action="store_true",
                    help="trees-fit: write the first --trees trees of CACHE/trees-TAG.txt instead of boosting")
    args = ap.parse_args(argv)
    if args.what == "envtop":
        return env_top(args.top)
    t0 = time.time()
    recs, data = load()
    print(f"{len(recs)} spectra, {data.nrow} candidates ready in {time.time() - t0:.0f} s", file=sys.stderr)
    if args.what == "cache":
        return 0
    from corvane_spectra import scored

    if args.what.startswith("trees-"):
        import fit_scored_trees

        return fit_scored_trees.main(sys.modules[__name__], args, recs, data)
    if args.what == "shipped":
        # The shipped weights on libraries of about 1,000 spectra they were never fitted on (when they
        # were fitted on the development file only: the extra file's spectra), then on the CV folds.
        wf = scored._weights()
        a, _ = data.abundances(wf)
        extra = np.nonzero(np.array([r["file"] == DATA_FILES[1].name for r in recs]))[0]
        nb = max(1, round(extra.size / BLOCK))
        order = np.random.default_rng(FOLD_SEED).permutation(extra.size)
        libs = [np.sort(extra[order[j::nb]]) for j in range(nb)]
        rows = [evaluate(recs, lib, data.predictions(a, lib)) for lib in libs]
        for key in ("id_at_1", "id_at_10", "cosine", "precision", "recall10"):
            v = np.array([f[key] for f in rows])
            print(f"extra-file libraries ({nb}): {key} {v.mean():.3f} ± {v.std(ddof=1) / np.sqrt(v.size):.3f}")
        folds = fold_of(recs)
        per_fold = [fold_figures(recs, data, wf, np.nonzero(folds == k)[0]) for k in range(K_FOLDS)]
        for f in per_fold:
            print(json.dumps({k: round(v, 3) for k, v in f.items()}))
        print(table([("shipped weights", summarise(per_fold))]))
        return 0
    if args.what == "cv":
        summary, per_fold = cross_validate(recs, data, maxiter=args.maxiter, tag=args.tag, folds_to_run=args.folds,
                                           subsample=args.subsample)
        out = CACHE / f"cv-{args.tag}.json"
        out.write_text(json.dumps({"summary": summary, "folds": per_fold, "maxiter": args.maxiter,
                                   "subsample": args.subsample,
                                   "rank_weight": RANK_WEIGHT, "temperature": RANK_TEMPERATURE, "l2": L2,
                                   "base_weight": BASE_WEIGHT, "order_weight": ORDER_WEIGHT,
                                   "l2_env": L2_ENV, "env": USE_ENV, "iso_weight": ISO_WEIGHT}, indent=1))
        print(table([(args.tag, summary)]))
        return 0
    if args.what == "fit":
        obj = Objective(data, np.nonzero(data.has_cand)[0], keys=structure_keys(recs))
        if args.weights_from:
            w = np.load(args.weights_from)
            val = obj.value_grad(w)[0]
        else:
            w, val = fit(obj, maxiter=args.maxiter)
            np.save(CACHE / f"fit-{args.tag}.npy", w)
        cv = json.loads(Path(args.cv_json).read_text()) if args.cv_json else None
        cos = obj.value_grad(w)[2][data.has_cand].mean()
        write_weights(w, cos, cv, int(data.has_cand.sum()), args.maxiter)
        print(f"objective {val:.4f}; weights written")
        return 0
    rows = []
    for group, names in scored.FEATURE_GROUPS.items():
        if args.groups and group not in args.groups:
            continue
        mask = np.array([f not in names for f in scored.FEATURES])
        summary, _ = cross_validate(recs, data, mask, maxiter=args.maxiter, tag=f"-{group}", folds_to_run=args.folds,
                                    subsample=args.subsample)
        rows.append((f"- {group}", summary))
    print(table(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
