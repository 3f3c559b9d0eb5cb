"""Worker processes for the batch engine: dispatch, time-outs, restarts.

Each worker is a separate process that predicts one record after another.
On Linux the workers are forked from a template process that has imported
corvane and made a first prediction (see `worker`), so a worker starts, and
restarts, in a fraction of a second; elsewhere, or when the template cannot
fork safely or dies, each worker is its own interpreter that warms up by
itself (about 10 s; also with ``CORVANE_WORKER_START=cold``).  The
pool keeps a few records queued at every worker so that none waits for the
next, and knows at every moment which record each worker is working on (the
oldest one it has not answered).  That is what lets it:

- stop a record that runs past ``timeout`` seconds: the worker is killed,
  the record reported as failed, the worker's other records handed on, and
  a fresh worker started;
- survive a worker that dies (killed, out of memory, a crash in native
  code): its current record is tried again on another worker up to
  ``retries`` times, then reported as failed with the cause of death.
"""
from __future__ import annotations

import collections
import itertools
import json
import os
import pickle
import select
import signal
import socket
import subprocess
import sys
import time
from multiprocessing.connection import Connection, wait

PREFETCH = 3  # records queued at a worker beyond the one it is working on
START = "CORVANE_WORKER_START"  # "cold": every worker its own interpreter, as where fork is not to be had
# Set in the template's environment so that it stays single-threaded (see
# `worker.template`); each forked worker puts the worker's values back.
_TEMPLATE_OVERRIDES = {"OPENBLAS_NUM_THREADS": "1", "GOTO_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
                       "MKL_NUM_THREADS": "1"}


def _child_env() -> dict:
    """The environment of a worker: it must load the same corvane and corvane_spectra as we do."""
    import importlib.util

    import corvane_spectra

    paths = [os.path.dirname(os.path.dirname(os.path.abspath(corvane_spectra.__file__)))]
    # Found, not imported: the driver does not need corvane itself, and its
    # import takes seconds that the workers would otherwise wait for.
    found = importlib.util.find_spec("corvane")
    cfile = found.origin if found is not None and found.has_location else None
    if cfile:
        paths.insert(0, os.path.dirname(os.path.abspath(cfile)))
    old = os.environ.get("PYTHONPATH")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + ([old] if old else [])))
    env.setdefault("MPLBACKEND", "Agg")
    env.setdefault("OMP_NUM_THREADS", "1")
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    return env


def _can_fork() -> bool:
    return (sys.platform.startswith("linux") and hasattr(os, "fork") and hasattr(socket, "send_fds")
            and os.environ.get(START, "").strip().lower() != "cold")


def _template_env(env: dict) -> dict:
    t = dict(env)
    saved = {k: env.get(k) for k in _TEMPLATE_OVERRIDES}
    t.update(_TEMPLATE_OVERRIDES)
    # pyarrow's jemalloc starts a background thread when pandas or pyarrow is
    # imported; without it, jemalloc purges as it goes.
    je = env.get("JE_ARROW_MALLOC_CONF")
    t["JE_ARROW_MALLOC_CONF"] = (je + "," if je else "") + "background_thread:false"
    saved["JE_ARROW_MALLOC_CONF"] = je
    t["CORVANE_WORKER_ENV"] = json.dumps(saved)
    return t


class _Template:
    """The warmed process the workers are forked from (see `worker.template`)."""

    def __init__(self, opts: dict, env: dict):
        self.sock, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-P", "-m", "corvane_spectra.batch.worker", "--template", str(theirs.fileno())],
                pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                env=_template_env(env))
        except BaseException:
            self.sock.close()
            raise
        finally:
            theirs.close()
        self.alive = True
        self.warm = False
        self.why_cold = ""
        self.exits: dict[int, int | None] = {}
        self._send(pickle.dumps(opts))

    def fileno(self) -> int:
        return self.sock.fileno()

    def _send(self, data: bytes, fds=()) -> bool:
        if not self.alive:
            return False
        try:
            if fds:
                socket.send_fds(self.sock, [data], list(fds))
            else:
                self.sock.send(data)
            return True
        except OSError:
            self._dead()
            return False

    def _dead(self, why: str = "the template process ended") -> None:
        if self.alive:
            self.alive = False
            self.why_cold = self.why_cold or why
            self.sock.close()

    def read(self, timeout: float) -> bool:
        """Takes in one message if one comes within ``timeout`` s; False if none came."""
        if not self.alive:
            return False
        try:
            ready, _, _ = select.select([self.sock], [], [], timeout)
            if not ready:
                return False
            msg = self.sock.recv(4096)
        except OSError:
            msg = b""
        if not msg:
            self._dead()
            return True
        kind, _, rest = msg.decode("ascii", "replace").partition(" ")
        if kind == "warm":
            self.warm = True
        elif kind == "cold":
            self._dead(rest)
        elif kind == "exit":
            wid, _, code = rest.partition(" ")
            self.exits[int(wid)] = None if code == "none" else int(code)
        return True

    def drain(self) -> None:
        while self.read(0.0):
            pass

    def fork(self, wid: int, r_in: int, w_out: int) -> bool:
        """Asks for a worker on these pipe ends; False when the template is gone."""
        return self._send(b"fork %d" % wid, (r_in, w_out))

    def reap(self, wid: int, pid: int | None) -> int | None:
        """Kills worker ``wid`` if it still runs and gives its exit code (None: not known)."""
        self.drain()
        if self.alive and self.warm and self._send(b"reap %d" % wid):
            deadline = time.monotonic() + 30.0
            while wid not in self.exits and self.alive and time.monotonic() < deadline:
                self.read(max(0.0, deadline - time.monotonic()))
            if wid in self.exits:
                return self.exits.pop(wid)
        # No template to ask: the worker was never forked, or is an orphan now.
        if pid is not None and not self.alive:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        return None

    def close(self) -> None:
        """Ends the template: at once while it is still warming up, else once it has seen the socket close."""
        if self.alive:
            self.drain()
        warm = self.warm
        self._dead()
        if not warm:
            self.proc.kill()
        try:
            self.proc.wait(5.0)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def _death_reason(code: int | None) -> str:
    if code is None:
        return "worker process died"
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"worker process died ({name})"
    return f"worker process exited with status {code}"


