"""Reading speed and memory of the MSP reader: ``python bench/bench_io.py``.

Builds MSP libraries of 25,000 and 100,000 spectra by repeating the measured
development library (../shared/ei/massbank_ei_dev.msp, 2,520 spectra), plain
and gzip-compressed, and reads each one in a fresh process, the way a user
iterates a library: ``for s in corvane_spectra.io.read(path): ...``.  Per
file: spectra per minute (wall clock and CPU), the resident set size after
import and its peak while reading.  A streaming reader's peak must not grow
with the size of the file.

Every figure is measured with numpy's default BLAS threads and with one
thread, on the machine as it is and with two extra busy processes
(``--busy 0`` leaves those out); each row carries the load average.
Reading uses no BLAS; the two thread settings are there to show it.
Results go to bench/results_io.md.
"""
import argparse
import gzip
import json
import multiprocessing
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEV = HERE.parent.parent / "shared" / "ei" / "massbank_ei_dev.msp"
TARGET_PER_MIN = 200_000


def child(path):
    """Read one library and report what it took (runs in a fresh process)."""
    import corvane_spectra.io as sio

    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t0, c0 = time.perf_counter(), time.process_time()
    n = peaks = 0
    for sp in sio.read(path):
        n += 1
        peaks += len(sp)
    wall, cpu = time.perf_counter() - t0, time.process_time() - c0
    print(json.dumps({"n": n, "peaks": peaks, "wall": wall, "cpu": cpu, "rss0_mb": rss0 / 1024,
                      "rss_peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))


def make_library(src: Path, n: int, dest: Path):
    """The first n spectra of src repeated (records separated by blank lines)."""
    records = [r.strip() + "\n\n" for r in src.read_text().split("\n\n") if r.strip()]
    opener = gzip.open if dest.suffix == ".gz" else open
    with opener(dest, "wt", encoding="utf-8") as f:
        for i in range(n):
            f.write(records[i % len(records)])


def spin(stop, parent):
    # Busy until told to stop, or until the benchmark itself is gone.
    while not stop.is_set() and os.getppid() == parent:
        pass


def load():
    return os.getloadavg()[0]


def measure(path, blas_threads):
    env = dict(os.environ)
    for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(v, None)
        if blas_threads:
            env[v] = str(blas_threads)
    before = load()
    # -P: the installed build, not the source folder of the checkout
    out = subprocess.run([sys.executable, "-P", __file__, "--child", str(path)], env=env,
                         capture_output=True, text=True, check=True)
    r = json.loads(out.stdout.strip().splitlines()[-1])
    r["load"] = max(before, load())
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--source", type=Path, default=DEV, help="MSP library to repeat (default: %(default)s)")
    ap.add_argument("--sizes", default="25000,100000", help="library sizes in spectra (default: %(default)s)")
    ap.add_argument("--busy", type=int, default=2, help="extra busy processes for the busy runs (0: none)")
    ap.add_argument("--out", type=Path, default=HERE / "results_io.md", help="results file (default: %(default)s)")
    args = ap.parse_args()
    if args.child:
        child(args.child)
        return
    if not args.source.exists():
        sys.exit(f"library not found: {args.source}")
    sizes = [int(s) for s in args.sizes.split(",")]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        files = []
        for n in sizes:
            for ext in (".msp", ".msp.gz"):
                p = Path(tmp) / f"lib{n}{ext}"
                make_library(args.source, n, p)
                files.append((n, ext, p))
        # "as is": the machine with whatever else runs on it (the load average
        # says how busy it was); "+N busy": N spinning processes besides.
        states = [("as is", 0)] + ([(f"+{args.busy} busy", args.busy)] if args.busy else [])
        for state, n_busy in states:
            stop = multiprocessing.Event()
            burners = [multiprocessing.Process(target=spin, args=(stop, os.getpid()), daemon=True)
                       for _ in range(n_busy)]
            for b in burners:
                b.start()
            try:
                for n, ext, p in files:
                    for blas in (None, 1):
                        r = measure(p, blas)
                        assert r["n"] == n, r
                        r.update(size=n, ext=ext, state=state, blas="default" if blas is None else "1",
                                 mb=p.stat().st_size / 2**20)
                        rows.append(r)
                        print(f"{state:8} {ext:7} {n:>7} spectra  BLAS {r['blas']:7}  "
                              f"{n / r['wall'] * 60:>10,.0f}/min wall  {n / r['cpu'] * 60:>10,.0f}/min CPU  "
                              f"RSS {r['rss0_mb']:.0f} -> {r['rss_peak_mb']:.0f} MB  load {r['load']:.1f}", flush=True)
            finally:
                stop.set()
                for b in burners:
                    b.join()
    lines = [
        "# Reading spectra: MSP reader",
        "",
        f"Machine: {platform.machine()} · {os.cpu_count()} cores · Python {platform.python_version()} · "
        f"source {args.source.name} repeated · target {TARGET_PER_MIN:,} spectra/min",
        "",
        "\"as is\": the machine with whatever else ran on it (see the load average); \"+N busy\": N extra spinning "
        "processes beside the reader (`--busy`). RSS after import and at its peak while reading: a streaming "
        "reader's peak does not grow with the file.",
        "",
        "| machine | file | spectra | MB | BLAS threads | spectra/min (wall) | spectra/min (CPU) | RSS import MB | "
        "RSS peak MB | load avg |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(f"| {r['state']} | {r['ext']} | {r['size']:,} | {r['mb']:.0f} | {r['blas']} | "
                     f"{r['size'] / r['wall'] * 60:,.0f} | {r['size'] / r['cpu'] * 60:,.0f} | {r['rss0_mb']:.0f} | "
                     f"{r['rss_peak_mb']:.0f} | {r['load']:.1f} |")
    args.out.write_text("\n".join(lines) + "\n")
    print(f"written {args.out}")


if __name__ == "__main__":
    main()
