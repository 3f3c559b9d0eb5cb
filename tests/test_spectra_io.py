"""Readers and writers of spectrum libraries: MSP, MGF, MassBank records, JSON lines."""
import gzip
import io
import os
import warnings
from pathlib import Path

import numpy as np
import pytest

import corvane_spectra as cs
from corvane_spectra import io as sio
from corvane_spectra.spectrum import PeakAnnotation, Spectrum

DATA = Path(__file__).parent / "data"
MASSBANK = DATA / "massbank"
TMS_RECORD = MASSBANK / "MSBNK-GL_Sciences_Inc-GLS00001.txt"


def same(a: Spectrum, b: Spectrum):
    assert a.mz.tolist() == b.mz.tolist()
    assert a.intensity.tolist() == b.intensity.tolist()
    assert a.metadata == b.metadata
    assert a.annotations == b.annotations
    assert a.convention == b.convention


def predicted_named(smiles, name, **kw):
    sp = cs.predict(smiles, **kw)
    sp.metadata["name"] = name
    return sp


def spectra_for_round_trip():
    measured = Spectrum([41, 43, 58, 120], [12.5, 999.0, 0.125, 1e-3],
                        {"name": "2-Butanone (ÄÖ 测试)", "smiles": "CCC(C)=O", "inchikey": "ZWEHNKRNPOVVGH-UHFFFAOYSA-N",
                         "formula": "C4H8O", "id": "X-1", "license": "CC BY", "source": "lab notebook 7",
                         "instrument": "EI-B", "ion_mode": "positive", "synonyms": ["MEK", "methyl ethyl ketone"],
                         "retention_index": "598"})
    empty = Spectrum([], [], {"name": "nothing measured", "smiles": "C"})
    return [
        predicted_named("CC(=O)CCl", "chloroacetone"),
        predicted_named("CC1CCC(C)CC1O", "dimethylcyclohexanol", ring_fragmentation=True, model="schematic"),
        predicted_named("CCCCC(=O)OCC", "ethyl pentanoate", recursive=True, model="schematic"),
        measured,
        empty,
    ]


@pytest.mark.parametrize("fmt", ["msp", "jsonl", "mgf"])
def test_round_trip_through_a_file(tmp_path, fmt):
    spectra = spectra_for_round_trip()
    path = tmp_path / f"lib.{fmt}"
    assert sio.write(spectra, path) == len(spectra)
    reader = sio.read(path)
    back = list(reader)
    assert reader.count == len(spectra) and reader.skipped == 0
    for a, b in zip(spectra, back):
        if fmt == "mgf":
            # MGF peak lines have no room for annotations; all else survives.
            b.annotations = a.annotations
        same(a, b)


@pytest.mark.parametrize("fmt", sio.WRITE_FORMATS)
def test_dumps_one_record_reads_back(fmt):
    sp = predicted_named("CCOC(=O)C", "ethyl acetate")
    text = sio.dumps(sp, fmt)
    (back,) = list(sio.read(io.StringIO(text), fmt))
    assert back.peaks() == sp.peaks()
    assert back.convention == sp.convention == "scored"
    if fmt != "mgf":
        assert back.annotations == sp.annotations


def test_msp_peak_comments_carry_the_annotations():
    sp = Spectrum([15, 43, 58], [60, 60, 100], {"name": "acetone", "smiles": "CC(C)=O"},
                  annotations=[[PeakAnnotation("CH3", "single", "C0-C1", 1),
                                PeakAnnotation("CH3", "ring", "C1-C2 + C4-C5", 2)],
                               [PeakAnnotation("C2H3O", "single", "C0-C1", 1)],
                               [PeakAnnotation("C3H6O", "molecular_ion")]], convention="schematic")
    text = sio.dumps(sp, "msp")
    assert '15 60 "CH3 single C0-C1 g1; CH3 ring C1-C2 + C4-C5 g2"' in text
    assert '58 100 "C3H6O molecular_ion g0"' in text
    assert '"convention=schematic"' in text
    (back,) = sio.read(io.StringIO(text), "msp")
    same(sp, back)


@pytest.mark.parametrize("fmt", ["msp", "mgf", "jsonl"])
def test_gzip_files_are_read_and_written(tmp_path, fmt):
    spectra = spectra_for_round_trip()[:3]
    path = tmp_path / f"lib.{fmt}.gz"
    sio.write(spectra, path)
    with open(path, "rb") as f:
        assert f.read(2) == b"\x1f\x8b"
    assert [s.peaks() for s in sio.read(path)] == [s.peaks() for s in spectra]
    # A compressed file without the .gz name, and one handed over open.
    plain_name = tmp_path / f"other.{fmt}"
    plain_name.write_bytes(path.read_bytes())
    assert len(list(sio.read(plain_name))) == 3
    with open(path, "rb") as f:
        assert len(list(sio.read(f, fmt))) == 3


