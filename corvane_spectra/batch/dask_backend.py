"""Running the batch on a Dask distributed cluster.

Each input chunk becomes one task.  On the cluster's worker the task runs the
chunk through the same worker process as a local run (one per Dask worker
thread, started once and kept), so time-outs and molecules that kill their
process are handled exactly as locally.  The worker then seals the chunk's
shard itself in the run's folder (temporary file, flushed to disk, renamed
into place) and returns only the shard's name, size and SHA-256 and the
chunk's failures: the spectra never travel to the driver, which writes the
errors file and the manifest line.  The shards are the same bytes as a local
run's, and ``--resume``, the errors file and progress are shared code.

The run's folder must therefore be one every worker reaches at the same
absolute path (a local disk for ``local``, a shared file system for a real
cluster); the driver checks that every worker sees the run's ``job.json``
before it sends any chunk.

``local`` or ``local:N`` starts a cluster of N worker processes (one thread
each) on 127.0.0.1 for the length of the run; anything else is taken as the
address of a running scheduler.
"""
from __future__ import annotations

import os
import pickle
import threading

from .common import chunk_payload, default_jobs
from .shards import StaleRun, job_token, write_shard

_local = threading.local()


class SealFailed(RuntimeError):
    """A worker could not write a shard into the run's folder."""


def predict_chunk(records: list, wopts: dict, timeout, retries: int) -> tuple[list, int]:
    """(answers (seq, ok, payload) in any order, restarts) for the chunk's records."""
    from .pool import WorkerPool

    key = (tuple(sorted(wopts.items())), timeout, retries)
    pool = getattr(_local, "pool", None)
    if pool is None or getattr(_local, "key", None) != key:
        if pool is not None:
            pool.close()
        pool = WorkerPool(1, wopts, timeout, retries)
        _local.pool, _local.key = pool, key
    before = pool.restarts
    for r in records:
        pool.submit(r)
    answers = []
    while len(answers) < len(records):
        answers.extend(pool.collect(1.0))
    return answers, pool.restarts - before


def pack(records: list) -> bytes:
    """A chunk's records as one bytes object for its task.

    Dask looks through a task's arguments, item by item, for other tasks'
    results: for a list of 500 records that costs the driver and the
    scheduler several milliseconds of CPU per task, for one bytes object a
    fraction of one (bench/results_dask.md); the scheduler is the one
    process every chunk of a 1,000-core run goes through.
    """
    return pickle.dumps(records, protocol=pickle.HIGHEST_PROTOCOL)


def seal_chunk(folder: str, name: str, token: str, records: bytes | list, wopts: dict, timeout,
               retries: int, ordered: bool) -> tuple[dict, str, int]:
    """Task body: predict the chunk (its records as `pack` gives them), seal its shard as ``folder/name``.

    Returns (the shard's manifest fields, the errors-file text, worker restarts).
    """
    if isinstance(records, bytes):
        records = pickle.loads(records)
    answers, restarts = predict_chunk(records, wopts, timeout, retries)
    results: dict = {}
    arrival: list = []
    for seq, ok, payload in answers:
        if seq not in results:
            results[seq] = (ok, payload)
            arrival.append(seq)
    data, errors = chunk_payload(records, results, arrival, wopts["format"], ordered)
    try:
        shard = write_shard(folder, name, data, token)
    except OSError as e:
        raise SealFailed(f"a worker on {os.uname().nodename} could not write {name} in {folder}: {e}") from None
    return shard, errors, restarts


def reaches(folder: str, token: str) -> str | None:
    """Run on every worker before the first chunk: None when the worker sees
    this run's folder and may write in it, else why not."""
    try:
        if job_token(folder) != token:
            return f"{folder} there holds another run"
    except OSError as e:
        return f"cannot see {folder}/job.json ({e.strerror})"
    except ValueError:
        return f"cannot read {folder}/job.json"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot write in {folder}"
    return None


def check_address(address: str) -> int | None:
    """Refuse a malformed --dask value before any work; the local cluster's size, if local."""
    try:
        import dask.distributed  # noqa: F401
    except ImportError as e:
        raise ValueError("--dask needs dask.distributed: pip install 'corvane[cluster]'") from e
    if address == "local" or address.startswith("local:"):
        n = address.partition(":")[2]
        try:
            n_workers = int(n) if n else 0
        except ValueError:
            raise ValueError(f"--dask {address}: expected local or local:N") from None
        if n and n_workers < 1:
            raise ValueError(f"--dask {address}: at least one worker")
        return n_workers
    if "://" not in address and ":" not in address:
        raise ValueError(f"--dask {address}: expected a scheduler address such as tcp://host:8786, "
                         "or local[:N]")
    return None


def _client(address: str):
    from dask.distributed import Client, LocalCluster

    n_workers = check_address(address)
    if n_workers is not None:
        cluster = LocalCluster(n_workers=n_workers or default_jobs(), threads_per_worker=1,
                               processes=True, host="127.0.0.1", dashboard_address=None)
        return Client(cluster), cluster
    return Client(address, timeout="30s"), None


def _check_workers(client, folder: str, token: str) -> None:
    problems = {w: why for w, why in client.run(reaches, folder, token).items() if why}
    if problems:
        detail = "; ".join(f"{w}: {why}" for w, why in sorted(problems.items()))
        raise ValueError(f"{len(problems)} of the cluster's workers cannot reach the run's folder {folder} "
                         f"({detail}): with --dask the output must lie where every worker sees it at the "
                         "same path (a shared file system)")


def run(address: str, chunks, collector, wopts: dict, timeout, retries: int) -> dict:
    from dask.distributed import as_completed

    wd = collector.wd
    folder = os.path.abspath(wd.path)
    token = wd.token()
    client, cluster = _client(address)
    restarts = 0
    try:
        _check_workers(client, folder, token)
        threads = sum(client.nthreads().values()) or 1
        window = 2 * threads + 1  # one chunk running and one waiting per worker thread
        pending = as_completed()
        exhausted = False
        index_of: dict = {}

        def submit_more():
            nonlocal exhausted
            while not exhausted and len(collector.open) < window:
                nxt = next(chunks, None)
                if nxt is None:
                    exhausted = True
                    return
                index, recs = nxt
                collector.open_chunk(index, recs)
                fut = client.submit(seal_chunk, folder, wd.shard_name(index), token, pack(recs), wopts, timeout,
                                    retries, collector.ordered, pure=False,
                                    key=f"corvane-chunk-{index}-{id(collector)}-{token}")
                index_of[fut.key] = index
                pending.add(fut)

        submit_more()
        while not pending.is_empty():
            fut = next(pending)
            index = index_of.pop(fut.key)
            try:
                shard, errors, n = fut.result()
            except (SealFailed, StaleRun) as e:
                n, _ = wd.totals()
                raise ValueError(f"{e}; the {n} molecules sealed so far are kept: make the folder "
                                 "reachable and run the same command with --resume") from None
            except Exception as e:  # the cluster lost the task itself (e.g. its worker kept dying)
                chunk = collector.open[index]
                for r in chunk.records:
                    collector.add(r.seq, False, f"cluster task failed: {type(e).__name__}: {e}")
            else:
                restarts += n
                collector.record(index, shard, errors)
            fut.release()
            collector.progress.tick()
            submit_more()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return {"restarts": restarts, "peak_rss_kb": [], "workers": threads}
