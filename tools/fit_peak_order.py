"""Fit and cross-validate the scored model's peak-order stage (``corvane_spectra._peak_order``).

    python tools/fit_scored.py trees-cv --tag full --maxiter 60 --trees-at 100   # each fold on all its training spectra
    python tools/fit_peak_order.py cv-matched --tag full   # held-out figures with and without the stage
    python tools/fit_peak_order.py fit --tag full          # write corvane_spectra/_peak_order.npz

    python tools/fit_scored.py trees-cv --tag bp --subsample 1000 --maxiter 60 --trees-at 100
    python tools/fit_peak_order.py cv --tag bp             # the same from folds fitted on 1,000 spectra

The stage is fitted on predictions of spectra the intensity model was not fitted on.  ``trees-cv``
fits each fold's linear weights and trees on 1,000 spectra of its training folds and saves them
(CACHE/cvw-TAG-foldK.npy, cvoff-TAG-foldK-t100.npy); the other ~3,400 training spectra of the fold
are then predicted out of sample.  A row is one of the peaks a spectrum's ranking reads (those of
its TOP strongest predicted peaks whose main contribution is an ion at its nominal m/z); its relevance is
its height in the measured spectrum (``Peaks.relevance``: the base peak DEPTH, any other peak its
intensity relative to the base peak times DEPTH - 1, rounded); LightGBM's lambdarank fits the ranker.

``cv``: for each fold, the ranker is fitted on those ~3,400 spectra and measured on the held-out
fold (the fold's own library, as everywhere in tools/fit_scored.py).  The isomer figures compare a
held-out spectrum with the predictions of other structures, most of them training spectra: a
training spectrum's peaks are ordered by a ranker fitted without it (the ~3,400 are split in two
halves, each ordered by the other half's ranker), so no prediction is ordered by a ranker that saw
its own measured spectrum.  ``fit``: the shipped ranker is fitted on every spectrum's held-out
prediction (each from the fold that held it out).

``cv-matched`` (folds fitted on all their training spectra, so no training spectrum is left out of
sample): fold k's held-out spectra are ordered by a ranker fitted on the held-out predictions of the
other folds, each by its own fold's model, as the shipped ranker is fitted; in the isomer pool, the
predictions of a fold-j spectrum are ordered by a ranker fitted without folds j and k, so no
prediction is ordered by a ranker that saw its measured spectrum.  It also reads the textbook list
(tools/textbook_ei.py) on the compounds of it that are in the data, each from the fold that holds it
out: the list as it stands for compounds the model was never fitted on.
"""
from __future__ import annotations

import argparse
import json
import re
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import fit_scored as fs  # noqa: E402

from corvane_spectra import _peak_order as po  # noqa: E402
from corvane_spectra import scored  # noqa: E402
from corvane_spectra._scored_trees import Forest  # noqa: E402

PARAMS = {
    "objective": "lambdarank",
    "lambdarank_truncation_level": 32,
    # NDCG gain of each relevance: nearly linear, so that the order of every peak counts (the
    # cosine reads them all), with a step at the base peak, the one a chemist reads first.
    "label_gain": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 16, 80],
    "learning_rate": 0.1,
    "num_leaves": 31,
    "max_depth": 6,
    "min_data_in_leaf": 20,
    "lambda_l2": 1.0,
    "feature_fraction": 0.8,
    "bagging_fraction": 1.0,
    "max_bin": 63,
    "use_missing": False,
    "deterministic": True,
    "force_row_wise": True,
    "num_threads": 1,
    "verbose": -1,
}
ROUNDS = 600
# Spectra of molecules of at most SMALL_HEAVY heavy atoms count SMALL_WEIGHT times in the ranker's
# loss: the compounds a chemist checks a predictor on first are small, and a third of the measured
# spectra are of molecules larger than the largest of them.
SMALL_HEAVY = 12
SMALL_WEIGHT = 3.0
# Relevance of the base peak; any other peak's is its measured intensity relative to the base peak
# times DEPTH - 1, rounded (``Peaks.relevance``).
DEPTH = 16
# The shipped ranker is the mean of rankers with these seeds (``Ensemble``).
SEEDS = (1, 2, 3, 4)


