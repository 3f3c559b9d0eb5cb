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


def _ctrl_c_as_at_a_terminal():
    # A test run started in the background (`cmd &` from a script) inherits an
    # ignored SIGINT, and so would the command under test: give it the default,
    # as an interactive shell does, so that Ctrl-C reaches it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def start_cli(*args, cwd):
    cmd = [sys.executable, "-P", "-m", "corvane_spectra", "predict", *map(str, args)]
    return subprocess.Popen(cmd, cwd=cwd, env=_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, preexec_fn=_ctrl_c_as_at_a_terminal)


def write_smi(path, rows):
    path.write_text("".join(f"{s}\t{n}\n" for s, n in rows))
    return path


def sealed_lines(workdir):
    p = Path(workdir) / "manifest.jsonl"
    try:
        return [ln for ln in p.read_text().splitlines() if ln.endswith("}")]
    except FileNotFoundError:
        return []


def worker_pids(parent_pid, name="corvane-worker"):
    """The processes of a running `corvane predict` that go by ``name``: its workers (its
    children, or its template's), or with name="corvane-tmpl" the template they are forked from."""
    parent, comm = {}, {}
    for d in Path("/proc").iterdir():
        if not d.name.isdigit():
            continue
        try:
            stat = (d / "stat").read_text()
        except OSError:
            continue
        comm[int(d.name)] = stat[stat.index("(") + 1:stat.rindex(")")]
        parent[int(d.name)] = int(stat.rsplit(")", 1)[1].split()[1])
    return [pid for pid, c in comm.items()
            if c == name and (parent[pid] == parent_pid or parent.get(parent[pid]) == parent_pid)]


def wait_for(cond, timeout=120.0, what="condition"):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


@pytest.fixture(scope="module")
def whole(tmp_path_factory):
    """The whole corpus as a .smi file: long enough a run to stop or disturb it half-way."""
    rows = corpus_rows()
    return rows, write_smi(tmp_path_factory.mktemp("whole") / "corpus.smi", rows)


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
    sp = corvane_spectra.predict(rows[3][0])
    assert [p["mz"] for p in got[3]["peaks"]] == sp.mz.tolist()
    assert [a["formula"] for a in got[3]["peaks"][0]["annotations"]] == \
        [a.formula for a in sp.annotations[0]]
    assert not (tmp_path / "lib.parquet.parts").exists()
    assert (tmp_path / "lib.parquet.errors.tsv").read_text() == "record\tidentifier\treason\tinput\n"


def test_faulty_and_pathological_molecules_are_reported_and_the_run_goes_on(tmp_path):
    good = corpus_rows()[:3]
    rows = [good[0]] + FAULTY[:4] + [good[1]] + FAULTY[4:] + [good[2]]
    src = tmp_path / "mixed.smi"
    src.write_text("# a comment line, then a blank line\n\n"
                   + "".join(f"{s}\t{n}\n" for s, n in rows) + "CCO\n")
    r = cli(src, "-o", tmp_path / "mixed.parquet", "--jobs", 1, "--chunk-size", 4, cwd=tmp_path)
    errors = (tmp_path / "mixed.parquet.errors.tsv").read_text().splitlines()
    failed = {ln.split("\t")[1]: ln.split("\t")[2] for ln in errors[1:]}
    written = [g["identifier"] for g in read_parquet_rows(tmp_path / "mixed.parquet")]
    # Every record is either written or listed as failed, exactly once, in input order.
    names = [n for _, n in rows] + ["line 13"]
    assert sorted(written + list(failed)) == sorted(names)
    assert written == [n for n in names if n not in failed]
    assert {"Adinazolam", "Alprazolam", "Bromazepam", "line 13"} <= set(written)
    assert "unclosed" in failed and "RDKit" in failed["unclosed"]
    assert "RDKit cannot sanitise it" in failed["bad_aromatic"]
    assert "not_an_element" in failed
    n_failed = len(failed)
    assert r.returncode == 3, r.stderr
    assert f"{len(names)} molecules, {len(names) - n_failed} written, {n_failed} failed" in r.stderr
    assert f"every record read is accounted for: {len(names)} read" in r.stderr
    assert str(tmp_path / "mixed.parquet.errors.tsv") in r.stderr


