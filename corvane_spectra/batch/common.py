"""What the batch engine and the Dask backend both need.

Both the driver of a local run and a cluster worker turn a chunk's answers
into the same shard bytes here, so a shard does not depend on who wrote it.
This module imports neither ``engine`` nor ``dask_backend``.
"""
from __future__ import annotations

import os

from .shards import error_line


def default_jobs() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def chunk_payload(records: list, results: dict, arrival: list, fmt: str, ordered: bool) -> tuple[bytes, str]:
    """(shard bytes, errors-file text) of a chunk whose every record has its answer.

    ``results`` maps a record's number to ``(ok, payload)``; ``arrival`` is the
    order the answers came in, which ``ordered=False`` keeps.
    """
    by_seq = {r.seq: r for r in records}
    order = sorted(results) if ordered else arrival
    good, errors = [], []
    for seq in order:
        ok, payload = results[seq]
        if ok:
            good.append(payload)
        else:
            r = by_seq[seq]
            errors.append(error_line(seq, r.ident, payload, r.text if r.kind == "smiles" else ""))
    if fmt == "parquet":
        from . import parquet

        data = parquet.shard_bytes(good)
    else:
        data = "".join(good).encode("utf-8")
    return data, "".join(errors)