class Peaks:
    """The peaks to rank of every spectrum (``_peak_order.molecule_rows``'s, from the flat arrays)."""

    def __init__(self, recs, data, a, s):
        c = s[data.rows] * data.pat
        # The main contribution of every bin (the first of its largest entries), and every
        # candidate's nominal m/z (its lowest entry: every element's lightest isotope is its commonest).
        order = np.lexsort((-c, data.bins))
        first = np.concatenate([[True], data.bins[order][1:] != data.bins[order][:-1]])
        dom = np.full(data.nbin, -1, dtype=np.int64)
        dom[data.bins[order[first]]] = order[first]
        low = np.full(data.nrow, np.iinfo(np.int32).max, dtype=np.int64)
        np.minimum.at(low, data.rows, data.bins)
        self.low = low
        # Every spectrum's molecular ion: the unshifted candidate of its molecular-ion atom set.
        mi = np.flatnonzero((data.F[data.set_of, scored.FEATURES.index("molecular_ion")] > 0)
                            & ~data.E[:, :4].any(axis=1))
        mol_mz = np.full(data.nspec, -1, dtype=np.int64)
        mol_mz[data.owner[low[mi]]] = low[mi] - data.start[data.owner[low[mi]]]
        mols = []
        spectrum, rows_x, h_all, mz_all, share_all, bins_all, mheight = [], [], [], [], [], [], []
        for k in range(data.nspec):
            if not data.has_cand[k]:
                continue
            lo = data.start[k]
            hi = data.start[k + 1] if k + 1 < data.nspec else data.nbin
            seg = a[lo:hi]
            if seg.max() <= 0:
                continue
            h = np.sqrt(seg)
            h = 100 * h / h.max()
            top = np.argsort(-seg, kind="stable")[:po.TOP]
            top = top[h[top] >= scored.MIN_HEIGHT]
            e = dom[lo + top]
            nominal = low[data.rows[e]] == lo + top
            if nominal.sum() < 2:
                continue
            top, e = top[nominal], e[nominal]
            spectrum.append(np.full(top.size, k))
            rows_x.append(data.rows[e])
            h_all.append(h[top])
            mz_all.append(top)
            share_all.append(c[e] / seg[top])
            bins_all.append(lo + top)
            m = int(mol_mz[k])
            mols.append((m, 100 * np.sqrt(seg[m] / seg.max()) if 0 <= m < seg.size else 0.0, h))
            r = recs[k]
            # Each peak's measured intensity relative to the measured base peak.
            measured = np.zeros(seg.size)
            inside = r["mz"] < seg.size
            measured[r["mz"][inside]] = r["intensity"][inside] / r["intensity"].max()
            mheight.append(measured[top])
        self.spectrum = np.concatenate(spectrum)
        self.bins = np.concatenate(bins_all)
        self.mheight = np.concatenate(mheight)
        rows = np.concatenate(rows_x)
        X = data.F[data.set_of[rows]].astype(np.float64)
        X[:, data.shift_cols] = data.E[rows]
        h, mz, share = np.concatenate(h_all), np.concatenate(mz_all), np.concatenate(share_all)
        starts = np.concatenate([[0], np.nonzero(self.spectrum[1:] != self.spectrum[:-1])[0] + 1])
        self.starts = starts
        self.Z = np.vstack([po.peak_rows(X[a_:b_], h[a_:b_], mz[a_:b_], share[a_:b_], *mol)
                            for a_, b_, mol in zip(starts, np.append(starts[1:], self.spectrum.size), mols)])
        self.group = np.diff(np.append(starts, self.spectrum.size))
        heavy = np.array([heavy_atoms(recs[k].get("smiles", "")) for k in self.spectrum[starts]])
        self.weight = np.repeat(np.where(heavy <= SMALL_HEAVY, SMALL_WEIGHT, 1.0), self.group)

    def rows_of(self, spectra):
        """Which rows belong to ``spectra``, and the group sizes of those rows."""
        keep = np.isin(self.spectrum, spectra)
        return keep, self.group[keep[self.starts]]

    def relevance(self):
        """Each row's relevance: DEPTH for the measured base peak, else the peak's measured intensity
        relative to the base peak times DEPTH - 1, rounded.  Two peaks measured at 100 and 95 are
        close in relevance, as they are in a chemist's eye (and from one instrument to the next); a
        rank would set them as far apart as the second peak and the sixteenth."""
        near = np.minimum(DEPTH - 1, np.round((DEPTH - 1) * self.mheight))
        return np.where(self.mheight >= 1.0, DEPTH, near).astype(np.float64)

    def rescaled(self, data, a, s, scores):
        """The bin abundances with every spectrum's ranked ions scaled into the order of ``scores``
        (``_peak_order.adjust``)."""
        f = np.ones(data.nbin)
        for s0, g in zip(self.starts, self.group):
            top = self.bins[s0:s0 + g]
            f[top] = po.factors(a, top, scores[s0:s0 + g])[top]
        s2 = s * f[self.low]
        return np.bincount(data.bins, s2[data.rows] * data.pat, minlength=data.nbin)