def test_msp_reader_on_library_records():
    reader = sio.read_msp(DATA / "massbank_ei_sample.msp")
    spectra = list(reader)
    assert [s.name for s in spectra] == ["1-NITROPYRENE", "2,4-DINITROPHENOL", "3,4-DICHLOROPHENOL"]
    first = spectra[0]
    assert first.metadata == {
        "name": "1-NITROPYRENE", "id": "MSBNK-Fac_Eng_Univ_Tokyo-JP000001",
        "inchikey": "ALRLPDGCPYIVHP-UHFFFAOYSA-N", "smiles": "O=[N+]([O-])c1ccc2ccc3cccc4ccc1c2c34",
        "formula": "C16H9NO2", "spectrum_type": "MS1", "ion_mode": "positive", "instrument": "EI",
        "license": "CC BY-NC-SA", "source": "MassBank MSBNK-Fac_Eng_Univ_Tokyo-JP000001"}
    assert len(first) == 75 and first.peaks()[:2] == [(51, 27.0), (55, 80.0)]
    assert first.base_peak() == 999.0 and first.annotations is None and first.convention is None


def test_massbank_record_fields():
    (sp,) = sio.read(MASSBANK / "MSBNK-Fac_Eng_Univ_Tokyo-JP000029.txt")
    md = sp.metadata
    assert md["id"] == "MSBNK-Fac_Eng_Univ_Tokyo-JP000029"
    assert md["name"] == "1,2-DICHLOROBENZENE"
    assert md["smiles"] == "Clc(c1)c(Cl)ccc1"
    assert md["inchikey"] == "RFFLAFLAYFXFSW-UHFFFAOYSA-N"
    assert md["inchi"].startswith("InChI=1S/C6H4Cl2/")
    assert md["formula"] == "C6H4Cl2" and md["license"] == "CC BY-NC-SA"
    assert md["instrument"] == "EI-B" and md["ion_mode"] == "positive" and md["ms_type"] == "MS"
    assert md["comptox"] == "DTXSID6020430"
    assert "derivative" not in md
    # rel.int. column: base peak 999, as in the library file
    assert len(sp) == 22 and sp.peaks()[0] == (51, 43.0) and (146, 999.0) in sp.peaks()


def test_massbank_derivative_and_decimal_mz():
    reader = sio.read_massbank(TMS_RECORD)
    (sp,) = reader
    assert sp.metadata["derivative"] == "n TMS"
    assert sp.metadata["synonyms"] == ["a-MethylBenzylamine"]
    assert sp.metadata["instrument_name"] == "GCMS-2010 Plus, Shimadzu"
    # 85.6 -> 86, 89.0 -> 89; the file's 340 peaks all have distinct nominal m/z
    assert sp.mz[:3].tolist() == [86, 87, 88]
    assert len(sp) + reader.merged_peaks == 340
    assert sp.intensity[sp.mz.tolist().index(106)] == 999.0


def test_massbank_folder_reads_every_record_in_name_order():
    reader = sio.read(MASSBANK)
    assert reader.format == "massbank"
    ids = [s.metadata["id"] for s in reader]
    assert ids == sorted(p.stem for p in MASSBANK.glob("*.txt"))


MGF_TEXT = """# exported by hand
BEGIN IONS
TITLE=caffeine
PEPMASS=0
SMILES=Cn1cnc2c1c(=O)n(C)c(=O)n2C
IONMODE=Positive
MSLEVEL=1
194.08 999 1+
109.0\t450
END IONS

BEGIN IONS
NAME=second
TITLE=scan 12
55.2 1.5
END IONS
"""


def test_mgf_reader_fields_and_peaks():
    a, b = sio.read(io.StringIO(MGF_TEXT), "mgf")
    assert a.metadata == {"name": "caffeine", "pepmass": "0", "smiles": "Cn1cnc2c1c(=O)n(C)c(=O)n2C",
                          "ion_mode": "positive"}
    assert a.peaks() == [(109, 450.0), (194, 999.0)]
    assert b.metadata == {"name": "second", "title": "scan 12"} and b.peaks() == [(55, 1.5)]


@pytest.mark.parametrize("text, peaks, merged", [
    # duplicates after rounding: the strongest stays
    ("51 10\n51.2 30\n50.6 5\n", [(51, 30.0)], 2),
    # halves go to the even neighbour; order of the file does not matter
    ("50.5 1\n51.5 2\n12 3\n", [(12, 3.0), (50, 1.0), (52, 2.0)], 0),
    # several peaks per line, tabs and colons as NIST writes them
    ("41 999; 42 100;\n43\t7; 44:8\n", [(41, 999.0), (42, 100.0), (43, 7.0), (44, 8.0)], 0),
])
def test_msp_peak_lines(text, peaks, merged):
    n = len(peaks) + merged
    reader = sio.read(io.StringIO(f"Name: x\nNum Peaks: {n}\n{text}"), "msp")
    (sp,) = reader
    assert sp.peaks() == peaks
    assert reader.merged_peaks == merged


def test_empty_spectrum_is_a_valid_record():
    text = "Name: nothing\nNum Peaks: 0\n\nName: next\nNum Peaks: 1\n50 1\n"
    a, b = sio.read(io.StringIO(text), "msp")
    assert len(a) == 0 and a.name == "nothing" and a.base_peak() == 0.0
    assert b.peaks() == [(50, 1.0)]


def test_foreign_peak_comments_are_kept():
    text = 'Name: x\nNum Peaks: 2\n50 10 "p-CH3/0.2ppm"\n51 20\n'
    (sp,) = sio.read(io.StringIO(text), "msp")
    assert sp.annotations is None
    assert [tuple(c) for c in sp.metadata["peak_comments"]] == [(50, "p-CH3/0.2ppm")]
    (back,) = sio.read(io.StringIO(sio.dumps(sp, "msp")), "msp")
    assert [tuple(c) for c in back.metadata["peak_comments"]] == [(50, "p-CH3/0.2ppm")]