def test_a_molecule_past_the_timeout_is_given_up_and_its_worker_replaced(tmp_path):
    rows = corpus_rows()[:2]
    slow = "C1" + "C" * 400 + "C1"  # a macrocycle: far more than 5 s of depiction and layout
    src = write_smi(tmp_path / "slow.smi", [rows[0], (slow, "macrocycle"), rows[1]])
    r = cli(src, "-o", tmp_path / "slow.parquet", "--jobs", 1, "--timeout", 5, cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    errors = (tmp_path / "slow.parquet.errors.tsv").read_text().splitlines()[1:]
    assert [e.split("\t")[:3] for e in errors] == [["2", "macrocycle", "timed out after 5 s"]]
    assert [g["identifier"] for g in read_parquet_rows(tmp_path / "slow.parquet")] == [n for _, n in rows]
    assert "1 worker restarts" in r.stderr


def test_a_molecule_past_the_memory_limit_is_one_errors_row(tmp_path):
    rows = corpus_rows()[:2]
    polyphenylene = "c1ccc(cc1)" * 33 + "c1ccccc1"  # 204 atoms: its depiction takes gigabytes
    src = write_smi(tmp_path / "big.smi", [rows[0], (polyphenylene, "polyphenylene"), rows[1]])
    r = cli(src, "-o", tmp_path / "big.jsonl", "--jobs", 1, "--max-memory", "1G", cwd=tmp_path)
    assert r.returncode == 3, r.stderr
    errors = (tmp_path / "big.jsonl.errors.tsv").read_text().splitlines()[1:]
    assert [e.split("\t")[:2] for e in errors] == [["2", "polyphenylene"]]
    assert "MemoryError: out of memory (a worker may take 1024 MiB: --max-memory)" in errors[0]
    assert "3 molecules, 2 written, 1 failed" in r.stderr


@pytest.mark.parametrize("victims", [["corvane-worker"], ["corvane-tmpl", "corvane-worker"]],
                         ids=["worker", "template_then_worker"])
def test_a_worker_killed_mid_run_loses_nothing(whole, tmp_path, victims):
    # Without its template the pool starts the next worker the slow way.
    rows, src = whole
    ref = tmp_path / "ref.parquet"
    cli(src, "-o", ref, "--jobs", 1, "--chunk-size", 3, cwd=tmp_path, check=0)
    out = tmp_path / "killed.parquet"
    p = start_cli(src, "-o", out, "--jobs", 2, "--chunk-size", 3, cwd=tmp_path)
    try:
        wait_for(lambda: len(sealed_lines(str(out) + ".parts")) >= 1, what="a first sealed chunk")
        # Both found before either dies: a worker whose template is gone is an
        # orphan, no longer among the run's descendants.
        pids = [wait_for(lambda: worker_pids(p.pid, name), what=name)[0] for name in victims]
        for victim in pids:
            os.kill(victim, signal.SIGKILL)
        _, err = p.communicate(timeout=600)
    finally:
        p.kill()
    assert p.returncode == 0, err
    assert "1 worker restarts" in err
    assert out.read_bytes() == ref.read_bytes()


def test_forked_workers_write_what_cold_workers_write(tmp_path, monkeypatch):
    # Workers forked from the warmed template share its mendeleev, RDKit and
    # BLAS state: their output must be the bytes a cold worker writes, also
    # for elements the warm-up never looked up and with numpy's default BLAS threads.
    from corvane_spectra.batch import engine

    rows = corpus_rows()[:5] + [("C[Si](C)(C)OC(=O)c1ccccc1", "trimethylsilyl-benzoate"),
                                ("OB(O)c1ccc(C)cc1", "tolylboronic-acid"),
                                ("c1ccc2c(c1)[se]c1ccccc12", "dibenzoselenophene"), FAULTY[0]]
    src = write_smi(tmp_path / "mixed.smi", rows)
    monkeypatch.setenv("MPLBACKEND", "Agg")
    got = []
    for start, blas in (("cold", "1"), ("fork", "1"), ("fork", "")):
        monkeypatch.setenv("CORVANE_WORKER_START", start)
        monkeypatch.setenv("OPENBLAS_NUM_THREADS", blas)
        out = tmp_path / f"{start}-{blas or 'default'}.jsonl"
        s = engine.run(engine.Options(input=str(src), output=str(out), jobs=2, chunk_size=4, quiet=True))
        assert s.worker_start == start and s.failed == 1
        got.append((out.read_bytes(), Path(str(out) + ".errors.tsv").read_bytes()))
    assert got[1] == got[0] and got[2] == got[0]


def _interrupt(p, how, workdir):
    wait_for(lambda: len(sealed_lines(workdir)) >= 2, what="two sealed chunks")
    p.send_signal(how)
    _, err = p.communicate(timeout=120)
    return err


@pytest.mark.parametrize("fmt,how", [("parquet", signal.SIGKILL), ("jsonl", signal.SIGINT)])
def test_a_stopped_run_resumes_to_the_same_bytes(whole, tmp_path, fmt, how):
    if fmt != "parquet":
        pytest.importorskip("corvane_spectra.io")
    # Three rounds of the corpus: warm workers get through one round in a few
    # seconds, and a loaded machine may not schedule this test between two
    # looks at the manifest for that long; the signal must find the run going.
    rows, _ = whole
    rows = [(s, f"{n}-{k}") for k in range(3) for s, n in rows]
    src = write_smi(tmp_path / "long.smi", rows)
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
    assert 2 <= sealed < len(rows) // 4
    if how == signal.SIGKILL:
        # Power loss in the middle of the next append: a torn manifest line, a half-written shard.
        with open(os.path.join(parts, "manifest.jsonl"), "a") as f:
            f.write('{"chunk": %d, "first": %d, "rec' % (sealed, 4 * sealed))
        Path(parts, f".tmp-x-part-{sealed:06d}.{fmt}").write_bytes(b"half")
    r = cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, cwd=tmp_path, check=1)
    assert "holds an unfinished run: give --resume" in r.stderr
    # While another run holds the folder, neither --resume nor --force touches it.
    import fcntl

    with open(os.path.join(parts, ".lock"), "a") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        before = sorted(os.listdir(parts))
        for flag in ("--resume", "--force"):
            r = cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, flag, cwd=tmp_path, check=1)
            assert "another corvane predict run" in r.stderr, r.stderr
            assert sorted(os.listdir(parts)) == before
    r = cli(src, "-o", out, "--jobs", 1, "--chunk-size", 4, "--resume", cwd=tmp_path, check=0)
    assert f"{4 * sealed} were done by the interrupted run" in r.stderr
    assert out.read_bytes() == ref.read_bytes()
    assert not os.path.exists(parts)
    # Once complete, resuming has nothing to do; the file is left as it is.
    r = cli(src, "-o", out, "--resume", cwd=tmp_path, check=0)
    assert "nothing to resume" in r.stderr


