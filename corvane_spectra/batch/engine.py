"""The batch engine behind ``corvane predict``.

The input is read as a stream and cut into chunks of ``chunk_size`` records.
Records go to worker processes (or, with ``dask``, whole chunks go to a Dask
cluster); when every record of a chunk has its answer, the chunk is sealed:
its shard and its failures are written and recorded in the manifest (see
``shards``).  On a cluster the worker seals the shard on the shared folder
and the driver writes only the failures and the manifest.  At most a few
chunks are open at once, so memory is bounded by the chunk size, never by
the size of the library.

Output: with ``-o OUT.ext`` the shards live in ``OUT.ext.parts/`` while the run
goes on and are assembled into OUT.ext at the end (the folder is then
removed); with ``-o DIR/`` (``--format`` naming the format) the folder of
shards is the result.  Either way ``--resume`` takes up a stopped run.
Failures go to ``OUT.ext.errors.tsv`` (or ``DIR/errors.tsv``), so outputs that
differ only in their extension keep separate logs.

The work folder is marked as the run's and locked while the run works in it
(see ``shards``): a folder the run did not make is never taken over, and a
second run on the same output refuses instead of mixing its shards in.
"""
from __future__ import annotations

import os
import signal
import threading
import time
from dataclasses import dataclass, field

from . import inputs
from .common import chunk_payload, default_jobs
from .progress import Progress
from .shards import WorkDir

OUTPUT_FORMATS = {".msp": "msp", ".mgf": "mgf", ".jsonl": "jsonl", ".ndjson": "jsonl",
                  ".parquet": "parquet", ".pq": "parquet"}
EXTENSION = {"msp": "msp", "mgf": "mgf", "jsonl": "jsonl", "parquet": "parquet"}
DEFAULT_CHUNK = 500
# Memory a worker may take for its data (RLIMIT_DATA): far above what the
# largest drug-like molecules need (a few hundred MB), low enough that one
# pathological molecule ends as an errors-file row instead of the machine's
# memory running out.
DEFAULT_MAX_MEMORY = 4 << 30

# Exit statuses of a finished run.
EXIT_OK = 0
EXIT_FAILED_MOLECULES = 3


@dataclass
class Options:
    input: str
    output: str
    format: str | None = None          # output format; from OUT's extension when None
    input_format: str | None = None
    smiles_column: str | None = None
    id_column: str | None = None
    jobs: int | None = None            # worker processes; all cores when None
    chunk_size: int = DEFAULT_CHUNK
    timeout: float | None = None       # seconds per molecule
    retries: int = 1                   # tries again after a worker dies under a molecule
    ordered: bool = True
    resume: bool = False
    force: bool = False
    quiet: bool = False
    progress_interval: float = 10.0
    errors: str | None = None
    ring: bool = False
    recursive: bool = False
    max_generations: int = 2
    model: str | None = None
    dask: str | None = None
    min_mz: int | None = None          # leave out predicted ions below this m/z
    max_memory: int | None = DEFAULT_MAX_MEMORY  # bytes per worker; None: no limit


@dataclass
class Summary:
    records: int = 0
    written: int = 0
    failed: int = 0
    resumed: int = 0                   # records already sealed by an earlier run
    seconds: float = 0.0
    output: str = ""
    errors: str = ""
    restarts: int = 0
    worker_peak_rss_kb: list = field(default_factory=list)
    driver_peak_rss_kb: int = 0
    workers: int = 0
    nothing_to_do: bool = False
    steady_rate: float = 0.0           # molecules/s from the first answer on (start-up left out)
    read: int = -1                     # records the input reader gave (-1: not counted)
    worker_start: str = ""             # how workers started: "fork" (from a warmed template) or "cold ..."
    first_answer_s: float | None = None  # from the first worker's start (fork) to the first answer
    restart_s: list = field(default_factory=list)  # per restart: old worker out to new one ready

    @property
    def rate(self) -> float:
        done = self.records - self.resumed
        return done / self.seconds if self.seconds > 0 else 0.0

    def text(self) -> str:
        s = (f"corvane predict: {self.records} molecules, {self.written} written, {self.failed} failed"
             f" in {self.seconds:.1f} s ({self.rate:.1f} molecules/s with {self.workers} workers)")
        if self.resumed:
            s += f"; {self.resumed} were done by the interrupted run"
        if self.restarts:
            s += f"; {self.restarts} worker restarts"
        if self.read >= 0 and self.read != self.records:
            s += (f"\n  MISMATCH: {self.read} records read from the input but {self.records} "
                  f"accounted for (written or failed)")
        elif self.read >= 0:
            s += f"\n  every record read is accounted for: {self.read} read = {self.written} written + {self.failed} failed"
        s += f"\n  output: {self.output}"
        if self.failed:
            s += f"\n  failures: {self.errors}"
        return s


