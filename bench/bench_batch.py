"""Throughput and memory of batch prediction (`corvane predict`), against a plain loop.

    python bench/bench_batch.py [--repeat 4] [--rounds 3] [--busy 2] [--memory] [--dask]
    python bench/bench_batch.py --warm-start [--rounds 3]

- loop: one process calling corvane.VIF(smiles, draw=False, verbose=False) on
  every molecule of the corpus (repeated --repeat times), with numpy's default
  BLAS threads and with one BLAS thread;
- --jobs 1 and --jobs 2: the batch engine (MSP output, the default chunk
  size), wall time from the call to the sealed and assembled file, so worker
  start-up is included;
- --dask local:2 (with --dask): the same through a local Dask cluster (its
  start-up included);
- --busy N: the same again while N processes spin on the CPU (a busy
  machine, as when other jobs share it);
- --memory: the driver's peak memory for inputs of growing size at one chunk
  size, and for growing chunk sizes on one input (memory follows the chunk
  size, not the input), with the peak memory of each worker.

- --warm-start (alone): how fast workers start and restart. `corvane predict
  --jobs 2 --timeout 2` (the default model) on 24 corpus molecules with three
  macrocycles among them that each run past the time-out, so every run
  replaces three workers; workers forked from the warmed template (now)
  against workers started cold (CORVANE_WORKER_START=cold, the way before),
  with one BLAS thread and numpy's default. Written as the "Warm start"
  section of bench/results_batch.md, leaving the rest of the file as it is.

Every figure is printed with the load average at the time; the machine is
shared, so read ratios measured side by side rather than absolute rates.
Results go to stdout and to bench/results_batch.md.
"""
import argparse
import json
import multiprocessing
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from molecules import corpus_rows  # noqa: E402

LOOP = r"""
import sys, time, json
import corvane
smiles = [l.split("\t")[0] for l in open(sys.argv[1]) if l.strip()]
# The first analysis looks up each element in mendeleev's database (about half a
# second per element, once per process); the engine's workers pay it before
# their first record, so the loop pays it before its clock starts too.
corvane.VIF("NC(CSP(=O)(O)F)C(=O)OCc1ccc(Cl)c(Br)c1I", draw=False, verbose=False)
t0 = time.perf_counter()
for s in smiles:
    corvane.VIF(s, draw=False, verbose=False)
print(json.dumps({"seconds": time.perf_counter() - t0, "n": len(smiles)}))
"""

ENGINE = r"""
import sys, time, json, resource
from corvane_spectra.batch import engine
opts = engine.Options(input=sys.argv[1], output=sys.argv[2], jobs=int(sys.argv[3]) or None,
                      dask=sys.argv[4] or None, chunk_size=int(sys.argv[5]), quiet=True, force=True,
                      model="schematic")
ru0 = resource.getrusage(resource.RUSAGE_SELF)
t0 = time.perf_counter()
s = engine.run(opts)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"seconds": wall, "n": s.records, "failed": s.failed, "steady_rate": s.steady_rate,
                  "driver_cpu": ru.ru_utime + ru.ru_stime - ru0.ru_utime - ru0.ru_stime, "driver_rss_kb": s.driver_peak_rss_kb,
                  "worker_rss_kb": s.worker_peak_rss_kb}))
"""


WARM = r"""
import sys, time, json
from corvane_spectra.batch import engine, pool
pools = []
init = pool.WorkerPool.__init__
def counted(self, *a, **k):
    pools.append(self)
    init(self, *a, **k)
pool.WorkerPool.__init__ = counted
kills = int(sys.argv[4]) if len(sys.argv) > 4 else 0


def killer():
    # A crash: SIGKILL to a worker once it is ready, then to its successor once that one is.
    import os, signal
    while not pools or pools[0].first_answer is None:
        time.sleep(0.005)
    for _ in range(kills):
        while True:
            w = pools[0].workers[0]
            if w.ready and w.alive and w.pid:
                break
            time.sleep(0.005)
        os.kill(w.pid, signal.SIGKILL)
        while pools[0].workers[0] is w:
            time.sleep(0.005)


if kills:
    import threading
    threading.Thread(target=killer, daemon=True).start()
t0 = time.monotonic()
s = engine.run(engine.Options(input=sys.argv[1], output=sys.argv[2], jobs=2, timeout=float(sys.argv[3]),
                              quiet=True, force=True))
print(json.dumps({"seconds": time.monotonic() - t0, "n": s.records, "failed": s.failed,
                  "start": s.worker_start, "first_answer_s": s.first_answer_s,
                  "call_to_first_answer_s": pools[0].first_answer - t0, "restart_s": s.restart_s}))
"""
MACROCYCLE = "C1" + "C" * 400 + "C1"  # far more than 2 s of depiction and layout


