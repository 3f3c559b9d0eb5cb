"""The work on one molecule, and the worker process that does it for the engine.

A worker reads records from one pipe end and answers each on another with
``("done", seq, ok, payload)``, in the order it received them.  The payload
is the record's output (text for MSP/MGF/JSONL, a row for Parquet) or, when
``ok`` is false, the reason it failed.

A worker comes to life in one of two ways:

- forked from the template (``python -m corvane_spectra.batch.worker
  --template FD``): one process per pool that imports corvane and runs a
  first prediction once (about 10 s: mendeleev's units, its element table,
  RDKit's depiction), then forks a worker whenever the pool asks, so that a
  worker starts, or restarts after a time-out or a crash, in a fraction of a
  second with all of that already in memory;
- started cold (``python -m corvane_spectra.batch.worker RFD WFD``): its own
  interpreter, which pays the import and the first prediction itself.  This
  is the way where fork is not to be had (not Linux), when the template
  cannot fork safely or has died, and with ``CORVANE_WORKER_START=cold``.
"""
from __future__ import annotations

import json
import logging
import os
import queue
import re
import signal
import sys
import threading
import time

WARM_UP = "NC(CSP(=O)(O)F)C(=O)OCc1ccc(Cl)c(Br)c1I"
WORKER_NAME = "corvane-worker"    # the process name `ps` and `top` show (at most 15 characters)
TEMPLATE_NAME = "corvane-tmpl"
# Set by the pool in the template's environment: the worker's own values of
# the variables the template overrides to stay single-threaded (JSON; null
# for unset), put back in each forked worker.
WORKER_ENV = "CORVANE_WORKER_ENV"
_warm = False
_forked_at: float | None = None  # time.monotonic() when this worker was forked
_TIMESTAMP = re.compile(r"^\[\d\d:\d\d:\d\d\]\s*")


class _RDKitMessages(logging.Handler):
    """Keeps RDKit's log lines of the molecule in hand, to give as a failure's reason."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.lines: list[str] = []

    def emit(self, record):
        self.lines.append(_TIMESTAMP.sub("", record.getMessage()))


_rdkit_log: _RDKitMessages | None = None


def capture_rdkit_log() -> _RDKitMessages:
    """Route RDKit's messages into Python logging, held per molecule instead of printed."""
    global _rdkit_log
    if _rdkit_log is None:
        from rdkit import rdBase

        rdBase.LogToPythonLogger()
        _rdkit_log = _RDKitMessages()
        logger = logging.getLogger("rdkit")
        logger.handlers[:] = [_rdkit_log]
        logger.propagate = False
        logger.setLevel(logging.INFO)
    return _rdkit_log


def _rdkit_reason(default: str) -> str:
    lines = [ln for ln in (_rdkit_log.lines if _rdkit_log else []) if "Error" in ln or "error" in ln]
    return f"{default} (RDKit: {lines[0]})" if lines else default


def molblock_smiles(block: str) -> str:
    """The SMILES of one SD record, read by RDKit's SD supplier."""
    import io as _io

    from rdkit import Chem

    supplier = Chem.ForwardSDMolSupplier(_io.BytesIO(block.encode("utf-8")))
    mol = next(iter(supplier), None)
    if mol is None:
        raise ValueError(_rdkit_reason("RDKit could not read the SD record"))
    return Chem.MolToSmiles(mol)


def below_removed(spectrum, min_mz: int):
    """The spectrum without its peaks below ``min_mz`` (a library's range)."""
    from ..spectrum import Spectrum

    keep = spectrum.mz >= min_mz
    anns = None if spectrum.annotations is None else [a for a, k in zip(spectrum.annotations, keep) if k]
    out = Spectrum._trusted(spectrum.mz[keep], spectrum.intensity[keep], spectrum.metadata, anns,
                            spectrum.convention)
    out.metadata["min_mz"] = min_mz
    return out


