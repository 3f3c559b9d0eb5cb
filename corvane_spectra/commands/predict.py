"""corvane predict: a predicted spectral library from a file of molecules."""
from __future__ import annotations

import sys

from ._common import check_model, model_option_help

HELP = "predict the spectra of a file of molecules (SMILES, CSV/TSV, SDF; gzip too) into a library"
DESCRIPTION = """\
Predict the EI spectrum of every molecule of INPUT and write them to OUT.

INPUT is read as a stream, so its size does not matter:
  .smi / .smiles   SMILES, optionally followed by a name (one per line)
  .csv / .tsv      a table with a header; the SMILES column is found by name
                   (or --smiles-column), the identifier column likewise
                   (id, name, ... or --id-column)
  .sdf             SD records (identifier: --id-column data item, else the title)
  any of them gzip-compressed (.gz)
A molecule keeps the name and identifier its input gives (a CSV's name
column beside its id column); one without a name is named by its SMILES.
Exported MSP records carry Name, SMILES, InChIKey, Formula, MW, ExactMass,
Ion_mode and Spectrum_type; every format records the model and the
intensity convention that made the spectrum.

OUT's extension gives the format: .msp, .mgf, .jsonl or .parquet (one row per
molecule with its LPI counts, soft bonds and annotated peaks).  A folder
(OUT/ with --format) receives the sealed shards themselves, one file per
chunk of input, ready for tools that read a folder of shards.

Molecules that fail (unreadable SMILES, an RDKit error, --timeout, more
memory than --max-memory, a worker that dies twice under them) go to the
errors file (OUT.errors.tsv) with their identifier and
the reason; the run goes on.  Exit status: 0 all written, 3 some failed,
1 the run could not be done, 130 stopped.

A stopped run (Ctrl-C, kill, power loss) continues with --resume: the chunks
already sealed are kept and the result is the same, byte for byte, as an
uninterrupted run's.

examples:
  corvane predict library.smi -o library.msp
  corvane predict compounds.csv.gz --smiles-column canonical_smiles -o lib.parquet --jobs 8
  corvane predict screen.sdf -o lib.mgf --timeout 60 --resume
  corvane predict big.smi -o shards/ --format parquet --dask tcp://scheduler:8786
"""


def add_arguments(p) -> None:
    p.add_argument("input", metavar="INPUT", help="molecules: .smi, .csv, .tsv or .sdf, optionally .gz")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="OUT.msp, OUT.mgf, OUT.jsonl or OUT.parquet; or a folder OUT/ (with --format) "
                        "to keep the shards")
    p.add_argument("--format", choices=("msp", "mgf", "jsonl", "parquet"),
                   help="output format when OUT is a folder (otherwise from OUT's extension)")
    g = p.add_argument_group("input")
    g.add_argument("--input-format", choices=("smi", "csv", "tsv", "sdf"),
                   help="input format when the extension does not tell it")
    g.add_argument("--smiles-column", metavar="NAME", help="the SMILES column of a CSV/TSV input")
    g.add_argument("--id-column", metavar="NAME",
                   help="the identifier column of a CSV/TSV input, or the data item of an SD file")
    g = p.add_argument_group("prediction")
    g.add_argument("--ring", action="store_true", help="ring double cuts too (schematic model only)")
    g.add_argument("--recursive", action="store_true",
                   help="the multi-generation fragment cascade (schematic model only)")
    g.add_argument("--max-generations", type=int, default=2, metavar="N",
                   help="generations of the cascade with --recursive (default 2)")
    g.add_argument("--model", default=None, metavar="NAME", help=model_option_help())
    g.add_argument("--min-mz", type=int, default=None, metavar="MZ",
                   help="leave out predicted ions below m/z MZ (many libraries start at 29 or 50)")
    g = p.add_argument_group("running")
    g.add_argument("-j", "--jobs", type=int, default=None, metavar="N",
                   help="worker processes (default: all cores)")
    g.add_argument("--chunk-size", type=int, default=500, metavar="N",
                   help="records per chunk, the unit of sealing and resuming (default 500)")
    g.add_argument("--timeout", type=float, default=None, metavar="S",
                   help="give up on a molecule after S seconds (its worker is restarted)")
    g.add_argument("--max-memory", default="4G", metavar="SIZE",
                   help="memory each worker may take (4G, 500M, ...; 0 for no limit; default 4G): a molecule "
                        "that needs more fails with an errors-file row instead of exhausting the machine")
    g.add_argument("--unordered", action="store_true",
                   help="write records as they finish instead of in input order (a resumed unordered "
                        "run has the same records, not the same order)")
    g.add_argument("--resume", action="store_true", help="continue a stopped run from its sealed chunks")
    g.add_argument("--force", action="store_true", help="start over, replacing OUT and any stopped run")
    g.add_argument("--errors", metavar="PATH",
                   help="the errors file (default: OUT + .errors.tsv, e.g. lib.msp.errors.tsv, or OUT/errors.tsv)")
    g.add_argument("--dask", metavar="ADDRESS",
                   help="run on a Dask cluster: a scheduler address, or local[:N] for a local cluster "
                        "of N workers (needs the 'cluster' extra); the workers write the shards, so OUT "
                        "must lie where every worker sees it at the same path")
    g.add_argument("-q", "--quiet", action="store_true", help="no progress and no summary")
    g.add_argument("--progress-interval", type=float, default=10.0, metavar="S",
                   help="seconds between progress lines when not on a terminal (default 10)")


def run(args) -> int:
    from ..batch import engine
    from ..batch.inputs import InputError
    from ..models import DEFAULT_MODEL

    try:
        check_model(args.model or DEFAULT_MODEL, args)
    except ValueError as e:
        print(f"corvane predict: {e}", file=sys.stderr)
        return 2
    if args.min_mz is not None and args.min_mz < 0:
        print("corvane predict: --min-mz must not be negative", file=sys.stderr)
        return 2

    opts = engine.Options(
        input=args.input, output=args.output, format=args.format, input_format=args.input_format,
        smiles_column=args.smiles_column, id_column=args.id_column, jobs=args.jobs,
        chunk_size=args.chunk_size, timeout=args.timeout, ordered=not args.unordered,
        resume=args.resume, force=args.force, quiet=args.quiet, progress_interval=args.progress_interval,
        errors=args.errors, ring=args.ring, recursive=args.recursive,
        max_generations=args.max_generations, model=args.model, dask=args.dask, min_mz=args.min_mz)
    try:
        max_memory = engine.parse_size(args.max_memory)
    except ValueError as e:
        print(f"corvane predict: {e}", file=sys.stderr)
        return 2
    opts.max_memory = max_memory
    for flag, value in (("--jobs", args.jobs), ("--max-generations", args.max_generations)):
        if value is not None and value < 1:
            print(f"corvane predict: {flag} must be at least 1, not {value}", file=sys.stderr)
            return 2
    try:
        summary = engine.run(opts)
    except InputError as e:
        print(f"corvane predict: {e}", file=sys.stderr)
        return 1
    if summary.nothing_to_do:
        if not args.quiet:
            print(f"corvane predict: {summary.output} is complete; nothing to resume "
                  "(--force to predict it again)", file=sys.stderr)
        return engine.EXIT_OK
    if not args.quiet:
        print(summary.text(), file=sys.stderr)
    return engine.EXIT_FAILED_MOLECULES if summary.failed else engine.EXIT_OK
