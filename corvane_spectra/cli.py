"""The ``corvane`` command: subcommands over measured and predicted spectra."""
from __future__ import annotations

import argparse
import importlib
import sys

# Subcommand name -> module under corvane_spectra.commands; each module has
# HELP (one line), add_arguments(parser) and run(args) -> exit status.
SUBCOMMANDS = {
    "predict": "predict",
    "annotate": "annotate",
    "identify": "identify",
    "evaluate": "evaluate",
}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane",
        description="Predict EI mass spectra with corvane and hold them against measured spectra.",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    for name, modname in SUBCOMMANDS.items():
        try:
            mod = importlib.import_module(f"corvane_spectra.commands.{modname}")
        except ModuleNotFoundError as e:
            if e.name != f"corvane_spectra.commands.{modname}":
                raise
            continue
        p = sub.add_parser(name, help=mod.HELP, description=getattr(mod, "DESCRIPTION", mod.HELP),
                           formatter_class=argparse.RawDescriptionHelpFormatter)
        mod.add_arguments(p)
        p.set_defaults(_run=mod.run)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args._run(args) or 0)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except (OSError, ValueError) as e:
        print(f"corvane {args.command}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