def compute(rec, opts: dict):
    """(ok, payload) for one record: its output, or the reason it failed."""
    from ..predict import DEFAULT_MODEL, predict_with_vif
    from . import parquet

    log = capture_rdkit_log()
    log.lines.clear()
    smiles = rec.text
    try:
        if rec.kind == "error":  # a line the input reader could not read
            return False, rec.text
        if rec.kind == "molblock":
            smiles = molblock_smiles(rec.text)
        if not smiles:
            return False, "empty SMILES"
        ring, recursive, gens = opts["ring"], opts["recursive"], opts["max_generations"]
        try:
            vif, spectrum = predict_with_vif(smiles, ring, recursive, gens, opts.get("model") or DEFAULT_MODEL)
        except ValueError as e:
            if str(e).startswith("unreadable SMILES"):
                return False, _rdkit_reason(str(e))
            raise
        if opts.get("min_mz"):
            spectrum = below_removed(spectrum, int(opts["min_mz"]))
        # The input's own name and identifier; a molecule without a name is
        # known by its SMILES, not by its line number.
        spectrum.metadata["name"] = getattr(rec, "name", "") or smiles
        if getattr(rec, "id", ""):
            spectrum.metadata["id"] = rec.id
        spectrum.metadata["model"] = opts.get("model") or DEFAULT_MODEL
        if opts["format"] == "parquet":
            return True, parquet.row(rec, smiles, vif, spectrum)
        from .. import io as spectra_io

        return True, spectra_io.dumps(spectrum, opts["format"])
    except MemoryError as e:
        limit = opts.get("max_memory")
        where = f" (a worker may take {limit / (1 << 20):.0f} MiB: --max-memory)" if limit else ""
        detail = f": {e}" if str(e) and not str(e).startswith("out of memory") else ""
        return False, f"MemoryError: out of memory{where}{detail}"
    except Exception as e:  # one molecule's failure is reported, never fatal to the run
        reason = f"{type(e).__name__}: {e}"
        return False, _rdkit_reason(reason) if "rdkit" in type(e).__module__.lower() else reason


def limit_memory(limit: int | None) -> None:
    """Caps the memory this process may take for its data (heap and private
    mappings) at ``limit`` bytes: past it an allocation fails, which Python
    and the extensions report as MemoryError."""
    if not limit:
        return
    import resource

    # A process that already holds more (a sanitizer build reserves terabytes
    # of shadow memory) cannot be limited this way: it is left as it is.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            data_kb = next((int(ln.split()[1]) for ln in f if ln.startswith("VmData:")), 0)
    except OSError:
        data_kb = 0
    if data_kb * 1024 >= limit:
        return

    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    if hard != resource.RLIM_INFINITY:
        limit = min(limit, hard)
    resource.setrlimit(resource.RLIMIT_DATA, (limit, hard))


