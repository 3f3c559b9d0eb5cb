"""Progress of a batch run: a bar on a terminal, plain periodic lines otherwise."""
from __future__ import annotations

import sys
import threading
import time


def _fmt_time(s: float) -> str:
    s = int(max(0, s))
    h, rem = divmod(s, 3600)
    m, sec = divmod(rem, 60)
    return f"{h}:{m:02d}:{sec:02d}" if h else f"{m:02d}:{sec:02d}"


class Progress:
    """Counts done and failed molecules; shows count, rate and time left.

    ``total`` may be set later (it is counted in the background while the run
    starts); ``initial`` is what a resumed run had already done.
    """

    def __init__(self, quiet: bool = False, interval: float = 10.0, stream=None, initial: int = 0,
                 label: str = "corvane predict", bar: bool | None = None):
        self.stream = stream or sys.stderr
        self.quiet = quiet
        self.interval = interval
        self.label = label
        self.initial = initial
        self.done = initial
        self.failed = 0
        self.total: int | None = None
        self.start = time.monotonic()
        self._last_line = self.start
        # The first answer's time and count: workers take seconds to start, so
        # the rate (and the time left) is measured from there on.
        self._first: tuple[float, int] | None = None
        self._lock = threading.Lock()
        self._bar = None
        if bar is None:
            bar = hasattr(self.stream, "isatty") and self.stream.isatty()
        if not quiet and bar:
            from tqdm import tqdm

            self._bar = tqdm(total=None, initial=initial, unit="mol", file=self.stream, desc=label,
                             dynamic_ncols=True, smoothing=0.1)

    def set_total(self, total: int) -> None:
        with self._lock:
            self.total = total
            if self._bar is not None:
                self._bar.total = total
                self._bar.refresh()

    def advance(self, n: int = 1, failed: int = 0) -> None:
        now = time.monotonic()
        if self._first is None:
            self._first = (now, self.done + n)
        elif now - self._first[0] < 0.05:   # the rest of the first batch (a cluster task's chunk)
            self._first = (self._first[0], self.done + n)
        self.done += n
        self.failed += failed
        if self._bar is not None:
            self._bar.update(n)
            if failed:
                self._bar.set_postfix(failed=self.failed, refresh=False)
        else:
            self.tick()

    def rate(self) -> float:
        """Molecules per second since the first answer (0 until a second one is in)."""
        if self._first is None:
            return 0.0
        t0, n0 = self._first
        dt = time.monotonic() - t0
        return (self.done - n0) / dt if dt > 0 and self.done > n0 else 0.0

    def line(self) -> str:
        rate = self.rate()
        elapsed = time.monotonic() - self.start
        head = f"{self.done}/{self.total}" if self.total else f"{self.done}"
        parts = [f"{self.label}: {head} molecules"]
        if self.total:
            parts[0] += f" ({100.0 * self.done / max(self.total, 1):.1f}%)"
        parts.append(f"{self.failed} failed")
        parts.append(f"{rate:.1f} mol/s" if self._first is not None else "workers starting")
        parts.append(f"{_fmt_time(elapsed)} elapsed")
        if self.total and rate > 0:
            parts.append(f"~{_fmt_time((self.total - self.done) / rate)} left")
        return ", ".join(parts)

    def tick(self) -> None:
        if self.quiet or self._bar is not None:
            return
        now = time.monotonic()
        if now - self._last_line >= self.interval:
            self._last_line = now
            print(self.line(), file=self.stream, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