def output_format(opts: Options) -> tuple[str, bool]:
    """(format, shard directory?) from -o and --format."""
    out = opts.output
    is_dir = out.endswith(os.sep) or out.endswith("/") or os.path.isdir(out)
    if is_dir:
        if not opts.format:
            raise ValueError(f"{out} is a folder: give --format (msp, mgf, jsonl, parquet) for its shards")
        fmt = opts.format
    else:
        ext = os.path.splitext(out)[1].lower()
        fmt = OUTPUT_FORMATS.get(ext)
        if fmt is None:
            raise ValueError(f"cannot tell the output format from {out!r}: use a name ending in "
                             f"{', '.join(OUTPUT_FORMATS)}, or a folder ending in '/' with --format")
        if opts.format and opts.format != fmt:
            raise ValueError(f"--format {opts.format} disagrees with the extension of {out}")
    if fmt not in EXTENSION:
        raise ValueError(f"unknown output format {fmt!r}")
    return fmt, is_dir


def _job(opts: Options, fmt: str) -> dict:
    st = os.stat(opts.input)
    return {
        "input": os.path.abspath(opts.input), "input_size": st.st_size, "input_mtime_ns": st.st_mtime_ns,
        "input_format": opts.input_format or inputs.detect_format(opts.input),
        "smiles_column": opts.smiles_column, "id_column": opts.id_column,
        "format": fmt, "chunk_size": opts.chunk_size, "ordered": opts.ordered,
        "ring": opts.ring, "recursive": opts.recursive, "max_generations": opts.max_generations,
        "model": opts.model, "min_mz": opts.min_mz,
    }


def worker_options(opts: Options, fmt: str) -> dict:
    return {"format": fmt, "ring": opts.ring, "recursive": opts.recursive,
            "max_generations": opts.max_generations, "model": opts.model, "min_mz": opts.min_mz,
            "max_memory": opts.max_memory}


def parse_size(text: str) -> int | None:
    """Bytes of a size such as 4G, 500M, 2048K or 1073741824; None for 0, none or off."""
    t = str(text).strip().lower()
    if t in ("0", "none", "off", "unlimited"):
        return None
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30, "t": 1 << 40}
    mult = 1
    if t.endswith("ib"):
        t = t[:-2]
    elif t.endswith("b"):
        t = t[:-1]
    if t and t[-1] in units:
        mult = units[t[-1]]
        t = t[:-1]
    try:
        value = float(t)
    except ValueError:
        value = float("nan")
    if not (value > 0 and value * mult < 2 ** 62):
        raise ValueError(f"--max-memory must be a size such as 4G or 500M (or 0 for no limit), not {text!r}")
    n = int(value * mult)
    if n < 256 << 20:
        raise ValueError(f"--max-memory {text} is too small for a worker: give at least 256M")
    return n


class _Chunk:
    __slots__ = ("index", "records", "results", "arrival")

    def __init__(self, index: int, records: list):
        self.index = index
        self.records = records
        self.results: dict[int, tuple[bool, object]] = {}
        self.arrival: list[int] = []

    def add(self, seq: int, ok: bool, payload) -> None:
        if seq not in self.results:
            self.results[seq] = (ok, payload)
            self.arrival.append(seq)

    @property
    def complete(self) -> bool:
        return len(self.results) == len(self.records)


