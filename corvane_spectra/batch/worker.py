"""The work on one molecule, and the worker process that does it for the engine.

A worker process is started as ``python -m corvane_spectra.batch.worker RFD WFD``
with two pipe ends; it imports corvane once, then reads records and answers
each with ``("done", seq, ok, payload)`` in the order it received them.  The
payload is the record's output (text for MSP/MGF/JSONL, a row for Parquet)
or, when ``ok`` is false, the reason it failed.
"""
from __future__ import annotations

import logging
import os
import queue
import re
import signal
import sys
import threading

WARM_UP = "NC(CSP(=O)(O)F)C(=O)OCc1ccc(Cl)c(Br)c1I"
_TIMESTAMP = re.compile(r"^\[\d\d:\d\d:\d\d\]\s*")


class _RDKitMessages(logging.Handler):
    """Keeps RDKit's log lines of the molecule in hand, to give as a failure's reason."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.lines: list[str] = []

    def emit(self, record):
        self.lines.append(_TIMESTAMP.sub("", record.getMessage()))


_rdkit_log: _RDKitMessages | None = None


def capture_rdkit_log() -> _RDKitMessages:
    """Route RDKit's messages into Python logging, held per molecule instead of printed."""
    global _rdkit_log
    if _rdkit_log is None:
        from rdkit import rdBase

        rdBase.LogToPythonLogger()
        _rdkit_log = _RDKitMessages()
        logger = logging.getLogger("rdkit")
        logger.handlers[:] = [_rdkit_log]
        logger.propagate = False
        logger.setLevel(logging.INFO)
    return _rdkit_log


def _rdkit_reason(default: str) -> str:
    lines = [ln for ln in (_rdkit_log.lines if _rdkit_log else []) if "Error" in ln or "error" in ln]
    return f"{default} (RDKit: {lines[0]})" if lines else default


def molblock_smiles(block: str) -> str:
    """The SMILES of one SD record, read by RDKit's SD supplier."""
    import io as _io

    from rdkit import Chem

    supplier = Chem.ForwardSDMolSupplier(_io.BytesIO(block.encode("utf-8")))
    mol = next(iter(supplier), None)
    if mol is None:
        raise ValueError(_rdkit_reason("RDKit could not read the SD record"))
    return Chem.MolToSmiles(mol)


def below_removed(spectrum, min_mz: int):
    """The spectrum without its peaks below ``min_mz`` (a library's range)."""
    from ..spectrum import Spectrum

    keep = spectrum.mz >= min_mz
    anns = None if spectrum.annotations is None else [a for a, k in zip(spectrum.annotations, keep) if k]
    out = Spectrum._trusted(spectrum.mz[keep], spectrum.intensity[keep], spectrum.metadata, anns,
                            spectrum.convention)
    out.metadata["min_mz"] = min_mz
    return out


def compute(rec, opts: dict):
    """(ok, payload) for one record: its output, or the reason it failed."""
    from ..predict import DEFAULT_MODEL, predict_with_vif
    from . import parquet

    log = capture_rdkit_log()
    log.lines.clear()
    smiles = rec.text
    try:
        if rec.kind == "error":  # a line the input reader could not read
            return False, rec.text
        if rec.kind == "molblock":
            smiles = molblock_smiles(rec.text)
        if not smiles:
            return False, "empty SMILES"
        ring, recursive, gens = opts["ring"], opts["recursive"], opts["max_generations"]
        try:
            vif, spectrum = predict_with_vif(smiles, ring, recursive, gens, opts.get("model") or DEFAULT_MODEL)
        except ValueError as e:
            if str(e).startswith("unreadable SMILES"):
                return False, _rdkit_reason(str(e))
            raise
        if opts.get("min_mz"):
            spectrum = below_removed(spectrum, int(opts["min_mz"]))
        # The input's own name and identifier; a molecule without a name is
        # known by its SMILES, not by its line number.
        spectrum.metadata["name"] = getattr(rec, "name", "") or smiles
        if getattr(rec, "id", ""):
            spectrum.metadata["id"] = rec.id
        spectrum.metadata["model"] = opts.get("model") or DEFAULT_MODEL
        if opts["format"] == "parquet":
            return True, parquet.row(rec, smiles, vif, spectrum)
        from .. import io as spectra_io

        return True, spectra_io.dumps(spectrum, opts["format"])
    except MemoryError as e:
        limit = opts.get("max_memory")
        where = f" (a worker may take {limit / (1 << 20):.0f} MiB: --max-memory)" if limit else ""
        detail = f": {e}" if str(e) and not str(e).startswith("out of memory") else ""
        return False, f"MemoryError: out of memory{where}{detail}"
    except Exception as e:  # one molecule's failure is reported, never fatal to the run
        reason = f"{type(e).__name__}: {e}"
        return False, _rdkit_reason(reason) if "rdkit" in type(e).__module__.lower() else reason


