"""One timed configuration of a benchmark in a fresh process: its BLAS
threads (None: numpy's default), an extension build on PYTHONPATH ("" for
the installed one), and optionally one CPU-bound process beside it.  The
child prints its result as JSON on its last line."""
import json
import os
import subprocess
import sys
from pathlib import Path

BUSY = "x = 0\nwhile True:\n    x += 1\n"


def run_child(code, args, build="", threads=None, busy=False):
    env = dict(os.environ)
    for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env.pop(v, None)
    if threads:
        env["OPENBLAS_NUM_THREADS"] = str(threads)
    if build:
        env["PYTHONPATH"] = str(Path(build).resolve())
    hog = subprocess.Popen([sys.executable, "-c", BUSY]) if busy else None
    try:
        res = subprocess.run([sys.executable, "-c", code, *map(str, args)],
                             env=env, capture_output=True, text=True, check=True)
    finally:
        if hog:
            hog.kill()
            hog.wait()
    return json.loads(res.stdout.strip().splitlines()[-1])