def _shards(folder):
    files = {p.name: p.read_bytes() for p in Path(folder).iterdir() if p.name.startswith("part-")}
    manifest = sorted(sealed_lines(folder))
    return files, manifest


@pytest.fixture
def dask_scheduler(tmp_path):
    """A Dask scheduler and two workers, each its own process on 127.0.0.1."""
    pytest.importorskip("distributed")
    sched_file = tmp_path / "scheduler.json"
    env = _env()
    procs = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", "0", "--no-dashboard", "--scheduler-file", str(sched_file)],
                              env=env, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        wait_for(lambda: sched_file.exists() and sched_file.stat().st_size > 0, 120, "the scheduler")
        address = json.loads(sched_file.read_text())["address"]
        procs.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address,
                                       "--nworkers", "2", "--nthreads", "1", "--host", "127.0.0.1",
                                       "--no-dashboard"], env=env, cwd=tmp_path,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        yield address
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in procs:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()


@pytest.mark.parametrize("where", ["local:2", "scheduler"])
def test_a_dask_cluster_writes_the_same_shards_as_local_workers(tmp_path, request, where):
    pytest.importorskip("distributed")
    pytest.importorskip("corvane_spectra.io")
    rows = corpus_rows()[:10] + [FAULTY[0]]
    src = write_smi(tmp_path / "few.smi", rows)
    cli(src, "-o", f"{tmp_path}/local/", "--format", "jsonl", "--jobs", 2, "--chunk-size", 3,
        cwd=tmp_path, check=3)
    address = request.getfixturevalue("dask_scheduler") if where == "scheduler" else where
    r = cli(src, "-o", f"{tmp_path}/cluster/", "--format", "jsonl", "--dask", address, "--chunk-size", 3,
            cwd=tmp_path, check=3)
    assert "11 molecules, 10 written, 1 failed" in r.stderr
    local, cluster = _shards(tmp_path / "local"), _shards(tmp_path / "cluster")
    assert sorted(local[0]) == sorted([f"part-{i:06d}.jsonl" for i in range(4)] + ["part-000003.errors.tsv"])
    assert cluster == local
    assert (tmp_path / "cluster" / "errors.tsv").read_bytes() == (tmp_path / "local" / "errors.tsv").read_bytes()


