"""VIF and the fragment cascade as users run them: numpy's default BLAS
threads and one thread, on an idle machine and with one other CPU-bound
process running.

    python bench/bench_speed.py [--build DIR] [--molecules N] [--out FILE]

Each configuration runs in a fresh process (the BLAS thread setting is read
when numpy loads).  `--build DIR` times an extension built in DIR instead of
the installed one, for before/after tables.  Prints a Markdown table.

    python bench/bench_speed.py --floor [--large 250,500] [--no-drug] [--build LABEL=DIR ...]

instead times VIF(draw=False, verbose=False) against its floor (bench/run.py:
the RDKit calls, building the networkx graph and pos dict, one eigvalsh):
the six corpus molecules of 80-95 VIF nodes first in corpus order (best of
three calls each, median ratio), the first twenty such molecules by total
time (best of five), in wall-clock and in CPU time (which a busy machine
disturbs less), and with --large chains (alkanes) and conjugated
molecules (acenes) of that many heavy atoms (one call each, a fresh process
per molecule for its peak memory; `--repeats N`: then the best of N more
calls of each, in wall-clock and CPU time; `--kinds acene` for one kind).
VIF and floor calls alternate, so both see the same load.
"""
import argparse
import os
import statistics
import sys
from pathlib import Path

from _child import run_child

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



def run(build, threads, busy, n):
    return run_child(CHILD, [HERE.parent / "tests", n], build, threads, busy)


FLOOR_CHILD = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
from molecules import corpus_rows
from run import acene, floor_call
import corvane
def record(s):
    r = corvane.VIF(s, draw=False, verbose=False)
    H = r["graph"]
    return (r, [(n, dict(d)) for n, d in H.nodes(data=True)], [(u, v, dict(d)) for u, v, d in H.edges(data=True)],
            [(n, [float(p[0]), float(p[1])]) for n, p in r["pos"].items()])
def pair(s, prepared, repeats):
    r, nodes, edges, pos = prepared
    tv, tf, cv, cf = [], [], [], []
    for _ in range(repeats):
        t, c = time.perf_counter(), time.process_time()
        corvane.VIF(s, draw=False, verbose=False)
        tv.append(time.perf_counter() - t); cv.append(time.process_time() - c)
        t, c = time.perf_counter(), time.process_time()
        floor_call(s, nodes, edges, pos)
        tf.append(time.perf_counter() - t); cf.append(time.process_time() - c)
    return min(tv), min(tf), min(cv), min(cf)
out = {}
if sys.argv[3] == "drug":
    drug = []
    for s, name in corpus_rows():
        prepared = record(s) if isinstance(corvane.VIF(s, draw=False, verbose=False), dict) else None
        if prepared and 80 <= prepared[0]["graph"].number_of_nodes() <= 95:
            drug.append((name, s, prepared))
        if len(drug) == 20:
            break
    out["six"] = [(name, *pair(s, p, 3)) for name, s, p in drug[:6]]
    out["twenty"] = [(name, *pair(s, p, 5)) for name, s, p in drug]
else:
    kind, n = sys.argv[3], int(sys.argv[4])
    corvane.VIF("CCO", draw=False, verbose=False)  # one-time look-ups out of the timing
    s = "C" * n if kind == "alkane" else acene(max(1, round((n - 2) / 4)))
    t, c = time.perf_counter(), time.process_time()
    prepared = record(s)
    t_vif, c_vif = time.perf_counter() - t, time.process_time() - c
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    t, c = time.perf_counter(), time.process_time()
    floor_call(s, *prepared[1:])
    t_floor, c_floor = time.perf_counter() - t, time.process_time() - c
    repeats = int(sys.argv[5]) if len(sys.argv) > 5 else 1
    if repeats > 1:
        # Best of that many more calls each, alternating (wall and CPU time).
        t_vif, t_floor, c_vif, c_floor = pair(s, prepared, repeats)
    out = {"nodes": prepared[0]["graph"].number_of_nodes(), "vif": t_vif, "floor": t_floor,
           "cpu_vif": c_vif, "cpu_floor": c_floor, "peak_mb": peak}
