"""Benchmarks of library search and evaluation (corvane_spectra).

    .venv/bin/python bench/bench_score.py [--size 100000] [--queries 200] [--evaluate 60] [--busy 2]

- query: one ``Library.search(query, top=10)`` (wall time, and the process's
  CPU time, which a busy machine inflates less) against a library of --size
  spectra (measured EI spectra of the development file, repeated with their
  intensities jittered and a random share of their peaks dropped, so the
  index holds realistic m/z distributions), with and without the cut at the
  query's lowest m/z; and against as many predicted-like spectra (a dozen
  peaks each).  Median and 95th percentile in ms, and the library's memory.
- evaluate: ``evaluate`` on the first --evaluate spectra; the share of the
  time spent outside the VIF calls.

Each part runs in a fresh process twice: with numpy's default BLAS threads
and with one; with --busy N also while N processes keep the cores busy.
Results go to stdout and bench/results_score.md with the load average.
"""
from __future__ import annotations

import argparse
import json
import multiprocessing as mp
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEV_MSP = next((p for p in (HERE.parents[1] / "shared" / "ei" / "massbank_ei_dev.msp",
                            Path("/work/shared/ei/massbank_ei_dev.msp")) if p.exists()), None)


def _burn(stop_at):
    x = 0
    while time.time() < stop_at:
        x += 1


def load_average() -> str:
    try:
        return " / ".join(f"{v:.1f}" for v in os.getloadavg())
    except OSError:
        return "n/a"


# ----------------------------------------------------------------- workers

def work_query(size: int, n_queries: int) -> dict:
    import numpy as np

    from corvane_spectra import Spectrum, io
    from corvane_spectra.score import Library, lowest_mz

    measured = list(io.read(DEV_MSP))
    rng = np.random.default_rng(0)
    queries = [measured[i] for i in rng.choice(len(measured), size=n_queries, replace=False)]

    def jittered(k):
        base = measured[k % len(measured)]
        keep = rng.random(len(base)) > 0.2
        inten = base.intensity[keep] * rng.uniform(0.7, 1.3, keep.sum())
        return Spectrum(base.mz[keep], inten, {"name": f"{base.name}#{k}"})

    def predicted_like(k):
        base = measured[k % len(measured)]
        n = min(len(base), int(rng.integers(4, 16)))
        mz = np.sort(rng.choice(base.mz, size=n, replace=False))
        return Spectrum(mz, np.where(mz == mz.max(), 100.0, 60.0), {"name": f"pred#{k}"})

    out = {}
    for label, make, power in (("measured-like", jittered, 0.5), ("predicted-like", predicted_like, 1.0)):
        t0 = time.perf_counter()
        lib = Library((make(k) for k in range(size)), intensity_power=power)
        lib.search(queries[0], top=10)                    # builds the index
        build = time.perf_counter() - t0
        for cut in (False, True):
            times, cpu = [], []
            for q in queries:
                mm = lowest_mz(q) if cut else None
                t, c = time.perf_counter(), time.process_time()
                lib.search(q, top=10, min_mz=mm, query_intensity_power=0.5)
                times.append(time.perf_counter() - t)
                cpu.append(time.process_time() - c)
            times.sort()
            out[f"{label}{', cut at lowest m/z' if cut else ''}"] = {
                "median_ms": 1000 * statistics.median(times),
                "p95_ms": 1000 * times[int(0.95 * (len(times) - 1))],
                "cpu_mean_ms": 1000 * statistics.fmean(cpu),
                "build_s": build, "memory_mb": lib.memory_bytes / 2 ** 20,
                "peaks": lib._core.peak_count,
            }
    return out


def work_evaluate(n: int) -> dict:
    from corvane_spectra import io
    from corvane_spectra.evaluate import evaluate

    t0 = time.perf_counter()
    ev = evaluate(io.read(DEV_MSP), limit=n, model="schematic")
    total = time.perf_counter() - t0
    return {"n": len(ev.records), "failed": len(ev.failed), "total_s": total, "vif_s": ev.seconds_vif,
            "share_outside_vif": (total - ev.seconds_vif) / total}


def run_worker(kind: str, args, blas_default: bool) -> dict:
    env = dict(os.environ, MPLBACKEND="Agg")
    for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        if blas_default:
            env.pop(v, None)
        else:
            env[v] = "1"
    cmd = [sys.executable, __file__, "--worker", kind, "--size", str(args.size), "--queries", str(args.queries),
           "--evaluate", str(args.evaluate)]
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(r.stdout.strip().splitlines()[-1])


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size", type=int, default=100_000, help="library size (default 100000)")
    ap.add_argument("--queries", type=int, default=200, help="queries timed (default 200)")
    ap.add_argument("--evaluate", type=int, default=60, help="spectra evaluated (default 60; 0 skips)")
    ap.add_argument("--busy", type=int, default=0, help="also run with N busy processes")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if DEV_MSP is None:
        print("the development library massbank_ei_dev.msp is not there", file=sys.stderr)
        return 1
    if args.worker:
        res = work_query(args.size, args.queries) if args.worker == "query" else work_evaluate(args.evaluate)
        print(json.dumps(res))
        return 0

    lines = ["# corvane_spectra benchmarks", "",
             f"Machine: {platform.node()} · {os.cpu_count()} cores · Python {platform.python_version()}",
             "", "\"as found\": the machine with whatever else runs on it (see the load average); "
             "\"busy\": the same with N more processes spinning.", ""]
    conditions = [("as found", 0)] + ([("busy", args.busy)] if args.busy else [])
    for cond, n_busy in conditions:
        procs = []
        if n_busy:
            stop = time.time() + 3600
            procs = [mp.Process(target=_burn, args=(stop,), daemon=True) for _ in range(n_busy)]
            for p in procs:
                p.start()
        try:
            for blas_default in (True, False):
                blas = "default BLAS threads" if blas_default else "1 BLAS thread"
                load = load_average()
                q = run_worker("query", args, blas_default)
                lines += [f"## Query, {args.size} spectra ({cond}: +{n_busy} busy processes, {blas}, load {load})",
                          "", "| library | median ms | p95 ms | CPU ms (mean) | build s | memory MB | peaks |",
                          "|---|---|---|---|---|---|---|"]
                for k, v in q.items():
                    lines.append(f"| {k} | {v['median_ms']:.2f} | {v['p95_ms']:.2f} | {v['cpu_mean_ms']:.2f} | "
                                 f"{v['build_s']:.1f} | "
                                 f"{v['memory_mb']:.0f} | {v['peaks']} |")
                lines.append("")
                print("\n".join(lines[-len(q) - 5:]), flush=True)
                if args.evaluate:
                    load = load_average()
                    e = run_worker("evaluate", args, blas_default)
                    lines += [f"## evaluate, first {args.evaluate} spectra ({cond}, {blas}, load {load})", "",
                              f"{e['n']} evaluated, {e['failed']} failed: {e['total_s']:.1f} s in all, "
                              f"VIF {e['vif_s']:.1f} s, outside VIF {100 * e['share_outside_vif']:.1f} %", ""]
                    print("\n".join(lines[-3:]), flush=True)
        finally:
            for p in procs:
                p.terminate()
    (HERE / "results_score.md").write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
