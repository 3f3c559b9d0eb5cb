"""Choose and fit the identification score against predicted libraries, by 5-fold cross-validation.

    python tools/fit_similarity.py folds      # per-fold refits of the scored weights, held-out predictions saved
    python tools/fit_similarity.py cv         # the score's terms, fitted on four folds, measured on the fifth
    python tools/fit_similarity.py fit        # fit on all five folds' held-out predictions, write the weights
    python tools/fit_similarity.py isomers    # isomer ranking (as fit_scored.py reports it) by cosine and by the score

Identification here is what ``corvane evaluate`` measures: each measured
spectrum of a library of about 1,000 compounds is compared with the scored
predictions of all of them, and the rank of its own structure counts
(recall@k: the share of queries ranked within the first k).

Folds are those of tools/fit_scored.py (compounds grouped by InChIKey
skeleton, seed 20261209, 5 folds).  ``folds`` refits the scored model once per
fold exactly as ``fit_scored.py cv --subsample 1000 --maxiter 60`` does (the
shipped weights were fitted on every spectrum, so their predictions of a
fold are not held out) and saves each fold's held-out predictions: every
spectrum of the data then has a prediction from weights that never saw it.
Each fold is its own library.

``cv``: for each fold k the score's weights are fitted on the libraries of the
other four folds (softmax loss of the true structure among its library, L2
penalty) and measured on fold k.  Figures are means over folds with standard
errors; differences between variants are paired over folds.

The candidate cache of fit_scored.py is read, never written; this tool keeps
its own files under CORVANE_SIMILARITY_CACHE (default /tmp/corvane_similarity).
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
import fit_scored  # noqa: E402
from ei_figures import identification_ranks  # noqa: E402

OUT = Path(os.environ.get("CORVANE_SIMILARITY_CACHE", "/tmp/corvane_similarity"))
SUBSAMPLE = 1000
MAXITER = 60


def _pred_path(k):
    return OUT / f"heldout-fold{k}.npz"


def run_folds(recs, data, folds_to_run):
    """Refit the scored weights without fold k, save fold k's held-out predictions."""
    OUT.mkdir(parents=True, exist_ok=True)
    folds = fit_scored.fold_of(recs)
    for k in folds_to_run:
        t0 = time.time()
        train_idx = np.nonzero((folds != k) & data.has_cand)[0]
        train_idx = np.sort(np.random.default_rng(fit_scored.FOLD_SEED + k).choice(train_idx, SUBSAMPLE,
                                                                                    replace=False))
        held = np.nonzero(folds == k)[0]
        train = data.subset(train_idx)
        w, _ = fit_scored.fit(fit_scored.Objective(train, np.arange(train.nspec)), maxiter=MAXITER)
        del train
        a, _ = data.abundances(data.full_weights(w, None, fit_scored.USE_ENV and bool(data.nenv)))
        preds = data.predictions(a, held)
        ranks = identification_ranks(preds, [(recs[i]["mz"], recs[i]["intensity"]) for i in held], score="cosine")
        off = np.cumsum([0] + [p[0].size for p in preds])
        tmp = OUT / f"heldout-fold{k}.tmp.npz"
        np.savez(tmp, held=held, weights=w, off=off,
                 mz=np.concatenate([p[0] for p in preds]).astype(np.int64),
                 h=np.concatenate([p[1] for p in preds]).astype(np.float64))
        tmp.replace(_pred_path(k))
        print(f"fold {k}: {held.size} held out, cosine id@1 {np.mean(ranks < 1):.4f} id@10 {np.mean(ranks < 10):.4f}"
              f" ({time.time() - t0:.0f} s)", file=sys.stderr, flush=True)


def load_fold(k):
    with np.load(_pred_path(k)) as z:
        held, off, mz, h = z["held"], z["off"], z["mz"], z["h"]
    return held, [(mz[off[i]:off[i + 1]], h[off[i]:off[i + 1]]) for i in range(held.size)]


def _idscore():
    """corvane_spectra/_idscore.py of this source tree (plain numpy), the terms the package computes."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("_idscore", ROOT / "corvane_spectra" / "_idscore.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


def fold_terms(recs, k, names):
    """Terms of every (query, reference) pair of fold k's library: (n, n, len(names)) float32, cached."""
    ids = _idscore()
    path = OUT / f"terms-fold{k}.npz"
    if path.exists():
        with np.load(path) as z:
            have = list(z["names"])
            if all(n in have for n in names):
                return z["T"][:, :, [have.index(n) for n in names]]
    held, preds = load_fold(k)
    refs = ids.References(preds)
    all_names = ids.TERM_NAMES
    T = np.zeros((held.size, held.size, len(all_names)), dtype=np.float32)
    t0 = time.time()
    for j, i in enumerate(held):
        T[j] = refs.terms(recs[i]["mz"], recs[i]["intensity"], all_names)
    print(f"  terms of fold {k}: {time.time() - t0:.0f} s", file=sys.stderr, flush=True)
    tmp = OUT / f"terms-fold{k}.tmp.npz"
    np.savez(tmp, T=T, names=np.array(all_names))
    tmp.replace(path)
    return T[:, :, [list(all_names).index(n) for n in names]]


