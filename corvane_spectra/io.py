"""Reading and writing spectra: NIST MSP, MGF, MassBank records, JSON lines.

Reading streams: ``read(path)`` returns a reader that yields one
:class:`~corvane_spectra.Spectrum` at a time while it reads the file in
chunks, so a library of any size is searched without being held in memory::

    reader = read("library.msp.gz", skip_bad=True)
    for spectrum in reader:
        ...
    reader.skipped, reader.errors      # bad records passed over

The format comes from the file name (``.msp``, ``.mgf``, ``.jsonl`` or
``.ndjson``, a MassBank record ``.txt`` or a folder of them; each may end in
``.gz``) or from ``fmt=``; a name that tells nothing is recognised by its
first line.  Malformed input raises :class:`SpectrumFormatError` ("PATH:LINE:
reason"); with ``skip_bad=True`` a bad record is passed over instead, counted
in ``reader.skipped`` and summed up in one warning when the reader finishes.

Peaks are kept at nominal m/z: a measured m/z is rounded to the nearest
integer, halves to the even neighbour (Python's ``round``: 50.5 -> 50,
51.5 -> 52); where several peaks fall on one integer the strongest stays and
``reader.merged_peaks`` counts the others.  A record with no peaks ("Num
Peaks: 0") is a valid, empty spectrum.

Metadata keys (``Spectrum.metadata``): "name", "smiles", "inchikey",
"formula", "id" (MSP ``DB#``, MassBank ``ACCESSION``), "license", "source",
"instrument" (MSP ``Instrument_type``, MassBank ``AC$INSTRUMENT_TYPE``),
"ion_mode" ("positive" or "negative"), "synonyms" (a list: MSP ``Synon``,
further MassBank ``CH$NAME`` lines); every other field is kept under its
lower-case name (spaces as "_").  MSP ``Comments:`` hold quoted
``"key=value"`` pairs, each read as a field of its own; the pair
``"convention=..."`` gives ``Spectrum.convention``.  MassBank records map
``CH$IUPAC`` to "inchi", ``CH$LINK: INCHIKEY`` to "inchikey" (other links
under the database's lower-case name), ``AC$MASS_SPECTROMETRY: ION_MODE`` to
"ion_mode", ``MS_TYPE`` to "ms_type", ``AC$INSTRUMENT`` to "instrument_name",
``MS$FOCUSED_ION: DERIVATIVE_TYPE`` to "derivative" (e.g. "n TMS": the
spectrum is of a derivative, not of the compound the SMILES names); their
intensities are the ``rel.int.`` column (base peak 999) where the record has
one, else ``int.``.

Writing: ``write(spectra, path_or_file, fmt=None)`` streams an iterable of
spectra and returns how many it wrote; ``dumps(spectrum, fmt)`` gives one
record as text.  A path is written through a temporary file in the same
folder that replaces the target only when everything has been written, so an
error never leaves a half-written library behind.

MSP (NIST style)::

    Name: acetone
    SMILES: CC(C)=O
    InChIKey: CSCPPACGZOOCGX-UHFFFAOYSA-N
    Formula: C3H6O
    DB#: X1
    Comments: "license=CC BY" "convention=schematic"
    Num Peaks: 2
    43 60 "C2H3O single C1-C2 g1"
    58 100 "C3H6O molecular_ion g0"

A peak comment holds the peak's annotations, "; " between them, each as
"FORMULA MODE [BOND] gGENERATION" (the bond label may contain spaces).  MSP
needs a name: a spectrum without one is written under its SMILES (or id).

MGF: ``BEGIN IONS`` ... ``END IONS`` with ``TITLE=``, ``NAME=``, ``SMILES=``,
``INCHIKEY=``, ``FORMULA=``, ``SPECTRUMID=``, ``IONMODE=``, ``MSLEVEL=1``,
``CONVENTION=`` and the other metadata as ``KEY=value``; EI spectra have no
precursor, so no ``PEPMASS`` is written.  MGF peak lines cannot carry
annotations (a third column means charge to MGF readers); use MSP or JSON
lines to keep them.

JSON lines: one object per line::

    {"metadata": {"name": ..., "smiles": ..., ...},
     "convention": "schematic" | null,
     "peaks": [[mz, intensity], ...],
     "annotations": [[{"formula": ..., "mode": ..., "bond": ... | null,
                       "generation": ...}, ...], ...] | null}

``annotations``, when not null, has one list per peak, in peak order.
"""
from __future__ import annotations

import gzip
import io
import json
import math
import os
import re
import tempfile
import warnings
from typing import IO, Iterable, Iterator

import numpy as np

from .spectrum import PeakAnnotation, Spectrum

__all__ = [
    "SpectrumFormatError", "SpectrumReader", "read", "read_msp", "read_mgf", "read_jsonl",
    "read_massbank", "write", "dumps", "detect_format", "READ_FORMATS", "WRITE_FORMATS",
]

READ_FORMATS = ("msp", "mgf", "jsonl", "massbank")
WRITE_FORMATS = ("msp", "mgf", "jsonl")
_EXTENSIONS = {".msp": "msp", ".mgf": "mgf", ".jsonl": "jsonl", ".ndjson": "jsonl",
               ".txt": "massbank"}
