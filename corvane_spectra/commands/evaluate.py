"""corvane evaluate: score predictions on a whole measured library."""
from __future__ import annotations

import sys
from pathlib import Path

from ._common import add_model_arguments, check_model, save_figure, write_json

HELP = "evaluate predictions on a measured library, against two baselines"
DESCRIPTION = """\
Predict every molecule of a measured library (spectra with SMILES) and report
mean precision, recall@10, recall@10±1 and cosine of the predictions, and the
identification recall@1/@10 (the true molecule's rank when its measured
spectrum is searched against the predictions of all molecules of the run,
by the learned identification score: the cosine plus an (m/z)²-weighted
cosine minus a penalty for measured intensity above the candidate's heaviest
predicted ion, printed under the table; --identification cosine ranks by the
cosine alone);
the same for two baselines without LPI: "all_cuts" (every non-ring bond
between heavy atoms cut once) and "random" (as many such bonds as the
molecule has soft-bond records, fixed seed), and, beside another model, the
schematic spectrum.  Molecules that fail are counted and listed, and the run
goes on.  A note says how many spectra are of compounds the model was fitted
on (by InChIKey): the figures on those are not held out.

The JSON file holds {"n", "failed", "model", "offset", "similarity",
"identification", "fitted", "notes", "module": F, "all_cuts": F, "random": F}, F = {"precision",
"recall10", "recall10_pm1", "cosine", "matchms_cosine", "id_at_1", "id_at_10",
"median_peaks"} (means over the spectra; matchms_cosine: matchms's
CosineGreedy with its defaults on the spectra as written).  --json and --png are written before anything is
printed; missing folders are created.

Exit status 0 when spectra were evaluated, 1 when none could be.

With --isomers POOL (candidate structures: SMILES, CSV/TSV or SD file, or a
spectrum library with SMILES) each spectrum is also ranked among its isomers
in the pool (same formula of the largest component, another InChIKey
skeleton) by the identification score of their predictions (--identification):
top-1, top-3 and mean relative
rank (rank-1)/(k-1), ties broken at random (expected values), beside chance;
the JSON file gets the same figures under "isomers".

examples:
  corvane evaluate massbank_ei.msp --limit 300 --json eval.json --png eval.png
  corvane evaluate massbank_ei.msp --offset 1520 --limit 1000 --model schematic
  corvane evaluate massbank_ei.msp --isomers pool.smi --json eval.json
"""


def add_arguments(p) -> None:
    p.add_argument("library", metavar="LIBRARY", help="measured spectra with SMILES (any readable format)")
    p.add_argument("--offset", type=int, default=0, metavar="N", help="skip the first N spectra of the file")
    p.add_argument("--limit", type=int, metavar="N", help="take N spectra (after --offset)")
    p.add_argument("--json", metavar="OUT.json", help="write the summary figures here")
    p.add_argument("--png", metavar="OUT.png", help="write distributions and example mirror plots")
    p.add_argument("--seed", type=int, default=None, help="seed of the random baseline")
    p.add_argument("--skip-bad", action="store_true", help="pass over malformed records (counted)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    p.add_argument("--isomers", metavar="POOL",
                   help="also rank each molecule among its isomers in POOL (SMILES/CSV/TSV/SD or spectra with SMILES)")
    p.add_argument("--identification", choices=("learned", "cosine"), default="learned",
                   help="score that ranks the predictions for id@k (default: learned)")
    add_model_arguments(p)


def run(args) -> int:
    from .. import baselines, io
    from ..evaluate import evaluate, evaluation_figure

    check_model(args.model, args)
    for flag, v in (("--limit", args.limit), ("--offset", args.offset)):
        if v is not None and v < 0:
            raise ValueError(f"{flag} must not be negative")
    if not Path(args.library).exists():
        raise FileNotFoundError(f"{args.library}: no such file or folder")
    if args.isomers and not Path(args.isomers).exists():
        raise FileNotFoundError(f"{args.isomers}: no such file or folder")
    with io.read(args.library, skip_bad=args.skip_bad) as reader:
        ev = evaluate(reader, limit=args.limit, offset=args.offset, ring_fragmentation=args.ring,
                      recursive=args.recursive, model=args.model,
                      seed=baselines.DEFAULT_SEED if args.seed is None else args.seed,
                      progress=not args.no_progress, identification=args.identification)
        skipped = getattr(reader, "skipped", 0)
    isomers = _isomers(ev, args) if args.isomers and ev.records else None
    if ev.records:
        if args.json:
            summary = ev.summary()
            if isomers is not None:
                summary["isomers"] = isomers
            write_json(args.json, summary)
        if args.png:
            save_figure(evaluation_figure(ev), args.png)
    print(ev.table())
    if ev.failed:
        print(f"failed ({len(ev.failed)}):", file=sys.stderr)
        for k, name, why in ev.failed:
            print(f"  #{k} {name or ''}: {why}", file=sys.stderr)
    if skipped:
        print(f"{skipped} malformed record(s) skipped", file=sys.stderr)
    if isomers is not None:
        from ..isomers import format_summary

        print(format_summary(isomers))
    if not ev.records:
        print("corvane evaluate: no spectrum was evaluated"
              + (" (--json/--png not written)" if args.json or args.png else ""), file=sys.stderr)
        return 1
    return 0


def _isomers(ev, args) -> dict:
    from ..isomers import rank_among_isomers, read_pool
    from ..models import run_model

    pool = read_pool(args.isomers)
    known = {r.smiles: r.predicted["module"] for r in ev.records}

    def predict(smiles):
        if smiles in known:
            return known[smiles]
        return run_model(args.model, smiles, ring_fragmentation=args.ring, recursive=args.recursive)

    res = rank_among_isomers(((r.index, r.name, r.smiles, r.measured) for r in ev.records), pool, predict,
                             score=args.identification)
    return res.summary()
