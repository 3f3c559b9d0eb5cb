"""Cost of the scored model's pieces per molecule, and the same for another version of scored.py.

    .venv/bin/python bench/bench_candidates.py [--n 40] [--rounds 15] [--against OLD_SCORED_PY ...]

For the first N corpus molecules: ``build_candidates`` alone, ``predict_scored``
given the VIF result (candidates, log scores and trees, the peak-order stage,
annotations), one ``corvane.VIF`` call and ``predict(model="schematic")``, in
milliseconds of process CPU time per molecule (the minimum and the median over
rounds, so that other jobs on the machine count as little as they can).  Each
``--against`` file (e.g. ``git show OLD:corvane_spectra/scored.py > old.py``) is
loaded as a module beside the installed one and timed in the same rounds,
alternately, with the installed C++ core.
"""
import argparse
import importlib.util
import os
import statistics
import sys
import time
from pathlib import Path

ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
ap.add_argument("--n", type=int, default=40, help="number of corpus molecules (default 40)")
ap.add_argument("--rounds", type=int, default=15, help="timed rounds over all molecules (default 15)")
ap.add_argument("--against", nargs="*", default=[], metavar="SCORED_PY", help="other scored.py files to time")
args = ap.parse_args()

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from molecules import corpus_rows  # noqa: E402

import corvane  # noqa: E402
from corvane_spectra import predict, scored  # noqa: E402


def load(path, i):
    name = f"corvane_spectra._bench_scored_{i}"
    spec = importlib.util.spec_from_file_location(name, path)
    mod = importlib.util.module_from_spec(spec)
    sys.modules[name] = mod
    spec.loader.exec_module(mod)
    return mod


def main():
    versions = [("installed", scored)] + [(p, load(p, i)) for i, p in enumerate(args.against)]
    smiles, vifs = [], []
    for row in corpus_rows()[: args.n]:
        r = corvane.VIF(row[0], draw=False, verbose=False)
        if not isinstance(r, str):
            smiles.append(row[0])
            vifs.append(r)
    mols = [scored.read_molecule(s) for s in smiles]
    softs = [scored.soft_pairs_of(r) for r in vifs]
    pieces = {}
    for name, mod in versions:
        pieces[(name, "build_candidates")] = lambda mod=mod: [mod.build_candidates(m, s) for m, s in zip(mols, softs)]
        pieces[(name, "predict_scored given VIF")] = lambda mod=mod: [
            mod.predict_scored(s, vif_result=r) for s, r in zip(smiles, vifs)]
    pieces[("", "corvane.VIF")] = lambda: [corvane.VIF(s, draw=False, verbose=False) for s in smiles]
    pieces[("", "predict schematic")] = lambda: [predict(s, model="schematic") for s in smiles]
    for fn in pieces.values():
        fn()                                                   # warm caches
    times = {k: [] for k in pieces}
    for _ in range(args.rounds):
        for k, fn in pieces.items():
            t0 = time.process_time()
            fn()
            times[k].append((time.process_time() - t0) / len(smiles) * 1e3)
    print(f"{len(smiles)} molecules, {args.rounds} rounds, load average at the end {os.getloadavg()[0]:.1f}")
    print("| version | piece | min ms | median ms |")
    print("|---|---|---|---|")
    for (name, piece), t in times.items():
        print(f"| {name} | {piece} | {min(t):.2f} | {statistics.median(t):.2f} |")


if __name__ == "__main__":
    main()
