"""Files that are either the old version or all of the new one.

Every file corvane_spectra writes by name (spectrum libraries, shards and
their manifest, JSON reports, figures) goes through here: it is written to a
temporary file beside its target, whose name starts with ``TEMP_PREFIX``, and
renamed over the target only once it is complete.  A failure removes the
temporary file; a crash can leave one behind, which a reader of the folder
recognises by its prefix.

The new file keeps the mode of the file it replaces; a new file gets the
mode the process's umask gives (the umask is never changed, so other
threads are not affected).  A path that is a symbolic link is written
through: the file it points to is replaced and the link stays.  The folder
must exist: a missing one is a FileNotFoundError naming the path asked for.
"""
from __future__ import annotations

import errno
import os
import secrets
import stat
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


def _target(path: str) -> str:
    """The file a write to ``path`` replaces: the end of its chain of links."""
    if os.path.islink(path):
        return os.path.realpath(path)
    return path


def _create_temp(target: str, user_path: str, mode: int) -> str:
    """A new, empty file beside ``target``: mode 0o666 lets the system apply
    the umask (and a folder's default ACL) itself."""
    folder = os.path.dirname(os.path.abspath(target))
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "cannot write: it is a folder", user_path)
    if not os.path.isdir(folder):
        raise FileNotFoundError(errno.ENOENT, "cannot write: the folder does not exist", user_path)
    base = os.path.basename(target)
    for _ in range(100):
        tmp = os.path.join(folder, f"{TEMP_PREFIX}{secrets.token_hex(4)}-{base}")
        try:
            fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), mode)
        except FileExistsError:
            continue
        except OSError as e:
            raise type(e)(e.errno, f"cannot write: {e.strerror}", user_path) from None
        os.close(fd)
        return tmp
    raise FileExistsError(errno.EEXIST, "cannot create a temporary file beside it", user_path)


@contextmanager
def replacing(path, *, durable: bool = False):
    """Yields the name of an empty temporary file beside ``path``.

    When the block ends normally the file takes ``path``'s place (with the
    mode of the file it replaces, else the mode a new file gets; with
    ``durable``, its data and the rename flushed to disk); when it raises,
    the file is removed.
    """
    path = os.fsdecode(os.fspath(path))
    target = _target(path)
    folder = os.path.dirname(os.path.abspath(target))
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        mode = None
    # Over an existing file the temporary one is private until it takes the
    # old one's mode, so it is never more open than either.
    tmp = _create_temp(target, path, 0o600 if mode is not None else 0o666)
    try:
        yield tmp
        if durable:
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
        if mode is not None:
            os.chmod(tmp, mode)
        os.replace(tmp, target)
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
