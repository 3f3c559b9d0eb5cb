"""corvane annotate: explain the peaks of a measured spectrum by predicted fragments."""
from __future__ import annotations

from ._common import add_model_arguments, check_model, read_one, save_figure, write_json

HELP = "annotate a measured spectrum with the fragments predicted for a molecule"
DESCRIPTION = """\
Predict the EI spectrum of the molecule given by --smiles and hold it against
one measured spectrum of SPECTRUM_FILE (MSP, MGF, JSON lines, MassBank record
or folder; .gz too).  Prints each explained or strong measured peak with the
predicted fragments at its m/z (formula, cut, generation), the strong peaks
that nothing explains, and precision / recall@10 / cosine of the prediction.

examples:
  corvane annotate library.msp --index 3 --smiles 'CCOC(=O)c1ccccc1' --png mirror.png
  corvane annotate record.txt --smiles 'ClCc1ccccc1' --json annotation.json
  corvane annotate library.msp --index 3 --smiles 'CCOC(=O)c1ccccc1' --html report.html
"""


def add_arguments(p) -> None:
    p.add_argument("spectrum_file", metavar="SPECTRUM_FILE", help="file or folder of measured spectra")
    p.add_argument("--index", type=int, default=0, metavar="I",
                   help="which spectrum of the file (0-based; default 0)")
    p.add_argument("--smiles", required=True, metavar="S", help="the molecule to predict")
    p.add_argument("--png", metavar="OUT.png", help="write a mirror plot (measured up, predicted down)")
    p.add_argument("--json", metavar="OUT.json", help="write the annotation as JSON")
    p.add_argument("--html", metavar="OUT.html",
                   help="write an interactive report (one self-contained HTML file)")
    p.add_argument("--all-peaks", action="store_true", help="list weak unexplained peaks too")
    add_model_arguments(p)


def run(args) -> int:
    from ..annotate import annotate

    check_model(args.model)
    measured = read_one(args.spectrum_file, args.index)
    ann = annotate(measured, args.smiles, ring_fragmentation=args.ring, recursive=args.recursive,
                   model=args.model)
    label = measured.name or measured.metadata.get("id") or f"spectrum {args.index}"
    print(f"{label}  vs  {args.smiles} ({len(ann.predicted)} predicted peaks)")
    print(ann.table(all_peaks=args.all_peaks))
    if args.json:
        write_json(args.json, ann.to_dict())
    if args.html:
        ann.to_html(args.html)
    if args.png:
        import matplotlib.pyplot as plt

        from ..plot import mirror_plot

        ax = mirror_plot(measured, ann.predicted)
        save_figure(ax.figure, args.png)
        plt.close(ax.figure)
    return 0
