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
"nist_id" (MSP ``NIST#``; matchms's ``COMPOUND_NAME`` and ``SPECTRUM_ID``
are read as "name" and "id"),
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
import warnings
import zlib
from typing import IO, Iterable, Iterator

import numpy as np

from . import _core
from ._atomic import atomic_file
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
        s = line.strip().lstrip("\ufeff")
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
    ext = os.path.splitext(_strip_gz(p)[0])[1].lower()
    if ext in _EXTENSIONS:
        return _EXTENSIONS[ext]
    try:
        with _open_binary(p) as f:
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


def _open_binary(path: str):
    """The file's bytes, decompressed when it is gzip data (whatever its name)."""
    f = open(path, "rb")
    try:
        magic = f.read(2)
        f.seek(0)
    except BaseException:
        f.close()
        raise
    if magic == b"\x1f\x8b":
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
# Parsing.  MSP, MGF and MassBank text go through the C++ parser, which turns
# chunks of text into Spectrum objects; JSON lines through the json module.


class _BadRecord(Exception):
    def __init__(self, line, reason):
        super().__init__(reason)
        self.line = line
        self.reason = reason


def _peak_value(v, what, line) -> float:
    if isinstance(v, bool) or not isinstance(v, (int, float)):
        raise _BadRecord(line, f"{what} {v!r} is not a number")
    x = float(v)
    if not math.isfinite(x):
        raise _BadRecord(line, f"{what} {v!r} is not a finite number")
    return x


# --------------------------------------------------------------------------
# The reader


