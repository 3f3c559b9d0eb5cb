"""Atom layout over the benzodiazepine corpus: ``python bench/bench_layout.py``.

Per molecule: the RDKit depiction alone (SetPreferCoordGen + Compute2DCoords)
and the whole compute_atom_layout call (depiction, 600 force iterations,
alignment and mirror clean-up), medians of a few repeats.  The summary line
gives the totals and the median share of the call spent outside RDKit.
"""
import argparse
import statistics
import sys
import time
from pathlib import Path

from rdkit import Chem, RDLogger
from rdkit.Chem import rdDepictor

import corvane

RDLogger.DisableLog("rdApp.*")
CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "bzr.smi"


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def load(path):
    for line in Path(path).read_text().splitlines():
        if line.strip():
            smi, _, name = line.partition("\t")
            mol = Chem.MolFromSmiles(smi.strip())
            if mol is not None:
                yield name.strip() or smi.strip(), Chem.AddHs(mol)


def depict(mol):
    rdDepictor.SetPreferCoordGen(True)
    rdDepictor.Compute2DCoords(mol)


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("--corpus", default=str(CORPUS))
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--quiet", action="store_true", help="summary line only")
    args = ap.parse_args(argv)

    rows = []
    for name, mol in load(args.corpus):
        t_dep = median_time(lambda: depict(mol), args.repeats)
        t_all = median_time(lambda: corvane.compute_atom_layout(mol), args.repeats)
        rows.append((name, mol.GetNumAtoms(), t_dep, t_all))
        if not args.quiet:
            print(f"{name[:32]:32s} {mol.GetNumAtoms():4d} atoms  depiction {t_dep * 1e3:8.2f} ms"
                  f"  layout {t_all * 1e3:8.2f} ms  rest {(t_all - t_dep) * 1e3:7.2f} ms")
    if not rows:
        print("no molecules read", file=sys.stderr)
        return 1
    dep = sum(r[2] for r in rows)
    tot = sum(r[3] for r in rows)
    rest = [max(r[3] - r[2], 0.0) for r in rows]
    print(f"summary: {len(rows)} molecules, {statistics.median(r[1] for r in rows):.0f} atoms median; "
          f"depiction {dep * 1e3:.1f} ms, compute_atom_layout {tot * 1e3:.1f} ms in total; "
          f"beyond the depiction {statistics.median(rest) * 1e3:.2f} ms median, {max(rest) * 1e3:.2f} ms max "
          f"per molecule ({(tot - dep) / tot:.0%} of the total)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