def load() -> str:
    return "%.1f %.1f %.1f" % os.getloadavg()


def run_py(code, *args, env=None):
    e = dict(os.environ, MPLBACKEND="Agg")
    e.update(env or {})
    out = subprocess.run([sys.executable, "-P", "-c", code, *map(str, args)], capture_output=True,
                         text=True, env=e, check=True, cwd=tempfile.gettempdir())
    return json.loads(out.stdout.strip().splitlines()[-1])


def spin():
    while True:
        pass


def replace_section(path: Path, title: str, text: str) -> None:
    """Puts ``text`` (starting with ``title``) in place of that section of ``path``, or at its end."""
    old = path.read_text() if path.exists() else ""
    start = old.find(title + "\n")
    if start < 0:
        new = old.rstrip("\n") + "\n\n" + text
    else:
        end = old.find("\n## ", start + len(title))
        new = old[:start] + (text.rstrip("\n") + "\n\n" + old[end + 1:] if end >= 0 else text)
    path.write_text(new)


WARM_TITLE = "## Warm start"


def warm_start(rounds: int) -> str:
    rows = corpus_rows()[:24]
    work = Path(tempfile.mkdtemp(prefix="bench-warm-"))
    src = work / "warm.smi"
    lines_in = [f"{s}\t{n}\n" for s, n in rows]
    for k, at in enumerate((4, 12, 20)):
        lines_in.insert(at + k, f"{MACROCYCLE}\tmacrocycle-{k}\n")
    src.write_text("".join(lines_in))
    out = [WARM_TITLE, "",
           f"`python bench/bench_batch.py --warm-start --rounds {rounds}` on {platform.node()} ({os.cpu_count()} cores), "
           f"median of {rounds} runs each: `corvane predict --jobs 2 --timeout 2` (the default model) on 24 corpus "
           "molecules with three macrocycles among them that run past the time-out, so each run replaces three "
           "workers. *first answer*: from the first worker's start (its fork from the warmed template; when cold, its "
           "launch) to the first answer; *from the call*: from the engine's start to the first answer (this "
           "includes the template's own warm-up); *restart*: from taking a timed-out worker out to its successor "
           "being ready for a molecule (median and worst over all runs; a cold successor still warming up when the run ends is not counted). Before: every worker its own "
           "interpreter (CORVANE_WORKER_START=cold, the same code as before but for the warm-up, which is "
           "now a whole prediction). Figures as measured, with the machine's load average beside each row.", "",
           "| workers | BLAS threads | first answer s | from the call s | restart s (median / worst) "
           "| run s | load (1/5/15 min) |", "|---|---|---|---|---|---|---|"]
    for start in ("cold", "fork"):
        for blas in ("1", ""):
            env = {"CORVANE_WORKER_START": start, "OPENBLAS_NUM_THREADS": blas, "OMP_NUM_THREADS": blas}
            res = [run_py(WARM, src, work / "out.msp", 2, env=env) for _ in range(rounds)]
            for r in res:
                assert r["start"] == start and r["failed"] == 3, r
            med = lambda k: statistics.median(r[k] for r in res)  # noqa: E731
            restarts = [x for r in res for x in r["restart_s"]]
            row = (f"| {'forked from the template (after)' if start == 'fork' else 'cold (before)'} | "
                   f"{blas or 'default'} | {med('first_answer_s'):.2f} | {med('call_to_first_answer_s'):.2f} | "
                   + (f"{statistics.median(restarts):.2f} / {max(restarts):.2f}" if restarts else "–")
                   + f" | {med('seconds'):.1f} | {load()} |")
            out.append(row)
            print(row, json.dumps(res), flush=True)
    # Crashes: the whole corpus without time-outs, a worker killed (SIGKILL) twice per run.
    whole = work / "whole.smi"
    whole.write_text("".join(f"{s}\t{n}\n" for s, n in corpus_rows()))
    out += ["", "After a crash (forked workers only: a cold successor takes as long as after a time-out): "
            "the whole corpus, a worker killed with SIGKILL once it is ready and again once its successor is; "
            "restart from the pool's noticing the death to the successor being ready.", "",
            "| workers | BLAS threads | crash restart s (median / worst) | load (1/5/15 min) |", "|---|---|---|---|"]
    for blas in ("1", ""):
        env = {"OPENBLAS_NUM_THREADS": blas, "OMP_NUM_THREADS": blas}
        res = [run_py(WARM, whole, work / "whole.msp", 60, 2, env=env) for _ in range(rounds)]
        restarts = [x for r in res for x in r["restart_s"]]
        # On a quick machine the run may end before a worker could be killed.
        caught = (f"{statistics.median(restarts):.2f} / {max(restarts):.2f} ({len(restarts)} restarts)"
                  if restarts else "– (the run ended before a worker was killed)")
        row = f"| forked from the template | {blas or 'default'} | {caught} | {load()} |"
        out.append(row)
        print(row, json.dumps(res), flush=True)
    out += ["", "Goals: first answer ≤ 2 s after the first worker's fork; a restart ≤ 0.5 s.", ""]
    return "\n".join(out)