def softmax_loss(w, Ts, l2):
    """Mean over queries of -log softmax(true) of the linear scores, + l2 |w|^2, and its gradient."""
    val, grad, nq = 0.0, np.zeros_like(w), 0
    for T in Ts:
        n = T.shape[0]
        S = T @ w.astype(np.float32)
        S = S.astype(np.float64)
        S -= S.max(axis=1, keepdims=True)
        P = np.exp(S)
        Z = P.sum(axis=1)
        d = np.arange(n)
        val += float(np.sum(np.log(Z) - S[d, d]))
        P /= Z[:, None]
        grad += np.einsum("qr,qrt->t", P, T, dtype=np.float64) - T[d, d].sum(axis=0)
        nq += n
    return val / nq + l2 * w @ w, grad / nq + 2 * l2 * w


def fit_weights(Ts, l2, w0=None):
    from scipy.optimize import minimize

    nt = Ts[0].shape[2]
    w0 = np.full(nt, 10.0) if w0 is None else w0
    res = minimize(softmax_loss, w0, args=(Ts, l2), jac=True, method="L-BFGS-B", options={"maxiter": 500})
    return res.x


def ranks_of(T, w):
    S = (T @ w.astype(np.float32)).astype(np.float64)
    d = np.arange(T.shape[0])
    return np.count_nonzero(S > S[d, d][:, None] + 1e-9, axis=1)


def cv_variants(recs, variants, l2):
    """{variant: per-fold {id_at_1, id_at_10, weights}}; a variant is a tuple of term names (None: plain cosine)."""
    K = fit_scored.K_FOLDS
    names = list(_idscore().TERM_NAMES)
    Ts = [fold_terms(recs, k, names) for k in range(K)]
    out = {}
    for label, terms in variants:
        cols = [names.index(t) for t in terms]
        per = []
        for k in range(K):
            if label == "cosine":
                w = np.array([1.0])
            else:
                w = fit_weights([Ts[j][:, :, cols] for j in range(K) if j != k], l2)
            r = ranks_of(Ts[k][:, :, cols], w)
            per.append({"id_at_1": float(np.mean(r < 1)), "id_at_10": float(np.mean(r < 10)),
                        "mrr": float(np.mean(1.0 / (1 + r))), "weights": w.tolist()})
        out[label] = {"terms": list(terms), "folds": per}
        s = _summ(per)
        print(f"{label:<28} id@1 {s['id_at_1'][0]:.4f} ± {s['id_at_1'][1]:.4f}  id@10 {s['id_at_10'][0]:.4f} ± "
              f"{s['id_at_10'][1]:.4f}  mrr {s['mrr'][0]:.4f}", flush=True)
    return out


def _summ(per, keys=("id_at_1", "id_at_10", "mrr")):
    out = {}
    for key in keys:
        v = np.array([f[key] for f in per])
        out[key] = (float(v.mean()), float(v.std(ddof=1) / np.sqrt(v.size)))
    return out


def paired(a, b, key):
    d = np.array([x[key] - y[key] for x, y in zip(a, b)])
    return float(d.mean()), float(d.std(ddof=1) / np.sqrt(d.size))