class Collector:
    """Gathers the answers of open chunks and seals each chunk once it is whole."""

    def __init__(self, wd: WorkDir, fmt: str, chunk_size: int, ordered: bool, progress: Progress):
        self.wd, self.fmt, self.chunk_size, self.ordered = wd, fmt, chunk_size, ordered
        self.progress = progress
        self.open: dict[int, _Chunk] = {}
        self.written = 0
        self.failed = 0

    def open_chunk(self, index: int, records: list) -> _Chunk:
        c = _Chunk(index, records)
        self.open[index] = c
        return c

    def add(self, seq: int, ok: bool, payload) -> None:
        c = self.open[seq // self.chunk_size]
        c.add(seq, ok, payload)
        self.progress.advance(1, 0 if ok else 1)
        if c.complete:
            self.seal(c)

    def seal(self, c: _Chunk) -> None:
        data, errors = chunk_payload(c.records, c.results, c.arrival, self.fmt, self.ordered)
        self.wd.seal(c.index, c.records[0].seq, len(c.records), data, errors)
        self._sealed(c, errors.count("\n"))

    def record(self, index: int, shard: dict, errors: str) -> None:
        """A chunk whose shard a cluster worker has sealed: its errors and manifest line."""
        c = self.open[index]
        failed = errors.count("\n")
        self.wd.record(index, c.records[0].seq, len(c.records), shard, errors)
        self.progress.advance(len(c.records), failed)
        self._sealed(c, failed)

    def _sealed(self, c: _Chunk, failed: int) -> None:
        self.written += len(c.records) - failed
        self.failed += failed
        del self.open[c.index]


def _peak_rss_kb() -> int:
    import resource

    return int(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def _count_in_background(opts: Options, progress: Progress) -> None:
    def count():
        try:
            progress.set_total(inputs.count_records(opts.input, opts.input_format))
        except Exception:
            pass

    threading.Thread(target=count, daemon=True, name="count-records").start()


def run(opts: Options, progress: Progress | None = None) -> Summary:
    """Predict every molecule of ``opts.input`` into ``opts.output`` (see the module's description)."""
    t0 = time.monotonic()
    if opts.chunk_size < 1:
        raise ValueError(f"--chunk-size must be at least 1, not {opts.chunk_size}")
    if opts.timeout is not None and opts.timeout <= 0:
        raise ValueError(f"--timeout must be positive, not {opts.timeout}")
    if opts.max_memory is not None and opts.max_memory < 256 << 20:
        raise ValueError(f"--max-memory must be at least 256M, not {opts.max_memory} bytes")
    if not os.path.isfile(opts.input):
        raise FileNotFoundError(f"no such input file: {opts.input}")
    fmt, is_dir = output_format(opts)
    if opts.dask:
        from . import dask_backend

        dask_backend.check_address(opts.dask)
    if fmt == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError as e:
            raise ValueError("Parquet output needs pyarrow (pip install pyarrow)") from e
    job = _job(opts, fmt)
    out = opts.output.rstrip("/" + os.sep) if is_dir else opts.output
    wd = WorkDir(out if is_dir else out + ".parts", EXTENSION[fmt])
    errors_path = opts.errors or (os.path.join(out, "errors.tsv") if is_dir else out + ".errors.tsv")
    _check_paths(opts.input, out, is_dir, wd.path, errors_path)
    summary = Summary(output=out, errors=errors_path)

    if not is_dir and os.path.lexists(wd.path) and not (os.path.isdir(wd.path) and wd.marked()):
        raise ValueError(f"{wd.path} exists and was not made by corvane predict: move it away "
                         "or choose another output")
    if wd.exists():
        wd.lock()
        try:
            if opts.resume and not opts.force:
                wd.load(job)
            elif opts.force:
                wd.create(job)
            else:
                raise ValueError(f"{wd.path} holds an unfinished run: give --resume to finish it "
                                 "or --force to start over")
        except BaseException:
            wd.unlock()
            raise
    else:
        if not is_dir and os.path.exists(out) and not opts.force:
            if opts.resume:
                summary.nothing_to_do = True
                summary.seconds = time.monotonic() - t0
                return summary
            raise ValueError(f"{out} exists: give --force to replace it")
        if is_dir and os.path.isdir(out) and os.listdir(out) and not opts.force:
            raise ValueError(f"{out} is a folder with other files in it: give an empty or new folder, "
                             "or --force to write beside them")
        wd.make(exclusive=not is_dir)
        try:
            wd.create(job)
        except BaseException:
            wd.unlock()
            raise
    try:
        return _run_locked(opts, progress, job, fmt, is_dir, out, wd, errors_path, summary, t0)
    finally:
        wd.unlock()


def _same_file(a: str, b: str) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_paths(input_path: str, out: str, is_dir: bool, work: str, errors: str) -> None:
    """Refuses outputs that would overwrite the input or each other."""
    if _same_file(out, input_path):
        raise ValueError(f"the output {out} is the input file")
    for what, other in (("the input file", input_path), ("the output", out), ("the run's work folder", work)):
        if _same_file(errors, other):
            raise ValueError(f"the errors file {errors} is {what}: give --errors another name")
    if os.path.isdir(errors):
        raise ValueError(f"the errors file {errors} is a folder: give --errors a file name")
    from .shards import LOCK, MARK, TEMP_PREFIX

    parent = os.path.realpath(os.path.dirname(os.path.abspath(errors)))
    name = os.path.basename(errors)
    if parent == os.path.realpath(work) and (
            not is_dir or name.startswith(("part-", TEMP_PREFIX)) or name in ("manifest.jsonl", "job.json", MARK, LOCK)):
        raise ValueError(f"the errors file {errors} lies in the run's work folder: give --errors "
                         "a name outside it")


def _run_locked(opts: Options, progress, job: dict, fmt: str, is_dir: bool, out: str, wd: WorkDir,
                errors_path: str, summary: Summary, t0: float) -> Summary:
    done_before, failed_before = wd.totals()
    summary.resumed = done_before
    if progress is None:
        progress = Progress(quiet=opts.quiet, interval=opts.progress_interval, initial=done_before)
    progress.failed = failed_before
    _count_in_background(opts, progress)
    collector = Collector(wd, fmt, opts.chunk_size, opts.ordered, progress)
    n_read = [0]

    def counted(recs):
        for r in recs:
            n_read[0] += 1
            yield r

    records = counted(inputs.read_records(opts.input, job["input_format"], opts.smiles_column,
                                          opts.id_column))
    chunks = ((i, recs) for i, recs in inputs.chunked(records, opts.chunk_size) if i not in wd.sealed)
    wopts = worker_options(opts, fmt)

    old_term = signal.getsignal(signal.SIGTERM)

    def on_term(signum, frame):
        raise KeyboardInterrupt

    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, on_term)
    try:
        if opts.dask:
            from . import dask_backend

            stats = dask_backend.run(opts.dask, chunks, collector, wopts, opts.timeout, opts.retries)
        else:
            stats = _run_local(opts, chunks, collector, wopts)
        steady_rate = progress.rate()
    except KeyboardInterrupt:
        progress.close()
        n, _ = wd.totals()
        print(f"corvane predict: stopped; {n} molecules are sealed in {wd.path}; "
              "run the same command with --resume to finish", file=progress.stream, flush=True)
        raise
    finally:
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGTERM, old_term)
    progress.close()

    # Everything is sealed: put the result together.
    if is_dir:
        wd.write_errors(errors_path, opts.ordered)
    else:
        if fmt == "parquet":
            wd.assemble_parquet(out, opts.ordered)
        else:
            wd.assemble_text(out, opts.ordered)
        wd.write_errors(errors_path, opts.ordered)
        wd.remove()
    summary.records, summary.failed = wd.totals()
    summary.written = summary.records - summary.failed
    summary.read = n_read[0]
    summary.restarts = stats.get("restarts", 0)
    summary.worker_peak_rss_kb = stats.get("peak_rss_kb", [])
    summary.workers = stats.get("workers", 0)
    summary.driver_peak_rss_kb = _peak_rss_kb()
    summary.steady_rate = steady_rate
    summary.worker_start = stats.get("start", "")
    summary.first_answer_s = stats.get("first_answer_s")
    summary.restart_s = stats.get("restart_s", [])
    summary.seconds = time.monotonic() - t0
    return summary