def heavy_atoms(smiles: str) -> int:
    """Heavy atoms of the molecule (a large number for a SMILES RDKit does not read)."""
    from rdkit import Chem

    mol = Chem.MolFromSmiles(smiles) if smiles else None
    return mol.GetNumHeavyAtoms() if mol is not None else 1 << 20


class Ensemble:
    """The mean of rankers fitted alike but for their seeds (each tree sees another draw of the
    columns): one ranker's order of two close peaks flips with the draw, the mean's far less."""

    def __init__(self, boosters):
        self.boosters = boosters

    def predict(self, Z, raw_score=True):
        return np.mean([b.predict(Z, raw_score=raw_score) for b in self.boosters], axis=0)

    def dump_model(self):
        """One LightGBM dump of every member's trees, each leaf value divided by the number of members."""
        dumps = [b.dump_model() for b in self.boosters]
        n = len(dumps)

        def scaled(node):
            node = dict(node)
            if "leaf_value" in node:
                node["leaf_value"] = node["leaf_value"] / n
            for side in ("left_child", "right_child"):
                if side in node:
                    node[side] = scaled(node[side])
            return node

        trees = [dict(t, tree_structure=scaled(t["tree_structure"])) for d in dumps for t in d["tree_info"]]
        return dict(dumps[0], tree_info=trees)


def train(Z, y, groups, weight, rounds=ROUNDS):
    """A ranker of each spectrum's peaks (``groups``: the number of rows of each, in order;
    ``weight``: each row's, its spectrum's weight): the ``Ensemble`` of one LightGBM ranker per seed
    of SEEDS."""
    import lightgbm as lgb

    ds = lgb.Dataset(Z, y, group=groups, weight=weight, params={"max_bin": PARAMS["max_bin"], "verbose": -1})
    return Ensemble([lgb.train(dict(PARAMS, seed=seed), ds, num_boost_round=rounds) for seed in SEEDS])


def fold_predictions(data, tag, k, n_trees=100):
    wf = np.load(fs.CACHE / f"cvw-{tag}-fold{k}.npy")
    data.offset = np.load(fs.CACHE / f"cvoff-{tag}-fold{k}-t{n_trees}.npy")
    a, s = data.abundances(wf)
    data.offset = None
    return a, s


KEYS = ("base_first", "base_top3", "cosine", "id_at_1", "id_at_10", "iso_top1", "iso_top3", "small_base_first")


def small_base_first(recs, data, a, held):
    """Share of the held-out spectra of molecules of at most SMALL_HEAVY heavy atoms whose measured
    base peak is the predicted strongest peak."""
    small = [k for k in held if heavy_atoms(recs[k].get("smiles", "")) <= SMALL_HEAVY and data.has_cand[k]]
    hit = 0
    for k, (pm, pi) in zip(small, data.predictions(a, small)):
        r = recs[k]
        hit += bool(pm.size) and pm[np.argmax(pi)] == r["mz"][np.argmax(r["intensity"])]
    return hit / max(len(small), 1)


def textbook_records(recs):
    """{textbook compound: (its records in the data, its textbook base peak)}, by the InChIKey
    skeleton (``isomers.structure_key``); isotope-labelled records (a bracket atom with a mass, as
    in [2H]) are left out: a d8 spectrum has another base peak."""
    from corvane_spectra.isomers import structure_key
    from textbook_ei import TEXTBOOK

    by_key = {}
    for i, r in enumerate(recs):
        smiles = r.get("smiles", "")
        key = None if re.search(r"\[\d", smiles) else structure_key(smiles)
        if key:
            by_key.setdefault(key[1], []).append(i)
    out = {}
    for name, smiles, base in TEXTBOOK:
        got = by_key.get((structure_key(smiles) or ("", ""))[1])
        if got:
            out[name] = (got, base)
    return out


def textbook_held_out(data, a, held, textbook):
    """{compound: share of its held-out records whose predicted strongest peak is the textbook base
    peak} over the textbook compounds among ``held``: the list read on compounds never fitted on."""
    held = set(int(k) for k in held)
    out = {}
    for name, (idx, base) in textbook.items():
        mine = [k for k in idx if k in held and data.has_cand[k]]
        if mine:
            hits = [bool(pm.size) and int(pm[np.argmax(pi)]) == base for pm, pi in data.predictions(a, mine)]
            out[name] = float(np.mean(hits))
    return out