def isomer_cv(recs, data):
    """Isomer top-1 of each fold's held-out spectra among the dataset's structures (fit_scored.py's
    definition), the predictions from that fold's refitted weights, ranked by the cosine and by the
    shipped identification score."""
    from corvane_spectra.isomers import rank_figures, structure_key

    from ei_figures import _cos, _package_module

    ids = _package_module("_idscore")
    weights = _package_module("_similarity_weights").WEIGHTS
    names = tuple(weights)
    w = np.array([weights[t] for t in names])
    keys = {r["smiles"]: structure_key(r["smiles"]) for r in recs}
    folds = fit_scored.fold_of(recs)
    per, all_sets = [], []
    for k in range(fit_scored.K_FOLDS):
        with np.load(_pred_path(k)) as z:
            wk = z["weights"]
        a, _ = data.abundances(data.full_weights(wk, None, fit_scored.USE_ENV and bool(data.nenv)))
        preds = data.predictions(a, range(data.nspec))
        by_formula: dict = {}
        for i, r in enumerate(recs):
            key = keys[r["smiles"]]
            if key is not None and data.has_cand[i]:
                by_formula.setdefault(key[0], {}).setdefault(key[1], i)
        rows = {"cosine": [], "learned": []}
        sets = []
        for i in np.nonzero(folds == k)[0]:
            r = recs[i]
            key = keys[r["smiles"]]
            if key is None or not data.has_cand[i]:
                continue
            others = [j for sk, j in by_formula.get(key[0], {}).items() if sk != key[1]]
            if not others:
                continue
            cos = [_cos(*preds[j], r["mz"], r["intensity"]) for j in [i] + others]
            rows["cosine"].append(rank_figures(cos[0], cos[1:]))
            refs = ids.References([preds[j] for j in [i] + others])
            sc = refs.terms(r["mz"], r["intensity"], names) @ w
            rows["learned"].append(rank_figures(sc[0], sc[1:]))
            sets.append(refs.terms(r["mz"], r["intensity"], ids.TERM_NAMES))
        f = {m: {key: float(np.mean([x[key] for x in v])) for key in ("top1", "top3", "relative_rank")}
             for m, v in rows.items()}
        per.append(f)
        all_sets.append(sets)
        print(f"fold {k}: {len(rows['cosine'])} queries; " + "; ".join(
            f"{m} top-1 {v['top1']:.4f} top-3 {v['top3']:.4f} rel. rank {v['relative_rank']:.4f}"
            for m, v in f.items()), flush=True)
    for m in ("cosine", "learned"):
        for key in ("top1", "top3", "relative_rank"):
            v = np.array([f[m][key] for f in per])
            print(f"{m} {key}: {v.mean():.4f} ± {v.std(ddof=1) / np.sqrt(v.size):.4f}")
    for key in ("top1", "top3", "relative_rank"):
        d = np.array([f["learned"][key] - f["cosine"][key] for f in per])
        print(f"learned - cosine {key}: {d.mean():+.4f} ± {d.std(ddof=1) / np.sqrt(d.size):.4f}")
    # Weights of their own for isomer sets: softmax of the true structure among its isomers, fitted on
    # four folds' sets, measured on the fifth.
    import pickle

    (OUT / "isomer-sets.pkl").write_bytes(pickle.dumps(all_sets))
    isomer_weights_cv(all_sets, ids.TERM_NAMES)