def main():
    if "--warm-start" in sys.argv:
        ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
        ap.add_argument("--warm-start", action="store_true")
        ap.add_argument("--rounds", type=int, default=2, help="timed runs per figure; the median is kept")
        args = ap.parse_args()
        text = warm_start(args.rounds)
        print(text)
        replace_section(HERE / "results_batch.md", WARM_TITLE, text)
        return
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=2, help="corpus copies in the input (default 2)")
    ap.add_argument("--rounds", type=int, default=2, help="timed runs per figure; the median is kept")
    ap.add_argument("--busy", type=int, default=0, help="also measure with N spinning processes")
    ap.add_argument("--dask", action="store_true", help="also time --dask local:2")
    ap.add_argument("--memory", action="store_true", help="driver memory against input and chunk size")
    ap.add_argument("--chunk-size", type=int, default=500)
    args = ap.parse_args()

    rows = corpus_rows()
    work = Path(tempfile.mkdtemp(prefix="bench-batch-"))
    src = work / "corpus.smi"
    src.write_text("".join(f"{s}\t{n}-{k}\n" for k in range(args.repeat) for s, n in rows))
    n = len(rows) * args.repeat
    lines = [f"# batch prediction benchmark", "",
             f"Machine: {platform.node()} · {os.cpu_count()} cores · Python {platform.python_version()} · "
             f"{n} molecules (the corpus × {args.repeat}) · median of {args.rounds} runs", "",
             "Engine rows: wall time from the call to the assembled file (worker start-up included: about 4 s "
             "importing corvane and 4-6 s for its first analysis, which looks each element up in mendeleev's "
             "database) and the rate after start-up (from the first answer to the "
             "last), which is what a library of 10^5 molecules sees. The loop's time leaves its import and that first analysis out.", "",
             "| what | BLAS threads | spinning processes | seconds | molecules/s | after start-up | per core "
             "| vs loop (after start-up) | load (1/5/15 min) |",
             "|---|---|---|---|---|---|---|---|---|"]

    def measure(label, fn, cores, blas, busy):
        res = []
        for _ in range(args.rounds):
            res.append(fn())
        secs = statistics.median(r["seconds"] for r in res)
        rate = n / secs
        steady = statistics.median(r.get("steady_rate") or n / r["seconds"] for r in res)
        row = {"label": label, "blas": blas, "busy": busy, "seconds": secs, "rate": rate, "steady": steady,
               "per_core": steady / cores, "load": load(), "extra": res[-1]}
        print(json.dumps(row), flush=True)
        return row

    results = []
    burners = []
    for busy in ([0, args.busy] if args.busy else [0]):
        for _ in range(busy):
            p = multiprocessing.Process(target=spin, daemon=True)
            p.start()
            burners.append(p)
        blas_one = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
        loop_default = measure("loop", lambda: run_py(LOOP, src), 1, "default", busy)
        loop_one = measure("loop", lambda: run_py(LOOP, src, env=blas_one), 1, "1", busy)
        out = work / "out.msp"
        j1 = measure("--jobs 1", lambda: run_py(ENGINE, src, out, 1, "", args.chunk_size), 1, "1 (workers)", busy)
        j2 = measure("--jobs 2", lambda: run_py(ENGINE, src, out, 2, "", args.chunk_size), 2, "1 (workers)", busy)
        j1d = measure("--jobs 1", lambda: run_py(ENGINE, src, out, 1, "", args.chunk_size,
                                                 env={"OPENBLAS_NUM_THREADS": "", "OMP_NUM_THREADS": ""}),
                      1, "default", busy)
        group = [loop_default, loop_one, j1, j2, j1d]
        if args.dask:
            group.append(measure("--dask local:2", lambda: run_py(ENGINE, src, out, 0, "local:2", args.chunk_size),
                                 2, "1 (workers)", busy))
        for r in group:
            ref = loop_one if r["blas"] != "default" else loop_default
            r["vs_loop"] = r["steady"] / ref["steady"]
        results.extend(group)
        for p in burners:
            p.terminate()
        burners.clear()

    for r in results:
        lines.append(f"| {r['label']} | {r['blas']} | {r['busy']} | {r['seconds']:.2f} | {r['rate']:.1f} | "
                     f"{r['steady']:.1f} | {r['per_core']:.1f} | {r['vs_loop']:.2f} | {r['load']} |")
    lines.append("")
    for busy in sorted({r["busy"] for r in results}):
        by = {(r["label"], r["blas"]): r for r in results if r["busy"] == busy}
        j1, j2 = by[("--jobs 1", "1 (workers)")], by[("--jobs 2", "1 (workers)")]
        lines.append(f"- {busy} spinning: --jobs 1 / loop = {j1['vs_loop']:.2f} (target ≥ 0.95); "
                     f"--jobs 2 / --jobs 1 = {j2['steady'] / j1['steady']:.2f} (target ≥ 1.8; "
                     f"{j2['rate'] / j1['rate']:.2f} with start-up); "
                     f"worker peak RSS {max(j1['extra']['worker_rss_kb'] or [0]) / 1024:.0f} MB; "
                     f"driver CPU {1000 * j2['extra']['driver_cpu'] / n:.2f} ms per molecule")
        dk = by.get(("--dask local:2", "1 (workers)"))
        if dk:
            lines.append(f"- {busy} spinning: --dask local:2 / --jobs 1 = {dk['steady'] / j1['steady']:.2f} "
                         f"after start-up, {dk['rate'] / j1['rate']:.2f} with it")
    # Projection from the cost of one molecule on one core (the --jobs 1 run, idle figure).
    j1 = next(r for r in results if r["label"] == "--jobs 1" and r["busy"] == 0 and r["blas"] == "1 (workers)")
    j2 = next(r for r in results if r["label"] == "--jobs 2" and r["busy"] == 0)
    cost = 1.0 / j1["steady"]
    eff = min(1.0, j2["steady"] / (2 * j1["steady"]))
    driver = j2["extra"]["driver_cpu"] / n
    lines.append("")
    lines.append(f"Projection: {cost * 1000:.1f} core-ms per corpus molecule, scaling efficiency {eff:.2f} "
                 f"(from --jobs 2); one driver seals at most {1 / driver:.0f} molecules/s "
                 f"({driver * 1000:.2f} ms of driver CPU each).")
    for N in (10 ** 6, 10 ** 8):
        t = N * cost / (100 * eff)
        td = N * driver
        drivers = max(1, -(-int(td) // max(1, int(t))))
        lines.append(f"- {N:.0e} molecules on 100 cores: {t / 60:.0f} min of prediction ({t / 3600:.1f} h); "
                     f"one driver needs {td / 60:.0f} min of CPU to seal them, so "
                     + (f"one driver keeps up" if td <= t else
                        f"one driver alone would take {td / 3600:.1f} h: split the input over "
                        f"{drivers} or more runs"))
    if args.memory:
        lines += ["", "## Driver memory", "",
                  "| molecules | chunk size | jobs | driver peak RSS MB | worker peak RSS MB | load |", "|---|---|---|---|---|---|"]
        for reps, chunk in ((2, 50), (8, 50), (8, 400)):
            p = work / f"mem-{reps}.smi"
            p.write_text("".join(f"{s}\t{nm}-{k}\n" for k in range(reps) for s, nm in rows))
            r = run_py(ENGINE, p, work / "mem.jsonl", 2, "", chunk)
            lines.append(f"| {r['n']} | {chunk} | 2 | {r['driver_rss_kb'] / 1024:.0f} | "
                         f"{max(r['worker_rss_kb'] or [0]) / 1024:.0f} | {load()} |")
            print(lines[-1], flush=True)
    text = "\n".join(lines) + "\n"
    print(text)
    old = (HERE / "results_batch.md").read_text() if (HERE / "results_batch.md").exists() else ""
    (HERE / "results_batch.md").write_text(text)
    if WARM_TITLE + "\n" in old:  # the warm-start figures are measured apart (--warm-start): keep them
        start = old.index(WARM_TITLE + "\n")
        end = old.find("\n## ", start + len(WARM_TITLE))
        replace_section(HERE / "results_batch.md", WARM_TITLE, old[start:end + 1] if end >= 0 else old[start:])


if __name__ == "__main__":
    main()