def fold_figures(recs, data, k, a, s, P, scores, held, t0, textbook=None):
    """Fold k's held-out figures without and with its peaks scaled into the order of ``scores``."""
    base = fs.figures_of(recs, data, a, held)
    a2 = P.rescaled(data, a, s, scores)
    f = fs.figures_of(recs, data, a2, held)
    base["small_base_first"] = small_base_first(recs, data, a, held)
    f["small_base_first"] = small_base_first(recs, data, a2, held)
    print(f"  fold {k}: without the stage " + json.dumps({x: round(base[x], 4) for x in KEYS})
          + "; with it " + ", ".join(f"{x} {f[x] - base[x]:+.4f}" for x in KEYS), file=sys.stderr, flush=True)
    out = {"fold": k, "none": base, "stage": f, "seconds": time.time() - t0}
    if textbook:
        out["textbook_held_out"] = textbook_held_out(data, a2, held, textbook)
    return out


def cross_validate(recs, data, tag, folds_to_run):
    folds = fs.fold_of(recs)
    out = []
    for k in folds_to_run:
        t0 = time.time()
        train_idx = np.nonzero((folds != k) & data.has_cand)[0]
        fitted = np.sort(np.random.default_rng(fs.FOLD_SEED + k).choice(train_idx, 1000, replace=False))
        unseen = np.setdiff1d(train_idx, fitted)
        half = np.random.default_rng(fs.FOLD_SEED + 100 + k).permutation(unseen.size) < unseen.size // 2
        held = np.nonzero(folds == k)[0]
        a, s = fold_predictions(data, tag, k)
        P = Peaks(recs, data, a, s)
        y = P.relevance()
        scores = {}
        for name, spectra in (("all", unseen), ("A", unseen[half]), ("B", unseen[~half])):
            rows, groups = P.rows_of(spectra)
            booster = train(P.Z[rows], y[rows], groups, P.weight[rows])
            scores[name] = booster.predict(P.Z, raw_score=True)
        sc = scores["all"].copy()
        in_a, in_b = P.rows_of(unseen[half])[0], P.rows_of(unseen[~half])[0]
        sc[in_a], sc[in_b] = scores["B"][in_a], scores["A"][in_b]
        out.append(fold_figures(recs, data, k, a, s, P, sc, held, t0))
    return out


def cross_validate_matched(recs, data, tag, folds_to_run, rounds=ROUNDS):
    """``cv-matched``: see the module's text."""
    folds = fs.fold_of(recs)
    textbook = textbook_records(recs)
    preds, held_rows = {}, {}
    for j in range(fs.K_FOLDS):
        a, s = fold_predictions(data, tag, j)
        P = Peaks(recs, data, a, s)
        rows, g = P.rows_of(np.nonzero(folds == j)[0])
        preds[j] = (a, s, P)
        held_rows[j] = (P.Z[rows], P.relevance()[rows], g, P.weight[rows])
    rankers = {}

    def ranker(without):
        key = frozenset(without)
        if key not in rankers:
            use = [j for j in range(fs.K_FOLDS) if j not in key]
            rankers[key] = train(np.vstack([held_rows[j][0] for j in use]),
                                 np.concatenate([held_rows[j][1] for j in use]),
                                 np.concatenate([held_rows[j][2] for j in use]),
                                 np.concatenate([held_rows[j][3] for j in use]), rounds)
        return rankers[key]

    out = []
    for k in folds_to_run:
        t0 = time.time()
        a, s, P = preds[k]
        sc = ranker({k}).predict(P.Z, raw_score=True)
        for j in range(fs.K_FOLDS):
            if j != k:
                rows = P.rows_of(np.nonzero(folds == j)[0])[0]
                sc[rows] = ranker({k, j}).predict(P.Z[rows], raw_score=True)
        held = np.nonzero(folds == k)[0]
        out.append(fold_figures(recs, data, k, a, s, P, sc, held, t0, textbook))
    return out


