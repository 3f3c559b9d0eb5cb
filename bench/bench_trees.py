"""Cost of the scored model's boosted trees: nanoseconds per (row, tree) of the C++ walk.

    .venv/bin/python bench/bench_trees.py [--molecules 163] [--repeats 30]

The rows are real tree inputs: every atom set of the corpus molecules
(``tests/molecules.py``'s corpus, ``_scored_trees.set_inputs`` with the shipped
weights).  The forests are the shipped trees (100) and a synthetic 300-tree
forest: the shipped trees three times, the copies' thresholds moved by a few
per cent of each column's spread and their leaf values scaled, so that the
copies take other paths.  For 300 and 3,000 rows and 100 and 300 trees the
best of ``--repeats`` calls of ``Forest.__call__`` is given per row and tree,
then the walk per molecule (each molecule's own rows, as ``predict`` calls
it) and the cost of building a molecule's inputs.  Every sum is checked
against ``Forest.numpy_sum`` byte for byte.  Single thread; the load average
is printed, since other jobs on the machine slow every figure.
"""
import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
ap.add_argument("--molecules", type=int, default=163, help="corpus molecules whose rows are used (default all 163)")
ap.add_argument("--repeats", type=int, default=30, help="timed calls per case; the best is kept (default 30)")
args = ap.parse_args()
for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(v, "1")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from molecules import corpus_rows  # noqa: E402

from corvane_spectra import _scored_trees as st  # noqa: E402
from corvane_spectra import scored  # noqa: E402


def best(f, repeats):
    ts = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        f()
        ts.append(time.perf_counter() - t0)
    return min(ts)


def synthetic(forest: st.Forest, copies: int, Z: np.ndarray) -> st.Forest:
    """``copies`` times the trees of ``forest``; every copy after the first with moved thresholds."""
    rng = np.random.default_rng(20261209)
    spread = np.nanstd(Z, axis=0)
    n = forest.feature.size
    inner = forest.feature >= 0
    parts = {k: [] for k in ("feature", "threshold", "left", "right", "value", "roots")}
    for c in range(copies):
        thr = forest.threshold.copy()
        val = forest.value.copy()
        if c:
            thr[inner] += rng.normal(0.0, 0.05, inner.sum()) * spread[forest.feature[inner]]
            val *= rng.uniform(0.5, 1.5, n)
        parts["feature"].append(forest.feature)
        parts["threshold"].append(thr)
        parts["left"].append(forest.left + c * n)
        parts["right"].append(forest.right + c * n)
        parts["value"].append(val)
        parts["roots"].append(forest.roots + c * n)
    cat = {k: np.concatenate(v) for k, v in parts.items()}
    return st.Forest(cat["feature"], cat["threshold"], cat["left"], cat["right"], cat["value"], cat["roots"],
                     forest.depth, forest.n_inputs)


def main():
    forest = st.shipped_forest()
    if forest is None:
        sys.exit("no shipped trees (corvane_spectra/_scored_trees.npz)")
    w = scored._shipped_weights()
    mols, t_inputs = [], []
    for smi, _name in corpus_rows()[: args.molecules]:
        try:
            cand = scored.build_candidates(scored.read_molecule(smi))
        except ValueError:
            continue
        terms = cand.set_terms(w)
        mols.append(st.set_inputs(cand, w, scored._SHIFT_COLS, terms))
        t_inputs.append(best(lambda: st.set_inputs(cand, w, scored._SHIFT_COLS, terms), 5))
    Z = np.concatenate(mols)
    big = synthetic(forest, 3, Z)
    per_mol = int(np.median([len(m) for m in mols]))
    print(f"{len(mols)} molecules, {Z.shape[0]} rows of {Z.shape[1]} inputs (median {per_mol} per molecule) · "
          f"load average {os.getloadavg()[0]:.1f} · {os.cpu_count()} cores")
    print("\n| rows | trees | ms per call | ns per row-tree |")
    print("|---|---|---|---|")
    for rows in (300, 3000):
        Zr = np.ascontiguousarray(Z[:rows])
        for f, nt in ((forest, 100), (big, 300)):
            got = f(Zr, nt)
            ref = f.numpy_sum(Zr, f.roots[:nt])
            assert got.tobytes() == ref.tobytes(), "the C++ sums differ from numpy's"
            t = best(lambda: f(Zr, nt), args.repeats)
            print(f"| {rows} | {nt} | {t * 1e3:.3f} | {t * 1e9 / (rows * nt):.1f} |", flush=True)
    print("\n| per molecule (corpus) | trees | mean ms per molecule | ns per row-tree |")
    print("|---|---|---|---|")
    n_rows = sum(len(m) for m in mols)
    for f, nt in ((forest, 100), (big, 300)):
        tot = sum(best(lambda: f(m, nt), 5) for m in mols)
        print(f"| {len(mols)} molecules | {nt} | {tot * 1e3 / len(mols):.3f} | {tot * 1e9 / (n_rows * nt):.1f} |")
    print(f"\nbuilding a molecule's inputs (set_inputs): mean {np.mean(t_inputs) * 1e3:.3f} ms, "
          f"median {np.median(t_inputs) * 1e3:.3f} ms · load average at end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