def limit_memory(limit: int | None) -> None:
    """Caps the memory this process may take for its data (heap and private
    mappings) at ``limit`` bytes: past it an allocation fails, which Python
    and the extensions report as MemoryError."""
    if not limit:
        return
    import resource

    # A process that already holds more (a sanitizer build reserves terabytes
    # of shadow memory) cannot be limited this way: it is left as it is.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            data_kb = next((int(ln.split()[1]) for ln in f if ln.startswith("VmData:")), 0)
    except OSError:
        data_kb = 0
    if data_kb * 1024 >= limit:
        return

    soft, hard = resource.getrlimit(resource.RLIMIT_DATA)
    if hard != resource.RLIM_INFINITY:
        limit = min(limit, hard)
    resource.setrlimit(resource.RLIMIT_DATA, (limit, hard))


def _peak_rss_kb() -> int:
    import resource

    return int(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)


def serve(rconn, wconn) -> None:
    """Answer records until told to stop or the engine goes away."""
    inbox: queue.Queue = queue.Queue()

    def pump():
        # Drain the pipe at once so that the engine's sends never block on us.
        try:
            while True:
                msg = rconn.recv()
                if msg[0] == "recs":
                    for rec in msg[1]:
                        inbox.put(("rec", rec))
                    continue
                inbox.put(msg)
                if msg[0] == "stop":
                    return
        except (EOFError, OSError):
            inbox.put(("stop",))

    threading.Thread(target=pump, daemon=True).start()
    msg = inbox.get()
    if msg[0] != "setup":
        return
    opts = msg[1]
    import corvane  # noqa: F401  (imported once, before the first molecule)

    from . import parquet  # noqa: F401

    capture_rdkit_log()
    if opts["format"] != "parquet":
        from .. import io  # noqa: F401
    # The first analysis pays for one-time set-up (element tables, RDKit's
    # depiction): pay it here, so that it counts against no molecule's time-out.
    try:
        corvane.VIF(WARM_UP, draw=False, verbose=False)
    except Exception:
        pass
    limit_memory(opts.get("max_memory"))
    wconn.send(("ready", os.getpid()))
    while True:
        msg = inbox.get()
        if msg[0] == "stop":
            try:
                wconn.send(("bye", _peak_rss_kb()))
            except OSError:
                pass
            return
        rec = msg[1]
        ok, payload = compute(rec, opts)
        wconn.send(("done", rec.seq, ok, payload))


def main(argv: list[str]) -> int:
    from multiprocessing.connection import Connection

    # Ctrl-C reaches the whole process group: the engine decides what to do.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    rconn = Connection(int(argv[0]), writable=False)
    wconn = Connection(int(argv[1]), readable=False)
    try:
        serve(rconn, wconn)
    except (BrokenPipeError, EOFError):
        pass
    # Nothing is left to write: skip the interpreter's tear-down of RDKit,
    # numpy and mendeleev's database layer, which takes over a second and
    # would keep the engine waiting at the end of every run.
    sys.stderr.flush()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
