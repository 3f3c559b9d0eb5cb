"""The driver's load and the throughput of `corvane predict --dask`, and a projection to large runs.

    python bench/bench_dask.py [--repeat 10] [--before REV] [--chunk-size 100]

A Dask scheduler and one `dask worker --nworkers 2 --nthreads 1` are started
as their own processes on 127.0.0.1 (as on a real cluster, so the driver's
CPU time is its own and not the scheduler's; the scheduler's is measured
beside it). The driver is `engine.run` in a process of its own, timed with
its process CPU time (user + system).

End to end, for each code version (this tree, and with --before REV the
corvane_spectra of that git revision, taken with `git archive`): a warm-up
run (the workers' corvane start-up, about 10 s, is paid there), then runs on
the corpus x 1 and x REPEAT at --chunk-size and on the corpus x REPEAT at
half that chunk size: wall time, throughput with 2 workers after start-up,
the driver's and the scheduler's CPU time.

The driver's part of such runs is a few tenths of a second, within the noise
of a busy machine, so its cost is also measured part by part on the same
kind of cluster, each part repeated until it takes seconds (process CPU time
of the driver):

- per molecule: reading and chunking the input (`inputs.read_records`,
  `chunked`), pickling a chunk's records into its task;
- per chunk, before (the driver seals): a task whose answer is the chunk's
  spectra (real MSP records of the corpus, as a worker returns them) fetched
  by the driver, then the shard made and sealed (`chunk_payload`,
  `WorkDir.seal`: write, fsync, rename, manifest line);
- per chunk, after (the workers seal): a task whose answer is the shard's
  name, size and digest, then `WorkDir.record` (the manifest line, fsync);
- the scheduler's CPU per task, from a burst of such tasks.

The projection for N molecules on C cores at chunk size 500 (the default):

    driver CPU = N * (read + pickle) + N / 500 * (per-chunk cost)
    wall       = max(N * w / C, driver CPU) + start-up,  w = 2 / (2-worker throughput)
    driver load = driver CPU / wall (1.0: one core busy all the time)

The machine is shared with other developers' builds and tests: each row
carries the load average at the time. Results go to stdout and to
bench/results_dask.md.
"""
import argparse
import glob
import json
import os
import pickle
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from molecules import corpus_rows  # noqa: E402

ENGINE = r"""
import sys, time, json, resource
from corvane_spectra.batch import engine
opts = engine.Options(input=sys.argv[1], output=sys.argv[2], dask=sys.argv[3], chunk_size=int(sys.argv[4]),
                      quiet=True, force=True)
ru0 = resource.getrusage(resource.RUSAGE_SELF)
t0 = time.perf_counter()
s = engine.run(opts)
wall = time.perf_counter() - t0
ru = resource.getrusage(resource.RUSAGE_SELF)
print(json.dumps({"seconds": wall, "n": s.records, "failed": s.failed, "steady_rate": s.steady_rate,
                  "driver_cpu": ru.ru_utime + ru.ru_stime - ru0.ru_utime - ru0.ru_stime,
                  "driver_rss_kb": s.driver_peak_rss_kb}))
"""


def load() -> str:
    return "%.1f %.1f %.1f" % os.getloadavg()


def proc_cpu(pid: int) -> float:
    """CPU seconds (user + system) of a process and its finished children."""
    f = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return sum(int(x) for x in f[11:15]) / os.sysconf("SC_CLK_TCK")


def env_for(pythonpath: str | None) -> dict:
    e = dict(os.environ, MPLBACKEND="Agg", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    if pythonpath:
        e["PYTHONPATH"] = pythonpath + (os.pathsep + e["PYTHONPATH"] if e.get("PYTHONPATH") else "")
    return e


class Cluster:
    """A scheduler and two one-thread workers, each its own process."""

    def __init__(self, work: Path, env: dict):
        self.env = env
        sched_file = work / "scheduler.json"
        sched_file.unlink(missing_ok=True)
        common = dict(env=env, cwd=work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.sched = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host",
                                       "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file",
                                       str(sched_file)], **common)
        end = time.monotonic() + 120
        while not (sched_file.exists() and sched_file.stat().st_size):
            if time.monotonic() > end:
                raise RuntimeError("the scheduler did not start")
            time.sleep(0.1)
        self.address = json.loads(sched_file.read_text())["address"]
        self.workers = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", self.address,
                                         "--nworkers", "2", "--nthreads", "1", "--host", "127.0.0.1",
                                         "--no-dashboard"], **common)

    def close(self):
        for p in (self.workers, self.sched):
            p.terminate()
            try:
                p.wait(60)
            except subprocess.TimeoutExpired:
                p.kill()


