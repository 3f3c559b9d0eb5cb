"""Reading and writing spectra: NIST MSP, MGF, MassBank records, JSON lines.

Reading streams: ``read(path)`` returns a reader that yields one
:class:`~corvane_spectra.Spectrum` at a time while it reads the file in
chunks, so a library of any size is searched without being held in memory::

    reader = read("library.msp.gz", skip_bad=True)
    for spectrum in reader:
        ...
    reader.skipped, reader.errors      # bad records passed over

The format comes from the file name (``.msp``, ``.mgf``, ``.jsonl`` or
``.ndjson``, a MassBank record ``.txt``; each may end in ``.gz``) or from
``fmt=``; a name that tells nothing is recognised by its first line.  A
folder is read file by file (sorted, sub-folders too), each file by its own
extension; with ``fmt=`` only the files of that format (and ``.txt`` files)
are read, as that format.  Files with other names are passed over; a folder
without a single spectrum file is a ``ValueError``, and one whose files hold
no spectrum ends with a warning.

Malformed input raises :class:`SpectrumFormatError` ("PATH:LINE: reason");
with ``skip_bad=True`` a bad record is passed over instead, counted in
``reader.skipped`` and summed up in one warning when the reader finishes.
Every fault of a record is such an error: a value that is not a number or is
out of range (m/z above :data:`~corvane_spectra.spectrum.MAX_MZ`, negative or
infinite intensities), JSON nested too deeply, numbers too large, and lines
or records longer than ``MAX_LINE`` bytes (64 MiB), which are passed over
without being held in memory.  Text is UTF-8; bytes that are not are read as U+FFFD.

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
error never leaves a half-written library behind (see ``_atomic``: the old
file's mode is kept, a symbolic link is written through).  Peaks are checked
again before they are written (see :func:`~corvane_spectra.spectrum.check_peaks`).

Each metadata key is written where the reader takes it back as one field:
MSP and MGF read keys back in lower case with white space as "_"; a key that
names a format's own structure (``Num Peaks``, ``BEGIN IONS``) comes back as
a plain field; ``synonyms`` given as one string is one synonym.  Two keys a
reader would take for one ("SMILES" beside "smiles", "DB#" beside "id"), or a
"convention" key other than the spectrum's convention, are a ValueError
unless their values agree.  JSON lines keeps every key as it is.

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
from ._atomic import TEMP_PREFIX, atomic_file
from .spectrum import MAX_MZ, PeakAnnotation, Spectrum, check_peaks

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
# The longest line, and the longest MSP, MGF or MassBank record, a reader
# takes, in bytes: a longer one is an error of its record and is skipped
# without being held, so memory stays bounded.
MAX_LINE = 64 << 20
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


def _file_format(name: str) -> str | None:
    return _EXTENSIONS.get(os.path.splitext(_strip_gz(name)[0])[1].lower())


def _folder_files(folder: str, fmt: str | None):
    """(path, format) of the spectrum files of a folder, sorted, sub-folders
    included, and the number of other files passed over."""
    found, other = [], 0
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for f in sorted(files):
            if f.startswith(TEMP_PREFIX):
                continue  # an unfinished write
            ff = _file_format(f)
            if fmt is not None and ff is not None and (ff == fmt or ff == "massbank"):
                ff = fmt  # .txt files read as the format asked for
            elif fmt is not None:
                ff = None
            if ff is None:
                other += 1
            else:
                found.append((os.path.join(root, f), ff))
    return found, other


def _no_files(folder: str, fmt: str | None, other: int) -> ValueError:
    wanted = (f"{fmt} files" if fmt else "spectrum files (.msp, .mgf, .jsonl, .ndjson, .txt, or .gz of them)")
    return ValueError(f"no {wanted} in the folder {folder}" + (f" ({other} other files)" if other else ""))


def detect_format(path) -> str:
    """The format of a file or folder by its name ("msp", "mgf", "jsonl",
    "massbank"); a folder holding files of several formats is "mixed"."""
    p = os.fspath(path)
    if os.path.isdir(p):
        found, other = _folder_files(p, None)
        kinds = {f for _, f in found}
        if not kinds:
            raise _no_files(p, None, other)
        return kinds.pop() if len(kinds) == 1 else "mixed"
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
        raise _BadRecord(line, f"{what} {_short(v)} is not a number")
    try:
        x = float(v)
    except OverflowError:
        raise _BadRecord(line, f"{what} {_short(v)} is too large") from None
    if not math.isfinite(x):
        raise _BadRecord(line, f"{what} {_short(v)} is not a finite number")
    return x


def _short(v) -> str:
    try:
        r = repr(v)
    except ValueError:  # an int too long to print
        return "(a number too long to show)"
    return r if len(r) <= 60 else r[:57] + "..."


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
            self._stream = None
            self._folder = None
            asked = _check_fmt(fmt, READ_FORMATS) if fmt else None
            if os.path.isdir(self.path):
                found, other = _folder_files(self.path, asked)
                if not found:
                    raise _no_files(self.path, asked, other)
                self._folder = found
                kinds = {f for _, f in found}
                self.format = kinds.pop() if len(kinds) == 1 else "mixed"
            else:
                self.format = asked or detect_format(self.path)
        elif hasattr(source, "read"):
            self.path = str(getattr(source, "name", "<stream>"))
            self._stream = source
            self._folder = None
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
            self._total = sum(os.path.getsize(p) for p, _, _, _ in self._files()) or 1
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

    # Sources: (display path, open stream or None, owned, format or None)
    def _files(self):
        if self._stream is not None:
            yield self.path, self._stream, False, self.format
            return
        if self._folder is not None:
            for p, fmt in self._folder:
                yield p, None, True, fmt
            return
        yield self.path, None, True, self.format

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
        for path, stream, owned, fmt in self._files():
            if owned:
                self._file = _open_binary(path)
                stream = self._file
            try:
                yield from self._read_one(path, stream, fmt)
            finally:
                if owned:
                    self._done_bytes += os.path.getsize(path)
                if owned and self._file is not None:
                    self._file.close()
                    self._file = None
        if self.skipped:
            warnings.warn(f"skipped {self.skipped} bad record{'s' if self.skipped != 1 else ''} "
                          f"in {self.path}", stacklevel=3)
        if self._folder is not None and self.count == 0:
            warnings.warn(f"no spectra in the {len(self._folder)} spectrum files of the folder "
                          f"{self.path}", stacklevel=3)

    def _bad(self, path, line, reason):
        if not self.skip_bad:
            raise SpectrumFormatError(path, line, reason)
        self.skipped += 1
        if len(self.errors) < MAX_ERRORS:
            self.errors.append(f"{path}:{line}: {reason}")

    def _read_one(self, path, stream, fmt):
        chunks = self._undamaged(self._chunks(stream), path)
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
        parser = _core.TextParser(fmt, float(MAX_MZ), int(MAX_LINE))
        merged = 0
        try:
            for chunk in chunks:
                if isinstance(chunk, str):
                    # Lone surrogates (a text stream decoded with
                    # "surrogateescape") are not UTF-8: they read as U+FFFD.
                    chunk = chunk.encode("utf-8", "surrogatepass")
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
        for lineno, raw in enumerate(_byte_lines(chunks, int(MAX_LINE)), 1):
            self._line_hint = lineno + 1
            if raw is None:
                self._bad(path, lineno, f"line longer than {int(MAX_LINE)} bytes")
                continue
            ln = raw.decode("utf-8", "replace")
            if lineno == 1:
                ln = ln.lstrip("\ufeff")
            if not ln.strip():
                continue
            try:
                sp = _from_json(ln, lineno)
            except _BadRecord as e:
                self._bad(path, e.line, e.reason)
                continue
            except (ValueError, TypeError, OverflowError, RecursionError) as e:
                # json's own limits (nesting, digits) and values Spectrum refuses
                self._bad(path, lineno, f"{type(e).__name__}: {e}")
                continue
            self.count += 1
            yield sp


def _byte_lines(chunks, limit: int):
    """The lines of a stream of chunks as bytes, without their newline, in
    time linear in the input; a line longer than ``limit`` bytes comes as
    None and is never held whole."""
    pieces: list[bytes] = []
    size = 0
    discarding = False
    for chunk in chunks:
        if isinstance(chunk, str):
            chunk = chunk.encode("utf-8", "surrogatepass")
        start = 0
        while True:
            nl = chunk.find(b"\n", start)
            if nl < 0:
                rest = len(chunk) - start
                if not discarding and rest:
                    if size + rest > limit:
                        discarding, pieces, size = True, [], 0
                    else:
                        pieces.append(chunk[start:])
                        size += rest
                break
            if discarding or size + (nl - start) > limit:
                yield None
            elif pieces:
                pieces.append(chunk[start:nl])
                yield b"".join(pieces)
            else:
                yield chunk[start:nl]
            pieces, size, discarding = [], 0, False
            start = nl + 1
    if discarding:
        yield None
    elif pieces:
        yield b"".join(pieces)


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
    except RecursionError:
        raise _BadRecord(line, "JSON nested too deeply") from None
    except ValueError as e:  # an integer with too many digits
        raise _BadRecord(line, f"not valid JSON: {e}") from None
    if not isinstance(obj, dict):
        raise _BadRecord(line, "a line must hold a JSON object")
    peaks = obj.get("peaks")
    if not isinstance(peaks, list):
        raise _BadRecord(line, "missing \"peaks\" list")
    mz = np.empty(len(peaks), dtype=np.int64)
    inten = np.empty(len(peaks), dtype=np.float64)
    for i, p in enumerate(peaks):
        if not isinstance(p, list) or len(p) != 2:
            raise _BadRecord(line, f"peak {_short(p)} is not a [m/z, intensity] pair")
        m = _peak_value(p[0], "m/z", line)
        x = _peak_value(p[1], "intensity", line)
        if x < 0:
            raise _BadRecord(line, f"negative intensity {_short(p[1])}")
        nominal = round(m)  # halves to the even neighbour, as the text formats
        if not (m > 0 and 1 <= nominal <= MAX_MZ):
            raise _BadRecord(line, f"m/z {_short(p[0])} is out of range")
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
            annotations = [[_annotation(a) for a in lst] for lst in anns]
        except (TypeError, KeyError, ValueError, AttributeError, OverflowError) as e:
            raise _BadRecord(line, f"bad annotation: {e}") from None
    convention = obj.get("convention")
    return Spectrum(mz, inten, md, annotations=annotations,
                    convention=None if convention is None else str(convention))


def _annotation(a) -> PeakAnnotation:
    if not isinstance(a, dict):
        raise TypeError(f"{_short(a)} is not an object")
    g = a.get("generation", 0)
    if isinstance(g, float) and g.is_integer():
        g = int(g)
    if isinstance(g, bool) or not isinstance(g, int) or not 0 <= g <= 1_000_000:
        raise ValueError(f"generation {_short(g)} is not a whole number from 0 to 1000000")
    return PeakAnnotation(str(a["formula"]), str(a["mode"]),
                          None if a.get("bond") is None else str(a["bond"]), g)


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
    def safe(text):  # '"' would end the peak comment, ';' the annotation
        return _clean(text).replace(";", ",").replace('"', "'")

    for a in anns:
        toks = [safe(a.formula).replace(" ", "") or "?", safe(a.mode).replace(" ", "_") or "?"]
        if a.bond:
            toks.append(safe(a.bond))
        toks.append(f"g{int(a.generation)}")
        parts.append(" ".join(toks))
    return "; ".join(parts)


_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")
_MSP_ALIASES = {"synon": "synonyms", "synonym": "synonyms", "inchi_key": "inchikey", "db#": "id",
                "accession": "id", "spectrumid": "id", "licence": "license",
                "instrument_type": "instrument", "instrumenttype": "instrument", "ionmode": "ion_mode",
                "compound_name": "name", "spectrum_id": "id", "nist#": "nist_id"}
_MGF_ALIASES = {"title": "name", "compound_name": "name", "spectrumid": "id", "spectrum_id": "id",
                "ionmode": "ion_mode", "instrument_type": "instrument"}


def _field_key(label: str) -> str:
    """The key a reader gives a field written under ``label``: ASCII lower
    case, runs of white space as one "_"."""
    return "_".join(label.split()).translate(_ASCII_LOWER)


def _metadata_fields(sp: Spectrum, fmt: str, reserved) -> dict:
    """The metadata as {key read back: (original key, value)}.  Two keys a
    reader would take for one ("SMILES" beside "smiles", "DB#" beside "id")
    are an error unless their values agree; keys a format uses for its own
    structure ("convention" beside the spectrum's convention) likewise."""
    out: dict = {}
    for k, v in sp.metadata.items():
        if v is None or k in reserved:
            continue
        if not isinstance(k, str):
            raise TypeError(f"metadata key {k!r} of {sp!r} is not a string")
        label = k.replace('"', "'").replace("=", "_")
        if fmt == "mgf":
            label = re.sub(r"[^A-Za-z0-9_#$./-]", "_", label)
            if label and not label[0].isalpha():
                label = "X" + label  # a line starting like a number is a peak
        rk = _field_key(label)
        rk = (_MSP_ALIASES if fmt == "msp" else _MGF_ALIASES).get(rk, rk)
        if not rk:
            raise ValueError(f"{sp!r} has an empty metadata key")
        if rk == "synonyms":
            v = list(v) if isinstance(v, (list, tuple)) else [v]
        if rk == "convention":
            if sp.convention is not None and _clean(v) == _clean(sp.convention):
                continue
            raise ValueError(f"the metadata key {k!r} of {sp!r} would be read back as the "
                             f"spectrum's convention ({sp.convention!r}): rename it")
        if rk in out:
            k0, v0 = out[rk]
            same = ([_clean(x) for x in v0] == [_clean(x) for x in v] if rk == "synonyms"
                    else _clean(v0) == _clean(v))
            if not same:
                raise ValueError(f"the metadata keys {k0!r} and {k!r} of {sp!r} would both be read "
                                 f"back from {fmt.upper()} as {rk!r}: rename one")
            continue
        out[rk] = (k, v)
    return out


_MSP_HEAD = (("name", "Name"), ("smiles", "SMILES"), ("inchikey", "InChIKey"),
             ("formula", "Formula"), ("mw", "MW"), ("exactmass", "ExactMass"), ("id", "DB#"),
             ("nist_id", "NIST#"), ("instrument", "Instrument_type"), ("ion_mode", "Ion_mode"),
             ("spectrum_type", "Spectrum_type"))
_MSP_COMMENT_KEYS = ("license", "source", "model")
# Keys the writer places itself; any other key goes in the comments, where
# the reader takes it as a plain field.
_MSP_OWN = {"comments", "synonyms"} | {k for k, _ in _MSP_HEAD}


def _msp(sp: Spectrum) -> str:
    md = sp.metadata
    fields = _metadata_fields(sp, "msp", ("peak_comments",))
    out = []
    name = next((fields[k][1] for k in ("name", "smiles", "id") if k in fields and fields[k][1] != ""),
                "unnamed")
    for key, label in _MSP_HEAD:
        v = name if key == "name" else fields.get(key, (None, None))[1]
        if v is None or v == "":
            continue
        if key == "ion_mode":
            v = {"positive": "P", "negative": "N"}.get(str(v).lower(), v)
        out.append(f"{label}: {_clean(v)}")
    for syn in fields.get("synonyms", (None, ()))[1]:
        out.append(f"Synon: {_clean(syn)}")
    comments = []
    for rk, (k, v) in fields.items():
        if rk in _MSP_OWN:
            continue
        if rk in _MSP_COMMENT_KEYS or rk == "num_peaks" or not re.fullmatch(r"[a-z][\w#$./-]*", rk):
            comments.append(f'"{_clean(rk)}={_clean(v).replace(chr(34), chr(39))}"')
        else:
            out.append(f"{rk}: {_clean(v)}")
    if sp.convention:
        comments.append(f'"convention={_clean(sp.convention)}"')
    if "comments" in fields:
        comments.append(_clean(fields["comments"][1]).replace('"', "'"))
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
    fields = _metadata_fields(sp, "mgf", ("title", "mslevel", "peak_comments"))
    out = ["BEGIN IONS"]
    title = md.get("title") or next((fields[k][1] for k in ("name", "smiles", "id")
                                     if k in fields and fields[k][1] != ""), "unnamed")
    out.append(f"TITLE={_clean(title)}")
    for key, label in _MGF_HEAD:
        v = fields.get(key, (None, None))[1]
        if v is None or v == "":
            continue
        out.append(f"{label}={_clean(v)}")
    out.append("MSLEVEL=1")
    if sp.convention:
        out.append(f"CONVENTION={_clean(sp.convention)}")
    head = {k for k, _ in _MGF_HEAD}
    for rk, (k, v) in fields.items():
        if rk in head:
            continue
        if rk == "synonyms":
            out.extend(f"SYNONYMS={_clean(syn)}" for syn in v)
            continue
        out.append(f"{rk.upper()}={_clean(v)}")
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
    for k in sp.metadata:
        if not isinstance(k, str):
            raise TypeError(f"metadata key {k!r} of {sp!r} is not a string")
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
    check_peaks(spectrum.mz, spectrum.intensity)
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
        try:
            check_peaks(sp.mz, sp.intensity)  # arrays changed after the spectrum was made
            text = dumper(sp)
        except (ValueError, TypeError) as e:
            kind = TypeError if isinstance(e, TypeError) else ValueError
            raise kind(f"cannot write spectrum {n} ({sp!r}): {e}") from None
        f.write(text)
        n += 1
    return n