GOOD = "Name: good{0}\nNum Peaks: 2\n50 1\n51 2\n\n"

MALFORMED = [
    # (format, text, line of the error, words of the reason)
    ("msp", "Name: cut\nNum Peaks: 3\n50 1\n51 2", 4, "file ends after 2 of 3 peaks"),
    ("msp", "Name: cut\nNum Peaks: 3\n50 1\n\n", 4, "record ends after 1 of 3 peaks"),
    ("msp", "Name: cut\nNum Peaks: 3\n50 1\nName: next\nNum Peaks: 1\n50 1\n", 4, "record ends after 1 of 3"),
    ("msp", "Name: none\n50 1\n51 2\n\n", 2, "Num Peaks"),
    ("msp", "Name: none\nFormula: C\n\n", 3, "no \"Num Peaks\""),
    ("msp", "Name: bad\nNum Peaks: 2\n50 1\n51 lots\n\n", 4, "intensity 'lots' is not a number"),
    ("msp", "Name: bad\nNum Peaks: 1\nfifty 1\n\n", 3, "not a number"),
    ("msp", "Name: bad\nNum Peaks: 1\n50 nan\n\n", 3, "not a finite number"),
    ("msp", "Name: bad\nNum Peaks: 1\n50 -3\n\n", 3, "negative intensity"),
    ("msp", "Name: bad\nNum Peaks: two\n50 1\n\n", 2, "not a whole number"),
    ("msp", "Name: more\nNum Peaks: 1\n50 1\n51 2\n\n", 4, "more peaks than Num Peaks: 1"),
    ("msp", 'Name: q\nNum Peaks: 1\n50 1 "open\n\n', 3, "closing quote"),
    ("mgf", "BEGIN IONS\nTITLE=a\n50 1\n", 3, "END IONS missing"),
    ("mgf", "BEGIN IONS\nTITLE=a\n50 x\nEND IONS\n", 3, "intensity 'x' is not a number"),
    ("mgf", "BEGIN IONS\n50\nEND IONS\n", 2, "no intensity"),
    ("massbank", "ACCESSION: A\nPK$NUM_PEAK: 1\nPK$PEAK: m/z int. rel.int.\n  50 10 999\n", 4, "\"//\" missing"),
    ("massbank", "ACCESSION: A\nPK$NUM_PEAK: 2\nPK$PEAK: m/z int. rel.int.\n  50 10 999\n//\n", 5,
     "PK$NUM_PEAK says 2"),
    ("massbank", "ACCESSION: A\nCH$NAME: x\n//\n", 3, "no PK$PEAK"),
    ("jsonl", '{"metadata": {}, "peaks": [[50, 1]]}\n{"peaks": [[50, 1]\n', 2, "not valid JSON"),
    ("jsonl", '{"peaks": [[50, "a"]]}\n', 1, "intensity 'a' is not a number"),
    ("jsonl", '{"metadata": {}}\n', 1, "\"peaks\""),
    ("massbank", "ACCESSION: A\nPK$PEAK: m/z int. rel.int.\n  50 10 999\n  51 10\n//\n", 4,
     "no value in the intensity column 3"),
]


@pytest.mark.parametrize("fmt, text, line, words", MALFORMED)
def test_malformed_input_names_file_and_line(tmp_path, fmt, text, line, words):
    ext = {"massbank": "txt"}.get(fmt, fmt)
    path = tmp_path / f"bad.{ext}"
    path.write_text(text)
    with pytest.raises(sio.SpectrumFormatError) as e:
        list(sio.read(path))
    assert isinstance(e.value, ValueError)
    assert e.value.path == str(path) and e.value.line == line
    assert str(e.value).startswith(f"{path}:{line}: ")
    assert words in str(e.value)


@pytest.mark.parametrize("bad", [
    "Name: cut\nNum Peaks: 3\n50 1\n\n",          # ends early at a blank line
    "Name: bad\nNum Peaks: 2\n50 1\n51 x\n\n",   # unreadable peak
    "Name: none\n50 1\n\n",                       # no Num Peaks
    "Name: more\nNum Peaks: 1\n50 1\n51 1\n\n",  # too many peaks
    # the tail of a rejected record must not come back as a spectrum
    "Name: split\n\nNum Peaks: 1\n50 1\n\n",                  # blank line inside
    "Name: cut\nNum Peaks: 3\n50 1\nComment: x\n51 2\n52 3\n\n",  # a field among the peaks
    "Name: cut\nNum Peaks: 2\n50 1\n\nNum Peaks: 1\n51 2\n\n",    # blank line among the peaks
])
def test_skip_bad_counts_and_keeps_the_good_records(tmp_path, bad):
    path = tmp_path / "mixed.msp"
    path.write_text(GOOD.format(1) + bad + GOOD.format(2) + bad + GOOD.format(3))
    reader = sio.read(path, skip_bad=True)
    with pytest.warns(UserWarning, match=rf"skipped 2 bad records in {path}"):
        names = [s.name for s in reader]
    assert names == ["good1", "good2", "good3"]
    assert reader.skipped == 2 and len(reader.errors) == 2
    assert all(msg.startswith(f"{path}:") for msg in reader.errors)