class _Worker:
    _ids = itertools.count()

    def __init__(self, opts: dict, env: dict, template: _Template | None = None):
        r_in, w_in = os.pipe()
        r_out, w_out = os.pipe()
        self.id = next(self._ids)
        self.proc: subprocess.Popen | None = None
        self.template = template
        self._pid: int | None = None
        self.started = time.monotonic()
        try:
            if template is None or not template.fork(self.id, r_in, w_out):
                self.template = None
                self.proc = subprocess.Popen(
                    [sys.executable, "-P", "-m", "corvane_spectra.batch.worker", str(r_in), str(w_out)],
                    pass_fds=(r_in, w_out), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env)
        except BaseException:
            os.close(w_in)
            os.close(r_out)
            raise
        finally:
            os.close(r_in)
            os.close(w_out)
        self.tx = Connection(w_in, readable=False)
        self.rx = Connection(r_out, writable=False)
        self.pending: collections.deque = collections.deque()
        self.ready = False
        self.ready_at: float | None = None
        self.busy_since: float | None = None
        self.alive = True
        self.tx.send(("setup", opts))

    @property
    def pid(self) -> int | None:
        """The worker's process id (a forked worker's once it has said it is ready)."""
        return self.proc.pid if self.proc is not None else self._pid

    def send(self, recs: list) -> bool:
        """Queue records at the worker, in one message (one write for the lot)."""
        try:
            self.tx.send(("recs", recs))
        except OSError:
            return False
        self.pending.extend(recs)
        if self.ready and self.busy_since is None:
            self.busy_since = time.monotonic()
        return True

    def kill(self) -> int | None:
        """Ends the worker (if it still runs); its exit code, None when not known."""
        self.alive = False
        if self.proc is None:
            self._close()  # a worker not forked yet then finds its pipes closed
            return self.template.reap(self.id, self._pid)
        try:
            self.proc.kill()
        except OSError:
            pass
        code = self.proc.wait()
        self._close()
        return code

    def _close(self):
        for c in (self.tx, self.rx):
            try:
                c.close()
            except OSError:
                pass