# How many error messages a reader keeps (the count in ``skipped`` goes on).
MAX_ERRORS = 100
_CHUNK = 1 << 20


class SpectrumFormatError(ValueError):
    """Malformed spectrum input; ``path`` and ``line`` (1-based) say where."""

    def __init__(self, path: str, line: int, reason: str):
        super().__init__(f"{path}:{line}: {reason}")
        self.path = path
        self.line = line
        self.reason = reason

    def __reduce__(self):
        return (type(self), (self.path, self.line, self.reason))


# --------------------------------------------------------------------------
# Format detection and opening


def _strip_gz(name: str) -> tuple[str, bool]:
    if name.lower().endswith(".gz"):
        return name[:-3], True
    return name, False


def _sniff(head: str) -> str | None:
    for line in head.splitlines():
        s = line.strip()
        if not s or s.startswith("#"):
            continue
        u = s.upper()
        if u.startswith("BEGIN IONS"):
            return "mgf"
        if s.startswith("{"):
            return "jsonl"
        if u.startswith("ACCESSION:"):
            return "massbank"
        if u.startswith("NAME:") or ":" in s:
            return "msp"
        return None
    return None


def detect_format(path) -> str:
    """The format of a file or folder by its name ("msp", "mgf", "jsonl", "massbank")."""
    p = os.fspath(path)
    if os.path.isdir(p):
        return "massbank"
    base, gz = _strip_gz(p)
    ext = os.path.splitext(base)[1].lower()
    if ext in _EXTENSIONS:
        return _EXTENSIONS[ext]
    try:
        with _open_binary(p, gz) as f:
            head = f.read(4096).decode("utf-8", "replace")
    except OSError:
        head = ""
    fmt = _sniff(head)
    if fmt is None:
        raise ValueError(f"cannot tell the spectrum format of {p}: name it .msp, .mgf, .jsonl "
                         f"or .txt (MassBank), or pass fmt=")
    return fmt


def _check_fmt(fmt: str, allowed) -> str:
    f = str(fmt).lower().lstrip(".")
    f = {"ndjson": "jsonl", "json": "jsonl", "txt": "massbank"}.get(f, f)
    if f not in allowed:
        raise ValueError(f"unknown spectrum format {fmt!r}; expected one of {', '.join(allowed)}")
    return f


def _open_binary(path: str, gz: bool | None = None):
    f = open(path, "rb")
    if gz is None:
        gz = path.lower().endswith(".gz")
    if not gz:
        magic = f.read(2)
        f.seek(0)
        gz = magic == b"\x1f\x8b"
    if gz:
        return _GzipOwner(f)
    return f


class _GzipOwner(gzip.GzipFile):
    """A GzipFile that closes the file it reads from."""

    def __init__(self, raw):
        super().__init__(fileobj=raw, mode="rb")
        self._raw = raw

    def close(self):
        try:
            super().close()
        finally:
            self._raw.close()


# --------------------------------------------------------------------------
# Parsing: line-driven parsers turn text into records (fields, peaks, peak
# comments); one function turns a record into a Spectrum.


class _Record:
    __slots__ = ("line", "fields", "mz", "intensity", "comments", "merged")

    def __init__(self, line):
        self.line = line
        self.fields = []
        self.mz = []
        self.intensity = []
        self.comments = []
        self.merged = 0


class _BadRecord(Exception):
    def __init__(self, line, reason):
        super().__init__(reason)
        self.line = line
        self.reason = reason


_NUM = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$")


def _number(text, what, line):
    if not _NUM.match(text):
        raise _BadRecord(line, f"{what} {text!r} is not a number")
    v = float(text)
    if not math.isfinite(v):
        raise _BadRecord(line, f"{what} {text!r} is not a finite number")
    return v


def _add_peak(rec, mz_text, int_text, comment, line):
    mz = _number(mz_text, "m/z", line)
    inten = _number(int_text, "intensity", line)
    if inten < 0:
        raise _BadRecord(line, f"negative intensity {int_text}")
    nominal = round(mz)
    if nominal < 1:
        raise _BadRecord(line, f"m/z {mz_text} is not positive")
    rec.mz.append(nominal)
    rec.intensity.append(inten)
    rec.comments.append(comment)


_PEAK_TOKEN = re.compile(r'\s*([^\s;,:"]+)[\s,:]+([^\s;,"]+)\s*(?:"([^"]*)")?\s*[;,]?')


def _parse_peak_line(rec, text, line):
    """Peaks of one MSP line: "mz int", optionally "comment", several per
    line separated by ';'.  Returns the number of peaks read."""
    pos, n, end = 0, 0, len(text)
    while pos < end:
        while pos < end and text[pos] in " \t;,":
            pos += 1
        if pos >= end:
            break
        m = _PEAK_TOKEN.match(text, pos)
        if not m:
            raise _BadRecord(line, f"cannot read a peak (m/z and intensity) in {text.strip()!r}")
        _add_peak(rec, m.group(1), m.group(2), m.group(3), line)
        n += 1
        pos = m.end()
    return n


