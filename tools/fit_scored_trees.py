"""Boosted trees on top of the scored model's linear score: fitting and cross-validation.

Used by ``tools/fit_scored.py trees-cv`` and ``trees-fit``.  The linear weights are fitted first
(or taken as shipped); then each boosting round computes, on the fitted spectra, the derivative of
the fitting objective (``Objective``: cosine, identification, base-peak and peak-order terms) with
respect to every atom set's log-abundance offset (the sum over the set's candidates, its hydrogen-
shifted forms, of the derivative in their log-abundances), and fits one regression tree (LightGBM,
a custom objective) to it.  The tree's leaves take a bounded Newton-like step: the Hessian is replaced by
|gradient| + a floor, so a leaf moves its candidates' log-abundance by at most the learning rate
per round, and leaves of candidates that carry no abundance barely move.  The trees read an atom set's
named features and two summary numbers (``corvane_spectra._scored_trees.tree_inputs``).
"""
from __future__ import annotations

import json
import os
import sys
import time

import numpy as np

from corvane_spectra._scored_trees import Forest, N_SUMMARY

PARAMS = {
    "learning_rate": float(os.environ.get("CORVANE_TREES_LR", "0.1")),
    "num_leaves": int(os.environ.get("CORVANE_TREES_LEAVES", "31")),
    "max_depth": int(os.environ.get("CORVANE_TREES_DEPTH", "6")),
    "min_data_in_leaf": int(os.environ.get("CORVANE_TREES_MIN_LEAF", "500")),
    "lambda_l2": float(os.environ.get("CORVANE_TREES_L2", "10")),
    "min_sum_hessian_in_leaf": 1e-3,
    "max_bin": 63,
    "use_missing": False,
    "deterministic": True,
    "force_row_wise": True,
    "num_threads": 2,
    "seed": 20261209,
    "verbose": -1,
}
# Floor of the Hessian proxy, relative to the mean |gradient| of the round.
H_FLOOR = float(os.environ.get("CORVANE_TREES_HFLOOR", "0.1"))
# What a tree's row is: an atom set ("set": its hydrogen-shifted candidates share the term) or a
# candidate ("cand": the shift-dependent features and the candidate's own linear score are read, so
# a tree can tell M+. from [M-H]+).
ROWS = os.environ.get("CORVANE_TREES_ROWS", "cand")


def set_spectrum(d) -> np.ndarray:
    """The spectrum of every atom set of ``d``."""
    ss = np.zeros(d.nset, dtype=np.int64)
    ss[d.set_of] = cand_spectrum(d)
    return ss


def set_ls(d, wf) -> np.ndarray:
    """Every atom set's linear log-score (named features and the set's hashed columns; float32)."""
    w32 = wf.astype(np.float32)
    ls = d.F @ w32[:d.nfeat]                         # the cache holds the shift columns as 0
    if wf.size > d.nfeat and d.nenv:
        ls += d.Senv @ w32[d.nfeat:]
    return ls


def spectrum_max(d, ls, ss):
    m = np.full(d.nspec, -np.inf, dtype=np.float32)
    np.maximum.at(m, ss, ls)
    return m


def inputs(d, ls, lo, hi, ss, lsmax) -> np.ndarray:
    """The trees' input rows (atom sets lo..hi of ``d``; float32)."""
    X = np.empty((hi - lo, d.nfeat + N_SUMMARY), dtype=np.float32)
    X[:, :d.nfeat] = d.F[lo:hi]
    X[:, -2] = ls[lo:hi]
    X[:, -1] = ls[lo:hi] - lsmax[ss[lo:hi]]
    return X


def cand_spectrum(d) -> np.ndarray:
    """The spectrum of every candidate of ``d``."""
    rs = np.zeros(d.nrow, dtype=np.int64)
    rs[d.rows] = d.owner[d.bins]
    return rs


def cand_inputs(d, ls, lo, hi, rs, lsmax) -> np.ndarray:
    """The trees' input rows of candidates lo..hi: their set's named features with the
    shift-dependent columns filled in, their linear log-score and that less the spectrum's highest."""
    X = np.empty((hi - lo, d.nfeat + N_SUMMARY), dtype=np.float32)
    X[:, :d.nfeat] = d.F[d.set_of[lo:hi]]
    X[:, d.shift_cols] = d.E[lo:hi]
    X[:, -2] = ls[lo:hi]
    X[:, -1] = ls[lo:hi] - lsmax[rs[lo:hi]]
    return X


def row_ls(d, wf):
    return d.linear_log_scores(wf) if ROWS == "cand" else set_ls(d, wf)


def n_rows(d):
    return d.nrow if ROWS == "cand" else d.nset


def to_cand(d, off):
    """A per-row offset as the per-candidate offset ``Data`` adds."""
    return off if ROWS == "cand" else off[d.set_of]


def row_inputs(d, ls, lo, hi, ctx=None):
    if ctx is None:
        ctx = row_context(d, ls)
    return (cand_inputs if ROWS == "cand" else inputs)(d, ls, lo, hi, *ctx)