def test_skip_bad_keeps_a_bounded_list_of_messages():
    text = "".join(f"Name: b{i}\nNum Peaks: 1\n50 x\n\n" for i in range(sio.MAX_ERRORS + 20)) + GOOD.format(0)
    reader = sio.read(io.StringIO(text), "msp", skip_bad=True)
    with pytest.warns(UserWarning):
        assert len(list(reader)) == 1
    assert reader.skipped == sio.MAX_ERRORS + 20 and len(reader.errors) == sio.MAX_ERRORS


def test_no_warning_without_bad_records():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(list(sio.read(DATA / "massbank_ei_sample.msp", skip_bad=True))) == 3


class _GeneratedLibrary(io.RawIOBase):
    """An MSP library made on the fly, never held whole; counts bytes read."""

    def __init__(self, n):
        self.n, self.i, self.buf, self.read_bytes = n, 0, b"", 0

    def readable(self):
        return True

    def readinto(self, b):
        while len(self.buf) < len(b) and self.i < self.n:
            i = self.i
            self.buf += (f"Name: s{i}\nDB#: {i}\nComments: \"license=CC0\"\nNum Peaks: 3\n"
                         f"{41 + i % 7} 10\n{58 + i % 5} 999\n{77 + i % 3} 1.5\n\n").encode()
            self.i += 1
        n = min(len(b), len(self.buf))
        b[:n] = self.buf[:n]
        self.buf = self.buf[n:]
        self.read_bytes += n
        return n


def test_huge_library_is_streamed():
    n = 100_000
    src = _GeneratedLibrary(n)
    reader = sio.read(io.BufferedReader(src, buffer_size=1 << 16), "msp")
    first = next(reader)
    assert first.name == "s0"
    # The first spectrum comes after at most a couple of chunks, not the whole library.
    assert src.read_bytes <= 4 * sio._CHUNK
    count, last = 1, None
    for last in reader:
        count += 1
    assert count == n and last.name == f"s{n - 1}" and last.metadata["license"] == "CC0"
    assert reader.count == n


def test_format_from_name_content_or_argument(tmp_path):
    sp = spectra_for_round_trip()[0]
    odd = tmp_path / "library.dat"
    sio.write([sp], odd, fmt="mgf")
    assert sio.detect_format(odd) == "mgf"
    assert list(sio.read(odd))[0].peaks() == sp.peaks()
    assert list(sio.read(str(odd), "mgf"))[0].peaks() == sp.peaks()
    (tmp_path / "blank.dat").write_text("\n\n")
    with pytest.raises(ValueError, match="cannot tell the spectrum format"):
        sio.read(tmp_path / "blank.dat")
    with pytest.raises(FileNotFoundError):
        sio.read(tmp_path / "missing.msp")
    with pytest.raises(ValueError, match="unknown spectrum format"):
        sio.read(odd, "mzml")
    with pytest.raises(ValueError, match="cannot tell the spectrum format to write"):
        sio.write([sp], tmp_path / "out.txt")


def test_write_to_open_text_and_binary_files():
    spectra = spectra_for_round_trip()
    text = io.StringIO()
    assert sio.write(spectra, text, "jsonl") == len(spectra)
    assert len(text.getvalue().splitlines()) == len(spectra)
    raw = io.BytesIO()
    assert sio.write(spectra, raw, "msp") == len(spectra)
    assert [s.name for s in sio.read(io.BytesIO(raw.getvalue()), "msp")] == [s.name for s in spectra]
    with pytest.raises(ValueError, match="fmt="):
        sio.write(spectra, io.StringIO())


def test_failed_write_leaves_the_old_file_and_no_temporary(tmp_path):
    path = tmp_path / "lib.msp"
    path.write_text("old contents\n")

    def spectra():
        yield spectra_for_round_trip()[0]
        raise RuntimeError("prediction failed")

    with pytest.raises(RuntimeError):
        sio.write(spectra(), path)
    assert path.read_text() == "old contents\n"
    assert os.listdir(tmp_path) == ["lib.msp"]
    with pytest.raises(TypeError, match="not a Spectrum"):
        sio.write([spectra_for_round_trip()[0], "not a spectrum"], tmp_path / "new.msp")
    assert os.listdir(tmp_path) == ["lib.msp"]


def test_written_file_has_ordinary_permissions(tmp_path):
    path = tmp_path / "lib.jsonl"
    sio.write(spectra_for_round_trip()[:1], path)
    umask = os.umask(0)
    os.umask(umask)
    assert os.stat(path).st_mode & 0o777 == 0o666 & ~umask


def test_reader_closes_its_file(tmp_path):
    path = tmp_path / "lib.msp"
    sio.write(spectra_for_round_trip(), path)
    with sio.read(path) as reader:
        next(reader)
        f = reader._file
        assert not f.closed
    assert f.closed


def test_mgf_export_has_no_precursor_and_ms_level_one():
    text = sio.dumps(spectra_for_round_trip()[0], "mgf")
    lines = text.strip().splitlines()
    assert lines[0] == "BEGIN IONS" and lines[-1] == "END IONS"
    assert "TITLE=chloroacetone" in lines and "SMILES=CC(=O)CCl" in lines and "MSLEVEL=1" in lines
    assert not any(line.startswith("PEPMASS") for line in lines)


def test_non_numeric_json_metadata_survives():
    sp = Spectrum([50], [1.0], {"name": "x", "rt": 12.5, "tags": ["a", "b"], "n": np.int64(3)})
    (back,) = sio.read(io.StringIO(sio.dumps(sp, "jsonl")), "jsonl")
    assert back.metadata == {"name": "x", "rt": 12.5, "tags": ["a", "b"], "n": 3}