def _peak_rss_kb() -> int:
    import resource

    return int(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def warm_up(opts: dict) -> None:
    """Imports corvane and what the output needs, and predicts one molecule.

    The first prediction pays for one-time set-up (mendeleev's element table,
    RDKit's depiction, the scored model's weights): paid here, it counts
    against no molecule's time-out.  Starts no thread (the template forks
    after it).
    """
    global _warm
    import corvane  # noqa: F401

    from . import parquet  # noqa: F401
    from .inputs import Record

    capture_rdkit_log()
    if opts["format"] != "parquet":
        from .. import io  # noqa: F401
    compute(Record(-1, "warm-up", "smiles", WARM_UP), opts)  # never raises: a failure is its answer
    _warm = True


def _set_name(name: str) -> None:
    try:
        with open("/proc/self/comm", "w", encoding="ascii") as f:
            f.write(name)
    except OSError:
        pass


def _threads() -> list[str]:
    """The names of this process's threads (Linux)."""
    names = []
    for t in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{t}/comm", encoding="utf-8", errors="replace") as f:
                names.append(f.read().strip())
        except OSError:
            names.append("?")
    return names


def blas_threads_wanted(env) -> int:
    """The BLAS threads OpenBLAS would start with in an environment ``env``:
    the first positive one of OPENBLAS_NUM_THREADS, GOTO_NUM_THREADS and
    OMP_NUM_THREADS, else one per core this process may run on."""
    for var in ("OPENBLAS_NUM_THREADS", "GOTO_NUM_THREADS", "OMP_NUM_THREADS"):
        m = re.match(r"\s*(\d+)", env.get(var) or "")
        if m and int(m.group(1)) > 0:
            return int(m.group(1))
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _become_worker() -> None:
    """In a freshly forked worker: the worker's environment and BLAS threads back."""
    _set_name(WORKER_NAME)
    saved = os.environ.pop(WORKER_ENV, None)
    if saved:
        for k, v in json.loads(saved).items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
    n = blas_threads_wanted(os.environ)
    if n != 1:
        from threadpoolctl import threadpool_limits

        threadpool_limits(n, user_api="blas")


def template(ctrl_fd: int) -> None:
    """The template process: warm up once, then fork workers on request.

    The pool talks over a SOCK_SEQPACKET socket (one message each):
    ``fork ID`` with the worker's two pipe ends attached (read, write), and
    ``reap ID``, answered with ``exit ID CODE`` (the worker is killed if it
    still runs; CODE as `subprocess` gives it, ``none`` for no such worker).
    The template first says ``warm`` once ready, or ``cold REASON`` and ends
    when it cannot fork safely.  It ends when the pool closes the socket.

    Fork copies only the forking thread: a thread that holds a lock at that
    moment (a BLAS pool, jemalloc's background thread, a logging handler)
    leaves it held for ever in the child.  So the template has one thread
    only: the pool starts it with one BLAS thread and without pyarrow's
    jemalloc background thread (its environment), it never starts a thread
    itself, and it checks before every fork that no library started one,
    refusing to fork otherwise.  Each worker then sets its BLAS threads back
    to what its environment asks and starts its own threads.
    """
    import gc
    import pickle
    import socket

    global _forked_at
    _set_name(TEMPLATE_NAME)
    sock = socket.socket(fileno=ctrl_fd)
    data = sock.recv(1 << 16)
    if not data:
        return
    warm_up(pickle.loads(data))
    # Whatever the warm-up left for the collector goes now, and the rest is
    # set aside for good: the workers' collections then never write to the
    # pages they share with the template.
    gc.collect()
    gc.freeze()
    children: dict[int, int] = {}

    def single_threaded() -> bool:
        names = _threads()
        if len(names) == 1:
            return True
        sock.send(f"cold the template has {len(names)} threads ({', '.join(sorted(names))})".encode())
        return False

    if not single_threaded():
        return
    sock.send(b"warm")
    while True:
        try:
            data, fds, _, _ = socket.recv_fds(sock, 256, 2)
        except OSError:
            return
        if not data:
            return
        cmd, _, arg = data.decode("ascii").partition(" ")
        if cmd == "fork" and len(fds) == 2:
            if not single_threaded():
                return
            _forked_at = time.monotonic()
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    sock.close()
                    _become_worker()
                    run_worker(*fds)
                    code = 0
                except BaseException:
                    import traceback

                    traceback.print_exc()
                finally:
                    sys.stderr.flush()
                    os._exit(code)
            children[int(arg)] = pid
        elif cmd == "reap":
            pid = children.pop(int(arg), None)
            code = "none"
            if pid is not None:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                _, status = os.waitpid(pid, 0)
                code = str(os.waitstatus_to_exitcode(status))
            sock.send(f"exit {arg} {code}".encode("ascii"))
        for fd in fds:
            os.close(fd)


def run_worker(rfd: int, wfd: int) -> None:
    """Serve records on the pipe ends ``rfd`` (records in) and ``wfd`` (answers out)."""
    from multiprocessing.connection import Connection

    rconn = Connection(rfd, writable=False)
    wconn = Connection(wfd, readable=False)
    try:
        serve(rconn, wconn)
    except (BrokenPipeError, EOFError):
        pass


def serve(rconn, wconn) -> None:
    """Answer records until told to stop or the engine goes away."""
    inbox: queue.Queue = queue.Queue()

    def pump():
        # Drain the pipe at once so that the engine's sends never block on us.
        try:
            while True:
                msg = rconn.recv()
                if msg[0] == "recs":
                    for rec in msg[1]:
                        inbox.put(("rec", rec))
                    continue
                inbox.put(msg)
                if msg[0] == "stop":
                    return
        except (EOFError, OSError):
            inbox.put(("stop",))

    threading.Thread(target=pump, daemon=True).start()
    msg = inbox.get()
    if msg[0] != "setup":
        return
    opts = msg[1]
    if not _warm:
        warm_up(opts)
    limit_memory(opts.get("max_memory"))
    wconn.send(("ready", os.getpid(), _forked_at))
    while True:
        msg = inbox.get()
        if msg[0] == "stop":
            try:
                wconn.send(("bye", _peak_rss_kb()))
            except OSError:
                pass
            return
        rec = msg[1]
        ok, payload = compute(rec, opts)
        wconn.send(("done", rec.seq, ok, payload))


def main(argv: list[str]) -> int:
    # Ctrl-C reaches the whole process group: the engine decides what to do.
    # (Forked workers inherit this from the template.)
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if argv[0] == "--template":
        template(int(argv[1]))
    else:
        _set_name(WORKER_NAME)
        run_worker(int(argv[0]), int(argv[1]))
    # Nothing is left to write: skip the interpreter's tear-down of RDKit,
    # numpy and mendeleev's database layer, which takes over a second and
    # would keep the engine waiting at the end of every run.
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