def row_context(d, ls):
    rs = cand_spectrum(d) if ROWS == "cand" else set_spectrum(d)
    return rs, spectrum_max(d, ls, rs)


def all_inputs(d, ls):
    return row_inputs(d, ls, 0, n_rows(d))


def predict_offset(booster, d, ls, start, n, chunk=400_000):
    """The trees start .. start+n of ``booster`` summed for every row of ``d``, in chunks."""
    ctx = row_context(d, ls)
    nr = n_rows(d)
    out = np.zeros(nr, dtype=np.float32)
    for lo in range(0, nr, chunk):
        hi = min(lo + chunk, nr)
        out[lo:hi] = booster.predict(row_inputs(d, ls, lo, hi, ctx), start_iteration=start, num_iteration=n,
                                     raw_score=True)
    return out


def boost(obj, w, n_rounds, on_round=None, log=None):
    """Fit ``n_rounds`` trees on the spectra of ``obj`` starting from the linear weights ``w``.

    ``on_round(booster, i)`` is called after every round.  Returns the booster.
    """
    import lightgbm as lgb

    d = obj.d
    wf = d.full_weights(w, obj.mask, obj.env)
    X = all_inputs(d, row_ls(d, wf))
    trace = []

    def fobj(preds, _ds):
        d.offset = to_cand(d, preds.astype(np.float32))
        val, _, cos = obj.value_grad(w)
        g = -obj.per_c.copy() if ROWS == "cand" else -np.bincount(d.set_of, obj.per_c, minlength=d.nset)
        scale = np.abs(g).mean()
        scale = scale if scale > 0 else 1.0
        g = g / scale
        h = np.abs(g) + H_FLOOR
        trace.append(val)
        if log is not None and len(trace) % 10 == 1:
            print(f"    round {len(trace) - 1}: objective {val:.5f}, cosine {float(obj.wspec @ cos):.4f}",
                  file=log, flush=True)
        return g, h

    params = dict(PARAMS, objective="none")
    ds = lgb.Dataset(X, free_raw_data=True, params={"max_bin": PARAMS["max_bin"], "verbose": -1})
    ds.construct()
    del X
    booster = lgb.Booster(params=params, train_set=ds)
    for i in range(n_rounds):
        booster.update(fobj=fobj)
        if on_round is not None:
            on_round(booster, i + 1)
    d.offset = None
    booster.trace = trace
    return booster


def forest_of(booster, n_trees=None) -> Forest:
    return Forest.from_lightgbm(booster.dump_model(num_iteration=n_trees or -1), n_trees, ROWS)


def cross_validate_trees(fs, recs, data, maxiter, n_rounds, checkpoints, tag, folds_to_run=None, subsample=None):
    """Per fold: the linear fit as ``fs.cross_validate`` does it (figures at 0 trees), then
    ``n_rounds`` of boosting on the same fitted spectra, with held-out figures at ``checkpoints``."""
    folds = fs.fold_of(recs)
    per_fold = {c: [] for c in [0] + list(checkpoints)}
    for k in (range(fs.K_FOLDS) if folds_to_run is None else folds_to_run):
        t0 = time.time()
        train_idx = np.nonzero((folds != k) & data.has_cand)[0]
        if subsample and subsample < train_idx.size:
            train_idx = np.sort(np.random.default_rng(fs.FOLD_SEED + k).choice(train_idx, subsample, replace=False))
        held_idx = np.nonzero(folds == k)[0]
        train = data.subset(train_idx)
        obj = fs.Objective(train, np.arange(train.nspec))
        w, _ = fs.fit(obj, maxiter=maxiter)
        wf = data.full_weights(w, None, fs.USE_ENV and bool(data.nenv))
        ls_all = row_ls(data, wf)

        np.save(fs.CACHE / f"cvw-{tag}-fold{k}.npy", wf)

        def record(n, offset):
            if offset is not None:      # kept for stages fitted on these held-out predictions (fit_basepeak.py)
                np.save(fs.CACHE / f"cvoff-{tag}-fold{k}-t{n}.npy", offset)
            data.offset = offset
            f = fs.fold_figures(recs, data, wf, held_idx)
            data.offset = None
            f.update(fold=k, trees=n, seconds=time.time() - t0)
            per_fold[n].append(f)
            print(f"  {tag} fold {k} trees {n}: " + json.dumps({a: round(b, 4) for a, b in f.items()}),
                  file=sys.stderr, flush=True)

        record(0, None)
        state = {"off": np.zeros(n_rows(data), dtype=np.float32), "done": 0}

        def on_round(booster, i):
            if i in checkpoints:
                state["off"] += predict_offset(booster, data, ls_all, state["done"], i - state["done"])
                state["done"] = i
                record(i, to_cand(data, state["off"]))

        booster = boost(obj, w, n_rounds, on_round, log=sys.stderr)
        # The numpy forest reproduces LightGBM's sums (a sample of rows).
        rng = np.random.default_rng(k)
        Xs = all_inputs(train, row_ls(train, train.full_weights(w, None, obj.env)))
        Xs = Xs[rng.choice(Xs.shape[0], min(20000, Xs.shape[0]), replace=False)]
        diff = np.abs(forest_of(booster)(Xs) - booster.predict(Xs, raw_score=True)).max()
        print(f"  fold {k}: numpy forest vs LightGBM max |diff| {diff:.2e}", file=sys.stderr, flush=True)
        del train, obj, booster, ls_all, state
    return {n: (fs.summarise(v), v) for n, v in per_fold.items() if v}