def _write_input(path: Path, rows, kind):
    """The same molecules as .smi, .csv, .tsv or .sdf (gzip-compressed when the name ends in .gz)."""
    from rdkit import Chem

    if kind == "smi":
        text = "SMILES name\n" + "".join(f"{s} {n}\n" for s, n in rows[:-1]) + f"{rows[-1][0]}\n"
    elif kind == "csv":
        text = 'idx,"compound name",Canonical_SMILES\n' + "".join(
            f'{i},"{n}, batch 1",{s}\n' for i, (s, n) in enumerate(rows))
    elif kind == "tsv":
        text = "name\tsmiles\n" + "".join(f"{n}\t{s}\n" for s, n in rows) + "\t\n"
    else:
        blocks = []
        for s, n in rows:
            m = Chem.MolFromSmiles(s)
            m.SetProp("_Name", n)
            m.SetProp("CATALOG", f"cat-{n}")
            blocks.append(Chem.MolToMolBlock(m) + f"> <CATALOG>\ncat-{n}\n\n$$$$\n")
        text = "".join(blocks)
    data = text.encode()
    path.write_bytes(gzip.compress(data) if path.name.endswith(".gz") else data)
    return path


@pytest.mark.parametrize("name,args,idents", [
    ("m.smi", {}, ["Adinazolam", "Alprazolam", "line 4"]),
    ("m.smi.gz", {}, ["Adinazolam", "Alprazolam", "line 4"]),
    ("m.csv", {"smiles_column": "canonical_smiles", "id_column": "compound name"},
     ["Adinazolam, batch 1", "Alprazolam, batch 1", "Bromazepam, batch 1"]),
    ("m.csv.gz", {}, ["line 2", "line 3", "line 4"]),
    ("m.tsv.gz", {}, ["Adinazolam", "Alprazolam", "Bromazepam"]),
    ("m.sdf", {}, ["Adinazolam", "Alprazolam", "Bromazepam"]),
    ("m.sdf.gz", {"id_column": "CATALOG"}, ["cat-Adinazolam", "cat-Alprazolam", "cat-Bromazepam"]),
])
def test_inputs_stream_records_with_their_identifiers(tmp_path, name, args, idents):
    from corvane_spectra.batch import inputs

    rows = corpus_rows()[:3]
    path = _write_input(tmp_path / name, rows, name.split(".")[1])
    recs = list(inputs.read_records(str(path), **args))
    assert [r.ident for r in recs] == idents
    assert [r.seq for r in recs] == [0, 1, 2]
    if recs[0].kind == "smiles":
        assert [r.text for r in recs] == [s for s, _ in rows]
    assert [[r.seq for r in c] for _, c in inputs.chunked(iter(recs), 2)] == [[0, 1], [2]]
    assert inputs.count_records(str(path)) >= 3


