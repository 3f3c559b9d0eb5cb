"""Running the batch on a Dask distributed cluster.

Each input chunk becomes one task.  On the cluster's worker the task runs the
chunk through the same worker process as a local run (one per Dask worker
thread, started once and kept), so time-outs and molecules that kill their
process are handled exactly as locally.  The task returns the chunk's answers
to the driver, which seals the shard and writes the manifest: the shards of
a cluster run are the same files as a local run's, and ``--resume``, the
errors file and progress are shared code.

``local`` or ``local:N`` starts a cluster of N worker processes (one thread
each) on 127.0.0.1 for the length of the run; anything else is taken as the
address of a running scheduler.
"""
from __future__ import annotations

import threading

_local = threading.local()


def predict_chunk(records: list, wopts: dict, timeout, retries: int) -> tuple[list, int]:
    """Task body: (answers (seq, ok, payload) in any order, restarts) for the chunk's records."""
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
        from .engine import default_jobs

        cluster = LocalCluster(n_workers=n_workers or default_jobs(), threads_per_worker=1,
                               processes=True, host="127.0.0.1", dashboard_address=None)
        return Client(cluster), cluster
    return Client(address, timeout="30s"), None


def run(address: str, chunks, collector, wopts: dict, timeout, retries: int) -> dict:
    from dask.distributed import as_completed

    client, cluster = _client(address)
    restarts = 0
    try:
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
                fut = client.submit(predict_chunk, recs, wopts, timeout, retries,
                                    key=f"corvane-chunk-{index}-{id(collector)}", pure=False)
                index_of[fut.key] = index
                pending.add(fut)

        submit_more()
        while not pending.is_empty():
            fut = next(pending)
            index = index_of.pop(fut.key)
            chunk = collector.open[index]
            try:
                answers, n = fut.result()
                restarts += n
            except Exception as e:  # the cluster lost the task itself (e.g. its worker kept dying)
                answers = [(r.seq, False, f"cluster task failed: {type(e).__name__}: {e}")
                           for r in chunk.records]
            fut.release()
            for seq, ok, payload in answers:
                collector.add(seq, ok, payload)
            collector.progress.tick()
            submit_more()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return {"restarts": restarts, "peak_rss_kb": [], "workers": threads}
