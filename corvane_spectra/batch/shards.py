"""Sealed shards and the manifest that records them.

A run writes into a work directory:

- ``job.json``: the input (path, size, modification time), the output format,
  the chunk size and the prediction options; written once, atomically.  A
  resumed run must match it, or it refuses.  Its ``run`` field, a random
  name given when the run starts (or starts over with ``--force``), lets a
  cluster worker tell that the shard it is sealing is still wanted.
- ``part-NNNNNN.EXT``: the output of input chunk NNNNNN (records
  NNNNNN*chunk_size onwards), and ``part-NNNNNN.errors.tsv`` when some of
  its records failed.  Each is written to a temporary name, flushed to disk
  (fsync) and renamed into place.  On a Dask cluster the worker that
  predicted a chunk seals its shard itself (`write_shard`) and tells the
  driver only its name, size and SHA-256; the driver writes the errors file
  and the manifest line.
- ``.corvane-predict``: the mark of a folder a run created.  A folder
  without it is never taken over, emptied or removed.
- ``.lock``: held (``flock``) by the run working in the folder, with its
  process id; a second run on the same folder, ``--resume`` or ``--force``,
  refuses while the lock is held.  The system releases it when the process
  ends, however it ends.
- ``manifest.jsonl``: one line per sealed chunk, appended and flushed to disk
  after the chunk's files are in place: the chunk's number, record count,
  failures, file names, sizes and SHA-256.  A chunk counts as done only once
  its line is complete; a torn last line (power loss in the middle of the
  append) is cut off when the run resumes, and that chunk is done again.

A chunk's shard depends only on the chunk's records and the options, so a
chunk done twice gives the same bytes, and the assembled output of a resumed
run is byte-identical to that of a run that was never stopped.
"""
from __future__ import annotations

import errno
import fcntl
import hashlib
import json
import os
import secrets

from .._atomic import TEMP_PREFIX, atomic_file, replacing

__all__ = ["WorkDir", "RunLocked", "StaleRun", "MARK", "LOCK", "TEMP_PREFIX", "atomic_write", "error_line",
           "job_token", "write_shard"]

JOB_VERSION = 1
MARK = ".corvane-predict"
LOCK = ".lock"


class RunLocked(ValueError):
    """Another run holds the work folder."""
ERRORS_HEADER = "record\tidentifier\treason\tinput\n"


def atomic_write(path: str, data: bytes) -> None:
    """Write ``data`` to ``path`` so that the file is either the old one or all of the new one."""
    with atomic_file(path, durable=True) as f:
        f.write(data)


class StaleRun(RuntimeError):
    """The run a shard was made for has been started over (``--force``) since."""


def job_token(folder: str) -> str:
    """The start of the run in ``folder``: the random ``run`` name its
    ``job.json`` was given when the run started (or started over); a resumed
    run keeps it.  Read from the file's content, so every machine of a
    cluster reads the same name whatever its file system reports."""
    with open(os.path.join(folder, "job.json"), encoding="utf-8") as f:
        return str(json.load(f).get("run", ""))


def write_shard(folder: str, name: str, data: bytes, token: str | None = None) -> dict:
    """Seal one shard: ``data`` goes to a temporary file in ``folder``, is
    flushed to disk and renamed to ``name``.  With ``token`` (see `job_token`)
    the rename happens only while the folder still holds that run; otherwise
    the temporary file is removed and StaleRun raised.  Returns the shard's
    part of the manifest entry (file, bytes, sha256).

    A cluster worker calls this on the shared folder, so only these few
    fields travel back to the driver, never the spectra.
    """
    with atomic_file(os.path.join(folder, name), durable=True) as f:
        f.write(data)
        if token is not None and job_token(folder) != token:
            raise StaleRun(f"{folder} was started over: the shard {name} of the earlier run is dropped")
    return {"file": name, "bytes": len(data), "sha256": hashlib.sha256(data).hexdigest()}


def error_line(seq: int, ident: str, reason: str, text: str) -> str:
    def clean(s: str) -> str:
        return " ".join(str(s).split())

    # An SD record is given by its title, not its whole block.
    return f"{seq + 1}\t{clean(ident)}\t{clean(reason)}\t{clean(text)[:500]}\n"