def _split_comments(text):
    """MSP Comments: quoted "key=value" pairs -> (pairs, remaining text)."""
    pairs, rest = [], []
    pos = 0
    for m in re.finditer(r'"([^"]*)"', text):
        outside = text[pos:m.start()].strip()
        if outside:
            rest.append(outside)
        inner = m.group(1)
        if "=" in inner:
            k, v = inner.split("=", 1)
            pairs.append((k.strip(), v.strip()))
        elif inner.strip():
            rest.append(inner.strip())
        pos = m.end()
    tail = text[pos:].strip()
    if tail:
        rest.append(tail)
    return pairs, " ".join(rest)


_MSP_KEYS = {
    "name": "name", "synon": "synonyms", "synonym": "synonyms", "smiles": "smiles",
    "inchikey": "inchikey", "inchi_key": "inchikey", "formula": "formula", "db#": "id",
    "accession": "id", "id": "id", "spectrumid": "id", "license": "license", "licence": "license",
    "source": "source", "instrument_type": "instrument", "instrumenttype": "instrument",
    "ion_mode": "ion_mode", "ionmode": "ion_mode", "convention": "convention",
    "comments": "comments", "title": "title", "inchi": "inchi",
}


def _key(raw: str) -> str:
    k = "_".join(raw.strip().lower().split())
    return _MSP_KEYS.get(k, k)


def _ion_mode(v: str) -> str:
    u = v.strip().lower()
    if u in ("p", "pos", "positive", "+"):
        return "positive"
    if u in ("n", "neg", "negative", "-"):
        return "negative"
    return v.strip()


def _parse_annotations(comment):
    """A peak comment "F MODE [BOND] gN; ..." -> list of PeakAnnotation, or
    None when the comment is not in that form."""
    out = []
    for part in comment.split(";"):
        toks = part.split()
        if not toks:
            continue
        if len(toks) < 3 or not re.fullmatch(r"g\d+", toks[-1]) or \
                toks[1] not in ("molecular_ion", "single", "ring", "recursive"):
            return None
        bond = " ".join(toks[2:-1]) or None
        out.append(PeakAnnotation(toks[0], toks[1], bond, int(toks[-1][1:])))
    return out


def _build(rec: _Record, fmt: str) -> tuple[Spectrum, int]:
    md: dict = {}
    convention = None
    for key, value in rec.fields:
        if key == "synonyms":
            md.setdefault("synonyms", []).append(value)
        elif key == "convention":
            convention = value or None
        elif key == "ion_mode":
            md[key] = _ion_mode(value)
        elif key in md:
            if md[key] != value:
                md[key] = f"{md[key]}; {value}"
        else:
            md[key] = value
    mz = np.asarray(rec.mz, dtype=np.int64)
    inten = np.asarray(rec.intensity, dtype=np.float64)
    comments = rec.comments
    annotations = None
    if any(c is not None for c in comments):
        parsed = [(_parse_annotations(c) if c is not None else []) for c in comments]
        if all(p is not None for p in parsed):
            annotations = parsed
        else:
            md["peak_comments"] = [[int(m), c] for m, c in zip(rec.mz, comments) if c is not None]
    merged = 0
    if mz.size > 1 and np.any(np.diff(mz) <= 0):
        merged = int(mz.size - np.unique(mz).size)
    return Spectrum(mz, inten, md, annotations=annotations, convention=convention), merged


class _MspParser:
    """NIST MSP: "Key: value" lines, "Num Peaks: N", N peaks, blank line."""

    def __init__(self):
        self.rec = None
        self.expect = None     # peaks still to read after Num Peaks
        self.done = False      # Num Peaks satisfied; waiting for the record's end
        self.skipping = False  # after an error: skip to the next record

    def _finish(self, out):
        rec = self.rec
        self.rec = None
        self.expect = None
        self.done = False
        out.append(rec)

    def line(self, text, n, out):
        s = text.strip()
        if self.skipping:
            if s and not s.lower().startswith("name:"):
                return
            self.skipping = False
            if not s:
                return
        if not s:
            if self.rec is None:
                return
            if self.expect is not None and self.expect > 0:
                raise _BadRecord(n, f"record ends after {self.expect_total - self.expect} of "
                                    f"{self.expect_total} peaks (Num Peaks: {self.expect_total})")
            if self.expect is None:
                raise _BadRecord(n, "record has no \"Num Peaks\" line")
            self._finish(out)
            return
        if s.startswith("#") and self.rec is None:
            return
        if self.rec is not None and self.done:
            # Num Peaks satisfied: a new record must start here.
            if s[0].isdigit() or s[0] in "+-.":
                raise _BadRecord(n, f"more peaks than Num Peaks: {self.expect_total}")
            self._finish(out)
        if self.rec is None:
            self.rec = _Record(n)
        rec = self.rec
        if self.expect is not None:
            got = _parse_peak_line(rec, s, n)
            self.expect -= got
            if self.expect < 0:
                raise _BadRecord(n, f"more peaks than Num Peaks: {self.expect_total}")
            if self.expect == 0:
                self.done = True
            return
        colon = s.find(":")
        if colon <= 0:
            if s[0].isdigit():
                raise _BadRecord(n, "peaks before a \"Num Peaks\" line")
            raise _BadRecord(n, f"expected \"Key: value\", found {s[:60]!r}")
        key = _key(s[:colon])
        value = s[colon + 1:].strip()
        if key == "num_peaks":
            try:
                count = int(value)
            except ValueError:
                raise _BadRecord(n, f"Num Peaks {value!r} is not a whole number") from None
            if count < 0:
                raise _BadRecord(n, f"Num Peaks {value!r} is negative")
            self.expect = self.expect_total = count
            self.done = count == 0
            return
        if key == "comments":
            pairs, rest = _split_comments(value)
            for k, v in pairs:
                rec.fields.append((_key(k), v))
            if rest:
                rec.fields.append(("comments", rest))
            return
        rec.fields.append((key, value))

    def end(self, n, out):
        if self.skipping or self.rec is None:
            return
        if self.expect is None:
            raise _BadRecord(n, "file ends in a record without \"Num Peaks\"")
        if self.expect > 0:
            raise _BadRecord(n, f"file ends after {self.expect_total - self.expect} of "
                                f"{self.expect_total} peaks (Num Peaks: {self.expect_total})")
        self._finish(out)

    def recover(self):
        self.rec = None
        self.expect = None
        self.done = False
        self.skipping = True


