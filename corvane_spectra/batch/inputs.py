"""Streaming readers of molecule inputs: SMILES files, CSV/TSV tables and SD files.

Every reader yields `Record`s one at a time and never holds the file: a
library of 10^8 molecules is read in constant memory.  Each record keeps an
identifier (its name, or its line or record number when it has none) and its
position among the records of the file, which decides the chunk it falls in.
Gzip-compressed inputs (``.gz``, or any file starting with the gzip magic
bytes) are read the same way.

Nothing is lost without a word: a line that cannot be read (longer than
``MAX_LINE`` characters, a CSV row with a stray quote or a field over the
csv module's limit) becomes a record of kind "error" whose text is the
reason, so it is counted and written to the errors file like a molecule that
failed.  Each line of a CSV/TSV table is one row: a quote never carries a
field over into the next line, so one stray quote cannot swallow the rows
after it.  A UTF-8 byte-order mark is dropped.  SD records are split at
``$$$$`` and also where a new MOL block follows the ``M  END`` of the last
one without it.
"""
from __future__ import annotations

import csv
import gzip
import io
import os
from dataclasses import dataclass
from typing import Iterator

FORMATS = ("smi", "csv", "tsv", "sdf")
_EXTENSIONS = {
    ".smi": "smi", ".smiles": "smi", ".ism": "smi", ".can": "smi", ".txt": "smi",
    ".csv": "csv", ".tsv": "tsv", ".tab": "tsv",
    ".sdf": "sdf", ".sd": "sdf", ".mol": "sdf",
}
# The longest line read, in characters; a longer one is an error record and
# is skipped without being held in memory.
MAX_LINE = 1 << 20
# Column names taken as the identifier of a CSV/TSV row when --id-column is not given.
_ID_COLUMNS = ("id", "name", "identifier", "compound_id", "title", "cid")


@dataclass(frozen=True)
class Record:
    """One molecule of the input.

    ``seq`` counts records from 0 in file order; ``ident`` is the name, or
    "line N" / "record N" when the input gives none; ``kind`` is "smiles",
    "molblock" (an SD record, converted to SMILES by the worker) or "error"
    (a line that could not be read; ``text`` says why); ``name`` and ``id``
    are the name and identifier the input itself gives ("" when it gives
    none), so a predicted spectrum keeps them instead of a line number.
    """

    seq: int
    ident: str
    kind: str
    text: str
    name: str = ""
    id: str = ""


class InputError(ValueError):
    """A malformed or unusable input file (names the file and the line)."""


def is_gzip(path: str) -> bool:
    with open(path, "rb") as f:
        return f.read(2) == b"\x1f\x8b"


def detect_format(path: str) -> str:
    name = os.path.basename(path).lower()
    if name.endswith(".gz"):
        name = name[:-3]
    ext = os.path.splitext(name)[1]
    if ext not in _EXTENSIONS:
        raise InputError(f"{path}: cannot tell the input format from the extension {ext or '(none)'!r}; "
                         f"give --input-format ({', '.join(FORMATS)})")
    return _EXTENSIONS[ext]


def open_text(path: str):
    """The file as text, decompressing gzip; undecodable bytes are replaced,
    never fatal; a byte-order mark is dropped."""
    if is_gzip(path):
        return io.TextIOWrapper(gzip.open(path, "rb"), encoding="utf-8-sig", errors="replace", newline="")
    return open(path, encoding="utf-8-sig", errors="replace", newline="")


def _lines(f) -> Iterator[tuple[int, str | None]]:
    """(line number, line) of a text file; None for a line over MAX_LINE,
    which is read past in pieces, never whole."""
    limit = int(MAX_LINE)
    lineno = 0
    while True:
        line = f.readline(limit + 1)
        if not line:
            return
        lineno += 1
        if len(line) > limit and not line.endswith("\n"):
            while line and not line.endswith("\n"):
                line = f.readline(limit + 1)
            yield lineno, None
            continue
        yield lineno, line


def _too_long(lineno: int) -> str:
    return f"line {lineno} is longer than {int(MAX_LINE)} characters"


