"""Helpers shared by the subcommands."""
from __future__ import annotations

import json
import os
from pathlib import Path

from .._atomic import atomic_file
from ..models import DEFAULT_MODEL, IGNORED_SWITCHES, MODELS, models_help


def model_option_help() -> str:
    return f"the prediction model, one of: {models_help()}"


def add_model_arguments(parser, *, switches: bool = True) -> None:
    if switches:
        parser.add_argument("--ring", action="store_true",
                            help="also predict ring double cuts (schematic model only)")
        parser.add_argument("--recursive", action="store_true",
                            help="predict the multi-generation peak table instead of the single cuts "
                                 "(schematic model only)")
    parser.add_argument("--model", default=DEFAULT_MODEL, metavar="NAME", help=model_option_help())


_SWITCH_FLAGS = {"ring_fragmentation": "--ring", "recursive": "--recursive", "max_generations": "--max-generations"}


def check_model(name: str, args=None) -> None:
    """Refuses an unknown model, and switches the chosen model would ignore."""
    if name not in MODELS:
        raise ValueError(f"unknown model {name!r}; known: {', '.join(sorted(MODELS))}")
    if args is None:
        return
    given = {"ring_fragmentation": getattr(args, "ring", False), "recursive": getattr(args, "recursive", False),
             "max_generations": getattr(args, "max_generations", 2) not in (None, 2)}
    ignored = [_SWITCH_FLAGS[k] for k in IGNORED_SWITCHES.get(name, ()) if given.get(k)]
    if ignored:
        raise ValueError(f"{' and '.join(ignored)} shape{'s' if len(ignored) == 1 else ''} the schematic "
                         f"spectrum only; the {name} model always considers ring cuts and second-generation "
                         "cuts (add --model schematic to use the switch)")


def add_record_arguments(p) -> None:
    """--index / --name / --id: which spectrum of a file."""
    g = p.add_mutually_exclusive_group()
    g.add_argument("--index", type=int, default=None, metavar="I",
                   help="which spectrum of the file (0-based; default 0)")
    g.add_argument("--name", metavar="NAME", help="the spectrum with this name (case-insensitive; or a synonym)")
    g.add_argument("--id", metavar="ID", help="the spectrum with this identifier (MSP DB#, MassBank accession)")


def select_record(path, index: int | None = None, name: str | None = None, ident: str | None = None):
    """One spectrum of a file and its position (see :func:`corvane_spectra.annotate.pick`)."""
    from ..annotate import pick

    return pick(path, index=index, name=name, id=ident)


def read_one(path, index: int):
    """The spectrum at position ``index`` (0-based) of a spectrum file."""
    return select_record(path, index)[0]


def record_label(spectrum, index: int) -> str:
    return spectrum.name or spectrum.metadata.get("id") or f"spectrum {index}"


def make_parent(path) -> None:
    """Creates the folder an output file goes into, when it is missing."""
    folder = os.path.dirname(os.path.abspath(os.fspath(path)))
    os.makedirs(folder, exist_ok=True)


def write_json(path, obj) -> None:
    """Writes JSON through a temporary file, so a failure leaves no half file;
    a missing folder is created."""
    text = json.dumps(obj, indent=1, allow_nan=False) + "\n"
    make_parent(path)
    with atomic_file(path) as f:
        f.write(text.encode("utf-8"))


def save_figure(fig, path) -> None:
    """Saves a figure through a temporary file in the target folder (created
    when missing)."""
    fmt = Path(path).suffix.lstrip(".").lower() or "png"
    make_parent(path)
    with atomic_file(path) as f:
        fig.savefig(f, dpi=120, format=fmt)
