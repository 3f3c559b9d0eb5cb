"""Helpers shared by the subcommands."""
from __future__ import annotations

import itertools
import json
import os
import tempfile
from pathlib import Path

from ..models import DEFAULT_MODEL, MODELS


def add_model_arguments(parser) -> None:
    parser.add_argument("--ring", action="store_true",
                        help="also predict ring double cuts (VIF ring_fragmentation)")
    parser.add_argument("--recursive", action="store_true",
                        help="predict the multi-generation peak table instead of the single cuts")
    parser.add_argument("--model", default=DEFAULT_MODEL, metavar="NAME",
                        help=f"predictor to use (known: {', '.join(sorted(MODELS))}; default {DEFAULT_MODEL})")


def check_model(name: str) -> None:
    if name not in MODELS:
        raise ValueError(f"unknown model {name!r}; known: {', '.join(sorted(MODELS))}")


def read_one(path, index: int):
    """The spectrum at position ``index`` (0-based) of a spectrum file."""
    from .. import io

    if index < 0:
        raise ValueError("--index must not be negative")
    if not Path(path).exists():
        raise FileNotFoundError(f"{path}: no such file or folder")
    reader = io.read(path)
    try:
        for s in itertools.islice(reader, index, index + 1):
            return s
    finally:
        close = getattr(reader, "close", None)
        if close:
            close()
    raise ValueError(f"{path}: no spectrum at index {index} (the file holds fewer)")


def _umask_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def write_json(path, obj) -> None:
    """Writes JSON through a temporary file, so a failure leaves no half file."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent or ".")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(obj, f, indent=1, allow_nan=False)
            f.write("\n")
        os.chmod(tmp, _umask_mode())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def save_figure(fig, path) -> None:
    """Saves a figure through a temporary file in the target folder."""
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=path.suffix or ".png", dir=path.parent or ".")
    os.close(fd)
    try:
        fig.savefig(tmp, dpi=120)
        os.chmod(tmp, _umask_mode())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
