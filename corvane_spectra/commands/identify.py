"""corvane identify: rank candidate structures against a measured spectrum."""
from __future__ import annotations

from pathlib import Path

from ._common import (add_model_arguments, add_record_arguments, check_model, make_parent, record_label,
                      select_record, write_json)

HELP = "rank candidate structures against a measured spectrum"
DESCRIPTION = """\
Rank candidates for one measured spectrum of SPECTRUM_FILE (chosen by
--index, --name or --id).  --candidates is
  a SMILES file        one molecule a line: SMILES and an optional name, in
                       either order ("ID SMILES" is recognised)
  a CSV/TSV table      the SMILES and identifier columns found by name, as
                       corvane predict finds them; an SD file likewise
  a predicted library  any readable format (.msp, .mgf, .jsonl, MassBank; .gz too)
Molecules are predicted here.  Predicted candidates are ranked by the
learned identification score (printed under the table): the cosine of the
predicted heights against the square roots of the measured intensities above
the lowest measured m/z ("cos" column) plus fitted terms, among them a
penalty for measured intensity above the candidate's highest predicted m/z.
A library of measured spectra, or --score cosine, ranks by the cosine alone.
Equal scores share a rank.

Each candidate shows its molecular-ion m/z, the measured peaks its
prediction explains with the formula of the ion there, and a "!" line when
its molecular ion contradicts the spectrum: M+ above the highest measured
m/z, or measured peaks above M+ and its isotope peaks.
--exclude-contradicted leaves those candidates out.  A note says when the
top scores lie within noise of each other (resampling the measured peaks).

Exit status 0 when candidates were ranked, 1 when none could be.

examples:
  corvane identify unknown.msp --candidates isomers.smi --top 5
  corvane identify library.msp --id MSBNK-X-1 --candidates hits.csv --exclude-contradicted
  corvane identify library.msp --index 12 --candidates predicted.msp --json ranks.json
  corvane identify unknown.msp --candidates isomers.smi --html ranking.html
"""


def add_arguments(p) -> None:
    p.add_argument("spectrum_file", metavar="SPECTRUM_FILE", help="file or folder of measured spectra")
    add_record_arguments(p)
    p.add_argument("--candidates", required=True, metavar="FILE",
                   help="SMILES file, CSV/TSV table or SD file of molecules, or a predicted spectrum library")
    p.add_argument("--top", type=int, default=10, metavar="K", help="show the K best (default 10; 0: all)")
    p.add_argument("--exclude-contradicted", action="store_true",
                   help="leave out candidates whose molecular ion contradicts the spectrum")
    p.add_argument("--json", metavar="OUT.json", help="write the ranking as JSON")
    p.add_argument("--html", metavar="OUT.html",
                   help="write an interactive report (one self-contained HTML file)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--score", choices=("auto", "learned", "cosine"), default="auto",
                   help="ranking score: learned, cosine, or auto (learned for predicted candidates; default)")
    add_model_arguments(p)


def run(args) -> int:
    import sys

    from ..identify import identify

    check_model(args.model, args)
    if args.top < 0:
        raise ValueError("--top must not be negative")
    if not Path(args.candidates).exists():
        raise FileNotFoundError(f"{args.candidates}: no such file or folder")
    measured, index = select_record(args.spectrum_file, args.index, args.name, args.id)
    result = identify(measured, args.candidates, top=args.top or None, model=args.model,
                      ring_fragmentation=args.ring, recursive=args.recursive, progress=not args.no_progress,
                      exclude_contradicted=args.exclude_contradicted, keep_spectra=bool(args.html),
                      score=args.score)
    if args.json:
        out = result.to_dict()
        out["query"] = {k: v for k, v in measured.metadata.items() if isinstance(v, (str, int, float))}
        write_json(args.json, out)
    if args.html:
        make_parent(args.html)
        result.to_html(args.html, measured=measured)
    print(f"{record_label(measured, index)}: {len(result.candidates)} candidate(s) shown")
    print(result.table())
    if not result.candidates:
        print("corvane identify: no candidate could be ranked", file=sys.stderr)
        return 1
    return 0