class _MgfParser:
    """MGF: BEGIN IONS, KEY=value lines, "mz intensity" lines, END IONS."""

    _KEYS = {"title": "name", "name": "name", "compound_name": "name", "spectrumid": "id",
             "spectrum_id": "id", "ionmode": "ion_mode", "inchikey": "inchikey",
             "smiles": "smiles", "formula": "formula", "license": "license", "source": "source",
             "instrument_type": "instrument", "convention": "convention"}

    def __init__(self):
        self.rec = None
        self.skipping = False

    def line(self, text, n, out):
        s = text.strip()
        u = s.upper()
        if self.skipping:
            if u.startswith("END IONS"):
                self.skipping = False
            elif u.startswith("BEGIN IONS"):
                self.skipping = False
                self.rec = _Record(n)
            return
        if not s or (self.rec is None and s[0] in "#;!/"):
            return
        if self.rec is None:
            if u.startswith("BEGIN IONS"):
                self.rec = _Record(n)
                return
            raise _BadRecord(n, f"expected BEGIN IONS, found {s[:60]!r}")
        if u.startswith("END IONS"):
            rec, self.rec = self.rec, None
            out.append(rec)
            return
        if u.startswith("BEGIN IONS"):
            raise _BadRecord(n, "BEGIN IONS inside a record (END IONS missing)")
        if s[0].isdigit() or s[0] in "+-.":
            toks = s.split()
            if len(toks) < 2:
                raise _BadRecord(n, f"peak line {s[:60]!r} has no intensity")
            _add_peak(self.rec, toks[0], toks[1], None, n)
            return
        eq = s.find("=")
        if eq <= 0:
            raise _BadRecord(n, f"expected KEY=value or a peak, found {s[:60]!r}")
        raw = s[:eq].strip().lower()
        key = self._KEYS.get(raw, raw)
        value = s[eq + 1:].strip()
        if key == "name":
            # TITLE names the spectrum unless NAME does; a TITLE equal to the
            # name says nothing more.
            fields = self.rec.fields
            old = next((i for i, (k, _) in enumerate(fields) if k == "name"), None)
            if old is not None:
                if fields[old][1] == value:
                    return
                if raw == "title":
                    fields.append(("title", value))
                    return
                fields[old] = ("title", fields[old][1])
        if raw == "mslevel" and value == "1":
            return  # EI spectra are MS1; another level is kept
        self.rec.fields.append((key, value))

    def end(self, n, out):
        if self.skipping or self.rec is None:
            return
        raise _BadRecord(n, "file ends inside a record (END IONS missing)")

    def recover(self):
        self.rec = None
        self.skipping = True


