"""The fragment cascade against a plain call, over the whole corpus, and a
check that its counts are the eigenvalues' counts.

    python bench/bench_cascade.py [--build LABEL=DIR ...] [--molecules N] [--busy] [--out FILE]
    python bench/bench_cascade.py --check [--build LABEL=DIR ...] [--molecules N]

Timing: for each corpus molecule (../shared/corpus/bzr.smi) the best of
five calls of `VIF(s, draw=False, verbose=False)` (the plain call) and of
the same with `recursive_ms=True` (the cascade, two generations), as wall
and as CPU time of the process; the table gives the cascade / plain ratio
at the median and at the worst molecule, with numpy's default BLAS threads
and with one (`OPENBLAS_NUM_THREADS=1`), each in a fresh process.  `--busy`
adds the same runs with one other CPU-bound process beside them.  `--build
DIR` times an extension built in DIR (a folder holding corvane's .so)
instead of the installed one, for before/after tables.

Check: every build's cascades (two and three generations) of every corpus
molecule give the same peaks; and for every fragment the cascade cuts (two
generations), the sign counts of the fragment's VIF graph and of every
trial cut in it, as the extension counts them, are the counts of numpy's
eigenvalues.  The extension's counts are read through detect_soft_bonds:
a trial is returned for a baseline exactly when its counts are that
baseline, so asking once per distinct reference count checks every trial.
"""
import argparse
import os
import statistics
import sys
from pathlib import Path

from _child import run_child

HERE = Path(__file__).resolve().parent

TIMING = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
from molecules import corpus_rows
import corvane
rows = corpus_rows()[:int(sys.argv[2])]
def best(f, r=5):
    wall, cpu = [], []
    for _ in range(r):
        t, c = time.perf_counter(), time.process_time()
        f()
        wall.append(time.perf_counter() - t)
        cpu.append(time.process_time() - c)
    return min(wall), min(cpu)
out = []
for s, name in rows:
    corvane.VIF(s, draw=False, verbose=False, recursive_ms=True)
    pw, pc = best(lambda: corvane.VIF(s, draw=False, verbose=False))
    cw, cc = best(lambda: corvane.VIF(s, draw=False, verbose=False, recursive_ms=True))
    out.append({"name": name, "plain_wall": pw, "plain_cpu": pc, "cascade_wall": cw, "cascade_cpu": cc})
print(json.dumps(out))
"""

CHECK = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import networkx as nx
import numpy as np
from molecules import corpus_rows, prepared_molecule
import corvane
rows = corpus_rows()[:int(sys.argv[2])]
TOL = 1e-9

def counts(a):
    ev = np.linalg.eigvalsh(a)
    return {"n+": int(np.sum(ev > TOL)), "n0": int(np.sum(np.abs(ev) <= TOL)), "n-": int(np.sum(ev < -TOL))}

def fragments(mol, H, subs, cb, generations):
    # The cascade's walk: every fragment it cuts, breadth first.
    n = mol.GetNumAtoms()
    seen, queue, cut = {frozenset(range(n))}, [(frozenset(range(n)), 0)], []
    while queue:
        atoms, gen = queue.pop(0)
        if gen >= generations:
            continue
        cut.append(atoms)
        softs = corvane._fragment_atom_softs(H, subs, cb, set(atoms))
        for child in sorted(corvane._cut_atom_set(mol, set(atoms), softs, True, 25), key=sorted):
            if child and child != atoms and child not in seen:
                seen.add(child)
                queue.append((child, gen + 1))
    return cut

out = {"peaks": {}, "fragments": 0, "trials": 0, "mismatches": []}
check_counts = sys.argv[3] == "1"
for s, name in rows:
    r = corvane.VIF(s, draw=False, verbose=False)
    mol, H, subs, cb = prepared_molecule(s), r["graph"], r["atom_subgraphs"], r["chem_bonds"]
    out["peaks"][name] = [list(map(list, corvane.predict_fragments_recursive(mol, H, subs, cb, g, 25, True).items()))
                          for g in (2, 3)]
    if not check_counts:
        continue
    for atoms in fragments(mol, H, subs, cb, 2):
        nodes = sorted({x for a in atoms for x in subs[a]})
        G = H.subgraph(nodes).copy()
        recs = [b for b in cb if b["atom_u"] in atoms and b["atom_v"] in atoms and G.has_edge(b["u_node"], b["v_node"])]
        a = nx.to_numpy_array(G, nodelist=nodes)
        ref_base = counts(a)
        lpi = corvane.compute_lpi(G)
        if {k: lpi[k] for k in ref_base} != ref_base:
            out["mismatches"].append([name, sorted(atoms), "base"])
        pos = {x: i for i, x in enumerate(nodes)}
        refs = []
        for b in recs:
            c = a.copy()
            i, j = pos[b["u_node"]], pos[b["v_node"]]
            c[i, j] = c[j, i] = 0.0
            refs.append(counts(c))
        out["fragments"] += 1
        out["trials"] += len(recs)
        for want in {tuple(sorted(c.items())) for c in refs}:
            got = {id(x) for x in corvane.detect_soft_bonds(G, recs, dict(want))}
            for b, c in zip(recs, refs):
                if tuple(sorted(c.items())) == want and id(b) not in got:
                    out["mismatches"].append([name, sorted(atoms), [b["u_node"], b["v_node"]]])
print(json.dumps(out))
"""



