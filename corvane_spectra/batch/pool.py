"""Worker processes for the batch engine: dispatch, time-outs, restarts.

Each worker is a separate interpreter (``python -m corvane_spectra.batch.worker``)
that imports corvane once and then predicts one record after another.  The
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
import os
import signal
import subprocess
import sys
import time
from multiprocessing.connection import Connection, wait

PREFETCH = 3  # records queued at a worker beyond the one it is working on


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
    def __init__(self, opts: dict, env: dict):
        r_in, w_in = os.pipe()
        r_out, w_out = os.pipe()
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-P", "-m", "corvane_spectra.batch.worker", str(r_in), str(w_out)],
                pass_fds=(r_in, w_out), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env)
        finally:
            os.close(r_in)
            os.close(w_out)
        self.tx = Connection(w_in, readable=False)
        self.rx = Connection(r_out, writable=False)
        self.pending: collections.deque = collections.deque()
        self.ready = False
        self.busy_since: float | None = None
        self.alive = True
        self.tx.send(("setup", opts))

    @property
    def pid(self) -> int:
        return self.proc.pid

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
        self.alive = False
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
        self.todo: collections.deque = collections.deque()
        self.workers: list[_Worker] = [_Worker(self.opts, self._env) for _ in range(jobs)]
        self.deaths: dict[int, int] = {}
        self.restarts = 0
        self.peak_rss_kb: list[int] = []
        self._deaths_without_progress = 0

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
        for conn in wait(list(by_conn), timeout=wait_s):
            w = by_conn[conn]
            try:
                while w.alive and conn.poll():
                    self._handle(w, conn.recv(), out)
            except (EOFError, OSError):
                self._replace(w, _death_reason(w.proc.wait()), out, died=True)
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
            if w.pending:
                w.busy_since = time.monotonic()
        elif kind == "done":
            _, seq, ok, payload = msg
            rec = w.pending.popleft()
            if rec.seq != seq:  # cannot happen with an intact worker; say so loudly
                raise RuntimeError(f"worker {w.pid} answered record {seq} instead of {rec.seq}")
            out.append((seq, ok, payload))
            self._deaths_without_progress = 0
            w.busy_since = time.monotonic() if w.pending else None
        elif kind == "bye":
            self.peak_rss_kb.append(int(msg[1]))

    def _replace(self, w: _Worker, reason: str, out, died: bool) -> None:
        """Take a dead or stuck worker out, settle its current record, start another."""
        code = w.kill()
        if died:
            reason = _death_reason(code)
        pending = list(w.pending)
        w.pending.clear()
        if pending:
            head, rest = pending[0], pending[1:]
            if died:
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
        self.workers[i] = _Worker(self.opts, self._env)

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
                try:
                    w.proc.wait(max(0.0, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    pass
            w.kill()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close(graceful=exc[0] is None)
