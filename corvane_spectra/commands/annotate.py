"""corvane annotate: explain the peaks of a measured spectrum by predicted fragments."""
from __future__ import annotations

from ._common import (add_model_arguments, add_record_arguments, check_model, make_parent, record_label,
                      save_figure, select_record, write_json)

HELP = "annotate a measured spectrum with the fragments predicted for a molecule"
DESCRIPTION = """\
Predict the EI spectrum of a molecule and hold it against one measured
spectrum of SPECTRUM_FILE (MSP, MGF, JSON lines, MassBank record or folder;
.gz too).  The molecule is --smiles, or the SMILES the record itself carries.
The record is chosen by --index (default the first), --name or --id (MSP DB#,
MassBank accession).

Prints each explained or strong measured peak with its measured and
predicted height (both % of their base peak, on the measured scale) and the
predicted ions there: formula, the neutral loss from M+ (M - CH3 ...), the
cut (bond atoms numbered as RDKit numbers them in a depiction with atom
indices) and the SMILES of the side that keeps the charge; isotope peaks as
"M+1 of C7H7+".  Then the strong peaks nothing explains, the strongest
predicted peaks nothing was measured at, and precision / recall@10 / cosine
(the cosine's weighting is printed beside it).

--json and --png are written before anything is printed, so a closed pipe
(| head) cannot lose them; missing folders are created.

examples:
  corvane annotate library.msp --name 'ETHYL BENZOATE' --png mirror.png
  corvane annotate library.msp --index 3 --smiles 'CCOC(=O)c1ccccc1' --json annotation.json
  corvane annotate record.txt --model schematic --ring
  corvane annotate library.msp --name 'ETHYL BENZOATE' --html report.html
"""


def add_arguments(p) -> None:
    p.add_argument("spectrum_file", metavar="SPECTRUM_FILE", help="file or folder of measured spectra")
    add_record_arguments(p)
    p.add_argument("--smiles", metavar="S", help="the molecule to predict (default: the record's SMILES)")
    p.add_argument("--png", metavar="OUT.png", help="write a mirror plot (measured up, predicted down)")
    p.add_argument("--json", metavar="OUT.json", help="write the annotation as JSON")
    p.add_argument("--html", metavar="OUT.html",
                   help="write an interactive report (one self-contained HTML file)")
    p.add_argument("--all-peaks", action="store_true", help="list weak unexplained peaks too")
    p.add_argument("--unobserved", type=int, default=10, metavar="N",
                   help="show the N strongest predicted peaks nothing was measured at (default 10; -1: all)")
    add_model_arguments(p)


def run(args) -> int:
    from ..annotate import annotate

    check_model(args.model, args)
    measured, index = select_record(args.spectrum_file, args.index, args.name, args.id)
    smiles = args.smiles or measured.smiles
    if not smiles:
        raise ValueError(f"{record_label(measured, index)} carries no SMILES: give the molecule with --smiles")
    ann = annotate(measured, smiles, ring_fragmentation=args.ring, recursive=args.recursive, model=args.model)
    shown = None if args.unobserved < 0 else args.unobserved
    if args.json:
        write_json(args.json, ann.to_dict(unobserved=shown))
    if args.html:
        make_parent(args.html)
        ann.to_html(args.html)
    if args.png:
        import matplotlib.pyplot as plt

        from ..plot import mirror_plot

        ax = mirror_plot(measured, ann.predicted)
        save_figure(ax.figure, args.png)
        plt.close(ax.figure)
    source = "" if args.smiles else " (SMILES from the record)"
    print(f"{record_label(measured, index)}  vs  {smiles}{source}: {args.model} model, "
          f"{len(ann.predicted)} predicted peaks")
    print(ann.table(all_peaks=args.all_peaks, unobserved=shown))
    return 0