@pytest.mark.parametrize("name,args,message", [
    ("m.csv", {"smiles_column": "nope"}, "no SMILES column 'nope'"),
    ("m.smi", {"id_column": "x"}, "apply to CSV"),
    ("m.xyz", {}, "cannot tell the input format"),
])
def test_unusable_inputs_are_refused_with_the_reason(tmp_path, name, args, message):
    from corvane_spectra.batch import inputs

    path = tmp_path / name
    path.write_text("smiles,name\nCCO,ethanol\n")
    with pytest.raises(inputs.InputError, match=message):
        list(inputs.read_records(str(path), **args))


def _sd_text(rows, sep, blank_title=()):
    from rdkit import Chem

    out = []
    for i, (smi, name) in enumerate(rows):
        mol = Chem.MolFromSmiles(smi)
        mol.SetProp("_Name", "" if i in blank_title else name)
        out.append(Chem.MolToMolBlock(mol) + sep)
    return "".join(out)


@pytest.mark.parametrize("text, kinds, idents", [
    # a stray quote swallows no row after it
    ('smiles,name\nCCO,a\n"CCN,b\nCCC,c\nC"C,d\nCO,e\n', "sesss", ["a", "line 3", "c", "d", "e"]),
    # a byte-order mark does not hide the first column
    ("\ufeffsmiles,name\nCCO,a\n", "s", ["a"]),
    # a field over the csv module's limit is one error row
    ("smiles,name\n" + "C" * 200_000 + ",big\nCCO,a\n", "es", ["line 2", "a"]),
])
def test_table_rows_are_never_lost_without_a_word(tmp_path, text, kinds, idents):
    from corvane_spectra.batch import inputs

    path = tmp_path / "m.csv"
    path.write_text(text, encoding="utf-8")
    recs = list(inputs.read_records(str(path)))
    assert "".join(r.kind[0] for r in recs) == kinds and [r.ident for r in recs] == idents
    assert [r.seq for r in recs] == list(range(len(recs)))


@pytest.mark.parametrize("sep, blank", [("", ()), ("", (1,)), ("\n> <NOTE>\nx\n\n", (2,)), ("$$$$\n", ())])
def test_mol_blocks_without_separators_stay_apart(tmp_path, sep, blank):
    from corvane_spectra.batch import inputs, worker

    rows = corpus_rows()[:3]
    path = tmp_path / "m.sdf"
    path.write_text(_sd_text(rows, sep, blank))
    recs = list(inputs.read_records(str(path)))
    assert [r.ident for r in recs] == [f"record {i + 1}" if i in blank else n for i, (_, n) in enumerate(rows)]
    from rdkit import Chem

    assert [worker.molblock_smiles(r.text) for r in recs] == [Chem.CanonSmiles(s) for s, _ in rows]


def test_a_compressed_sd_file_predicts_like_its_smiles(tmp_path):
    rows = corpus_rows()[:4]
    src = _write_input(tmp_path / "m.sdf.gz", rows, "sdf")
    cli(src, "-o", tmp_path / "m.parquet", "--jobs", 1, cwd=tmp_path, check=0)
    got = read_parquet_rows(tmp_path / "m.parquet")
    want = vif_loop(rows)
    assert [(g["identifier"], g["mol_mass"], (g["lpi_pos"], g["lpi_zero"], g["lpi_neg"]), len(g["soft_bonds"]))
            for g in got] == [(n, m, lpi, len(soft)) for n, _, m, lpi, soft in want]


@pytest.mark.parametrize("args,message", [
    (["-o", "lib.txt"], "cannot tell the output format"),
    (["-o", "shards/"], "give --format"),
    (["-o", "lib.msp", "--chunk-size", "0"], "--chunk-size must be at least 1"),
    (["-o", "lib.msp", "--timeout", "-1"], "--timeout must be positive"),
    (["-o", "lib.msp", "--dask", "local:x"], "expected local or local:N"),
    (["-o", "lib.msp", "--errors", "one.smi"], "is the input file"),
    (["-o", "lib.msp", "--errors", "lib.msp", "--force"], "is the output"),
    (["-o", "lib.msp", "--errors", "lib.msp.parts/errors.tsv"], "work folder"),
    (["-o", "lib.msp", "--max-memory", "12"], "too small"),
    (["-o", "lib.msp", "--max-memory", "lots"], "--max-memory must be a size"),
])
def test_bad_requests_are_refused_before_any_work(tmp_path, args, message):
    src = write_smi(tmp_path / "one.smi", corpus_rows()[:1])
    r = cli(src, *args, cwd=tmp_path)
    assert r.returncode != 0 and message in r.stderr, r.stderr
    assert not any(p.name.startswith("lib.") for p in tmp_path.iterdir())