class SpectrumReader:
    """Iterator over the spectra of one file, one folder of MassBank records
    or one open text file, read in chunks.

    ``skipped`` counts the bad records passed over (``skip_bad=True``),
    ``errors`` holds their messages (the first hundred), ``merged_peaks``
    counts peaks that fell on the m/z of a stronger one, ``count`` the
    spectra yielded so far; ``progress()`` tells how much of the input has
    been read, for a progress bar.  Use it as a context manager, or let it run to
    its end, to close the file.
    """

    def __init__(self, source, fmt: str | None = None, *, skip_bad: bool = False):
        self.skip_bad = bool(skip_bad)
        self.skipped = 0
        self.errors: list[str] = []
        self.merged_peaks = 0
        self.count = 0
        self._file = None
        self._total = None
        self._done_bytes = 0
        self._line_hint = 1  # the line being read, for errors outside the parser
        if isinstance(source, (str, bytes, os.PathLike)):
            self.path = os.fsdecode(os.fspath(source))
            if not os.path.exists(self.path):
                raise FileNotFoundError(2, "no such spectrum file or folder", self.path)
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

    def progress(self) -> float | None:
        """The share of the input read so far (0 to 1) for a file or folder
        named by path, by bytes on disk; None for an open stream."""
        if self._stream is not None:
            return None
        if self._total is None:
            self._total = sum(os.path.getsize(p) for p, _, _ in self._files()) or 1
        done = self._done_bytes
        f = self._file
        if f is not None and not f.closed:
            try:
                done += (f._raw if isinstance(f, _GzipOwner) else f).tell()
            except (OSError, ValueError):
                pass
        return min(1.0, done / self._total)

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
        """Chunks of the stream: bytes from a binary stream (gzip undone),
        str from a text stream."""
        if not isinstance(stream, (io.BufferedIOBase, io.RawIOBase)) and "b" not in str(
                getattr(stream, "mode", "")) and not isinstance(stream, gzip.GzipFile):
            while True:
                text = stream.read(_CHUNK)
                if not text:
                    return
                yield text
        first = True
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
                return
            yield data

    def _undamaged(self, chunks, path):
        """The chunks; damaged compressed data is a format error (the rest
        of such a file cannot be read, whatever ``skip_bad`` says)."""
        total = 0
        try:
            for chunk in chunks:
                total += len(chunk)
                yield chunk
        except (EOFError, zlib.error, gzip.BadGzipFile) as e:
            raise SpectrumFormatError(path, self._line_hint, f"damaged gzip data ({total} bytes read): {e}") from None

    def _generate(self):
        for path, stream, owned in self._files():
            if owned:
                self._file = _open_binary(path)
                stream = self._file
            try:
                yield from self._read_one(path, stream)
            finally:
                if owned:
                    self._done_bytes += os.path.getsize(path)
                if owned and self._file is not None:
                    self._file.close()
                    self._file = None
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
        chunks = self._undamaged(self._chunks(stream), path)
        fmt = self.format
        if fmt is None:
            first = next(chunks, b"")
            head = first[:4096]
            fmt = _sniff(head.decode("utf-8", "replace") if isinstance(head, bytes) else head)
            if fmt is None:
                raise ValueError(f"cannot tell the spectrum format of {path}; pass fmt=")
            self.format = fmt
            chunks = _prepend(first, chunks)
        if fmt == "jsonl":
            yield from self._read_jsonl(path, chunks)
            return
        parser = _core.TextParser(fmt)
        merged = 0
        try:
            for chunk in chunks:
                items = parser.feed(chunk)
                self._line_hint = parser.lines + 1
                yield from self._emit(items, path)
                self.merged_peaks += parser.merged_peaks - merged
                merged = parser.merged_peaks
            yield from self._emit(parser.finish(), path)
        finally:
            self.merged_peaks += parser.merged_peaks - merged

    def _emit(self, items, path):
        for item in items:
            if type(item) is tuple:
                self._bad(path, item[0], item[1])
                continue
            self.count += 1
            yield item

    def _read_jsonl(self, path, chunks):
        pending = None
        lineno = 0

        def lines():
            nonlocal pending
            for chunk in chunks:
                if isinstance(chunk, bytes):
                    chunk = chunk.decode("utf-8", "surrogateescape")
                parts = ((pending or "") + chunk).split("\n")
                pending = parts.pop()
                yield from parts
            if pending:
                yield pending

        for ln in lines():
            lineno += 1
            self._line_hint = lineno + 1
            if lineno == 1:
                ln = ln.lstrip("\ufeff")
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
    mz = np.empty(len(peaks), dtype=np.int64)
    inten = np.empty(len(peaks), dtype=np.float64)
    for i, p in enumerate(peaks):
        if not isinstance(p, list) or len(p) != 2:
            raise _BadRecord(line, f"peak {p!r} is not a [m/z, intensity] pair")
        m = _peak_value(p[0], "m/z", line)
        x = _peak_value(p[1], "intensity", line)
        if x < 0:
            raise _BadRecord(line, f"negative intensity {p[1]!r}")
        nominal = round(m)  # halves to the even neighbour, as the text formats
        if not 1 <= nominal <= 1e15:
            raise _BadRecord(line, f"m/z {p[0]!r} is out of range")
        mz[i] = nominal
        inten[i] = x
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
    return Spectrum(mz, inten, md, annotations=annotations,
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
             ("formula", "Formula"), ("mw", "MW"), ("exactmass", "ExactMass"), ("id", "DB#"),
             ("nist_id", "NIST#"), ("instrument", "Instrument_type"), ("ion_mode", "Ion_mode"),
             ("spectrum_type", "Spectrum_type"))
_MSP_COMMENT_KEYS = ("license", "source", "model")
# Field names that an MSP reader takes for another key.
_MSP_ALIASES = {"synon", "synonym", "inchi_key", "db#", "accession", "spectrumid", "licence",
                "instrument_type", "instrumenttype", "ionmode", "compound_name", "spectrum_id", "nist#"}
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
        if k in _MSP_COMMENT_KEYS or not k_ok or k in _MSP_ALIASES:
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
            out.extend(f"SYNONYMS={_clean(syn)}" for syn in v)
            continue
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
        with atomic_file(path) as raw:
            if gz:
                with gzip.GzipFile(filename=os.path.basename(base), fileobj=raw, mode="wb") as zf, \
                        io.TextIOWrapper(zf, encoding="utf-8", newline="\n") as f:
                    n = _write_all(spectra, f, dumper)
            else:
                with io.TextIOWrapper(raw, encoding="utf-8", newline="\n") as f:
                    n = _write_all(spectra, f, dumper)
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
