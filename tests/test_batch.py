"""The batch engine of `corvane predict`: real worker processes, real signals, a real Dask cluster."""
import gzip
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import corvane
import corvane_spectra
from molecules import corpus_rows

pytestmark = pytest.mark.skipif(not corpus_rows(), reason="the shared corpus is not there")

FAULTY = [
    ("C1CC(", "unclosed"),                 # unreadable SMILES
    ("c1cccc1", "bad_aromatic"),           # RDKit cannot kekulize it
    ("[Na+].[Cl-]", "salt"),               # no bonds to cut
    ("F[P-](F)(F)(F)(F)F.CC[N+](C)(C)C", "hexafluorophosphate"),
    ("[Fe]", "iron"),
    ("[H][H]", "hydrogen"),
    ("Xx", "not_an_element"),
]


def _env():
    paths = [os.path.dirname(corvane.__file__), os.path.dirname(os.path.dirname(corvane_spectra.__file__))]
    old = os.environ.get("PYTHONPATH")
    return dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(paths + ([old] if old else [])))


def cli(*args, cwd, check=None, **kw):
    """`corvane predict ARGS` as a user runs it, in its own process."""
    cmd = [sys.executable, "-P", "-m", "corvane_spectra", "predict", *map(str, args)]
    r = subprocess.run(cmd, cwd=cwd, env=_env(), capture_output=True, text=True, timeout=600, **kw)
    if check is not None:
        assert r.returncode == check, (r.returncode, r.stdout, r.stderr)
    return r


def start_cli(*args, cwd):
    cmd = [sys.executable, "-P", "-m", "corvane_spectra", "predict", *map(str, args)]
    return subprocess.Popen(cmd, cwd=cwd, env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)


def write_smi(path, rows):
    path.write_text("".join(f"{s}\t{n}\n" for s, n in rows))
    return path


def sealed_lines(workdir):
    p = Path(workdir) / "manifest.jsonl"
    try:
        return [ln for ln in p.read_text().splitlines() if ln.endswith("}")]
    except FileNotFoundError:
        return []


