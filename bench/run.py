"""Benchmarks of corvane: ``./dev.sh bench [--quick] [--memory] [--sizes 50,100]``.

Prints a table and writes it to bench/results.md with the machine it ran on.
Timings are medians of repeated runs; ratios are measured in the same run.

- floor: what one VIF(smiles, draw=False, verbose=False) call cannot avoid:
  the RDKit calls (parse, property cache, aromaticity and kekulization,
  AddHs, atom ranking, depiction), building the returned networkx graph with
  its attributes and the pos dict, and one eigvalsh of the adjacency matrix.
- soft/lpi: detect_soft_bonds over one compute_lpi of the same VIF graph.
- cascade: predict_fragments_recursive(max_generations=3), module path over
  the plain path forced by rebinding compute_lpi to a Python wrapper.
- memory: resident set size over 10,000 VIF calls (with --memory).
"""
import argparse
import gc
import os
import platform
import resource
import statistics
import sys
import time
from pathlib import Path

# One BLAS thread unless asked otherwise (--blas-threads): on a shared
# machine, spinning BLAS threads make timings of small matrices erratic.
if "--blas-threads" in sys.argv:
    _n = sys.argv[sys.argv.index("--blas-threads") + 1]
else:
    _n = "1"
for _v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_v, _n)

import networkx as nx
import numpy as np
from rdkit import Chem, RDLogger
from rdkit.Chem import rdDepictor

import corvane

RDLogger.DisableLog("rdApp.*")
HERE = Path(__file__).resolve().parent
# The corpus and the driver's preparation of a molecule, as the tests have them.
sys.path.insert(0, str(HERE.parent / "tests"))
from molecules import CORPUS, corpus_rows, prepared_molecule  # noqa: E402


def median_time(fn, repeats=5, budget=None):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
        if budget is not None and sum(times) > budget:
            break
    return statistics.median(times)


def load_corpus():
    rows = corpus_rows()
    if not rows:
        sys.exit(f"corpus not found: {CORPUS}")
    return rows


def ring_label(i):
    return str(i) if i < 10 else (f"%{i}" if i < 100 else f"%({i})")


def acene(k):
    """Linear polyacene of k fused benzene rings (4k + 2 carbons)."""
    if k == 1:
        return "c1ccccc1"
    s = "c1ccc" + ring_label(2) + "".join("c" + "c" + ring_label(i) for i in range(3, k + 1))
    s += "cccc" + "c" + ring_label(k) + "".join("cc" + ring_label(i) for i in range(k - 1, 1, -1)) + "c1"
    return s


def large_molecules(sizes):
    out = []
    for n in sizes:
        out.append((f"alkane-{n}", "C" * n))
        k = max(1, round((n - 2) / 4))
        out.append((f"acene-{4 * k + 2}", acene(k)))
        residues = max(1, round(n / 5))
        out.append((f"peptide-{5 * residues}", "N" + "C(C)C(=O)N" * (residues - 1) + "C(C)C(=O)O"))
    return out


def floor_call(smi, H_nodes, H_edges, pos_items):
    mol = prepared_molecule(smi)
    Chem.CanonicalRankAtoms(mol, breakTies=False)
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(mol)
    H = nx.Graph()
    H.add_nodes_from(H_nodes)
    H.add_edges_from(H_edges)
    pos = {n: np.array(xy) for n, xy in pos_items}
    np.linalg.eigvalsh(nx.to_numpy_array(H))
    return pos


def vif_vs_floor(smi, repeats):
    r = corvane.VIF(smi, draw=False, verbose=False)
    if not isinstance(r, dict):
        return None
    H = r["graph"]
    nodes = [(n, dict(d)) for n, d in H.nodes(data=True)]
    edges = [(u, v, dict(d)) for u, v, d in H.edges(data=True)]
    pos_items = [(n, [float(p[0]), float(p[1])]) for n, p in r["pos"].items()]
    t_vif = median_time(lambda: corvane.VIF(smi, draw=False, verbose=False), repeats)
    t_floor = median_time(lambda: floor_call(smi, nodes, edges, pos_items), repeats)
    return r, t_vif, t_floor


def soft_vs_lpi(r, repeats):
    H, cb, lpi = r["graph"], r["chem_bonds"], r["lpi"]
    t_soft = median_time(lambda: corvane.detect_soft_bonds(H, cb, lpi), repeats, budget=60)
    t_lpi = median_time(lambda: corvane.compute_lpi(H), repeats)
    return t_soft, t_lpi


def cascade_speedup(smi, repeats):
    r = corvane.VIF(smi, draw=False, verbose=False)
    mol = prepared_molecule(smi)
    args = (mol, r["graph"], r["atom_subgraphs"], r["chem_bonds"])

    def run():
        return corvane.predict_fragments_recursive(*args, max_generations=3)

    t_fast = median_time(run, repeats, budget=30)
    own = corvane.compute_lpi
    corvane.compute_lpi = lambda *a, **k: own(*a, **k)
    try:
        t_plain = median_time(run, repeats, budget=60)
    finally:
        corvane.compute_lpi = own
    return t_fast, t_plain