def open_chunk_limit(workers: int, chunk_size: int) -> int:
    """Chunks open at once: enough to keep every worker's queue full twice over, plus two.

    This bounds the driver's memory: at most this many chunks of answers are
    held, whatever the size of the input.
    """
    from .pool import PREFETCH

    return -(-2 * workers * (PREFETCH + 1) // chunk_size) + 2


def _run_local(opts: Options, chunks, collector: Collector, wopts: dict) -> dict:
    from .pool import WorkerPool

    jobs = opts.jobs or default_jobs()
    window = open_chunk_limit(jobs, opts.chunk_size)
    exhausted = False
    with WorkerPool(jobs, wopts, opts.timeout, opts.retries) as pool:
        while True:
            while not exhausted and len(collector.open) < window:
                nxt = next(chunks, None)
                if nxt is None:
                    exhausted = True
                    break
                index, recs = nxt
                collector.open_chunk(index, recs)
                for r in recs:
                    pool.submit(r)
            if exhausted and not collector.open:
                break
            for seq, ok, payload in pool.collect(0.5):
                collector.add(seq, ok, payload)
            collector.progress.tick()
        start = pool.start_mode
        pool.close()
        return {"restarts": pool.restarts, "peak_rss_kb": list(pool.peak_rss_kb), "workers": jobs,
                "start": start, "first_answer_s": pool.first_answer_s, "restart_s": list(pool.restart_seconds)}