print(json.dumps(out))
"""


def floor_run(build, threads, busy, args):
    return run_child(FLOOR_CHILD, [HERE.parent / "tests", HERE, *args], build, threads, busy)


def floor_tables(builds, large, busy_too, drug=True, repeats=1, kinds=("alkane", "acene")):
    lines = ["| build | machine | BLAS threads | six drug-sized: median VIF/floor (range) | twenty: total VIF/floor "
             "| the same in CPU time: six | twenty |",
             "|---|---|---|---|---|---|---|"]
    big = ["| build | BLAS threads | molecule | VIF nodes | VIF s | floor s | VIF/floor | in CPU time | peak RSS |",
           "|---|---|---|---|---|---|---|---|---|"]
    for label, d in builds:
        for busy in ((False, True) if busy_too else (False,)) if drug else ():
            for threads in (None, 1):
                r = floor_run(d, threads, busy, ["drug"])
                cells = []
                for a, b in ((1, 2), (3, 4)):
                    six = [x[a] / x[b] for x in r["six"]]
                    tot = sum(x[a] for x in r["twenty"]) / sum(x[b] for x in r["twenty"])
                    cells.append(f"{statistics.median(six):.2f} ({min(six):.2f}-{max(six):.2f}) | {tot:.2f}")
                lines.append(f"| {label} | {'+1 CPU-bound process' if busy else 'as found'} | "
                             f"{'default' if threads is None else 1} | "
                             f"{cells[0]} | {cells[1]} |")
                print(lines[-1], file=sys.stderr, flush=True)
        for n in large:
            for kind in kinds:
                for threads in (None, 1):
                    r = floor_run(d, threads, False, [kind, str(n), repeats])
                    big.append(f"| {label} | {'default' if threads is None else 1} | {kind}-{n} | {r['nodes']} | "
                               f"{r['vif']:.2f} | {r['floor']:.2f} | {r['vif'] / r['floor']:.2f} | "
                               f"{r['cpu_vif'] / r['cpu_floor']:.2f} | {r['peak_mb'] / 1024:.2f} GB |")
                    print(big[-1], file=sys.stderr, flush=True)
    return "\n".join((lines if drug else []) + ([""] + big if large else []))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--floor", action="store_true", help="VIF against its floor (see above) instead")
    ap.add_argument("--large", default="", help="with --floor: heavy-atom counts of the large molecules (e.g. 250,500)")
    ap.add_argument("--busy", action="store_true", help="with --floor: also with one other CPU-bound process")
    ap.add_argument("--no-drug", action="store_true", help="with --floor: only the large molecules")
    ap.add_argument("--repeats", type=int, default=1,
                    help="with --large: best of this many further calls of each (VIF and floor alternating)")
    ap.add_argument("--kinds", default="alkane,acene", help="with --large: which of alkane,acene (default both)")
    ap.add_argument("--build", action="append", default=[],
                    help="LABEL=DIR: an extension build to time (repeatable); default: the installed one")
    ap.add_argument("--molecules", type=int, default=20, help="corpus molecules to time (default 20)")
    ap.add_argument("--out", help="also write the table to this file")
    ns = ap.parse_args()
    builds = [b.split("=", 1) for b in ns.build] or [["installed", ""]]
    if ns.floor:
        text = floor_tables(builds, [int(x) for x in ns.large.split(",") if x], ns.busy, not ns.no_drug, ns.repeats,
                            tuple(k for k in ns.kinds.split(",") if k))
        print(text)
        if ns.out:
            Path(ns.out).write_text(f"load average at start {os.getloadavg()[0]:.1f}, {os.cpu_count()} cores\n\n{text}\n")
        return
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