def worker_pids(parent_pid):
    """The worker processes of a running `corvane predict` (children running the worker module)."""
    pids = []
    for d in Path("/proc").iterdir():
        if not d.name.isdigit():
            continue
        try:
            stat = (d / "stat").read_text()
            cmdline = (d / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        if ppid == parent_pid and b"corvane_spectra.batch.worker" in cmdline:
            pids.append(int(d.name))
    return pids


def wait_for(cond, timeout=120.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    """24 corpus molecules as a .smi file, with the output of an uninterrupted run per format."""
    d = tmp_path_factory.mktemp("batch")
    rows = corpus_rows()[:24]
    src = write_smi(d / "small.smi", rows)
    return d, rows, src


def read_parquet_rows(path):
    pq = pytest.importorskip("pyarrow.parquet")
    return pq.read_table(path).to_pylist()


def vif_loop(rows):
    """What a hand-written sequential loop over VIF gives, per molecule."""
    out = []
    for smi, name in rows:
        r = corvane.VIF(smi, draw=False, verbose=False)
        out.append((name, smi, r["mol_mass"], (r["lpi"]["n+"], r["lpi"]["n0"], r["lpi"]["n-"]),
                    [(b["atom_u"], b["atom_v"], b["k"]) for b in r["soft_bonds"]]))
    return out


@pytest.mark.parametrize("jobs,extra", [(1, []), (2, ["--chunk-size", "5"]), (2, ["--unordered", "--chunk-size", "7"])])
def test_parquet_rows_match_a_sequential_vif_loop(small, tmp_path, jobs, extra):
    d, rows, src = small
    out = tmp_path / "lib.parquet"
    r = cli(src, "-o", out, "--jobs", jobs, *extra, cwd=tmp_path, check=0)
    assert "24 molecules, 24 written, 0 failed" in r.stderr
    got = read_parquet_rows(out)
    if "--unordered" in extra:
        assert sorted(g["record"] for g in got) == list(range(len(rows)))
        got.sort(key=lambda g: g["record"])
    else:
        assert [g["record"] for g in got] == list(range(len(rows)))
    want = vif_loop(rows)
    assert [(g["identifier"], g["smiles"], g["mol_mass"], (g["lpi_pos"], g["lpi_zero"], g["lpi_neg"]),
             [(b["atom_u"], b["atom_v"], b["k"]) for b in g["soft_bonds"]]) for g in got] == want
    spec = corvane_spectra.predict(rows[3][0])
    assert [p["mz"] for p in got[3]["peaks"]] == spec.mz.tolist()
    assert [a["formula"] for a in got[3]["peaks"][0]["annotations"]] == \
        [a.formula for a in spec.annotations[0]]
    assert not (tmp_path / "lib.parquet.parts").exists()
    assert (tmp_path / "lib.errors.tsv").read_text() == "record\tidentifier\treason\tinput\n"


def test_faulty_and_pathological_molecules_are_reported_and_the_run_goes_on(tmp_path):
    good = corpus_rows()[:3]
    rows = [good[0]] + FAULTY[:4] + [good[1]] + FAULTY[4:] + [good[2]]
    src = tmp_path / "mixed.smi"
    src.write_text("# a comment line, then a blank line\n\n"
                   + "".join(f"{s}\t{n}\n" for s, n in rows) + "CCO\n")
    r = cli(src, "-o", tmp_path / "mixed.parquet", "--jobs", 1, "--chunk-size", 4, cwd=tmp_path)
    errors = (tmp_path / "mixed.errors.tsv").read_text().splitlines()
    failed = {ln.split("\t")[1]: ln.split("\t")[2] for ln in errors[1:]}
    written = [g["identifier"] for g in read_parquet_rows(tmp_path / "mixed.parquet")]
    # Every record is either written or listed as failed, exactly once, in input order.
    names = [n for _, n in rows] + ["line 13"]
    assert sorted(written + list(failed)) == sorted(names)
    assert written == [n for n in names if n not in failed]
    assert {"Adinazolam", "Alprazolam", "Bromazepam", "line 13"} <= set(written)
    assert "unclosed" in failed and "RDKit" in failed["unclosed"]
    assert "not_an_element" in failed
    n_failed = len(failed)
    assert r.returncode == 3, r.stderr
    assert f"{len(names)} molecules, {len(names) - n_failed} written, {n_failed} failed" in r.stderr
    assert str(tmp_path / "mixed.errors.tsv") in r.stderr


def test_a_molecule_past_the_timeout_is_given_up_and_its_worker_replaced(tmp_path):
    rows = corpus_rows()[:2]
    slow = "C1" + "C" * 180 + "C1"  # a macrocycle: seconds of depiction and layout
    src = write_smi(tmp_path / "slow.smi", [rows[0], (slow, "macrocycle"), rows[1]])
    r = cli(src, "-o", tmp_path / "slow.parquet", "--jobs", 1, "--timeout", 1, cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    errors = (tmp_path / "slow.errors.tsv").read_text().splitlines()[1:]
    assert [e.split("\t")[:3] for e in errors] == [["2", "macrocycle", "timed out after 1 s"]]
    assert [g["identifier"] for g in read_parquet_rows(tmp_path / "slow.parquet")] == [n for _, n in rows]
    assert "1 worker restarts" in r.stderr


def test_a_worker_killed_mid_run_loses_nothing(small, tmp_path):
    d, rows, src = small
    ref = tmp_path / "ref.parquet"
    cli(src, "-o", ref, "--jobs", 1, cwd=tmp_path, check=0)
    out = tmp_path / "killed.parquet"
    p = start_cli(src, "-o", out, "--jobs", 2, "--chunk-size", 3, cwd=tmp_path)
    try:
        wait_for(lambda: len(sealed_lines(str(out) + ".parts")) >= 1, what="a first sealed chunk")
        victim = wait_for(lambda: worker_pids(p.pid), what="the workers")[0]
        os.kill(victim, signal.SIGKILL)
        _, err = p.communicate(timeout=600)
    finally:
        p.kill()
    assert p.returncode == 0, err
    assert "1 worker restarts" in err
    assert out.read_bytes() == ref.read_bytes()


def _interrupt(p, how, workdir):
    wait_for(lambda: len(sealed_lines(workdir)) >= 2, what="two sealed chunks")
    p.send_signal(how)
    _, err = p.communicate(timeout=120)
    return err


@pytest.mark.parametrize("fmt", ["parquet", "jsonl"])
@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGKILL])
def test_a_stopped_run_resumes_to_the_same_bytes(small, tmp_path, fmt, how):
    if fmt != "parquet":
        pytest.importorskip("corvane_spectra.io")
    d, rows, src = small
    ref = tmp_path / f"ref.{fmt}"
    cli(src, "-o", ref, "--jobs", 1, "--chunk-size", 4, cwd=tmp_path, check=0)
    out = tmp_path / f"lib.{fmt}"
    parts = str(out) + ".parts"
    p = start_cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, cwd=tmp_path)
    try:
        err = _interrupt(p, how, parts)
    finally:
        p.kill()
    if how == signal.SIGINT:
        assert p.returncode == 130
        assert "--resume" in err
    assert not out.exists()
    sealed = len(sealed_lines(parts))
    assert 2 <= sealed < 6
    if how == signal.SIGKILL:
        # Power loss in the middle of the next append: a torn manifest line, a half-written shard.
        with open(os.path.join(parts, "manifest.jsonl"), "a") as f:
            f.write('{"chunk": 5, "first": 20, "rec')
        Path(parts, ".tmp-x-part-000005." + fmt).write_bytes(b"half")
    r = cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, cwd=tmp_path)
    assert "already exists" not in r.stderr
    r = cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, "--resume", cwd=tmp_path, check=0)
    assert f"{4 * sealed} were done by the interrupted run" in r.stderr
    assert out.read_bytes() == ref.read_bytes()
    assert not os.path.exists(parts)
    # Once complete, resuming has nothing to do; the file is left as it is.
    r = cli(src, "-o", out, "--resume", cwd=tmp_path, check=0)
    assert "nothing to resume" in r.stderr
