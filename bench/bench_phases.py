"""Where one large VIF call's time goes, phase by phase, beside the floor's
own parts (bench/run.py, floor_call).

    python bench/bench_phases.py [--molecule acene-1000] [--repeats 3] [--threads 1] [--build DIR]

Each phase is called on its own, on the inputs the VIF call gives it, and
timed in wall-clock and CPU time (best of --repeats; the phases of a round
run one after another, so a busy moment spoils one round, not one phase).
The VIF call is timed whole as well: what it spends beyond the phases timed
here (building the VIF graph and its records from the layout) is the rest.
Runs in a fresh process per BLAS setting (numpy reads it when it loads);
prints a Markdown table.
"""
import argparse
import sys
from pathlib import Path

from _child import run_child

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
sys.path.insert(0, sys.argv[2])
from molecules import prepared_molecule
from run import acene
import networkx as nx
import numpy as np
from rdkit import Chem
from rdkit.Chem import rdDepictor
import corvane
kind, n = sys.argv[3].split("-")
n, repeats = int(n), int(sys.argv[4])
smi = "C" * n if kind == "alkane" else acene(max(1, round((n - 2) / 4)))
corvane.VIF("CCO", draw=False, verbose=False)  # one-time look-ups out of the timing
r = corvane.VIF(smi, draw=False, verbose=False)
H, cb, lpi, softs = r["graph"], r["chem_bonds"], r["lpi"], r["soft_bonds"]
nodes = [(v, dict(d)) for v, d in H.nodes(data=True)]
edges = [(u, v, dict(d)) for u, v, d in H.edges(data=True)]
pos_items = [(v, [float(p[0]), float(p[1])]) for v, p in r["pos"].items()]
mol = prepared_molecule(smi)
def depict():
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(Chem.Mol(mol))
def graph():
    G = nx.Graph()
    G.add_nodes_from(nodes)
    G.add_edges_from(edges)
    return G, {v: np.array(xy) for v, xy in pos_items}
G = graph()[0]
A = nx.to_numpy_array(G)
phases = [
    ("VIF call, whole", lambda: corvane.VIF(smi, draw=False, verbose=False)),
    ("parse and prepare (RDKit)", lambda: prepared_molecule(smi)),
    ("atom ranking (RDKit)", lambda: Chem.CanonicalRankAtoms(Chem.Mol(mol), breakTies=False)),
    ("CoordGen depiction (RDKit)", depict),
    ("layout without its force loop", lambda: corvane.compute_atom_layout(Chem.Mol(mol), n_iter=0)),
    ("layout with its force loop", lambda: corvane.compute_atom_layout(Chem.Mol(mol))),
    ("compute_lpi (eigvalsh of the VIF matrix)", lambda: corvane.compute_lpi(H)),
    ("detect_soft_bonds", lambda: corvane.detect_soft_bonds(H, cb, lpi)),
    ("predict_fragments", lambda: corvane.predict_fragments(Chem.Mol(mol), softs)),
    ("floor: networkx graph and pos dict", graph),
    ("floor: to_numpy_array", lambda: nx.to_numpy_array(G)),
    ("floor: eigvalsh", lambda: np.linalg.eigvalsh(A)),
]
best = {name: [float("inf"), float("inf")] for name, _ in phases}
for _ in range(repeats):
    for name, f in phases:
        t, c = time.perf_counter(), time.process_time()
        f()
        t, c = time.perf_counter() - t, time.process_time() - c
        best[name] = [min(best[name][0], t), min(best[name][1], c)]
print(json.dumps({"nodes": H.number_of_nodes(), "atoms": mol.GetNumAtoms(), "best": best}))
"""


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--molecule", default="acene-1000", help="alkane-N or acene-N (N heavy atoms)")
    ap.add_argument("--repeats", type=int, default=3, help="rounds; each phase's best is kept")
    ap.add_argument("--threads", choices=("1", "default", "both"), default="both",
                    help="numpy's BLAS threads: one, its default, or both in turn")
    ap.add_argument("--build", default="", help="a build folder to import corvane from (default: the installed one)")
    a = ap.parse_args()
    kind = a.molecule.split("-")[0]
    if kind not in ("alkane", "acene") or not a.molecule.split("-")[-1].isdigit():
        ap.error("--molecule must be alkane-N or acene-N")
    settings = {"1": [1], "default": [None], "both": [1, None]}[a.threads]
    results = [(t, run_child(CHILD, [HERE.parent / "tests", HERE, a.molecule, a.repeats], a.build, t))
               for t in settings]
    head = "| phase | " + " | ".join(f"{'1 thread' if t else 'default threads'}: wall s | CPU s" for t, _ in results)
    print(f"{a.molecule}: {results[0][1]['atoms']} atoms, {results[0][1]['nodes']} VIF nodes, "
          f"best of {a.repeats}")
    print()
    print(head + " |")
    print("|---|" + "---|---|" * len(results))
    for name in results[0][1]["best"]:
        cells = " | ".join(f"{r['best'][name][0]:.3f} | {r['best'][name][1]:.3f}" for _, r in results)
        print(f"| {name} | {cells} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
