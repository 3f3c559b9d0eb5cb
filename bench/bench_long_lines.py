"""Memory and time of the readers on one endless line: ``python bench/bench_long_lines.py``.

A small gzip file holding one line of 512 MiB (no newline) must cost the
reader no more memory than an ordinary file: the line is over the 64 MiB
limit, so it is reported as one bad record and passed over as it streams.
A JSON-lines record whose line is just under the limit (about 60 MiB, one
spectrum of a million peaks) shows that reading it takes time linear in its
length, as does an MSP record with a million fields.  Each case runs in a fresh process; results go to
bench/results_long_lines.md.
"""
import gzip
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Memory from /proc (VmHWM starts afresh at exec; ru_maxrss would carry the
# parent's peak over).
CHILD = r"""
import sys, time, warnings
from corvane_spectra import io
def mem(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) // 1024
rss0 = mem("VmRSS")
t = time.perf_counter()
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    r = io.read(sys.argv[1], sys.argv[2], skip_bad=True)
    n = sum(len(s) for s in r)
dt = time.perf_counter() - t
print(n, r.skipped, round(dt, 2), rss0, mem("VmHWM"))
"""


def one_line_gz(path: Path, mib: int) -> None:
    block = b"x" * (1 << 20)
    with gzip.open(path, "wb", compresslevel=1) as f:
        f.write(b"Name: endless ")
        for _ in range(mib):
            f.write(block)


def jsonl_near_limit(path: Path, peaks: int) -> None:
    with open(path, "w") as f:
        f.write('{"metadata": {"name": "wide"}, "peaks": [')
        f.write(", ".join(f"[{1 + i % 999_999}, {i % 1000}.5]" for i in range(peaks)))
        f.write("]}\n")


def many_fields(path: Path, n: int, one_line: bool) -> None:
    with open(path, "w") as f:
        f.write("Name: crowded\n")
        if one_line:
            f.write("Comments: " + " ".join(f'"k{i}=v"' for i in range(n)) + "\n")
        else:
            f.write("".join(f"k{i}: v\n" for i in range(n)))
        f.write("Num Peaks: 1\n50 1\n\n")


def run(path: Path, fmt: str) -> list[str]:
    out = subprocess.run([sys.executable, "-P", "-c", CHILD, str(path), fmt], capture_output=True, text=True, check=True)
    return out.stdout.split()


def main() -> None:
    rows = []
    with tempfile.TemporaryDirectory() as d:
        for fmt in ("msp", "jsonl"):
            p = Path(d) / f"endless.{fmt}.gz"
            one_line_gz(p, 512)
            n, skipped, secs, rss0, peak = run(p, fmt)
            rows.append((f"{fmt}: one 512 MiB line in {os.path.getsize(p) >> 10} KiB of gzip", n, skipped, secs, rss0, peak))
            p.unlink()
        for peaks in (250_000, 1_000_000):
            p = Path(d) / "wide.jsonl"
            jsonl_near_limit(p, peaks)
            size = os.path.getsize(p) >> 20
            n, skipped, secs, rss0, peak = run(p, "jsonl")
            rows.append((f"jsonl: one line of {size} MiB ({peaks} peaks)", n, skipped, secs, rss0, peak))
        for n in (250_000, 1_000_000):
            for one_line in (True, False):
                p = Path(d) / "crowded.msp"
                many_fields(p, n, one_line)
                size = os.path.getsize(p) >> 20
                _, skipped, secs, rss0, peak = run(p, "msp")
                where = "in one Comments line" if one_line else "one per line"
                rows.append((f"msp: one record of {n} fields {where} ({size} MiB)", 1, skipped, secs, rss0, peak))
    lines = ["# Readers on endless lines (bench/bench_long_lines.py)", "",
             f"load average {os.getloadavg()[0]:.1f}; limit 64 MiB per line", "",
             "| input | peaks read | bad records | seconds | RSS after import (MiB) | peak RSS (MiB) |",
             "|---|---|---|---|---|---|"]
    lines += [f"| {a} | {b} | {c} | {e} | {f} | {g} |" for a, b, c, e, f, g in rows]
    text = "\n".join(lines) + "\n"
    (HERE / "results_long_lines.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
