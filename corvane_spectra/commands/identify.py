"""corvane identify: rank candidate structures against a measured spectrum."""
from __future__ import annotations

from pathlib import Path

from ._common import add_model_arguments, check_model, read_one, write_json

HELP = "rank candidate structures against a measured spectrum"
DESCRIPTION = """\
Rank candidates for one measured spectrum of SPECTRUM_FILE.  --candidates is
either a SMILES file (one molecule a line: SMILES, then an optional name),
each candidate predicted here, or a library of predicted spectra in any
readable format (.msp, .mgf, .jsonl, MassBank; .gz too).  The score is the
cosine of the predicted intensities against the square roots of the measured
ones above the lowest measured m/z; equal scores share a rank.

examples:
  corvane identify unknown.msp --candidates isomers.smi --top 5
  corvane identify library.msp --index 12 --candidates predicted.msp --json ranks.json
  corvane identify unknown.msp --candidates isomers.smi --html ranking.html
"""


def add_arguments(p) -> None:
    p.add_argument("spectrum_file", metavar="SPECTRUM_FILE", help="file or folder of measured spectra")
    p.add_argument("--index", type=int, default=0, metavar="I",
                   help="which spectrum of the file (0-based; default 0)")
    p.add_argument("--candidates", required=True, metavar="FILE",
                   help="SMILES file, or a predicted spectrum library")
    p.add_argument("--top", type=int, default=10, metavar="K", help="show the K best (default 10; 0: all)")
    p.add_argument("--json", metavar="OUT.json", help="write the ranking as JSON")
    p.add_argument("--html", metavar="OUT.html",
                   help="write an interactive report (one self-contained HTML file)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    add_model_arguments(p)


def run(args) -> int:
    from ..identify import identify

    check_model(args.model)
    if args.top < 0:
        raise ValueError("--top must not be negative")
    if not Path(args.candidates).exists():
        raise FileNotFoundError(f"{args.candidates}: no such file or folder")
    measured = read_one(args.spectrum_file, args.index)
    result = identify(measured, args.candidates, top=args.top or None, model=args.model,
                      ring_fragmentation=args.ring, recursive=args.recursive, progress=not args.no_progress,
                      keep_spectra=bool(args.html))
    label = measured.name or measured.metadata.get("id") or f"spectrum {args.index}"
    print(f"{label}: {len(result.candidates)} candidate(s) shown")
    print(result.table())
    if args.json:
        out = result.to_dict()
        out["query"] = {k: v for k, v in measured.metadata.items() if isinstance(v, (str, int, float))}
        write_json(args.json, out)
    if args.html:
        result.to_html(args.html, measured=measured)
    return 0