class _MassBankParser:
    """MassBank record text: "TAG: value" lines, PK$PEAK block, "//"."""

    _PLAIN = {"accession": "id", "ch$name": "name", "ch$smiles": "smiles", "ch$iupac": "inchi",
              "ch$formula": "formula", "license": "license", "ac$instrument_type": "instrument",
              "ac$instrument": "instrument_name"}
    _SUB = {"ion_mode": "ion_mode", "inchikey": "inchikey", "derivative_type": "derivative"}

    def __init__(self):
        self.rec = None
        self.in_peaks = False
        self.columns = None
        self.num_peak = None
        self.skipping = False

    def _reset(self):
        self.rec = None
        self.in_peaks = False
        self.columns = None
        self.num_peak = None

    def line(self, text, n, out):
        s = text.strip()
        if self.skipping:
            if s == "//":
                self.skipping = False
            return
        if not s:
            return
        if self.rec is None:
            self.rec = _Record(n)
        rec = self.rec
        if s == "//":
            if self.columns is None:
                raise _BadRecord(n, "record has no PK$PEAK block")
            if self.num_peak is not None and self.num_peak != len(rec.mz):
                raise _BadRecord(n, f"PK$NUM_PEAK says {self.num_peak} but the PK$PEAK block "
                                    f"has {len(rec.mz)} peaks")
            self._reset()
            out.append(rec)
            return
        if self.in_peaks and text[:1] in (" ", "\t"):
            toks = s.split()
            if len(toks) < 2:
                raise _BadRecord(n, f"peak line {s[:60]!r} has no intensity")
            col = self.columns
            if col >= len(toks):
                col = 1
            _add_peak(rec, toks[0], toks[col], None, n)
            return
        self.in_peaks = False
        colon = s.find(":")
        if colon <= 0:
            raise _BadRecord(n, f"expected \"TAG: value\", found {s[:60]!r}")
        tag = s[:colon].strip().lower()
        value = s[colon + 1:].strip()
        if tag == "pk$peak":
            heads = value.split()
            self.columns = heads.index("rel.int.") if "rel.int." in heads else 1
            if value.upper() == "N/A":
                self.columns = 1
            self.in_peaks = True
            return
        if tag == "pk$num_peak":
            try:
                self.num_peak = int(value)
            except ValueError:
                raise _BadRecord(n, f"PK$NUM_PEAK {value!r} is not a whole number") from None
            return
        if tag in self._PLAIN:
            key = self._PLAIN[tag]
            if key == "name" and any(k == "name" for k, _ in rec.fields):
                key = "synonyms"
            rec.fields.append((key, value))
            return
        if tag.startswith(("ch$link", "ac$mass_spectrometry", "ac$chromatography",
                           "ms$focused_ion", "ms$data_processing", "sp$link", "ac$general",
                           "ac$ion_mobility")) or tag in ("ch$link", "sp$link"):
            parts = value.split(None, 1)
            sub = parts[0].lower() if parts else ""
            rest = parts[1] if len(parts) > 1 else ""
            rec.fields.append((self._SUB.get(sub, sub), rest))
            return
        key = tag.split("$", 1)[1] if "$" in tag else tag
        rec.fields.append((key, value))

    def end(self, n, out):
        if self.skipping or self.rec is None:
            return
        raise _BadRecord(n, "file ends inside a record (\"//\" missing)")

    def recover(self):
        self._reset()
        self.skipping = True


_PARSERS = {"msp": _MspParser, "mgf": _MgfParser, "massbank": _MassBankParser}


# --------------------------------------------------------------------------
# The reader