def paired(per_fold_a, per_fold_b, keys):
    """Mean +- SE of the per-fold differences b - a over the folds both have."""
    fa = {f["fold"]: f for f in per_fold_a}
    out = {}
    for key in keys:
        diffs = np.array([f[key] - fa[f["fold"]][key] for f in per_fold_b if f["fold"] in fa])
        out[key] = (float(diffs.mean()), float(diffs.std(ddof=1) / np.sqrt(diffs.size)) if diffs.size > 1 else 0.0)
    return out


def main(fs, args, recs, data):
    """``trees-cv``: cross-validated figures at tree counts; ``trees-fit``: the shipped trees."""
    from pathlib import Path

    checkpoints = sorted(set(args.trees_at or [args.trees]))
    n_rounds = max(checkpoints)
    if args.what == "trees-cv":
        res = cross_validate_trees(fs, recs, data, args.maxiter, n_rounds, checkpoints, args.tag, args.folds,
                                   args.subsample)
        out = fs.CACHE / f"cv-{args.tag}.json"
        out.write_text(json.dumps({str(n): {"summary": s, "folds": v} for n, (s, v) in res.items()}
                                  | {"maxiter": args.maxiter, "subsample": args.subsample, "params": PARAMS,
                                     "h_floor": H_FLOOR, "rows": ROWS}, indent=1, default=str))
        rows = [(f"{n} trees", s) for n, (s, _) in sorted(res.items())]
        print(fs.table(rows))
        base = res[0][1]
        for n, (_, v) in sorted(res.items()):
            if n:
                dd = paired(base, v, fs.FIGS[:-1])
                print(f"{n} trees - linear: " + ", ".join(f"{k} {m:+.4f} ± {se:.4f}" for k, (m, se) in dd.items()))
        return 0
    # trees-fit: boost on every fitted spectrum from the shipped linear weights (or, with
    # --from-saved, take the first --trees trees of an earlier such fit, CACHE/trees-TAG.txt).
    import lightgbm as lgb

    from corvane_spectra import scored

    w = scored._weights()
    obj = fs.Objective(data, np.nonzero(data.has_cand)[0])
    t0 = time.time()
    saved = fs.CACHE / f"trees-{args.tag}.txt"

    def save(booster, i):
        # Every 10 rounds the trees so far are kept, so a long fit can stop early (--from-saved).
        if i % 10 == 0 or i == n_rounds:
            booster.save_model(str(saved))
            print(f"    {i} trees saved, {time.time() - t0:.0f} s", file=sys.stderr, flush=True)

    if args.from_saved:
        booster = lgb.Booster(model_file=str(saved))
        if booster.num_trees() < n_rounds:
            raise SystemExit(f"{saved} holds {booster.num_trees()} trees, fewer than {n_rounds}")
    else:
        booster = boost(obj, w, n_rounds, on_round=save, log=sys.stderr)
    forest = forest_of(booster, n_rounds)
    # The objective on the fitted spectra without and with the trees.
    vals = []
    for off in (None, to_cand(data, predict_offset(booster, data, row_ls(data, w), 0, n_rounds))):
        data.offset = off
        val, _, cos = obj.value_grad(w)
        vals.append((val, float(cos[data.has_cand].mean())))
    data.offset = None
    cv = json.loads(Path(args.cv_json).read_text()) if args.cv_json else None
    cvtxt = "not run"
    if cv and str(n_rounds) in cv:
        cvtxt = ", ".join(f"{k} {m:.3f} +- {se:.3f}" for k, (m, se) in cv[str(n_rounds)]["summary"].items())
    meta = (f"Written by tools/fit_scored.py trees-fit on {int(data.has_cand.sum())} spectra: {n_rounds} trees "
            f"boosted on the fitting objective from the shipped linear weights, one row per "
            f"{'candidate' if ROWS == 'cand' else 'atom set'}; LightGBM parameters "
            f"{json.dumps({k: v for k, v in PARAMS.items() if k not in ('verbose', 'num_threads')})}, Hessian floor "
            f"{H_FLOOR}. Objective on the fitted spectra {vals[0][0]:.4f} without the trees, {vals[1][0]:.4f} "
            f"with them (mean cosine {vals[0][1]:.4f}, {vals[1][1]:.4f}). Cross-validated figures (each fold "
            f"fitted on 1,000 spectra of its training folds): {cvtxt}.")
    out = fs.ROOT / "corvane_spectra" / "_scored_trees.npz"
    forest.save(out, meta)
    print(meta)
    print(f"{time.time() - t0:.0f} s; trees written to {out}")
    return 0