def read_smi(path: str) -> Iterator[Record]:
    """SMILES, optionally followed by whitespace and a name; blank and '#' lines skipped.

    A first line whose first field is "smiles" (any case) is taken as a header.
    """
    seq = 0
    with open_text(path) as f:
        for lineno, line in _lines(f):
            if line is None:
                yield Record(seq, f"line {lineno}", "error", _too_long(lineno))
                seq += 1
                continue
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split(None, 1)
            if seq == 0 and lineno == 1 and parts[0].lower() == "smiles":
                continue
            name = parts[1].strip() if len(parts) > 1 else ""
            yield Record(seq, name or f"line {lineno}", "smiles", parts[0], name)
            seq += 1


def _pick_column(fields: list[str], wanted: str | None, candidates, what: str, path: str) -> str | None:
    if wanted is not None:
        if wanted in fields:
            return wanted
        lower = {f.lower(): f for f in fields}
        if wanted.lower() in lower:
            return lower[wanted.lower()]
        raise InputError(f"{path}: no {what} column {wanted!r}; the columns are {', '.join(fields)}")
    for f in fields:
        if f.strip().lower() in candidates:
            return f
    return None


def read_table(path: str, delimiter: str, smiles_column: str | None = None,
               id_column: str | None = None) -> Iterator[Record]:
    """A CSV/TSV table with a header row; the SMILES column is found by name.

    Each line is one row (see the module's notes)."""
    with open_text(path) as f:
        lines = _lines(f)
        header = None
        for lineno, line in lines:
            if line is None:
                raise InputError(f"{path}: the header line is longer than {int(MAX_LINE)} characters")
            if line.strip():
                try:
                    header = next(csv.reader([line], delimiter=delimiter, strict=True))
                except csv.Error as e:
                    raise InputError(f"{path}:{lineno}: cannot read the header row: {e}") from None
                break
        if header is None:
            return
        header = [h.strip() for h in header]
        scol = _pick_column(header, smiles_column, None if smiles_column else (), "SMILES", path)
        if scol is None:
            guesses = [h for h in header if "smiles" in h.lower()]
            if not guesses:
                raise InputError(f"{path}: no SMILES column found among {', '.join(header)}; "
                                 "give --smiles-column")
            scol = guesses[0]
        icol = _pick_column(header, id_column, _ID_COLUMNS, "identifier", path)
        si = header.index(scol)
        ii = header.index(icol) if icol is not None else None
        # A name column kept beside the identifier column.
        ncol = next((h for h in header if h.strip().lower() in ("name", "compound_name", "compound")
                     and h != icol), None)
        ni = header.index(ncol) if ncol is not None else None
        seq = 0
        for lineno, line in lines:
            if line is None:
                yield Record(seq, f"line {lineno}", "error", _too_long(lineno))
                seq += 1
                continue
            try:
                row = next(csv.reader([line], delimiter=delimiter, strict=True), [])
            except csv.Error as e:
                yield Record(seq, f"line {lineno}", "error",
                             f"line {lineno} is not a well-formed row ({e}); a stray quote?")
                seq += 1
                continue
            if not row or all(not c.strip() for c in row):
                continue
            smiles = row[si].strip() if si < len(row) else ""
            ident = row[ii].strip() if ii is not None and ii < len(row) else ""
            name = row[ni].strip() if ni is not None and ni < len(row) else ""
            name = name or ident
            yield Record(seq, ident or f"line {lineno}", "smiles", smiles, name,
                         ident if ident and ident != name else "")
            seq += 1