class SpectrumReader:
    """Iterator over the spectra of one file, one folder of MassBank records
    or one open text file, read in chunks.

    ``skipped`` counts the bad records passed over (``skip_bad=True``),
    ``errors`` holds their messages (the first hundred), ``merged_peaks``
    counts peaks that fell on the m/z of a stronger one, ``count`` the
    spectra yielded so far.  Use it as a context manager, or let it run to
    its end, to close the file.
    """

    def __init__(self, source, fmt: str | None = None, *, skip_bad: bool = False):
        self.skip_bad = bool(skip_bad)
        self.skipped = 0
        self.errors: list[str] = []
        self.merged_peaks = 0
        self.count = 0
        self._file = None
        self._closed = False
        if isinstance(source, (str, bytes, os.PathLike)):
            self.path = os.fsdecode(os.fspath(source))
            self.format = _check_fmt(fmt, READ_FORMATS) if fmt else detect_format(self.path)
            self._stream = None
        elif hasattr(source, "read"):
            self.path = str(getattr(source, "name", "<stream>"))
            self._stream = source
            self.format = _check_fmt(fmt, READ_FORMATS) if fmt else None
        else:
            raise TypeError(f"cannot read spectra from {type(source).__name__}: "
                            f"give a path or an open file")
        self._gen = self._generate()

    def __repr__(self):
        return f"<SpectrumReader {self.path!r} ({self.format}): {self.count} read, {self.skipped} skipped>"

    def __iter__(self) -> Iterator[Spectrum]:
        return self

    def __next__(self) -> Spectrum:
        return next(self._gen)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self._gen.close()
        if self._file is not None:
            self._file.close()
            self._file = None

    # Sources: (display path, text chunk iterator)
    def _files(self):
        if self._stream is not None:
            yield self.path, self._stream, False
            return
        if os.path.isdir(self.path):
            names = []
            for root, dirs, files in os.walk(self.path):
                dirs.sort()
                for f in sorted(files):
                    if _strip_gz(f)[0].lower().endswith(".txt"):
                        names.append(os.path.join(root, f))
            for p in names:
                yield p, None, True
            return
        yield self.path, None, True

    def _chunks(self, stream):
        first = True
        if isinstance(stream, io.TextIOBase) or (hasattr(stream, "encoding") and not
                                                  isinstance(stream, (io.BufferedIOBase, io.RawIOBase))):
            while True:
                text = stream.read(_CHUNK)
                if not text:
                    return
                yield text
        else:
            # Binary: decode UTF-8 incrementally (bad bytes replaced).
            import codecs

            dec = codecs.getincrementaldecoder("utf-8")("replace")
            while True:
                data = stream.read(_CHUNK)
                if first and data[:2] == b"\x1f\x8b":
                    # A compressed stream handed over open: decompress it.
                    if stream.seekable():
                        stream.seek(stream.tell() - len(data))
                    else:
                        stream = io.BufferedReader(_Prefixed(data, stream))
                    stream = gzip.GzipFile(fileobj=stream, mode="rb")
                    first = False
                    continue
                first = False
                if not data:
                    tail = dec.decode(b"", final=True)
                    if tail:
                        yield tail
                    return
                yield dec.decode(data)

    def _generate(self):
        for path, stream, owned in self._files():
            if owned:
                self._file = _open_binary(path)
                stream = self._file
            try:
                yield from self._read_one(path, stream)
            finally:
                if owned and self._file is not None:
                    self._file.close()
                    self._file = None
        self._closed = True
        if self.skipped:
            warnings.warn(f"skipped {self.skipped} bad record{'s' if self.skipped != 1 else ''} "
                          f"in {self.path}", stacklevel=3)

    def _bad(self, path, line, reason):
        if not self.skip_bad:
            raise SpectrumFormatError(path, line, reason)
        self.skipped += 1
        if len(self.errors) < MAX_ERRORS:
            self.errors.append(f"{path}:{line}: {reason}")

    def _read_one(self, path, stream):
        chunks = self._chunks(stream)
        fmt = self.format
        pending = ""
        if fmt is None:
            first = next(chunks, "")
            fmt = _sniff(first[:4096])
            if fmt is None:
                raise ValueError(f"cannot tell the spectrum format of {path}; pass fmt=")
            self.format = fmt
            chunks = _prepend(first, chunks)
        if fmt == "jsonl":
            yield from self._read_jsonl(path, chunks)
            return
        parser = _PARSERS[fmt]()
        lineno = 0
        out: list = []
        for chunk in chunks:
            text = pending + chunk
            lines = text.split("\n")
            pending = lines.pop()
            for ln in lines:
                lineno += 1
                try:
                    parser.line(ln, lineno, out)
                except _BadRecord as e:
                    parser.recover()
                    self._bad(path, e.line, e.reason)
            yield from self._emit(out, fmt, path)
            out.clear()
        if pending:
            lineno += 1
            try:
                parser.line(pending, lineno, out)
            except _BadRecord as e:
                parser.recover()
                self._bad(path, e.line, e.reason)
        try:
            parser.end(max(lineno, 1), out)
        except _BadRecord as e:
            self._bad(path, e.line, e.reason)
        yield from self._emit(out, fmt, path)

    def _emit(self, records, fmt, path):
        for rec in records:
            sp, merged = _build(rec, fmt)
            self.merged_peaks += merged
            self.count += 1
            yield sp

    def _read_jsonl(self, path, chunks):
        pending = ""
        lineno = 0

        def lines():
            nonlocal pending
            for chunk in chunks:
                parts = (pending + chunk).split("\n")
                pending = parts.pop()
                yield from parts
            if pending:
                yield pending

        for ln in lines():
            lineno += 1
            if not ln.strip():
                continue
            try:
                sp = _from_json(ln, lineno)
            except _BadRecord as e:
                self._bad(path, e.line, e.reason)
                continue
            self.count += 1
            yield sp