class WorkerPool:
    """``jobs`` worker processes predicting records; results come back from `collect`."""

    def __init__(self, jobs: int, opts: dict, timeout: float | None = None, retries: int = 1):
        if jobs < 1:
            raise ValueError(f"--jobs must be at least 1, not {jobs}")
        self.jobs, self.opts, self.timeout, self.retries = jobs, dict(opts), timeout, retries
        self._env = _child_env()
        self.template = _Template(self.opts, self._env) if _can_fork() else None
        self.todo: collections.deque = collections.deque()
        self.deaths: dict[int, int] = {}
        self.restarts = 0
        self.peak_rss_kb: list[int] = []
        self._deaths_without_progress = 0
        # When workers started and first answered, and what each restart
        # cost (from taking the old worker out to the new one being ready).
        self.first_start: float | None = None
        self.first_answer: float | None = None
        self.restart_seconds: list[float] = []
        self._replaced_at: dict[int, float] = {}
        self.workers: list[_Worker] = [self._start() for _ in range(jobs)]

    def _start(self) -> _Worker:
        t = self.template if self.template is not None and self.template.alive else None
        return _Worker(self.opts, self._env, t)

    @property
    def first_answer_s(self) -> float | None:
        """Seconds from the first worker's start (its fork, or its launch when cold) to the first answer."""
        if self.first_answer is None or self.first_start is None:
            return None
        return self.first_answer - self.first_start

    @property
    def start_mode(self) -> str:
        """How new workers start: "fork" (from the warmed template) or "cold", with the reason."""
        if self.template is None:
            return "cold" + ("" if os.environ.get(START, "").strip().lower() == "cold" else " (no fork here)")
        if self.template.alive:
            return "fork"
        return f"cold ({self.template.why_cold})"

    # -- feeding ---------------------------------------------------------
    def submit(self, rec) -> None:
        self.todo.append(rec)

    def in_flight(self) -> int:
        return len(self.todo) + sum(len(w.pending) for w in self.workers)

    def _dispatch(self) -> None:
        for w in self.workers:
            room = PREFETCH + 1 - len(w.pending)
            if not self.todo or room <= 0:
                continue
            recs = [self.todo.popleft() for _ in range(min(room, len(self.todo)))]
            if not w.send(recs):
                self.todo.extendleft(reversed(recs))

    # -- collecting ------------------------------------------------------
    def collect(self, max_wait: float) -> list[tuple[int, bool, object]]:
        """Results that arrived within ``max_wait`` seconds: (seq, ok, payload)."""
        self._dispatch()
        out: list[tuple[int, bool, object]] = []
        now = time.monotonic()
        wait_s = max_wait
        if self.timeout is not None:
            for w in self.workers:
                if w.busy_since is not None:
                    wait_s = min(wait_s, max(0.0, w.busy_since + self.timeout - now))
        by_conn = {w.rx: w for w in self.workers}
        tpl = self.template if self.template is not None and self.template.alive else None
        for conn in wait(list(by_conn) + ([tpl] if tpl else []), timeout=wait_s):
            if conn is tpl:
                tpl.drain()
                continue
            w = by_conn[conn]
            try:
                while w.alive and conn.poll():
                    self._handle(w, conn.recv(), out)
            except (EOFError, OSError):
                self._replace(w, "", out, died=True)
        if self.timeout is not None:
            now = time.monotonic()
            for w in list(self.workers):
                if w.busy_since is not None and now - w.busy_since > self.timeout and w.pending:
                    self._replace(w, f"timed out after {self.timeout:g} s", out, died=False)
        self._dispatch()
        return out

    def _handle(self, w: _Worker, msg, out) -> None:
        kind = msg[0]
        if kind == "ready":
            w.ready = True
            w._pid = int(msg[1])
            w.ready_at = time.monotonic()
            if len(msg) > 2 and msg[2] is not None:
                w.started = float(msg[2])  # the moment of its fork (one monotonic clock for all processes)
            if self.first_start is None or w.started < self.first_start:
                self.first_start = w.started
            if w.id in self._replaced_at:
                self.restart_seconds.append(w.ready_at - self._replaced_at.pop(w.id))
            if w.pending:
                w.busy_since = time.monotonic()
        elif kind == "done":
            _, seq, ok, payload = msg
            rec = w.pending.popleft()
            if rec.seq != seq:  # cannot happen with an intact worker; say so loudly
                raise RuntimeError(f"worker {w.pid} answered record {seq} instead of {rec.seq}")
            if self.first_answer is None:
                self.first_answer = time.monotonic()
            out.append((seq, ok, payload))
            self._deaths_without_progress = 0
            w.busy_since = time.monotonic() if w.pending else None
        elif kind == "bye":
            self.peak_rss_kb.append(int(msg[1]))

    def _replace(self, w: _Worker, reason: str, out, died: bool) -> None:
        """Take a dead or stuck worker out, settle its current record, start another."""
        t0 = time.monotonic()
        code = w.kill()
        if died:
            reason = _death_reason(code)
        pending = list(w.pending)
        w.pending.clear()
        if pending:
            head, rest = pending[0], pending[1:]
            if died and not w.ready:
                # It never took a record (a template that died before forking
                # it, a failed start): no record is to blame.
                rest = pending
            elif died:
                n = self.deaths.get(head.seq, 0) + 1
                self.deaths[head.seq] = n
                if n <= self.retries:
                    rest = [head] + rest
                else:
                    out.append((head.seq, False, reason))
            else:
                out.append((head.seq, False, reason))
            self.todo.extendleft(reversed(rest))
        if died:
            self._deaths_without_progress += 1
            if self._deaths_without_progress > 3 * self.jobs + self.retries + 3:
                raise RuntimeError(f"worker processes keep dying before finishing any molecule ({reason})")
        self.restarts += 1
        i = self.workers.index(w)
        self.workers[i] = new = self._start()
        if w.ready:
            self._replaced_at[new.id] = t0

    def pids(self) -> list[int]:
        return [w.pid for w in self.workers]

    def close(self, graceful: bool = True) -> None:
        for w in self.workers:
            if not w.alive:
                continue
            if graceful:
                try:
                    w.tx.send(("stop",))
                except OSError:
                    pass
        deadline = time.monotonic() + (10.0 if graceful else 0.0)
        for w in self.workers:
            if not w.alive:
                continue
            if graceful:
                try:
                    while w.rx.poll(max(0.0, deadline - time.monotonic())):
                        msg = w.rx.recv()
                        if msg[0] == "bye":
                            self.peak_rss_kb.append(int(msg[1]))
                            break
                except (EOFError, OSError):
                    pass
                if w.proc is not None:
                    try:
                        w.proc.wait(max(0.0, deadline - time.monotonic()))
                    except subprocess.TimeoutExpired:
                        pass
            w.kill()
        if self.template is not None:
            self.template.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close(graceful=exc[0] is None)