def summary(per_fold):
    se = (lambda v: v.std(ddof=1) / np.sqrt(v.size) if v.size > 1 else 0.0)
    lines = []
    for key in ("none", "stage"):
        vals = {x: np.array([f[key][x] for f in per_fold]) for x in KEYS}
        lines.append(f"{key:>6}: " + ", ".join(f"{x} {v.mean():.4f} ± {se(v):.4f}" for x, v in vals.items()))
    diffs = {x: np.array([f["stage"][x] - f["none"][x] for f in per_fold]) for x in KEYS}
    lines.append("paired: " + ", ".join(f"{x} {v.mean():+.4f} ± {se(v):.4f} ({int((v > 0).sum())}/{v.size} up)"
                                          for x, v in diffs.items()))
    tb = {name: v for f in per_fold for name, v in f.get("textbook_held_out", {}).items()}
    if tb:
        lines.append(f"textbook compounds held out: base peak first for {sum(tb.values()):.1f} of {len(tb)}; missed: "
                     + ", ".join(sorted(name for name, v in tb.items() if v < 1)))
    return "\n".join(lines)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=("cv", "cv-matched", "fit"))
    ap.add_argument("--tag", default="bp", help="the trees-cv run whose fold models predict (CACHE/cvw-TAG-*)")
    ap.add_argument("--folds", type=int, nargs="*", default=list(range(fs.K_FOLDS)))
    ap.add_argument("--rounds", type=int, default=ROUNDS, help=f"trees of the ranker (default {ROUNDS})")
    ap.add_argument("--learning-rate", type=float, default=PARAMS["learning_rate"],
                    help=f"the ranker's learning rate (default {PARAMS['learning_rate']})")
    args = ap.parse_args(argv)
    PARAMS["learning_rate"] = args.learning_rate
    # Figures of settings other than the defaults are kept apart.
    suffix = "" if (args.rounds, args.learning_rate) == (ROUNDS, 0.1) else f"-r{args.rounds}-lr{args.learning_rate:g}"
    cv = fs.CACHE / f"po-cv-{args.tag}{suffix}.json"
    t0 = time.time()
    recs, data = fs.load()
    print(f"{len(recs)} spectra ready in {time.time() - t0:.0f} s", file=sys.stderr, flush=True)
    if args.what in ("cv", "cv-matched"):
        if args.what == "cv":
            per_fold = cross_validate(recs, data, args.tag, args.folds)
        else:
            per_fold = cross_validate_matched(recs, data, args.tag, args.folds, args.rounds)
        cv.write_text(json.dumps(per_fold, indent=1, default=float))
        print(summary(per_fold))
        return 0
    # fit: every spectrum's held-out prediction, each from the fold that held it out.
    folds = fs.fold_of(recs)
    Zs, ys, gs, ws = [], [], [], []
    for k in range(fs.K_FOLDS):
        a, s = fold_predictions(data, args.tag, k)
        P = Peaks(recs, data, a, s)
        keep, g = P.rows_of(np.nonzero(folds == k)[0])
        Zs.append(P.Z[keep])
        ys.append(P.relevance()[keep])
        gs.append(g)
        ws.append(P.weight[keep])
    Z, y, g = np.vstack(Zs), np.concatenate(ys), np.concatenate(gs)
    booster = train(Z, y, g, np.concatenate(ws), args.rounds)
    forest = Forest.from_lightgbm(booster.dump_model(), None, "peak")
    check = np.abs(forest(Z[:5000]) - booster.predict(Z[:5000], raw_score=True)).max()
    cvtxt = ""
    if cv.exists():
        cvtxt = " Cross-validated (held-out folds, with - without the stage): " + summary(json.loads(cv.read_text())) \
            .splitlines()[-1].removeprefix("paired: ") + "."
    meta = (f"Written by tools/fit_peak_order.py fit: the mean of {len(SEEDS)} LightGBM rankers (lambdarank, seeds "
            f"{', '.join(map(str, SEEDS))}) of {args.rounds} trees each on the "
            f"{po.TOP} strongest predicted peaks of {g.size} spectra ({y.size} rows; relevance the peak's "
            f"measured intensity on a scale of {DEPTH - 1}, the base peak {DEPTH}), each spectrum predicted by "
            f"the cross-validation fold that held it out (trees-cv --tag {args.tag}), the spectra of molecules of "
            f"at most {SMALL_HEAVY} heavy atoms weighted {SMALL_WEIGHT:g}; parameters "
            f"{json.dumps({k: v for k, v in PARAMS.items() if k not in ('verbose', 'num_threads', 'seed')})}.{cvtxt}")
    out = fs.ROOT / "corvane_spectra" / "_peak_order.npz"
    po.PeakOrderModel(forest, meta).save(out)
    print(meta)
    print(f"numpy forest vs LightGBM max |diff| {check:.2e}; written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