def test_gzip_stream_handed_over_open_without_seeking():
    payload = gzip.compress(sio.dumps(spectra_for_round_trip()[3], "msp").encode())

    class Pipe(io.RawIOBase):
        def __init__(self):
            self.data = payload

        def readable(self):
            return True

        def seekable(self):
            return False

        def readinto(self, b):
            n = min(len(b), len(self.data))
            b[:n] = self.data[:n]
            self.data = self.data[n:]
            return n

    (sp,) = sio.read(Pipe(), "msp")
    assert sp.name == "2-Butanone (ÄÖ 测试)"


@pytest.mark.parametrize("source, fmt", [
    (DATA / "massbank_ei_sample.msp", None),
    (MASSBANK, None),
    (io.StringIO('Name: a\nNum Peaks: 3\n60 1 "CH4 single C0-C1 g1"\n50 2\n60.2 5 "C2 ring C0-C1 + C2-C3 g2"\n'), "msp"),
    (io.StringIO(MGF_TEXT), "mgf"),
])
def test_read_spectra_are_what_the_constructor_makes(source, fmt):
    for sp in sio.read(source, fmt):
        assert sp.mz.dtype == np.int64 and sp.intensity.dtype == np.float64
        assert np.all(np.diff(sp.mz) > 0)
        again = Spectrum(sp.mz.copy(), sp.intensity.copy(), sp.metadata, annotations=sp.annotations,
                         convention=sp.convention)
        same(sp, again)
        if sp.annotations is not None:
            assert sp.annotations[1] == [PeakAnnotation("CH4", "single", "C0-C1", 1),
                                         PeakAnnotation("C2", "ring", "C0-C1 + C2-C3", 2)]


@pytest.mark.parametrize("name", ["lib.msp", "lib.msp.gz"])
def test_progress_goes_from_zero_to_one(tmp_path, monkeypatch, name):
    monkeypatch.setattr(sio, "_CHUNK", 1 << 14)
    path = tmp_path / name
    rng = np.random.default_rng(7)
    spectra = (Spectrum(np.arange(40, 90), rng.random(50), {"name": f"s{i}"}) for i in range(1500))
    sio.write(spectra, path)
    reader = sio.read(path)
    assert reader.progress() == 0.0
    seen = [reader.progress() for _ in reader]
    assert seen == sorted(seen) and 0 < seen[0] < 1
    assert reader.progress() == 1.0
    assert sio.read(io.StringIO("")).progress() is None


@pytest.mark.parametrize("chunk", [1, 2, 7, 64, 4096])
@pytest.mark.parametrize("fmt", ["msp", "mgf", "jsonl"])
def test_chunk_boundaries_do_not_matter(monkeypatch, fmt, chunk):
    spectra = spectra_for_round_trip()
    # Windows line ends and a byte order mark, split anywhere by the chunks
    data = ("\ufeff" + "".join(sio.dumps(s, fmt) for s in spectra)).replace("\n", "\r\n").encode()
    expected = list(sio.read(io.BytesIO(data), fmt))
    assert [s.name for s in expected] == [s.name for s in spectra]
    monkeypatch.setattr(sio, "_CHUNK", chunk)
    got = list(sio.read(io.BytesIO(data), fmt))
    for a, b in zip(expected, got, strict=True):
        same(a, b)


def test_massbank_records_in_small_chunks(monkeypatch):
    monkeypatch.setattr(sio, "_CHUNK", 3)
    expected = [s.peaks() for s in sio.read(MASSBANK)]
    monkeypatch.setattr(sio, "_CHUNK", 1 << 20)
    assert [s.peaks() for s in sio.read(MASSBANK)] == expected


from hypothesis import given, strategies as st  # noqa: E402

_LINES = st.sampled_from(["Name: x", "Num Peaks: 2", "Num Peaks: 0", "Num Peaks: -1", "50 1", "51 2 \"a\"",
                          "52 x", "", "Comments: \"a=b\" c", "BEGIN IONS", "END IONS", "TITLE=t", "//",
                          "PK$PEAK: m/z int. rel.int.", "  50 1 999", "ACCESSION: A", '53 4 "C single C0-C1 g1',
                          "1e400 1", "0.2 1", "\t", "\"", ":", "="])


@given(lines=st.lists(st.one_of(_LINES, st.text(max_size=12)), max_size=30),
       fmt=st.sampled_from(["msp", "mgf", "massbank"]))