class WorkDir:
    """The shards and manifest of one run (see the module's description)."""

    def __init__(self, path: str, ext: str):
        self.path = path
        self.ext = ext
        self.manifest_path = os.path.join(path, "manifest.jsonl")
        self.job_path = os.path.join(path, "job.json")
        self.sealed: dict[int, dict] = {}
        self._order: list[int] = []
        self._lock_fd: int | None = None

    def shard_name(self, chunk: int) -> str:
        return f"part-{chunk:06d}.{self.ext}"

    def errors_name(self, chunk: int) -> str:
        return f"part-{chunk:06d}.errors.tsv"

    # -- the folder, its mark and its lock ----------------------------------
    def marked(self) -> bool:
        """Whether a run created the folder (see MARK)."""
        return os.path.isfile(os.path.join(self.path, MARK))

    def make(self, exclusive: bool) -> None:
        """Creates the folder (``exclusive``: it must not exist yet), locks
        it and marks it as a run's."""
        if exclusive:
            try:
                os.mkdir(self.path)
            except FileExistsError:
                # Another run made it a moment ago: its lock says so.
                self.lock()
                if not self.marked():
                    self.unlock()
                    raise ValueError(f"{self.path} exists and was not made by corvane predict: "
                                     "move it away or choose another output") from None
                return
        else:
            os.makedirs(self.path, exist_ok=True)
        self.lock()
        with open(os.path.join(self.path, MARK), "w", encoding="utf-8") as f:
            f.write("a folder of corvane predict; removed when the run is done\n")

    def lock(self) -> None:
        """Takes the folder's lock for this run, or refuses (RunLocked) while another run holds it."""
        if self._lock_fd is not None:
            return
        path = os.path.join(self.path, LOCK)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as e:
            other = os.pread(fd, 64, 0).decode("ascii", "replace").strip()
            os.close(fd)
            if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise
            who = f" (process {other})" if other.isdigit() else ""
            raise RunLocked(f"another corvane predict run{who} is working in {self.path}: "
                            "wait for it to end or stop it first") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
        self._lock_fd = fd

    def unlock(self) -> None:
        if self._lock_fd is not None:
            os.close(self._lock_fd)
            self._lock_fd = None

    def remove(self) -> None:
        """Removes the run's own files and then the folder, if nothing else is left in it."""
        for name in os.listdir(self.path):
            if name.startswith("part-") or name in ("manifest.jsonl", "job.json", "errors.tsv", MARK) \
                    or name.startswith(TEMP_PREFIX):
                os.unlink(os.path.join(self.path, name))
        os.unlink(os.path.join(self.path, LOCK))
        self.unlock()
        try:
            os.rmdir(self.path)
        except OSError:
            pass  # somebody put files of their own there: they stay

    # -- starting and resuming -------------------------------------------
    def exists(self) -> bool:
        return os.path.exists(self.job_path)

    def create(self, job: dict) -> None:
        os.makedirs(self.path, exist_ok=True)
        for name in os.listdir(self.path):
            if name.startswith("part-") or name in ("manifest.jsonl", "job.json", "errors.tsv") \
                    or name.startswith(TEMP_PREFIX):
                os.unlink(os.path.join(self.path, name))
        job = dict(job, version=JOB_VERSION, run=secrets.token_hex(8))
        atomic_write(self.job_path, (json.dumps(job, indent=1, sort_keys=True) + "\n").encode())
        atomic_write(self.manifest_path, b"")

    def load(self, job: dict) -> None:
        """Take up an interrupted run: check it is the same job, read what was sealed."""
        with open(self.job_path, encoding="utf-8") as f:
            old = json.load(f)
        new = dict(job, version=JOB_VERSION)
        diffs = [k for k in sorted(set(old) | set(new)) if k != "run" and old.get(k) != new.get(k)]
        if diffs:
            detail = "; ".join(f"{k}: was {old.get(k)!r}, now {new.get(k)!r}" for k in diffs)
            raise ValueError(f"cannot resume the run in {self.path}: it was started differently ({detail}); "
                             "use --force to start over")
        good_end = 0
        with open(self.manifest_path, "rb") as f:
            data = f.read()
        pos = 0
        while True:
            nl = data.find(b"\n", pos)
            if nl < 0:
                break
            line = data[pos:nl]
            pos = nl + 1
            try:
                entry = json.loads(line)
            except ValueError:
                break
            if not self._intact(entry):
                break
            good_end = pos
            self.sealed[entry["chunk"]] = entry
            self._order.append(entry["chunk"])
        if good_end != len(data):
            # A torn or unusable tail: cut it off so that later lines start clean.
            with open(self.manifest_path, "r+b") as f:
                f.truncate(good_end)
                f.flush()
                os.fsync(f.fileno())
        for name in os.listdir(self.path):
            if name.startswith(TEMP_PREFIX):
                os.unlink(os.path.join(self.path, name))

    def _intact(self, entry: dict) -> bool:
        for key in ("file", "errors_file"):
            name = entry.get(key)
            if name is None:
                continue
            p = os.path.join(self.path, name)
            if not os.path.exists(p) or os.path.getsize(p) != entry[key.replace("file", "bytes")]:
                return False
        return True

    # -- sealing -----------------------------------------------------------
    def token(self) -> str:
        """Names this run's start: a shard written for another start of the
        run (an earlier ``--force``) is refused (see `write_shard`)."""
        return job_token(self.path)

    def seal(self, chunk: int, first_seq: int, n_records: int, output: bytes, errors: str) -> dict:
        """Put one chunk's shard (and its errors) in place, then record it in the manifest."""
        shard = write_shard(self.path, self.shard_name(chunk), output)
        return self.record(chunk, first_seq, n_records, shard, errors)

    def record(self, chunk: int, first_seq: int, n_records: int, shard: dict, errors: str) -> dict:
        """Record a chunk whose shard is in place (``shard``: what `write_shard`
        returned, here or on a cluster worker): its errors file is written,
        then its line appended to the manifest and flushed to disk."""
        if shard.get("file") != self.shard_name(chunk):
            raise ValueError(f"chunk {chunk}: its shard is named {shard.get('file')!r}")
        entry = {"chunk": chunk, "first": first_seq, "records": n_records,
                 "failed": errors.count("\n"), "file": shard["file"], "bytes": shard["bytes"],
                 "sha256": shard["sha256"], "errors_file": None, "errors_bytes": 0}
        if errors:
            data = errors.encode("utf-8")
            atomic_write(os.path.join(self.path, self.errors_name(chunk)), data)
            entry["errors_file"], entry["errors_bytes"] = self.errors_name(chunk), len(data)
        line = (json.dumps(entry, sort_keys=True) + "\n").encode()
        with open(self.manifest_path, "ab") as f:
            f.write(line)
            f.flush()
            os.fsync(f.fileno())
        self.sealed[chunk] = entry
        self._order.append(chunk)
        return entry

    # -- reading back ------------------------------------------------------
    def chunks(self, ordered: bool = True) -> list[int]:
        return sorted(self.sealed) if ordered else list(self._order)

    def shard_paths(self, ordered: bool = True) -> list[str]:
        return [os.path.join(self.path, self.sealed[c]["file"]) for c in self.chunks(ordered)]

    def totals(self) -> tuple[int, int]:
        return (sum(e["records"] for e in self.sealed.values()),
                sum(e["failed"] for e in self.sealed.values()))

    def write_errors(self, dest: str, ordered: bool = True) -> int:
        """All failures in one TSV file (header, then record, identifier, reason, input)."""
        parts = [ERRORS_HEADER.encode()]
        n = 0
        for c in self.chunks(ordered):
            e = self.sealed[c]
            if e.get("errors_file"):
                with open(os.path.join(self.path, e["errors_file"]), "rb") as f:
                    parts.append(f.read())
                n += e["failed"]
        atomic_write(dest, b"".join(parts))
        return n

    def assemble_text(self, dest: str, ordered: bool = True) -> None:
        """Concatenate the text shards into ``dest`` (temporary file, fsync, rename)."""
        with atomic_file(dest, durable=True) as out:
            for p in self.shard_paths(ordered):
                with open(p, "rb") as f:
                    while True:
                        buf = f.read(1 << 20)
                        if not buf:
                            break
                        out.write(buf)

    def assemble_parquet(self, dest: str, ordered: bool = True) -> None:
        from . import parquet

        with replacing(dest, durable=True) as tmp:
            parquet.assemble(self.shard_paths(ordered), tmp)