def isomer_weights_cv(all_sets, names, variants=(("cos", "cos_mz2"), ("cos", "cos_mz", "cos_mz2", "cos_mz3"),
                                                 ("cos", "cos_mz2", "reverse", "explained", "matched"), None),
                      l2=1e-4):
    from scipy.optimize import minimize

    from corvane_spectra.isomers import rank_figures

    names = list(names)
    K = len(all_sets)

    def loss(w, sets):
        val, grad = 0.0, np.zeros_like(w)
        for T in sets:
            sc = T @ w
            sc = sc - sc.max()
            p = np.exp(sc)
            z = p.sum()
            val += np.log(z) - sc[0]
            grad += (p / z) @ T - T[0]
        n = len(sets)
        return val / n + l2 * w @ w, grad / n + 2 * l2 * w

    base = None
    for v in variants:
        cols = list(range(len(names))) if v is None else [names.index(t) for t in v]
        label = "all terms" if v is None else "+".join(v)
        per = []
        for k in range(K):
            train = [T[:, cols] for j in range(K) if j != k for T in all_sets[j]]
            w = minimize(loss, np.full(len(cols), 10.0), args=(train,), jac=True, method="L-BFGS-B").x
            figs = [rank_figures(sc[0], sc[1:]) for sc in (T[:, cols] @ w for T in all_sets[k])]
            per.append(float(np.mean([f["top1"] for f in figs])))
        per = np.array(per)
        line = f"isomer weights {label}: top-1 {per.mean():.4f} ± {per.std(ddof=1) / np.sqrt(K):.4f}"
        if base is None:
            base = per
        else:
            d = per - base
            line += f" (- first: {d.mean():+.4f} ± {d.std(ddof=1) / np.sqrt(K):.4f})"
        print(line + " per fold " + " ".join(f"{x:.4f}" for x in per), flush=True)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=("folds", "cv", "fit", "isomers"))
    ap.add_argument("--folds", type=int, nargs="*", default=None, help="folds: only these folds")
    ap.add_argument("--data", metavar="NPZ",
                    help="folds, isomers: this candidate cache of fit_scored.py (read only) instead of the one "
                         "keyed by the installed scored.py (which fit_scored.py builds when missing)")
    ap.add_argument("--terms", nargs="*", default=None, help="cv: the terms of the full score (default: all)")
    ap.add_argument("--ablate", action="store_true", help="cv: also refit without each term of the full score")
    ap.add_argument("--variants", nargs="*", default=None, metavar="T1+T2",
                    help="cv: further variants to measure, each its terms joined by '+'")
    ap.add_argument("--l2", type=float, default=1e-5, help="L2 penalty on the score's weights")
    ap.add_argument("--tag", default="cv", help="cv: name of the saved figures")
    ap.add_argument("--cv-json", metavar="PATH",
                    help="fit: the cv figures (and chosen terms) to record with the weights")
    args = ap.parse_args(argv)
    if args.what == "folds":
        if args.data:
            recs = fit_scored.read_all()
            data = fit_scored.Data.from_npz(Path(args.data), recs)
        else:
            recs, data = fit_scored.load()
        run_folds(recs, data, range(fit_scored.K_FOLDS) if args.folds is None else args.folds)
        return 0
    recs = fit_scored.read_all()
    if args.what == "isomers":
        data = fit_scored.Data.from_npz(Path(args.data), recs) if args.data else fit_scored.load()[1]
        isomer_cv(recs, data)
        return 0
    if args.what == "cv":
        chosen = tuple(args.terms or _idscore().TERM_NAMES)
        variants = [("cosine", ("cos",)), ("full", chosen)]
        for v in args.variants or ():
            variants.append((v, tuple(v.split("+"))))
        if args.ablate:
            variants += [(f"- {t}", tuple(x for x in chosen if x != t)) for t in chosen]
        res = cv_variants(recs, variants, args.l2)
        for ref in ("cosine", "full"):
            for label, r in res.items():
                if label in ("cosine", ref):
                    continue
                d1, d10 = (paired(r["folds"], res[ref]["folds"], key) for key in ("id_at_1", "id_at_10"))
                print(f"{label:<40} - {ref}: id@1 {d1[0]:+.4f} ± {d1[1]:.4f}  id@10 {d10[0]:+.4f} ± {d10[1]:.4f}")
        for label, r in res.items():
            print(f"{label}: per fold id@1 " + " ".join(f"{f['id_at_1']:.4f}" for f in r["folds"])
                  + " | id@10 " + " ".join(f"{f['id_at_10']:.4f}" for f in r["folds"]))
        (OUT / f"cv-{args.tag}.json").write_text(json.dumps({"l2": args.l2, "variants": res}, indent=1))
        return 0
    # fit: the chosen terms on all five folds' held-out predictions, written with the CV figures.
    cv = json.loads(Path(args.cv_json).read_text()) if args.cv_json else None
    terms = tuple(args.terms or (cv["variants"]["full"]["terms"] if cv else _idscore().TERM_NAMES))
    names = list(_idscore().TERM_NAMES)
    cols = [names.index(t) for t in terms]
    Ts = [fold_terms(recs, k, names)[:, :, cols] for k in range(fit_scored.K_FOLDS)]
    w = fit_weights(Ts, args.l2)
    write_weights(terms, w, cv, args.l2, sum(T.shape[0] for T in Ts))
    print("weights: " + ", ".join(f"{t} {x / w[0]:+.4f}" for t, x in zip(terms, w)))
    return 0


def write_weights(terms, w, cv, l2, n):
    """corvane_spectra/_similarity_weights.py: the weights divided by the first term's (the score then reads
    as that term plus corrections; a positive factor changes no ranking)."""
    lines = ['"""Weights of the learned identification score, written by tools/fit_similarity.py; do not edit by hand.',
             "",
             f"Fitted on the held-out scored predictions of all {n} spectra of massbank_ei_dev.msp and",
             "massbank_ei_extra.msp (each fold's predictions from scored weights refitted without that fold, as",
             f"fit_scored.py cv --subsample {SUBSAMPLE} --maxiter {MAXITER}); each fold is a library of about 1,100.",
             f"Objective: softmax loss of each spectrum's own structure among its library, L2 penalty {l2:g}.",
             "The score is a weighted sum of the terms of corvane_spectra/_idscore.py, divided by the first",
             "term's weight."]
    if cv:
        base, full = (_summ(cv["variants"][v]["folds"]) for v in ("cosine", "full"))
        lines += ["Cross-validated (5 folds over compounds; mean +- standard error over folds):",
                  f"cosine alone id@1 {base['id_at_1'][0]:.3f} +- {base['id_at_1'][1]:.3f}, id@10 "
                  f"{base['id_at_10'][0]:.3f} +- {base['id_at_10'][1]:.3f};",
                  f"this score id@1 {full['id_at_1'][0]:.3f} +- {full['id_at_1'][1]:.3f}, id@10 "
                  f"{full['id_at_10'][0]:.3f} +- {full['id_at_10'][1]:.3f}."]
    lines += ['"""', "", "WEIGHTS = {"]
    lines += [f"    {t!r}: {float(x / w[0])!r}," for t, x in zip(terms, w)]
    lines.append("}")
    (ROOT / "corvane_spectra" / "_similarity_weights.py").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