@pytest.mark.parametrize("force", [[], ["--force"], ["--resume"]])
def test_a_parts_folder_the_run_did_not_make_is_never_taken_over(tmp_path, force):
    src = write_smi(tmp_path / "one.smi", corpus_rows()[:1])
    parts = tmp_path / "lib.msp.parts"
    parts.mkdir()
    (parts / "part-000000.msp").write_text("mine")
    (parts / "job.json").write_text("{}")
    r = cli(src, "-o", tmp_path / "lib.msp", *force, cwd=tmp_path, check=1)
    assert "was not made by corvane predict" in r.stderr
    assert sorted(p.name for p in parts.iterdir()) == ["job.json", "part-000000.msp"]


def test_an_existing_output_is_kept_unless_forced(small, tmp_path):
    d, rows, src = small
    out = tmp_path / "lib.parquet"
    out.write_bytes(b"precious")
    r = cli(src, "-o", out, "--jobs", 1, cwd=tmp_path, check=1)
    assert "exists: give --force" in r.stderr
    assert out.read_bytes() == b"precious"


@pytest.mark.parametrize("fmt", ["msp", "mgf"])
def test_a_library_file_is_what_writing_each_prediction_in_turn_gives(small, tmp_path, fmt):
    io = pytest.importorskip("corvane_spectra.io")
    d, rows, src = small
    rows = rows[:8]
    src = write_smi(tmp_path / "eight.smi", rows)
    out = tmp_path / f"lib.{fmt}"
    cli(src, "-o", out, "--jobs", 2, "--chunk-size", 3, cwd=tmp_path, check=0)
    want = []
    for smi, name in rows:
        sp = corvane_spectra.predict(smi)
        sp.metadata["name"] = name
        want.append(sp)
    io.write(want, tmp_path / f"want.{fmt}")
    assert out.read_bytes() == (tmp_path / f"want.{fmt}").read_bytes()
    back = list(io.read(str(out)))
    assert [(b.name, b.smiles, b.peaks()) for b in back] == [(w.name, w.smiles, w.peaks()) for w in want]


def test_the_driver_and_the_command_line_leave_corvane_to_the_workers(tmp_path):
    # Importing corvane takes seconds; the driver and `corvane --help` never need it.
    code = ("import sys, corvane_spectra.cli\n"
            "from corvane_spectra.batch import engine, pool\n"
            "pool._child_env()\n"
            "print('corvane' in sys.modules)")
    r = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, env=_env(), capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "False"


@pytest.mark.parametrize("batches", [[1] * 21, [100, 100]], ids=["one_by_one", "cluster_chunks"])
def test_progress_rate_and_time_left_leave_the_workers_start_up_out(monkeypatch, batches):
    import io

    from corvane_spectra.batch import progress

    class Clock:
        t = 1000.0

        def monotonic(self):
            return self.t

    clock = Clock()
    monkeypatch.setattr(progress, "time", clock)
    out = io.StringIO()
    p = progress.Progress(stream=out, interval=0.0, bar=False)
    p.set_total(1000)
    assert "workers starting" in p.line()
    clock.t += 10.0                      # the workers import corvane
    step = 2.0 / (len(batches) - 1)      # then answers come at 10 molecules a second
    for k, n in enumerate(batches):
        if k:
            clock.t += step
        for _ in range(n):
            p.advance(1)
    done = sum(batches)
    assert p.rate() == pytest.approx((done - batches[0]) / 2.0)
    assert p.rate() == pytest.approx(10.0 if batches[0] == 1 else 50.0)
    left = (1000 - done) / p.rate()
    assert f"~{progress._fmt_time(left)} left" in p.line()