def child(code, build, threads, busy, args):
    return run_child(code, [HERE.parent / "tests", *args], build, threads, busy)


def timing(builds, n, busy_too):
    head = ("build", "machine", "BLAS threads", "plain median", "cascade/plain median (wall)",
            "cascade/plain worst (wall)", "worst molecule (wall)", "cascade/plain median (CPU)",
            "cascade/plain worst (CPU)", "worst molecule (CPU)")
    rows = []
    for label, d in builds:
        for busy in (False, True) if busy_too else (False,):
            for threads in (None, 1):
                r = child(TIMING, d, threads, busy, [n])
                wall = [m["cascade_wall"] / m["plain_wall"] for m in r]
                cpu = [m["cascade_cpu"] / max(m["plain_cpu"], 1e-6) for m in r]
                worst_wall = max(range(len(r)), key=lambda k: wall[k])
                worst_cpu = max(range(len(r)), key=lambda k: cpu[k])
                rows.append((label, "busy" if busy else "no extra load", "default" if threads is None else "1",
                             f"{statistics.median(m['plain_wall'] for m in r) * 1e3:.1f} ms",
                             f"{statistics.median(wall):.2f}", f"{max(wall):.2f}", r[worst_wall]["name"],
                             f"{statistics.median(cpu):.2f}", f"{max(cpu):.2f}", r[worst_cpu]["name"]))
                print(rows[-1], file=sys.stderr, flush=True)
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    return "\n".join(lines + ["| " + " | ".join(r) + " |" for r in rows])


def check(builds, n):
    results = [(label, child(CHECK, d, 1, False, [n, 1 if k == len(builds) - 1 else 0]))
               for k, (label, d) in enumerate(builds)]
    lines = []
    ok = True
    first_label, first = results[0]
    for label, r in results[1:]:
        same = sum(first["peaks"][name] == r["peaks"].get(name) for name in first["peaks"])
        ok &= same == len(first["peaks"])
        lines.append(f"peaks (2 and 3 generations), {label} against {first_label}: "
                     f"{same} of {len(first['peaks'])} molecules identical")
    label, last = results[-1]
    ok &= not last["mismatches"]
    lines.append(f"counts of {label} against numpy's eigenvalues: {last['fragments']} fragments, "
                 f"{last['trials']} trial cuts, {len(last['mismatches'])} differences")
    for m in last["mismatches"][:20]:
        lines.append(f"    {m}")
    return "\n".join(lines), ok


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", action="append", default=[],
                    help="LABEL=DIR: an extension build to time or check (repeatable); default: the installed one")
    ap.add_argument("--molecules", type=int, default=163, help="corpus molecules (default: all 163)")
    ap.add_argument("--busy", action="store_true", help="also time with one other CPU-bound process running")
    ap.add_argument("--check", action="store_true", help="check peaks across builds and counts against numpy")
    ap.add_argument("--out", help="also write the table to this file")
    ns = ap.parse_args()
    builds = [b.split("=", 1) for b in ns.build] or [["installed", ""]]
    if ns.check:
        text, ok = check(builds, ns.molecules)
        print(text)
        sys.exit(0 if ok else 1)
    text = timing(builds, ns.molecules, ns.busy)
    print(text)
    if ns.out:
        Path(ns.out).write_text(f"load average at start {os.getloadavg()[0]:.1f}, {os.cpu_count()} cores, "
                                f"{ns.molecules} corpus molecules\n\n{text}\n")


if __name__ == "__main__":
    main()