def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def memory_run(corpus, calls=10000, warmup=500):
    smiles = [s for s, _ in corpus]
    before = rss_mb()
    for i in range(warmup):
        corvane.VIF(smiles[i % len(smiles)], draw=False, verbose=False)
    gc.collect()
    after_warmup = rss_mb()
    for i in range(calls):
        corvane.VIF(smiles[i % len(smiles)], draw=False, verbose=False)
    gc.collect()
    end = rss_mb()
    return before, after_warmup, end


PEAK_SCRIPT = """
import resource, sys
from rdkit import RDLogger
import corvane
RDLogger.DisableLog("rdApp.*")
def rss():
    for line in open("/proc/self/status"):
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
base = rss()
corvane.VIF(sys.argv[1], draw=False, verbose=False)
print(base, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
"""


def peak_of_one_call(smi):
    """RSS after import and peak RSS of one VIF call, in a fresh process."""
    import subprocess
    res = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, smi], capture_output=True, text=True, check=True)
    base, peak = map(float, res.stdout.split()[-2:])
    return base, peak


def machine():
    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{platform.node()} · {cpu} · {os.cpu_count()} cores · Python {platform.python_version()} · "
            f"numpy {np.__version__} · networkx {nx.__version__} · "
            f"BLAS threads {os.environ.get('OPENBLAS_NUM_THREADS')} · load average {os.getloadavg()[0]:.1f}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="20 corpus molecules, 3 repeats")
    ap.add_argument("--memory", action="store_true", help="also run 10,000 VIF calls for memory growth")
    ap.add_argument("--sizes", default="50,100,200,400")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--blas-threads", default="1", help="BLAS threads (default 1)")
    ns = ap.parse_args()
    repeats = 3 if ns.quick else ns.repeats
    corpus = load_corpus()
    if ns.quick:
        corpus = corpus[:20]
    lines = ["# corvane benchmarks", "", f"Machine: {machine()}", ""]

    def out(s=""):
        print(s, flush=True)
        lines.append(s)
        # written as it goes, so an interrupted run still leaves its table
        (HERE / "results.md").write_text("\n".join(lines) + "\n")

    # Memory first, before the large molecules leave freed heap behind that
    # would hide a slow leak.
    mem = memory_run(load_corpus()) if ns.memory else None

    out("## Corpus (VIF draw=False, verbose=False)")
    out("")
    out("| molecule | atoms | VIF ms | floor ms | VIF/floor | soft/lpi |")
    out("|---|---|---|---|---|---|")
    ratios, soft_ratios = [], []
    for smi, name in corpus:
        res = vif_vs_floor(smi, repeats)
        if res is None:
            continue
        r, t_vif, t_floor = res
        t_soft, t_lpi = soft_vs_lpi(r, repeats)
        ratios.append(t_vif / t_floor)
        soft_ratios.append(t_soft / t_lpi)
        out(f"| {name} | {len(r['atom_subgraphs'])} | {t_vif * 1e3:.1f} | {t_floor * 1e3:.1f} | "
            f"{t_vif / t_floor:.2f} | {t_soft / t_lpi:.1f} |")
    out("")
    out(f"Median VIF/floor over {len(ratios)} corpus molecules: {statistics.median(ratios):.2f}")
    out(f"Median detect_soft_bonds/compute_lpi: {statistics.median(soft_ratios):.1f}")
    out("")

    sizes = [int(s) for s in ns.sizes.split(",") if s]
    if sizes:
        out("## Large molecules")
        out("")
        out("| molecule | VIF nodes | VIF s | floor s | VIF/floor | soft/lpi |")
        out("|---|---|---|---|---|---|")
        for name, smi in large_molecules(sizes):
            res = vif_vs_floor(smi, 1 if ns.quick else 3)
            if res is None:
                out(f"| {name} | unreadable | | | | |")
                continue
            r, t_vif, t_floor = res
            t_soft, t_lpi = soft_vs_lpi(r, 1 if ns.quick else 3)
            out(f"| {name} | {r['graph'].number_of_nodes()} | {t_vif:.3f} | {t_floor:.3f} | "
                f"{t_vif / t_floor:.2f} | {t_soft / t_lpi:.1f} |")
        out("")

    out("## Multi-generation cascade (max_generations=3)")
    out("")
    out("| molecule | module path ms | plain path ms | speed-up |")
    out("|---|---|---|---|")
    for smi, name in corpus[:5]:
        t_fast, t_plain = cascade_speedup(smi, repeats)
        out(f"| {name} | {t_fast * 1e3:.1f} | {t_plain * 1e3:.1f} | {t_plain / t_fast:.1f} |")
    out("")

    if sizes:
        name, smi = max(large_molecules(sizes), key=lambda m: Chem.AddHs(Chem.MolFromSmiles(m[1])).GetNumAtoms())
        base, peak = peak_of_one_call(smi)
        out("## Peak memory of the largest molecule")
        out("")
        out(f"{name}, one VIF(draw=False) call in a fresh process: RSS {base:.1f} MB after import, "
            f"peak {peak:.1f} MB ({peak - base:+.1f} MB for the call)")
        out("")

    if mem:
        before, warm, end = mem
        out("## Memory (10,000 VIF calls)")
        out("")
        out(f"RSS before: {before:.1f} MB, after 500 warm-up calls: {warm:.1f} MB, after 10,000 more: {end:.1f} MB "
            f"(growth after warm-up {end - warm:+.1f} MB); peak RSS {resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024:.1f} MB")
        out("")

    (HERE / "results.md").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    sys.exit(main())
