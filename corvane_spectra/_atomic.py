"""Files that are either the old version or all of the new one.

Every file corvane_spectra writes by name (spectrum libraries, shards and
their manifest, JSON reports, figures) goes through here: it is written to a
temporary file beside its target, whose name starts with ``TEMP_PREFIX``, and
renamed over the target only once it is complete.  A failure removes the
temporary file; a crash can leave one behind, which a reader of the folder
recognises by its prefix.
"""
from __future__ import annotations

import os
import tempfile
from contextlib import contextmanager

TEMP_PREFIX = ".tmp-"


def fsync_dir(path: str) -> None:
    """Flushes a folder's entries (a rename in it) to disk, where the system allows."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _new_file_mode() -> int:
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextmanager
def replacing(path, *, durable: bool = False):
    """Yields the name of an empty temporary file beside ``path``.

    When the block ends normally the file takes ``path``'s place, with the
    mode a newly created file would have (and, with ``durable``, its data and
    the rename flushed to disk); when it raises, the file is removed.
    """
    path = os.fsdecode(os.fspath(path))
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=TEMP_PREFIX, suffix="-" + os.path.basename(path))
    os.close(fd)
    try:
        yield tmp
        if durable:
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
        os.chmod(tmp, _new_file_mode())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    if durable:
        fsync_dir(folder)


@contextmanager
def atomic_file(path, *, durable: bool = False):
    """``replacing`` with the temporary file open for binary writing."""
    with replacing(path, durable=durable) as tmp, open(tmp, "wb") as f:
        yield f
