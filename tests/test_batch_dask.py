"""`corvane predict --dask`: cluster workers seal their own shards on a real local Dask cluster."""
import json
import os
import pickle
import signal
from pathlib import Path

import pytest

from molecules import corpus_rows
from test_batch import FAULTY, cli, sealed_lines, start_cli, wait_for, write_smi

pytestmark = [pytest.mark.skipif(not corpus_rows(), reason="the shared corpus is not there")]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A LocalCluster of two worker processes (one thread each) and a client of it."""
    distributed = pytest.importorskip("distributed")
    os.environ.setdefault("OMP_NUM_THREADS", "1")
    cl = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None)
    client = distributed.Client(cl)
    try:
        yield cl, client
    finally:
        client.close()
        cl.close()


def test_workers_seal_the_shards_and_the_driver_gets_only_their_names(tmp_path, cluster, monkeypatch):
    from corvane_spectra.batch import dask_backend, engine, inputs
    from corvane_spectra.batch.shards import StaleRun, WorkDir

    cl, client = cluster
    rows = corpus_rows()[:7] + [FAULTY[0]]
    src = write_smi(tmp_path / "few.smi", rows)
    ref = engine.run(engine.Options(input=str(src), output=str(tmp_path / "local.msp"), jobs=1, chunk_size=3,
                                    quiet=True))
    assert (ref.written, ref.failed) == (7, 1)

    # The output named relative to a working folder the cluster's workers are not in.
    (tmp_path / "driver").mkdir()
    monkeypatch.chdir(tmp_path / "driver")
    s = engine.run(engine.Options(input=str(src), output="lib.msp", dask=cl.scheduler_address, chunk_size=3,
                                  quiet=True))
    assert (s.written, s.failed) == (7, 1)
    assert Path("lib.msp").read_bytes() == (tmp_path / "local.msp").read_bytes()
    assert Path("lib.msp.errors.tsv").read_bytes() == (tmp_path / "local.msp.errors.tsv").read_bytes()

    # One task as the driver sends it: the worker writes the shard, the answer is its name and digest.
    wd = WorkDir(str(tmp_path / "direct"), "msp")
    wd.make(exclusive=True)
    wd.create({"job": 1})
    recs = list(inputs.read_records(str(src)))
    wopts = engine.worker_options(engine.Options(input=str(src), output="x.msp"), "msp")
    answer = client.submit(dask_backend.seal_chunk, wd.path, wd.shard_name(0), wd.token(), recs, wopts,
                           None, 1, True, pure=False).result()
    shard, errors, _ = answer
    data = (tmp_path / "direct" / shard["file"]).read_bytes()
    assert data == (tmp_path / "local.msp").read_bytes()
    assert shard["bytes"] == len(data) and errors.count("\n") == 1
    assert len(pickle.dumps(answer)) < min(1000, len(data) // 10)

    # A task of a run that has since been started over (--force) leaves nothing behind.
    before = sorted(os.listdir(wd.path))
    with pytest.raises(StaleRun):
        client.submit(dask_backend.seal_chunk, wd.path, wd.shard_name(1), "0:0:0", recs[:2], wopts,
                      None, 1, True, pure=False).result()
    assert sorted(os.listdir(wd.path)) == before
    wd.unlock()


def test_a_stopped_cluster_run_resumes_to_the_bytes_of_a_local_run(tmp_path):
    pytest.importorskip("distributed")
    rows = corpus_rows()
    # Long enough (163 chunks) that a loaded machine cannot finish it between two looks at the manifest.
    src = write_smi(tmp_path / "thrice.smi", [(s, f"{n}-{k}") for k in range(3) for s, n in rows])
    n_chunks = -(-3 * len(rows) // 3)
    ref = tmp_path / "ref.msp"
    cli(src, "-o", ref, "--jobs", 2, "--chunk-size", 3, cwd=tmp_path, check=0)
    out = tmp_path / "lib.msp"
    parts = Path(str(out) + ".parts")
    p = start_cli(src, "-o", out, "--dask", "local:2", "--chunk-size", 3, cwd=tmp_path)
    try:
        wait_for(lambda: len(sealed_lines(parts)) >= 2, 300, "two sealed chunks")
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=300)
    finally:
        p.kill()
    assert p.returncode == 130, err
    sealed = {json.loads(ln)["chunk"]: json.loads(ln)["records"] for ln in sealed_lines(parts)}
    assert 2 <= len(sealed) < n_chunks
    # What a worker that died while sealing a chunk leaves: a temporary file cut short, and a shard
    # in place that the manifest never recorded (here damaged, as if from an earlier start).
    todo = min(set(range(n_chunks)) - set(sealed))
    Path(parts, f".tmp-dead-part-{todo:06d}.msp").write_bytes(b"NAME: half")
    Path(parts, f"part-{todo:06d}.msp").write_bytes(b"garbage")
    r = cli(src, "-o", out, "--dask", "local:2", "--chunk-size", 3, "--resume", cwd=tmp_path, check=0)
    assert f"{sum(sealed.values())} were done by the interrupted run" in r.stderr, r.stderr
    assert out.read_bytes() == ref.read_bytes()
    assert not parts.exists()
