"""Fit the weights of corvane_spectra's scored spectrum model.

    python tools/fit_scored.py cache   # soft bonds of every molecule (one VIF call each), cached
    python tools/fit_scored.py fit     # fit, report held-out figures, write _scored_weights.py
    python tools/fit_scored.py ablate  # refit with each feature group removed (slow)
    python tools/fit_scored.py ablate --zero  # the shipped weights with each group set to zero

Data: the development file ../shared/ei/massbank_ei_dev.msp (2,520 measured
70 eV EI spectra).  Split: the first 1,520 spectra are fitted on; the last
1,000 are held out (and are the library of the identification figures).
Objective: mean cosine, over the fitted spectra, of the predicted peak heights
(square root of the summed candidate abundances) against the square roots of
the measured intensities at m/z >= the spectrum's lowest measured m/z -- the
workbench's cosine -- minus RANK_WEIGHT x a softmax identification loss (each
fitted spectrum searched among the predictions of all fitted molecules, the
workbench's identification figure made smooth), minus a small L2 penalty on
the weights; L-BFGS from zero weights with the exact gradient.  Needs scipy
(the ``fit`` extra).  The candidate features are cached nowhere: a run builds
them afresh (about a minute); the soft bonds (one VIF call per molecule) are
cached under CORVANE_FIT_CACHE (default /tmp/corvane_scored_cache).
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
from ei_figures import figures, identification_ranks, read_msp  # noqa: E402

DATA = Path(os.environ.get("CORVANE_EI_DEV", ROOT.parent / "shared" / "ei" / "massbank_ei_dev.msp"))
if not DATA.exists():
    DATA = Path("/work/shared/ei/massbank_ei_dev.msp")
CACHE = Path(os.environ.get("CORVANE_FIT_CACHE", "/tmp/corvane_scored_cache"))
N_HELD_OUT = 1000
L2 = 1e-4
# Weight and temperature of the identification (softmax ranking) term; 0 turns it off.
RANK_WEIGHT = float(os.environ.get("CORVANE_FIT_RANK_WEIGHT", "0.3"))
RANK_TEMPERATURE = float(os.environ.get("CORVANE_FIT_RANK_TEMPERATURE", "0.02"))


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


def load():
    recs = read_msp(DATA)
    softs = soft_cache(recs)
    from corvane_spectra import scored

    out = []
    for r in recs:
        smi = r.get("smiles")
        try:
            mol = scored.read_molecule(smi)
            cand = scored.build_candidates(mol, softs.get(smi, frozenset()))
        except Exception as e:
            print(f"  skipped {r.get('name')}: {e}", file=sys.stderr)
            cand = None
        out.append((r, cand))
    return out


class Problem:
    """All candidates of a set of spectra, flattened for a vectorised objective."""

    def __init__(self, items, mask=None):
        from corvane_spectra import scored

        self.iso = scored._ISO_LEN
        Xs, bins, pats, cid = [], [], [], []
        qs, qbin, owner_of_bin = [], [], []
        base = 0
        self.nspec = 0
        for r, cand in items:
            if cand is None:
                continue
            X = cand.X if mask is None else cand.X[:, mask]
            lo = int(r["mz"].min())
            top = int(max(cand.mz.max() + self.iso, r["mz"].max())) + 1
            b = cand.mz[:, None] + np.arange(self.iso)[None, :]
            ok = b >= lo
            Xs.append(X)
            bins.append(np.where(ok, base + b, -1))
            pats.append(np.where(ok, cand.pattern, 0.0))
            q = np.zeros(top)
            q[r["mz"]] = np.sqrt(r["intensity"])
            q[:lo] = 0
            qs.append(q)
            owner_of_bin.append(np.full(top, self.nspec))
            base += top
            self.nspec += 1
        self.X = np.vstack(Xs)
        self.bins = np.vstack(bins)
        self.pat = np.vstack(pats)
        self.valid = self.bins >= 0
        self.bins_c = np.where(self.valid, self.bins, 0)
        self.q = np.concatenate(qs)
        self.owner = np.concatenate(owner_of_bin)
        self.nbin = base
        starts = np.concatenate([[0], np.cumsum(np.bincount(self.owner, minlength=self.nspec))[:-1]])
        self.mloc = np.arange(self.nbin) - starts[self.owner]
        self.mmax = int(self.mloc.max()) + 1
        self.lo = np.array([int(r["mz"].min()) for r, c in items if c is not None])
        qn = np.sqrt(np.bincount(self.owner, self.q ** 2, minlength=self.nspec))
        self.qhat = self.q / np.maximum(qn[self.owner], 1e-300)

    def value_grad(self, w):
        s = np.exp(np.clip(self.X @ w, -60, 60))
        contrib = s[:, None] * self.pat
        a = np.bincount(self.bins_c.ravel(), contrib.ravel(), minlength=self.nbin)
        p = np.sqrt(a)
        pn = np.sqrt(np.bincount(self.owner, a, minlength=self.nspec))
        pn_b = np.maximum(pn[self.owner], 1e-300)
        dot = np.bincount(self.owner, p * self.qhat, minlength=self.nspec)
        cos = dot / np.maximum(pn, 1e-300)
        # d cos / d p_m = (qhat_m - cos p_m/|p|) / |p|; d p / d a = 1 / (2 p).
        g_p = (self.qhat - cos[self.owner] * p / pn_b) / pn_b
        g_a = np.where(p > 0, g_p / (2 * np.maximum(p, 1e-300)), 0.0)
        per_c = (self.pat * g_a[self.bins_c] * self.valid).sum(1) * s
        grad = self.X.T @ per_c / self.nspec
        val = cos.mean()
        if RANK_WEIGHT:
            rv, g_p_rank = self._rank_term(p)
            val -= RANK_WEIGHT * rv
            with np.errstate(over="ignore"):      # empty bins (p = 0) are masked out
                g_a = np.where(p > 0, -RANK_WEIGHT * g_p_rank / (2 * np.maximum(p, 1e-300)), 0.0)
            per_c = (self.pat * g_a[self.bins_c] * self.valid).sum(1) * s
            grad += self.X.T @ per_c
        return val - L2 * w @ w, grad - 2 * L2 * w, cos

    def _rank_term(self, p):
        """Softmax identification loss: each measured spectrum against every prediction.

        Returns the mean cross-entropy of the true molecule among all
        predictions (cosines over m/z >= the query's lowest measured m/z,
        temperature RANK_TEMPERATURE) and its gradient in the heights p.
        """
        n, mm, tau = self.nspec, self.mmax, RANK_TEMPERATURE
        P = np.zeros((n, mm))
        P[self.owner, self.mloc] = p
        Qd = np.zeros((n, mm))
        Qd[self.owner, self.mloc] = self.qhat
        C = np.cumsum((P ** 2)[:, ::-1], axis=1)[:, ::-1]
        N = np.sqrt(np.maximum(C[:, self.lo], 1e-300))          # N[i, j]: |P_i| above lo_j
        cos = (P @ Qd.T) / N
        z = cos / tau
        z -= z.max(axis=0, keepdims=True)
        sm = np.exp(z)
        sm /= sm.sum(axis=0, keepdims=True)
        diag = np.arange(n)
        loss = -np.mean(np.log(np.maximum(sm[diag, diag], 1e-300)))
        g = sm.copy()
        g[diag, diag] -= 1.0
        g /= tau * n                                              # d loss / d cos[i, j]
        G = (g / N) @ Qd
        hh = g * cos / N ** 2
        Hlo = np.zeros((n, mm))
        np.add.at(Hlo.T, self.lo, hh.T)
        G -= P * np.cumsum(Hlo, axis=1)
        return loss, G[self.owner, self.mloc]


def fit(problem, w0=None, maxiter=300):
    from scipy.optimize import minimize

    w0 = np.zeros(problem.X.shape[1]) if w0 is None else w0
    res = minimize(lambda w: tuple(-v for v in problem.value_grad(w)[:2]), w0, jac=True,
                   method="L-BFGS-B", options={"maxiter": maxiter})
    return res.x, -res.fun


def evaluate(items, weights, mask=None, threshold=None):
    from corvane_spectra import scored

    threshold = scored.MIN_HEIGHT if threshold is None else threshold
    if mask is not None:             # weights of the kept features; the others are zero
        full = np.zeros(mask.size)
        full[mask] = weights
        weights = full
    preds, meas, figs = [], [], []
    for r, cand in items:
        if cand is None:
            pm, pi = np.array([], dtype=np.int64), np.array([])
        else:
            pm, a, _ = scored.abundances(cand, weights)
            pi = np.sqrt(a)
            pi = 100 * pi / pi.max() if pi.size else pi
            sel = pi >= threshold
            pm, pi = pm[sel], pi[sel]
        preds.append((pm, pi))
        meas.append((r["mz"], r["intensity"]))
        figs.append(figures(pm, pi, r["mz"], r["intensity"]) if pm.size else (0, 0, 0, 0))
    figs = np.array(figs)
    ranks = identification_ranks(preds, meas)
    return {"precision": figs[:, 0].mean(), "recall10": figs[:, 1].mean(), "recall10_pm1": figs[:, 2].mean(),
            "cosine": figs[:, 3].mean(), "id_at_1": float(np.mean(ranks < 1)),
            "id_at_10": float(np.mean(ranks < 10)),
            "median_peaks": float(np.median([p[0].size for p in preds]))}


def write_weights(w, train_cos, held):
    from corvane_spectra import scored

    lines = [
        '"""Weights of the scored spectrum model, written by tools/fit_scored.py; do not edit by hand.',
        "",
        f"Fitted {datetime.date.today().isoformat()} on the development file massbank_ei_dev.msp",
        f"(2,520 measured 70 eV EI spectra from MassBank): the first {2520 - N_HELD_OUT} spectra fitted, the last",
        f"{N_HELD_OUT} held out.  Objective: mean cosine of the predicted heights against the square",
        "roots of the measured intensities (m/z >= each spectrum's lowest measured m/z), minus",
        f"{RANK_WEIGHT} x the softmax identification loss (temperature {RANK_TEMPERATURE}) of each fitted",
        "spectrum among the predictions of all fitted molecules, minus an L2",
        f"penalty {L2} on the weights; L-BFGS from zero.  Mean cosine on the fitted spectra: {train_cos:.3f}.",
        "Held-out figures (library of the 1,000 held-out spectra): " + ", ".join(
            f"{k} {v:.3f}" for k, v in held.items()) + ".",
        '"""',
        "",
        "WEIGHTS = {",
    ]
    lines += [f"    {name!r}: {float(v)!r}," for name, v in zip(scored.FEATURES, w)]
    lines.append("}")
    (ROOT / "corvane_spectra" / "_scored_weights.py").write_text("\n".join(lines) + "\n")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=("cache", "fit", "ablate"))
    ap.add_argument("--no-write", action="store_true", help="fit and report without writing the weights")
    ap.add_argument("--maxiter", type=int, default=300)
    ap.add_argument("--zero", action="store_true",
                    help="ablate: zero each group's weights instead of refitting without it")
    args = ap.parse_args(argv)
    if args.what == "cache":
        soft_cache(read_msp(DATA))
        return 0
    from corvane_spectra import scored

    t0 = time.time()
    items = load()
    train, held = items[:-N_HELD_OUT], items[-N_HELD_OUT:]
    print(f"candidates built in {time.time() - t0:.0f} s", file=sys.stderr)
    if args.what == "fit":
        prob = Problem(train)
        w, val = fit(prob, maxiter=args.maxiter)
        figs = evaluate(held, w)
        print(f"train objective {val:.4f}")
        print("held out:", json.dumps({k: round(v, 3) for k, v in figs.items()}))
        for name, v in zip(scored.FEATURES, w):
            print(f"  {name:24s} {v:+.3f}")
        if not args.no_write:
            write_weights(w, prob.value_grad(w)[2].mean(), figs)
        return 0
    # Ablation: each feature group removed and the rest refitted (or its weights zeroed).
    rows = []
    if args.zero:
        w = scored._weights()
    else:
        w, _ = fit(Problem(train), maxiter=args.maxiter)
    rows.append(("(all features)", evaluate(held, w)))
    for group, names in scored.FEATURE_GROUPS.items():
        mask = np.array([f not in names for f in scored.FEATURES])
        if args.zero:
            rows.append((f"- {group}", evaluate(held, w[mask], mask)))
        else:
            wg, _ = fit(Problem(train, mask), maxiter=args.maxiter)
            rows.append((f"- {group}", evaluate(held, wg, mask)))
        print(rows[-1], file=sys.stderr, flush=True)
    print("| features | cosine | recall@10 | recall@10±1 | precision | id@1 | id@10 |")
    print("|---|---|---|---|---|---|---|")
    for name, f in rows:
        print(f"| {name} | {f['cosine']:.3f} | {f['recall10']:.3f} | {f['recall10_pm1']:.3f} | "
              f"{f['precision']:.3f} | {f['id_at_1']:.3f} | {f['id_at_10']:.3f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
