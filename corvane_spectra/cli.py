"""The ``corvane`` command: subcommands over measured and predicted spectra."""
from __future__ import annotations

import argparse
import difflib
import importlib
import os
import re
import sys

# Subcommand name -> module under corvane_spectra.commands; each module has
# HELP (one line), add_arguments(parser) and run(args) -> exit status.
SUBCOMMANDS = {
    "predict": "predict",
    "annotate": "annotate",
    "identify": "identify",
    "evaluate": "evaluate",
}


class _Parser(argparse.ArgumentParser):
    """argparse with a suggestion for a misspelled option or subcommand."""

    def _option_strings(self) -> set[str]:
        found = {o for a in self._actions for o in a.option_strings}
        for a in self._actions:
            if isinstance(a, argparse._SubParsersAction):
                for p in a.choices.values():
                    found |= {o for b in p._actions for o in b.option_strings}
        return found

    def error(self, message):
        hint = ""
        m = re.match(r"unrecognized arguments: (.*)", message)
        if m:
            known = sorted(self._option_strings())
            for tok in m.group(1).split():
                if tok.startswith("-"):
                    close = difflib.get_close_matches(tok.split("=", 1)[0], known, n=1, cutoff=0.6)
                    if close:
                        hint = f"\ndid you mean {close[0]} (instead of {tok})?"
                        break
        m = re.search(r"invalid choice: '([^']*)'", message)
        if m:
            choices = [c for a in self._actions if isinstance(a, argparse._SubParsersAction) for c in a.choices]
            close = difflib.get_close_matches(m.group(1), choices, n=1, cutoff=0.5)
            if close:
                hint = f"\ndid you mean {close[0]!r}?"
        super().error(message + hint)


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("corvane")
    except PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="corvane",
        description="Predict EI mass spectra with corvane and hold them against measured spectra.",
    )
    parser.add_argument("--version", action="version", version=f"corvane {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
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
    except BrokenPipeError:
        # The reader of our output went away (| head): the files are written
        # already; end quietly, as a shell pipeline's programs do.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
    except (OSError, ValueError) as e:
        print(f"corvane {args.command}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