class _Prefixed(io.RawIOBase):
    """A raw stream that gives ``head`` first, then the rest of ``stream``."""

    def __init__(self, head, stream):
        self._head = head
        self._stream = stream

    def readable(self):
        return True

    def readinto(self, b):
        if self._head:
            n = min(len(b), len(self._head))
            b[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._stream.read(len(b))
        b[:len(data)] = data
        return len(data)


def _prepend(first, rest):
    if first:
        yield first
    yield from rest


def _from_json(text, line):
    try:
        obj = json.loads(text)
    except json.JSONDecodeError as e:
        raise _BadRecord(line, f"not valid JSON: {e.msg} (column {e.colno})") from None
    if not isinstance(obj, dict):
        raise _BadRecord(line, "a line must hold a JSON object")
    peaks = obj.get("peaks")
    if not isinstance(peaks, list):
        raise _BadRecord(line, "missing \"peaks\" list")
    rec = _Record(line)
    for p in peaks:
        if not isinstance(p, list) or len(p) != 2 or not all(
                isinstance(v, (int, float)) and not isinstance(v, bool) for v in p):
            raise _BadRecord(line, f"peak {p!r} is not a [m/z, intensity] pair of numbers")
        _add_peak(rec, repr(p[0]) if isinstance(p[0], float) else str(p[0]),
                  repr(p[1]) if isinstance(p[1], float) else str(p[1]), None, line)
    md = obj.get("metadata") or {}
    if not isinstance(md, dict):
        raise _BadRecord(line, "\"metadata\" must be an object")
    anns = obj.get("annotations")
    annotations = None
    if anns is not None:
        if not isinstance(anns, list) or len(anns) != len(peaks):
            raise _BadRecord(line, f"\"annotations\" must hold one list per peak ({len(peaks)})")
        try:
            annotations = [[PeakAnnotation(str(a["formula"]), str(a["mode"]),
                                           None if a.get("bond") is None else str(a["bond"]),
                                           int(a.get("generation", 0))) for a in lst]
                           for lst in anns]
        except (TypeError, KeyError, ValueError) as e:
            raise _BadRecord(line, f"bad annotation: {e}") from None
    convention = obj.get("convention")
    return Spectrum(np.asarray(rec.mz, dtype=np.int64), np.asarray(rec.intensity, dtype=np.float64),
                    md, annotations=annotations,
                    convention=None if convention is None else str(convention))


def read(source, fmt: str | None = None, *, skip_bad: bool = False) -> SpectrumReader:
    """Spectra of a file (path or open text file), format by name or ``fmt``."""
    return SpectrumReader(source, fmt, skip_bad=skip_bad)


def read_msp(source, *, skip_bad: bool = False) -> SpectrumReader:
    """Spectra of a NIST-style MSP file (gzip too)."""
    return SpectrumReader(source, "msp", skip_bad=skip_bad)


def read_mgf(source, *, skip_bad: bool = False) -> SpectrumReader:
    """Spectra of an MGF file (gzip too)."""
    return SpectrumReader(source, "mgf", skip_bad=skip_bad)


def read_jsonl(source, *, skip_bad: bool = False) -> SpectrumReader:
    """Spectra of a JSON-lines file (gzip too)."""
    return SpectrumReader(source, "jsonl", skip_bad=skip_bad)


def read_massbank(source, *, skip_bad: bool = False) -> SpectrumReader:
    """Spectra of a MassBank record file or of a folder of them."""
    return SpectrumReader(source, "massbank", skip_bad=skip_bad)


# --------------------------------------------------------------------------
# Writing


def _num(x: float) -> str:
    x = float(x)
    if x.is_integer() and abs(x) < 1e15:
        return str(int(x))
    return repr(x)


def _clean(v) -> str:
    return " ".join(str(v).split())


def _annotation_text(anns) -> str:
    parts = []
    for a in anns:
        toks = [_clean(a.formula).replace(" ", "") or "?", a.mode]
        if a.bond:
            toks.append(_clean(a.bond).replace(";", ",").replace('"', "'"))
        toks.append(f"g{int(a.generation)}")
        parts.append(" ".join(toks))
    return "; ".join(parts)


_MSP_HEAD = (("name", "Name"), ("smiles", "SMILES"), ("inchikey", "InChIKey"),
             ("formula", "Formula"), ("id", "DB#"), ("instrument", "Instrument_type"),
             ("ion_mode", "Ion_mode"))
_MSP_COMMENT_KEYS = ("license", "source")
_MSP_RESERVED = {"num_peaks", "comments", "synonyms", "peak_comments", "convention"}


def _msp(sp: Spectrum) -> str:
    md = sp.metadata
    out = []
    name = md.get("name") or md.get("smiles") or md.get("id") or "unnamed"
    for key, label in _MSP_HEAD:
        v = name if key == "name" else md.get(key)
        if v is None or v == "":
            continue
        if key == "ion_mode":
            v = {"positive": "P", "negative": "N"}.get(str(v).lower(), v)
        out.append(f"{label}: {_clean(v)}")
    for syn in md.get("synonyms") or ():
        out.append(f"Synon: {_clean(syn)}")
    comments = []
    for k, v in md.items():
        if k in (h for h, _ in _MSP_HEAD) or k in _MSP_RESERVED or v is None:
            continue
        k_ok = re.fullmatch(r"[A-Za-z][\w#$./-]*", k) is not None
        if k in _MSP_COMMENT_KEYS or not k_ok or _key(k) != k:
            comments.append(f'"{_clean(k).replace("=", "_")}={_clean(v).replace(chr(34), chr(39))}"')
        else:
            out.append(f"{k}: {_clean(v)}")
    if sp.convention:
        comments.append(f'"convention={_clean(sp.convention)}"')
    if md.get("comments"):
        comments.append(_clean(md["comments"]).replace('"', "'"))
    if comments:
        out.append("Comments: " + " ".join(comments))
    out.append(f"Num Peaks: {len(sp)}")
    anns = sp.annotations
    extra = {}
    if anns is None and md.get("peak_comments"):
        extra = {int(m): c for m, c in md["peak_comments"]}
    for i, (m, x) in enumerate(zip(sp.mz.tolist(), sp.intensity.tolist())):
        line = f"{m} {_num(x)}"
        if anns is not None and anns[i]:
            line += f' "{_annotation_text(anns[i])}"'
        elif m in extra:
            line += f' "{_clean(extra[m]).replace(chr(34), chr(39))}"'
        out.append(line)
    return "\n".join(out) + "\n\n"


_MGF_HEAD = (("name", "NAME"), ("smiles", "SMILES"), ("inchikey", "INCHIKEY"),
             ("formula", "FORMULA"), ("id", "SPECTRUMID"), ("ion_mode", "IONMODE"),
             ("license", "LICENSE"), ("source", "SOURCE"), ("instrument", "INSTRUMENT_TYPE"))


def _mgf(sp: Spectrum) -> str:
    md = sp.metadata
    out = ["BEGIN IONS"]
    title = md.get("title") or md.get("name") or md.get("smiles") or md.get("id") or "unnamed"
    out.append(f"TITLE={_clean(title)}")
    for key, label in _MGF_HEAD:
        v = md.get(key)
        if v is None or v == "":
            continue
        out.append(f"{label}={_clean(v)}")
    out.append("MSLEVEL=1")
    if sp.convention:
        out.append(f"CONVENTION={_clean(sp.convention)}")
    head = {k for k, _ in _MGF_HEAD}
    for k, v in md.items():
        if k in head or k in ("title", "mslevel", "convention", "peak_comments") or v is None:
            continue
        if k == "synonyms":
            v = "; ".join(map(str, v))
        label = re.sub(r"[^A-Za-z0-9_#$./-]", "_", k).upper()
        out.append(f"{label}={_clean(v)}")
    for m, x in zip(sp.mz.tolist(), sp.intensity.tolist()):
        out.append(f"{m} {_num(x)}")
    out.append("END IONS")
    return "\n".join(out) + "\n\n"


def _json_safe(v):
    if isinstance(v, np.generic):
        return v.item()
    if isinstance(v, np.ndarray):
        return v.tolist()
    raise TypeError(f"metadata value of type {type(v).__name__} cannot be written as JSON")


def _jsonl(sp: Spectrum) -> str:
    anns = None
    if sp.annotations is not None:
        anns = [[{"formula": a.formula, "mode": a.mode, "bond": a.bond,
                  "generation": int(a.generation)} for a in lst] for lst in sp.annotations]
    obj = {"metadata": sp.metadata, "convention": sp.convention,
           "peaks": [[m, x] for m, x in zip(sp.mz.tolist(), sp.intensity.tolist())],
           "annotations": anns}
    return json.dumps(obj, ensure_ascii=False, default=_json_safe, allow_nan=False) + "\n"


_WRITERS = {"msp": _msp, "mgf": _mgf, "jsonl": _jsonl}


def dumps(spectrum: Spectrum, fmt: str) -> str:
    """One spectrum as the text of one record of ``fmt`` ("msp", "mgf", "jsonl")."""
    if not isinstance(spectrum, Spectrum):
        raise TypeError(f"expected a Spectrum, not {type(spectrum).__name__}")
    return _WRITERS[_check_fmt(fmt, WRITE_FORMATS)](spectrum)


def write(spectra: Iterable[Spectrum] | Spectrum, dest, fmt: str | None = None) -> int:
    """Write spectra to a path (format by its extension, ``.gz`` compressed)
    or to an open text file; returns the number written.

    A path is written atomically: through a temporary file beside it that
    replaces the target once every spectrum is written.
    """
    if isinstance(spectra, Spectrum):
        spectra = [spectra]
    if isinstance(dest, (str, bytes, os.PathLike)):
        path = os.fsdecode(os.fspath(dest))
        base, gz = _strip_gz(path)
        if fmt is None:
            ext = os.path.splitext(base)[1].lower()
            if ext not in _EXTENSIONS or _EXTENSIONS[ext] not in WRITE_FORMATS:
                raise ValueError(f"cannot tell the spectrum format to write from {path!r}: "
                                 f"name it .msp, .mgf or .jsonl, or pass fmt=")
            fmt = _EXTENSIONS[ext]
        dumper = _WRITERS[_check_fmt(fmt, WRITE_FORMATS)]
        folder = os.path.dirname(os.path.abspath(path))
        fd, tmp = tempfile.mkstemp(dir=folder, prefix="." + os.path.basename(path) + ".",
                                   suffix=".part")
        try:
            with os.fdopen(fd, "wb") as raw:
                if gz:
                    with gzip.GzipFile(filename=os.path.basename(base), fileobj=raw,
                                       mode="wb") as zf, \
                            io.TextIOWrapper(zf, encoding="utf-8", newline="\n") as f:
                        n = _write_all(spectra, f, dumper)
                else:
                    with io.TextIOWrapper(raw, encoding="utf-8", newline="\n") as f:
                        n = _write_all(spectra, f, dumper)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise
        return n
    if not hasattr(dest, "write"):
        raise TypeError(f"cannot write spectra to {type(dest).__name__}: give a path or an open file")
    if fmt is None:
        name = getattr(dest, "name", None)
        if isinstance(name, str):
            ext = os.path.splitext(_strip_gz(name)[0])[1].lower()
            fmt = _EXTENSIONS.get(ext)
        if fmt is None or fmt not in WRITE_FORMATS:
            raise ValueError("pass fmt= to write spectra to an open file")
    dumper = _WRITERS[_check_fmt(fmt, WRITE_FORMATS)]
    if isinstance(dest, (io.BufferedIOBase, io.RawIOBase)) or "b" in str(getattr(dest, "mode", "")):
        wrapper = io.TextIOWrapper(dest, encoding="utf-8", newline="\n", write_through=True)
        try:
            return _write_all(spectra, wrapper, dumper)
        finally:
            wrapper.flush()
            wrapper.detach()
    return _write_all(spectra, dest, dumper)


def _write_all(spectra, f: IO[str], dumper) -> int:
    n = 0
    for sp in spectra:
        if not isinstance(sp, Spectrum):
            raise TypeError(f"item {n} is a {type(sp).__name__}, not a Spectrum")
        f.write(dumper(sp))
        n += 1
    return n
