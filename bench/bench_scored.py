"""Cost of the scored spectrum against the schematic one.

    .venv/bin/python bench/bench_scored.py [--n 40] [--blas-threads N] [--repeats 3]

For the first N corpus molecules, the median time of
``predict(smiles, model="schematic")`` (one VIF call) and of
``predict(smiles, model="scored")`` (one VIF call, candidate enumeration,
scoring, annotations), measured alternately in the same process so that both
see the same machine load.  Prints per-molecule ratios, the median and the
total ratio, the BLAS threads and the load average; run it once on a quiet
machine and once on a busy one, with one BLAS thread and with numpy's default.
"""
import argparse
import os
import statistics
import sys
import time

ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
ap.add_argument("--n", type=int, default=40, help="number of corpus molecules (default 40)")
ap.add_argument("--repeats", type=int, default=3, help="timed calls per molecule and mode (default 3)")
ap.add_argument("--blas-threads", default=None,
                help="set the BLAS thread count (default: numpy's own default)")
args = ap.parse_args()
if args.blas_threads is not None:
    for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[v] = str(args.blas_threads)

from pathlib import Path  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from molecules import corpus_rows  # noqa: E402

from corvane_spectra import predict  # noqa: E402


def main():
    rows = corpus_rows()[: args.n]
    ratios, t_sch, t_sco = [], 0.0, 0.0
    print(f"BLAS threads {os.environ.get('OPENBLAS_NUM_THREADS', 'default')} · "
          f"load average at start {os.getloadavg()[0]:.1f} · {os.cpu_count()} cores")
    print("| molecule | schematic ms | scored ms | ratio |")
    print("|---|---|---|---|")
    for row in rows:
        smi, name = row[0], row[1] if len(row) > 1 else row[0]
        try:
            predict(smi), predict(smi, model="scored")     # warm caches
        except ValueError:
            continue
        a, b = [], []
        for _ in range(args.repeats):
            t0 = time.perf_counter()
            predict(smi, model="schematic")
            t1 = time.perf_counter()
            predict(smi, model="scored")
            t2 = time.perf_counter()
            a.append(t1 - t0)
            b.append(t2 - t1)
        ma, mb = statistics.median(a), statistics.median(b)
        t_sch += ma
        t_sco += mb
        ratios.append(mb / ma)
        print(f"| {name} | {ma * 1e3:.1f} | {mb * 1e3:.1f} | {mb / ma:.2f} |", flush=True)
    print(f"\nmedian ratio {statistics.median(ratios):.2f}, total ratio {t_sco / t_sch:.2f}, "
          f"max ratio {max(ratios):.2f} over {len(ratios)} molecules; "
          f"load average at end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