def test_any_text_gives_spectra_or_counted_errors(lines, fmt):
    text = "\n".join(lines)
    reader = sio.read(io.StringIO(text), fmt, skip_bad=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        spectra = list(reader)
    for sp in spectra:
        assert np.all(np.diff(sp.mz) > 0) and np.all(sp.mz >= 1) and np.all(sp.intensity >= 0)
    assert reader.skipped == 0 or reader.errors


@pytest.mark.parametrize("skip_bad", [False, True])
def test_damaged_gzip_is_a_format_error(tmp_path, skip_bad):
    rng = np.random.default_rng(3)
    spectra = [Spectrum(np.arange(40, 140), rng.random(100), {"name": f"s{i}"}) for i in range(400)]
    good = tmp_path / "lib.msp.gz"
    sio.write(spectra, good)
    cut = tmp_path / "cut.msp.gz"
    cut.write_bytes(good.read_bytes()[: good.stat().st_size // 2])
    with pytest.raises(sio.SpectrumFormatError, match="damaged gzip data") as e:
        list(sio.read(cut, skip_bad=skip_bad))
    assert e.value.path == str(cut) and e.value.line >= 1


def test_content_decides_compression_and_a_bom_is_ignored(tmp_path):
    plain = tmp_path / "named.jsonl.gz"   # not compressed at all
    plain.write_text("\ufeff" + sio.dumps(spectra_for_round_trip()[3], "jsonl"), encoding="utf-8")
    assert sio.detect_format(tmp_path / "named.jsonl.gz") == "jsonl"
    (sp,) = sio.read(plain)
    assert sp.name == "2-Butanone (ÄÖ 测试)"
    odd = tmp_path / "named.dat"
    odd.write_bytes(plain.read_bytes())
    assert sio.detect_format(odd) == "jsonl"


def _good_jsonl(i):
    return sio.dumps(Spectrum([50, 51], [1, 2], {"name": f"good{i}"}), "jsonl")


_DEEP = "[" * 200_000 + "]" * 200_000
# One bad record of each kind that once escaped skip_bad as a bare exception
HOSTILE = [
    ("jsonl", '{"peaks": ' + _DEEP + '}\n', "nested too deeply"),
    ("jsonl", '{"peaks": [[' + "1" * 5000 + ', 1]]}\n', "not valid JSON"),
    ("jsonl", '{"peaks": [[' + "1" * 400 + ', 1]]}\n', "too large"),
    ("jsonl", '{"peaks": [[50, 1e400]]}\n', "not a finite number"),
    ("jsonl", '{"peaks": [[2000000, 1]]}\n', "out of range"),
    ("jsonl", '{"peaks": [[50, 1]], "annotations": [[{"formula": "C", "mode": "single", '
              '"generation": Infinity}]]}\n', "generation"),
    ("jsonl", '{"peaks": [[50, 1]], "annotations": [[{"formula": "C", "mode": "single", '
              '"generation": NaN}]]}\n', "generation"),
    ("jsonl", '{"peaks": [[50, 1]], "annotations": [["C single g1"]]}\n', "bad annotation"),
    ("jsonl", '{"peaks": [[50, 1]], "metadata": {}, "convention": null, "annotations": [[{"formula": "C", '
              '"mode": "single", "generation": 1e300}]]}\n', "generation"),
    ("msp", "Name: big\nNum Peaks: 1\n1e400 1\n\n", "m/z"),
    ("msp", "Name: big\nNum Peaks: 1\n2000000 1\n\n", "out of range"),
    ("msp", "Name: big\nNum Peaks: 1\n50 1e400\n\n", "intensity"),
    ("mgf", "BEGIN IONS\nTITLE=big\n1000001 1\nEND IONS\n", "out of range"),
]


@pytest.mark.parametrize("fmt, bad, words", HOSTILE)
def test_every_bad_record_is_a_format_error(tmp_path, fmt, bad, words):
    good = {"jsonl": _good_jsonl, "msp": lambda i: GOOD.format(i),
            "mgf": lambda i: f"BEGIN IONS\nTITLE=good{i}\n50 1\nEND IONS\n"}[fmt]
    path = tmp_path / f"lib.{fmt}"
    path.write_text(good(1) + bad + good(2))
    with pytest.raises(sio.SpectrumFormatError, match=words) as e:
        list(sio.read(path))
    assert e.value.path == str(path)
    reader = sio.read(path, skip_bad=True)
    with pytest.warns(UserWarning, match="skipped 1 bad record"):
        assert [s.name for s in reader] == ["good1", "good2"]


def test_msp_peak_comment_with_a_huge_generation_is_kept_as_text():
    text = 'Name: g\nNum Peaks: 1\n50 1 "C single g99999999999999"\n\n'
    (sp,) = sio.read(io.StringIO(text), "msp")
    assert sp.annotations is None and sp.metadata["peak_comments"] == [(50, "C single g99999999999999")]


@pytest.mark.parametrize("fmt", ["msp", "mgf", "jsonl", "massbank"])
@pytest.mark.parametrize("chunk", [64, 1 << 20])
def test_a_line_over_the_limit_is_an_error_of_its_record(tmp_path, monkeypatch, fmt, chunk):
    monkeypatch.setattr(sio, "MAX_LINE", 1000)
    monkeypatch.setattr(sio, "_CHUNK", chunk)
    long = "x" * 5000
    records = {
        "msp": lambda n, extra="": f"Name: {n}\n{extra}Num Peaks: 1\n50 1\n\n",
        "mgf": lambda n, extra="": f"BEGIN IONS\nTITLE={n}\n{extra}50 1\nEND IONS\n",
        "jsonl": lambda n, extra="": (sio.dumps(Spectrum([50], [1], {"name": n, "note": extra}), "jsonl")),
        "massbank": lambda n, extra="": f"ACCESSION: {n}\nCH$NAME: {n}\n{extra}PK$PEAK: m/z int.\n  50 1\n//\n",
    }[fmt]
    extra = f"Comment: {long}\n" if fmt != "jsonl" else long
    if fmt == "mgf":
        extra = f"COMMENT={long}\n"
    path = tmp_path / f"lib.{'txt' if fmt == 'massbank' else fmt}"
    path.write_text(records("a") + records("b", extra) + records("c"))
    with pytest.raises(sio.SpectrumFormatError, match="longer than 1000 bytes"):
        list(sio.read(path))
    reader = sio.read(path, skip_bad=True)
    with pytest.warns(UserWarning, match="skipped 1 bad record"):
        names = [s.metadata.get("id", s.name) for s in reader]
    assert names == ["a", "c"]
    # A long last line without its newline is passed over as well.
    path.write_text(records("a") + "y" * 5000)
    reader = sio.read(path, skip_bad=True)
    with pytest.warns(UserWarning, match="skipped 1 bad record"):
        assert len(list(reader)) == 1


def _fmt_file(folder, name, fmt, spectra):
    if fmt == "massbank":
        sp = spectra[0]
        (folder / name).write_text(f"ACCESSION: {sp.name}\nCH$NAME: {sp.name}\nPK$PEAK: m/z int. rel.int.\n"
                                   + "".join(f"  {m} {x} {x}\n" for m, x in sp.peaks()) + "//\n")
    else:
        sio.write(spectra, folder / name, fmt)


def test_folder_of_several_formats_is_read_by_extension(tmp_path):
    mk = lambda n: Spectrum([50, 60], [1, 2], {"name": n})  # noqa: E731
    _fmt_file(tmp_path, "a.msp", "msp", [mk("msp1"), mk("msp2")])
    _fmt_file(tmp_path, "b.mgf.gz", "mgf", [mk("mgf1")])
    (tmp_path / "sub").mkdir()
    _fmt_file(tmp_path / "sub", "c.jsonl", "jsonl", [mk("jsonl1")])
    _fmt_file(tmp_path, "d.txt", "massbank", [mk("mb1")])
    (tmp_path / "notes.md").write_text("# not spectra\n")
    reader = sio.read(tmp_path)
    assert reader.format == "mixed" and sio.detect_format(tmp_path) == "mixed"
    assert [s.name for s in reader] == ["msp1", "msp2", "mgf1", "mb1", "jsonl1"]
    # fmt= reads only that format's files, and .txt files as that format
    (tmp_path / "d.txt").write_text(sio.dumps(mk("txt1"), "msp"))
    assert [s.name for s in sio.read(tmp_path, fmt="msp")] == ["msp1", "msp2", "txt1"]


def test_folder_without_spectra_says_so(tmp_path):
    with pytest.raises(ValueError, match="no spectrum files"):
        sio.read(tmp_path)
    sio.write([Spectrum([50], [1], {"name": "x"})], tmp_path / "a.msp")
    with pytest.raises(ValueError, match="no mgf files"):
        sio.read(tmp_path, fmt="mgf")
    (tmp_path / "a.msp").write_text("")
    with pytest.warns(UserWarning, match="no spectra in the 1 spectrum files"):
        assert list(sio.read(tmp_path)) == []


BAD_VALUES = [
    ([50], [float("nan")]), ([50], [float("inf")]), ([50], [-1.0]),
    ([0], [1.0]), ([-5], [1.0]), ([float("nan")], [1.0]), ([float("inf")], [1.0]), ([0.3], [1.0]),
    ([1_000_001], [1.0]), ([1e30], [1.0]), (np.array([2**63 + 5], dtype=np.uint64), [1.0]),
    ([2**70], [1.0]),
]


@pytest.mark.parametrize("mz, inten", BAD_VALUES)
def test_spectrum_refuses_values_no_reader_takes(mz, inten):
    with pytest.raises(ValueError, match="out of range|not a finite, non-negative"):
        Spectrum(mz, inten)


@pytest.mark.parametrize("fmt", sio.WRITE_FORMATS)
def test_extreme_valid_values_round_trip_and_spoiled_ones_are_not_written(tmp_path, fmt):
    from corvane_spectra.spectrum import MAX_MZ

    sp = Spectrum([1, 49.5, 50.6, MAX_MZ], [0.0, 5e-324, 1e300, 1.0], {"name": "edge"})
    assert sp.mz.tolist() == [1, 50, 51, MAX_MZ]  # rounded as the readers round
    path = tmp_path / f"lib.{fmt}"
    sio.write([sp], path)
    (back,) = sio.read(path)
    assert back.peaks() == sp.peaks()
    sp.intensity[1] = float("nan")
    with pytest.raises(ValueError, match="cannot write spectrum 0"):
        sio.write([sp], tmp_path / f"new.{fmt}")
    assert not (tmp_path / f"new.{fmt}").exists()


COLLIDING = [
    # metadata, what MSP and MGF read back (JSON lines keeps it as it is)
    ({"name": "n", "Num_Peaks": "7"}, {"name": "n", "num_peaks": "7"}),
    ({"name": "n", "Num Peaks": "7", "END IONS": "e", "BEGIN IONS": "b"},
     {"name": "n", "num_peaks": "7", "end_ions": "e", "begin_ions": "b"}),
    ({"name": "n", "synonyms": "only one"}, {"name": "n", "synonyms": ["only one"]}),
    ({"name": "n", "smiles": "CCO", "SMILES": "CCO"}, {"name": "n", "smiles": "CCO"}),
    ({"name": "n", "a:b": "1", "c=d": "2", "x\ny": "3", 'q"t': "4"},
     {"name": "n", "a:b": "1", "c_d": "2", "x_y": "3", "q't": "4"}),
    ({"Name": "n", "formula": "C2H6O"}, {"name": "n", "formula": "C2H6O"}),
]


@pytest.mark.parametrize("fmt", ["msp", "mgf", "jsonl"])
@pytest.mark.parametrize("md, back_md", COLLIDING)
def test_metadata_colliding_with_format_fields_round_trips(tmp_path, fmt, md, back_md):
    sp = Spectrum([50, 51, 52], [1, 2, 3], md, convention="scored")
    path = tmp_path / f"lib.{fmt}"
    sio.write([sp, Spectrum([60], [9], {"name": "after"})], path)
    first, second = sio.read(path)
    assert first.peaks() == sp.peaks() and first.convention == "scored"
    assert second.peaks() == [(60, 9.0)] and second.name == "after"
    if fmt == "jsonl":
        assert first.metadata == md
    elif fmt == "mgf" and "a:b" in md:
        assert first.metadata == {"name": "n", "a_b": "1", "c_d": "2", "x_y": "3", "q_t": "4"}
    else:
        assert first.metadata == back_md


@pytest.mark.parametrize("fmt", ["msp", "mgf"])
@pytest.mark.parametrize("md", [{"smiles": "CCO", "SMILES": "CCN"}, {"id": "1", "DB#": "2"},
                                {"convention": "other"}])
def test_metadata_keys_read_back_as_one_are_refused(tmp_path, fmt, md):
    if fmt == "mgf" and "DB#" in md:
        md = {"id": "1", "SpectrumID": "2"}
    with pytest.raises(ValueError, match="rename"):
        sio.write([Spectrum([50], [1], md, convention="scored")], tmp_path / f"lib.{fmt}")
    assert os.listdir(tmp_path) == []


def test_atomic_write_keeps_mode_and_links_and_leaves_the_umask_alone(tmp_path, monkeypatch):
    def no_umask(*a):
        raise AssertionError("the process umask must not be changed")

    monkeypatch.setattr(os, "umask", no_umask)
    sp = [Spectrum([50], [1], {"name": "x"})]
    target = tmp_path / "real.msp"
    sio.write(sp, target)
    os.chmod(target, 0o640)
    link = tmp_path / "link.msp"
    link.symlink_to("real.msp")
    assert sio.write(sp * 3, link) == 3
    assert link.is_symlink() and os.readlink(link) == "real.msp"
    assert os.stat(target).st_mode & 0o777 == 0o640
    assert len(list(sio.read(target))) == 3
    assert sorted(os.listdir(tmp_path)) == ["link.msp", "real.msp"]


def test_writing_into_a_missing_folder_names_the_path(tmp_path):
    dest = tmp_path / "no" / "such" / "lib.msp"
    with pytest.raises(FileNotFoundError) as e:
        sio.write([Spectrum([50], [1], {"name": "x"})], dest)
    assert e.value.filename == str(dest) and ".tmp-" not in str(e.value)
    (tmp_path / "d.msp").mkdir()
    with pytest.raises(IsADirectoryError) as e:
        sio.write([Spectrum([50], [1], {"name": "x"})], tmp_path / "d.msp")
    assert e.value.filename == str(tmp_path / "d.msp") and os.listdir(tmp_path) == ["d.msp"]


@pytest.mark.parametrize("fmt, head, row, tail", [
    ("msp", "Name: big\n", "k{}: v\n", "Num Peaks: 1\n50 1\n\n"),
    ("mgf", "BEGIN IONS\nTITLE=big\n", "{} 1\n", "END IONS\n"),
    ("massbank", "ACCESSION: big\nPK$PEAK: m/z int.\n", "  {} 1\n", "//\n"),
])
def test_a_record_over_the_limit_is_an_error_of_its_own(monkeypatch, fmt, head, row, tail):
    monkeypatch.setattr(sio, "MAX_LINE", 1000)
    small = head.replace("big", "small") + tail
    text = small + head + "".join(row.format(i + 1) for i in range(500)) + tail + small
    reader = sio.read(io.StringIO(text), fmt, skip_bad=True)
    with pytest.warns(UserWarning, match="skipped 1 bad record"):
        assert len(list(reader)) == 2
    assert "record longer than 1000 bytes" in reader.errors[0]


def test_annotation_text_cannot_break_the_peak_line():
    ann = PeakAnnotation('C"H;3', 'odd "mode"; x', 'a"b;c', 1)
    sp = Spectrum([50, 51], [1, 2], {"name": "a"}, annotations=[[ann], []])
    text = sio.dumps(sp, "msp") + sio.dumps(Spectrum([60], [3], {"name": "b"}), "msp")
    first, second = sio.read(io.StringIO(text), "msp")
    assert first.peaks() == sp.peaks() and second.peaks() == [(60, 3.0)]


def test_a_parser_shared_by_threads_refuses_instead_of_racing():
    import threading

    from corvane_spectra import _core

    parser = _core.TextParser("msp", 1e6, 1 << 26)
    chunk = (GOOD.format(1) * 20000).encode()
    got, refused = [], []

    def feed():
        for _ in range(15):
            try:
                got.append(len(parser.feed(chunk)))
            except RuntimeError as e:
                refused.append(str(e))

    threads = [threading.Thread(target=feed) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got and all(n == 20000 for n in got)
    assert all("in use by another thread" in msg for msg in refused)
    assert parser.lines == 5 * 20000 * len(got)  # refused calls read nothing