def run_engine(env, src, out, address, chunk) -> dict:
    r = subprocess.run([sys.executable, "-P", "-c", ENGINE, str(src), str(out), address, str(chunk)],
                       capture_output=True, text=True, env=env, check=True, cwd=tempfile.gettempdir())
    return json.loads(r.stdout.strip().splitlines()[-1])


def measure(label, work, env, src_small, src_big, chunk):
    cl = Cluster(work, env)
    rows = []
    try:
        out = work / "out.msp"
        run_engine(env, src_small, out, cl.address, chunk)  # warm-up: the workers' start-up
        for src, c in ((src_small, chunk), (src_big, chunk), (src_big, max(1, chunk // 2))):
            s0 = proc_cpu(cl.sched.pid)
            r = run_engine(env, src, out, cl.address, c)
            sched = proc_cpu(cl.sched.pid) - s0
            row = {"label": label, "n": r["n"], "chunk": c, "chunks": -(-r["n"] // c), "seconds": r["seconds"],
                   "cpu": r["driver_cpu"], "sched": sched, "steady": r["steady_rate"],
                   "rss_mb": r["driver_rss_kb"] / 1024, "load": load()}
            print(json.dumps(row), flush=True)
            rows.append(row)
    finally:
        cl.close()
    return rows


def _answers_task(recs, texts_path):
    """What a chunk's task answered before: every record's spectrum text (read here, on the worker)."""
    text = open(texts_path, encoding="utf-8").read()
    texts = [t + "\n\n" for t in text.split("\n\n") if t.strip()]
    return [(r.seq, True, texts[i % len(texts)]) for i, r in enumerate(recs)], 0


def _shard_task(recs, name):
    """What a chunk's task answers now: the sealed shard's name, size and digest."""
    if isinstance(recs, bytes):
        recs = pickle.loads(recs)
    return {"file": name, "bytes": 1000 * len(recs), "sha256": "0" * 64}, "", 0


def driver_parts(address: str, work: Path, texts_path: Path, rows_in, chunk: int = 500) -> dict:
    """CPU seconds of the driver (this process) for each part of its work; see the module's description."""
    from dask.distributed import Client, as_completed

    from corvane_spectra.batch.dask_backend import pack

    from corvane_spectra.batch import inputs
    from corvane_spectra.batch.common import chunk_payload
    from corvane_spectra.batch.shards import WorkDir

    big = work / "reading.smi"
    big.write_text("".join(f"{s}\t{n}-{k}\n" for k in range(200) for s, n in rows_in))
    t0 = time.process_time()
    n_read = sum(len(c) for _, c in inputs.chunked(inputs.read_records(str(big)), chunk))
    read = (time.process_time() - t0) / n_read
    recs = list(inputs.read_records(str(big)))
    chunks = [recs[i:i + chunk] for i in range(0, 40 * chunk, chunk)]

    client = Client(address, timeout="60s")
    sched_pid = None
    out = {"read_ms_per_mol": 1000 * read}
    try:
        def burst(fn, arg_of, k, packed):
            futs = [client.submit(fn, pack(chunks[i % len(chunks)]) if packed else chunks[i % len(chunks)],
                                  arg_of(i), pure=False) for i in range(k)]
            for f in as_completed(futs):
                f.result()
                f.release()

        burst(_shard_task, lambda i: f"part-{i:06d}.msp", 4, True)  # the functions reach the workers once
        burst(_answers_task, lambda i: str(texts_path), 2, False)
        # The scheduler's own CPU while idle (heartbeats, periodic work), taken off its figures per task.
        s0 = proc_cpu(SCHED_PID[0])
        time.sleep(5)
        idle = (proc_cpu(SCHED_PID[0]) - s0) / 5
        out["sched_idle_cpu_per_s"] = idle
        # before: the records as a list, the spectra back; after: the records packed, the shard's name back.
        for label, fn, arg_of, k, cut, packed in (
                ("task_small", _shard_task, lambda i: f"part-{i:06d}.msp", 80, chunk, True),
                ("task_spectra", _answers_task, lambda i: str(texts_path), 40, chunk, False),
                ("task_list", _shard_task, lambda i: f"part-{i:06d}.msp", 80, chunk, False),
                ("task_empty", _shard_task, lambda i: f"part-{i:06d}.msp", 80, 0, False)):
            saved = chunks[:]
            if cut == 0:
                chunks[:] = [[]]
            s0 = proc_cpu(SCHED_PID[0])
            w0 = time.perf_counter()
            t0 = time.process_time()
            burst(fn, arg_of, k, packed)
            cpu = time.process_time() - t0
            wall = time.perf_counter() - w0
            chunks[:] = saved
            out[label + "_ms"] = 1000 * cpu / k
            out[label + "_sched_ms"] = 1000 * max(0.0, proc_cpu(SCHED_PID[0]) - s0 - idle * wall) / k
            out[label + "_wall_s"] = wall
        answers, _ = _answers_task(chunks[0], str(texts_path))
    finally:
        client.close()

    wd = WorkDir(str(work / "sealing"), "msp")
    wd.make(exclusive=False)
    wd.create({"bench": 1})
    results = {seq: (ok, payload) for seq, ok, payload in answers}
    arrival = [seq for seq, _, _ in answers]
    t0 = time.process_time()
    for i in range(40):
        data, errors = chunk_payload(chunks[0], results, arrival, "msp", True)
        wd.seal(i, chunks[0][0].seq, len(chunks[0]), data, errors)
    out["seal_ms"] = 1000 * (time.process_time() - t0) / 40
    out["shard_kb"] = len(data) / 1024
    shard = {"file": "", "bytes": len(data), "sha256": "0" * 64}
    t0 = time.process_time()
    for i in range(40, 120):
        wd.record(i, chunks[0][0].seq, len(chunks[0]), dict(shard, file=wd.shard_name(i)), "")
    out["record_ms"] = 1000 * (time.process_time() - t0) / 80
    wd.unlock()
    out["before_chunk_ms"] = out["task_spectra_ms"] + out["seal_ms"]
    out["after_chunk_ms"] = out["task_small_ms"] + out["record_ms"]
    out["chunk"] = chunk
    print(json.dumps(out), flush=True)
    return out


SCHED_PID: list = []


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=10, help="corpus copies in the larger input (default 10)")
    ap.add_argument("--chunk-size", type=int, default=100, help="records per chunk (default 100; halved once)")
    ap.add_argument("--before", metavar="REV", help="also measure corvane_spectra as of this git revision")
    ap.add_argument("--parts-only", action="store_true", help="only the driver's work part by part")
    args = ap.parse_args()

    rows_in = corpus_rows()
    work = Path(tempfile.mkdtemp(prefix="bench-dask-"))
    small = work / "small.smi"
    small.write_text("".join(f"{s}\t{n}\n" for s, n in rows_in))
    big = work / "big.smi"
    big.write_text("".join(f"{s}\t{n}-{k}\n" for k in range(args.repeat) for s, n in rows_in))

    versions = []
    if args.before:
        import corvane_spectra

        tree = work / "before"
        tree.mkdir()
        arch = subprocess.run(["git", "-C", str(HERE.parent), "archive", args.before, "corvane_spectra"],
                              capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(tree)], input=arch, check=True)
        # The compiled part of the package is the installed one (the Python files are what differ).
        for so in glob.glob(os.path.join(os.path.dirname(corvane_spectra.__file__), "_core*")):
            shutil.copy(so, tree / "corvane_spectra")
        versions.append((f"before ({args.before[:9]}: the driver seals)", str(tree)))
    versions.append(("after (the workers seal)", None))

    results = []
    if not args.parts_only:
        for label, path in versions:
            results.append((label, measure(label, work, env_for(path), small, big, args.chunk_size)))

    # The driver's work part by part, on a cluster of this tree's code.
    texts = work / "out.msp"
    if not texts.exists():
        cl = Cluster(work, env_for(None))
        try:
            run_engine(env_for(None), small, texts, cl.address, args.chunk_size)
        finally:
            cl.close()
    cl = Cluster(work, env_for(None))
    SCHED_PID[:] = [cl.sched.pid]
    try:
        parts = driver_parts(cl.address, work, texts, rows_in)
    finally:
        cl.close()

    lines = ["# corvane predict --dask: the driver's load and a projection", "",
             f"Machine: {platform.node()} · {os.cpu_count()} cores, **shared with four other developers' "
             f"builds and tests while this ran** (load average {load()} at the end; beside each row "
             f"below) · Python {platform.python_version()} · default model (scored), MSP output · a "
             "scheduler and `dask worker --nworkers 2 --nthreads 1` as their own processes on 127.0.0.1, "
             "so the driver's CPU time is its own.", ""]
    if results:
        lines += [f"## End to end (the corpus of {len(rows_in)} molecules × 1 and × {args.repeat}, after a "
                  "warm-up run)", "",
                  "| code | molecules | chunk size | wall s | after start-up mol/s | driver CPU s "
                  "| driver CPU / molecules, ms | scheduler CPU s | driver peak RSS MB | load (1/5/15 min) |",
                  "|---|---|---|---|---|---|---|---|---|---|"]
        for label, rows in results:
            for r in rows:
                lines.append(f"| {label} | {r['n']} | {r['chunk']} | {r['seconds']:.1f} | {r['steady']:.1f} | "
                             f"{r['cpu']:.2f} | {1000 * r['cpu'] / r['n']:.3f} | {r['sched']:.2f} | {r['rss_mb']:.0f} | "
                             f"{r['load']} |")
        lines += ["", "The driver's CPU in these runs is mostly its fixed start (imports, connecting: about "
                  "0.4-0.5 s); what it adds per molecule is below the noise here, hence the parts below.", ""]
    c = parts["chunk"]
    lines += ["## The driver's work part by part (process CPU time, chunks of 500 corpus molecules)", "",
              "| part | before (the driver seals) | after (the workers seal) |", "|---|---|---|",
              f"| read and chunk the input, per molecule | {parts['read_ms_per_mol']:.4f} ms | "
              f"{parts['read_ms_per_mol']:.4f} ms |",
              f"| one task: send the records, fetch the answer | {parts['task_spectra_ms']:.2f} ms "
              f"(records as a list; answer: the {c} spectra) | {parts['task_small_ms']:.2f} ms (records packed "
              "in one bytes object; answer: name, size, SHA-256) |",
              f"| seal the shard ({parts['shard_kb']:.0f} kB) and the manifest line | {parts['seal_ms']:.2f} ms | "
              "(on the worker) |",
              f"| the manifest line only | | {parts['record_ms']:.2f} ms |",
              f"| **per chunk of {c}** | **{parts['before_chunk_ms']:.2f} ms** | **{parts['after_chunk_ms']:.2f} ms** |",
              f"| **per molecule, all in** | **{parts['read_ms_per_mol'] + parts['before_chunk_ms'] / c:.4f} ms** | "
              f"**{parts['read_ms_per_mol'] + parts['after_chunk_ms'] / c:.4f} ms** |",
              f"| one driver keeps up with | {1000 / (parts['read_ms_per_mol'] + parts['before_chunk_ms'] / c):,.0f} "
              f"mol/s | {1000 / (parts['read_ms_per_mol'] + parts['after_chunk_ms'] / c):,.0f} mol/s |",
              f"| scheduler CPU per task (burst, its idle CPU taken off) | {parts['task_spectra_sched_ms']:.2f} ms | "
              f"{parts['task_small_sched_ms']:.2f} ms |",
              f"| the same, records as a list (as before) / without records | {parts['task_list_sched_ms']:.2f} ms"
              f" | {parts['task_empty_sched_ms']:.2f} ms |",
              f"| driver CPU per task, records as a list / packed (answer: name, size, SHA-256) | "
              f"{parts['task_list_ms']:.2f} ms | {parts['task_small_ms']:.2f} ms |",
              f"| scheduler CPU while idle, per second (2 workers) | {parts['sched_idle_cpu_per_s']:.3f} s | |", ""]

    # Worker time per molecule: from the end-to-end throughput of this tree (2 workers), else 17 core-ms
    # per molecule, the figure of bench/results_batch.md.
    after_rows = results[-1][1] if results else []
    rate = max((r["steady"] for r in after_rows[1:]), default=0.0)
    w = 2 / rate if rate else 0.017
    lines += ["## Projection", "",
              f"Worker time per molecule w = {1000 * w:.1f} core-ms ("
              + (f"2 workers did {rate:.1f} molecules/s after start-up, this tree, busy machine" if rate
                 else "bench/results_batch.md") + "); start-up 60 s; chunks of 500; "
              "driver CPU = N × (read + per-chunk / 500); wall = max(N × w / cores, driver CPU) + start-up; "
              "driver load = driver CPU / wall. Scheduler load = N / 500 × its CPU per task / wall.", "",
              "| code | molecules | cores | prediction h (N × w / cores) | driver CPU h | wall h | driver load "
              "| scheduler load | under 12 h with one driver? |", "|---|---|---|---|---|---|---|---|---|"]
    for label, key in (("before (the driver seals)", "before"), ("after (the workers seal)", "after")):
        per_mol = (parts["read_ms_per_mol"] + parts[f"{key}_chunk_ms"] / c) / 1000
        sched = parts["task_spectra_sched_ms" if key == "before" else "task_small_sched_ms"] / 1000
        for N in (10 ** 6, 10 ** 8):
            for cores in (100, 1000):
                pred = N * w / cores
                driver = N * per_mol
                wall = max(pred, driver) + 60
                lines.append(f"| {label} | 10^{len(str(N)) - 1} | {cores} | {pred / 3600:.2f} | {driver / 3600:.2f} | "
                             f"{wall / 3600:.2f} | {driver / wall:.2f} | {N / c * sched / wall:.3f} | "
                             f"{'yes' if wall < 12 * 3600 else 'no'} |")
    text = "\n".join(lines) + "\n"
    print(text)
    # What follows the mark in the results file is written by hand (the reading of the figures): kept.
    dest = HERE / "results_dask.md"
    old = dest.read_text() if dest.exists() else ""
    if KEEP in old:
        text += "\n" + old[old.index(KEEP):]
    dest.write_text(text)


KEEP = "<!-- below: written by hand, kept by bench_dask.py -->"


if __name__ == "__main__":
    main()
