"""VIF and the fragment cascade as users run them: numpy's default BLAS
threads and one thread, on an idle machine and with one other CPU-bound
process running.

    python bench/bench_speed.py [--build DIR] [--molecules N] [--out FILE]

Each configuration runs in a fresh process (the BLAS thread setting is read
when numpy loads).  `--build DIR` times an extension built in DIR instead of
the installed one, for before/after tables.  Prints a Markdown table.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, statistics, sys, time
sys.path.insert(0, sys.argv[1])
from molecules import corpus_rows, prepared_molecule
import corvane
from rdkit import Chem
from rdkit.Chem import rdDepictor
n = int(sys.argv[2])
smiles = [s for s, _ in corpus_rows()][:n]
large = {"alkane-100": "C" * 100, "alkane-200": "C" * 200,
         "peptide-50": "N" + "C(C)C(=O)N" * 9 + "C(C)C(=O)O"}
def best(f, r=3):
    ts = []
    for _ in range(r):
        t = time.perf_counter(); f(); ts.append(time.perf_counter() - t)
    return statistics.median(ts)
out = {"corpus_vif": [], "corpus_cascade": [], "depiction": []}
for s in smiles:
    corvane.VIF(s, draw=False, verbose=False)
    out["corpus_vif"].append(best(lambda: corvane.VIF(s, draw=False, verbose=False)))
    out["corpus_cascade"].append(best(lambda: corvane.VIF(s, draw=False, verbose=False, recursive_ms=True)))
    m = prepared_molecule(s)
    def depict():
        rdDepictor.SetPreferCoordGen(True); rdDepictor.Compute2DCoords(Chem.Mol(m))
    out["depiction"].append(best(depict))
for name, s in large.items():
    corvane.VIF(s, draw=False, verbose=False)
    out[name] = best(lambda: corvane.VIF(s, draw=False, verbose=False), 2)
    m = prepared_molecule(s)
    out[name + " depiction"] = best(lambda: (rdDepictor.SetPreferCoordGen(True), rdDepictor.Compute2DCoords(Chem.Mol(m))), 2)
print(json.dumps(out))
"""

BUSY = "import time\nx = 0\nwhile True:\n    x += 1\n"


def run(build, threads, busy, n):
    env = dict(os.environ)
    for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(v, None)
    if threads:
        env["OPENBLAS_NUM_THREADS"] = str(threads)
    if build:
        env["PYTHONPATH"] = str(Path(build).resolve())
    hog = subprocess.Popen([sys.executable, "-c", BUSY]) if busy else None
    try:
        res = subprocess.run([sys.executable, "-c", CHILD, str(HERE.parent / "tests"), str(n)],
                             env=env, capture_output=True, text=True, check=True)
    finally:
        if hog:
            hog.kill()
            hog.wait()
    return json.loads(res.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", default=[],
                    help="LABEL=DIR: an extension build to time (repeatable); default: the installed one")
    ap.add_argument("--molecules", type=int, default=20, help="corpus molecules to time (default 20)")
    ap.add_argument("--out", help="also write the table to this file")
    ns = ap.parse_args()
    builds = [b.split("=", 1) for b in ns.build] or [["installed", ""]]
    rows = []
    for label, d in builds:
        for busy in (False, True):
            for threads in (None, 1):
                r = run(d, threads, busy, ns.molecules)
                med_v = statistics.median(r["corpus_vif"])
                ratios = [c / v for c, v in zip(r["corpus_cascade"], r["corpus_vif"])]
                dep = statistics.median(d_ / v for d_, v in zip(r["depiction"], r["corpus_vif"]))
                rows.append((label, "busy" if busy else "idle", "default" if threads is None else "1",
                             f"{med_v * 1e3:.1f} ms", f"{statistics.median(ratios):.2f}", f"{max(ratios):.2f}",
                             f"{dep:.0%}",
                             *(f"{r[k]:.2f} s ({r[k + ' depiction'] / r[k]:.0%})"
                               for k in ("alkane-100", "alkane-200", "peptide-50"))))
                print(rows[-1], file=sys.stderr, flush=True)
    head = ("build", "machine", "BLAS threads", "VIF median", "cascade/VIF median", "cascade/VIF max",
            "depiction share", "alkane-100 (depiction)", "alkane-200 (depiction)", "peptide-50 (depiction)")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    text = "\n".join(lines)
    print(text)
    if ns.out:
        Path(ns.out).write_text(f"load average at start {os.getloadavg()[0]:.1f}, {os.cpu_count()} cores, "
                                f"{ns.molecules} corpus molecules\n\n{text}\n")


if __name__ == "__main__":
    main()
