"""Helpers shared by the subcommands."""
from __future__ import annotations

import itertools
import json
import os
from pathlib import Path

from .._atomic import atomic_file
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


def write_json(path, obj) -> None:
    """Writes JSON through a temporary file, so a failure leaves no half file."""
    text = json.dumps(obj, indent=1, allow_nan=False) + "\n"
    with atomic_file(path) as f:
        f.write(text.encode("utf-8"))


def save_figure(fig, path) -> None:
    """Saves a figure through a temporary file in the target folder."""
    fmt = Path(path).suffix.lstrip(".").lower() or "png"
    with atomic_file(path) as f:
        fig.savefig(f, dpi=120, format=fmt)