def read_sdf(path: str, id_column: str | None = None) -> Iterator[Record]:
    """SD records as text blocks; the worker turns each into a molecule with RDKit.

    The identifier is the data item ``id_column`` when given, else the title
    line, else "record N".  Splitting here and parsing in the workers keeps
    the reading process light and puts an RDKit failure on its own record.
    """
    seq = 0
    block: list[str] = []
    # After a block's "M  END": in a data item ("> <TAG>" up to a blank
    # line) or between items; a blank line there may be the title of a MOL
    # block that follows without "$$$$", so it is held back.
    after_end = in_item = False
    held: list[str] = []
    skip_to_end = False
    with open_text(path) as f:
        for lineno, line in _lines(f):
            if line is None:
                if not skip_to_end:
                    yield Record(seq, f"record {seq + 1}", "error",
                                 f"{_too_long(lineno)} (record skipped up to its $$$$)")
                    seq += 1
                skip_to_end, block, held = True, [], []
                after_end = in_item = False
                continue
            bare = line.rstrip("\r\n")
            if skip_to_end:
                if bare.rstrip() == "$$$$":
                    skip_to_end = False
                continue
            if bare.rstrip() == "$$$$":
                block.extend(held)
                block.append(line)
                yield _sd_record(seq, block, id_column)
                seq += 1
                block, held = [], []
                after_end = in_item = False
                continue
            if after_end:
                if in_item:
                    if not bare.strip():
                        in_item = False
                    block.append(line)
                    continue
                if not bare.strip():
                    held.append(line)
                    continue
                if not bare.startswith(">"):
                    # A new MOL block without "$$$$" before it.
                    yield _sd_record(seq, block, id_column)
                    seq += 1
                    block, held = held, []
                    after_end = False
                    block.append(line)
                    continue
                block.extend(held)
                held = []
                in_item = True
                block.append(line)
                continue
            block.append(line)
            if bare.startswith("M  END"):
                after_end = True
        block.extend(held)
        if any(line.strip() for line in block):
            yield _sd_record(seq, block, id_column)


def _sd_record(seq: int, lines: list[str], id_column: str | None) -> Record:
    # Blank lines before the header: the counts line ("... V2000") is the
    # fourth line of a MOL block.
    for i, line in enumerate(lines[:12]):
        if line.rstrip().endswith(("V2000", "V3000")):
            if i > 3 and not any(x.strip() for x in lines[:i - 3]):
                lines = lines[i - 3:]
            break
    ident = ""
    if id_column is not None:
        tag = f"<{id_column}>"
        for i, line in enumerate(lines):
            if line.startswith(">") and tag in line and i + 1 < len(lines):
                ident = lines[i + 1].strip()
                break
    elif lines:
        ident = lines[0].strip()
    return Record(seq, ident or f"record {seq + 1}", "molblock", "".join(lines), ident)


def read_records(path: str, fmt: str | None = None, smiles_column: str | None = None,
                 id_column: str | None = None) -> Iterator[Record]:
    """The records of ``path`` in file order (format from the extension unless given)."""
    fmt = fmt or detect_format(path)
    if fmt == "smi":
        if smiles_column or id_column:
            raise InputError(f"{path}: --smiles-column/--id-column apply to CSV, TSV and SD files")
        return read_smi(path)
    if fmt in ("csv", "tsv"):
        return read_table(path, "," if fmt == "csv" else "\t", smiles_column, id_column)
    if fmt == "sdf":
        if smiles_column:
            raise InputError(f"{path}: an SD file has no SMILES column")
        return read_sdf(path, id_column)
    raise InputError(f"unknown input format {fmt!r}; one of {', '.join(FORMATS)}")


def count_records(path: str, fmt: str | None = None) -> int:
    """A quick estimate of the number of records (for the progress bar's total)."""
    fmt = fmt or detect_format(path)
    opener = gzip.open if is_gzip(path) else open
    needle = b"M  END" if fmt == "sdf" else b"\n"  # one per MOL block, with or without $$$$
    n = 0
    last = b""
    with opener(path, "rb") as f:
        while True:
            buf = f.read(1 << 20)
            if not buf:
                break
            n += buf.count(needle)
            last = buf[-1:]
    if fmt != "sdf" and last not in (b"", b"\n"):
        n += 1
    if fmt in ("csv", "tsv"):
        n -= 1
    return max(n, 0)


def chunked(records: Iterator[Record], size: int) -> Iterator[tuple[int, list[Record]]]:
    """(chunk index, records) in order; chunk i holds records i*size .. (i+1)*size - 1."""
    chunk: list[Record] = []
    index = 0
    for rec in records:
        chunk.append(rec)
        if len(chunk) == size:
            yield index, chunk
            index += 1
            chunk = []
    if chunk:
        yield index, chunk
