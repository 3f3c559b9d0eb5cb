"""The everyday loop of the workbench: record selection, the default model,
readable annotations, identification with mass-spectrometric checks, named
scores, and what exported libraries carry."""
import json
import warnings
from pathlib import Path

import numpy as np
import pytest

from corvane_spectra import io as sio
from corvane_spectra import predict
from corvane_spectra.annotate import annotate, describe
from corvane_spectra.cli import main
from corvane_spectra.identify import identify
from corvane_spectra.interop import matchms_cosine
from corvane_spectra.models import IgnoredSwitchWarning
from corvane_spectra.score import Library, cosine, figures, similarity
from corvane_spectra.spectrum import PeakAnnotation, Spectrum

FIXTURE = Path(__file__).parent / "data" / "ei_small.msp"


def fixture_spectra():
    return list(sio.read(FIXTURE))


# --- record selection and the command's manners -----------------------------------------

@pytest.mark.parametrize("select,name", [
    (["--name", "benzyl chloride"], "BENZYL CHLORIDE"),
    (["--id", "MSBNK-Fac_Eng_Univ_Tokyo-JP000074"], "BUTYL SALICYLATE"),
    (["--index", "3"], "ETHYL PARA TOLUATE"),
])
def test_annotate_picks_the_record_and_its_smiles(select, name, tmp_path, capsys):
    out = tmp_path / "new" / "deeper" / "a.json"       # missing folders are created
    page = tmp_path / "other" / "a.html"
    assert main(["annotate", str(FIXTURE), *select, "--json", str(out), "--html", str(page)]) == 0
    assert page.read_text(encoding="utf-8").startswith("<!DOCTYPE html>")
    d = json.loads(out.read_text())
    assert d["measured"]["name"] == name
    assert d["convention"] == "scored"                   # the default model
    text = capsys.readouterr().out
    assert "SMILES from the record" in text and name in text


@pytest.mark.parametrize("argv,message", [
    (["annotate", str(FIXTURE), "--index", "6"], "the file holds 6 spectra (--index 0 to 5)"),
    (["annotate", str(FIXTURE), "--name", "no such compound"], "no spectrum matches --name"),
    (["annotate", str(FIXTURE), "--ring"], "--ring shapes the schematic spectrum only"),
    (["identify", str(FIXTURE), "--candidates", str(FIXTURE), "--recursive"], "--recursive"),
    (["evaluate", str(FIXTURE), "--offset", "6"], "no spectrum was evaluated"),
    (["predict", "in.smi", "-o", "out.msp", "--ring"], "--ring shapes the schematic spectrum only"),
])
def test_commands_refuse_with_a_reason(argv, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(argv) != 0
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_files_are_written_before_printing_into_a_closed_pipe(tmp_path):
    import os
    import subprocess
    import sys

    out = tmp_path / "a.json"
    proc = subprocess.Popen([sys.executable, "-m", "corvane_spectra", "annotate", str(FIXTURE), "--json", str(out)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path,
                            env=dict(os.environ, MPLBACKEND="Agg"))
    proc.stdout.close()                      # the reader is gone before anything is printed
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=300) == 141
    assert json.loads(out.read_text())["smiles"] == "CCOC(=O)c1ccccc1"
    assert "Traceback" not in err and "Broken pipe" not in err


def test_version_and_misspelled_options(capsys):
    with pytest.raises(SystemExit) as e:
        main(["--version"])
    assert e.value.code == 0 and capsys.readouterr().out.startswith("corvane ")
    with pytest.raises(SystemExit) as e:
        main(["annotate", str(FIXTURE), "--smile", "C", "--jsn", "x.json"])
    assert e.value.code == 2
    assert "did you mean --json" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["anotate", str(FIXTURE)])
    assert "did you mean 'annotate'" in capsys.readouterr().err


def test_model_help_lists_the_models(capsys):
    for sub in ("annotate", "identify", "evaluate", "predict"):
        with pytest.raises(SystemExit):
            main([sub, "--help"])
        help_text = " ".join(capsys.readouterr().out.split())
        assert "scored:" in help_text and "schematic:" in help_text, sub


def test_evaluate_offset_without_json_and_the_fitted_note(capsys):
    assert main(["evaluate", str(FIXTURE), "--offset", "4", "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("2 spectra evaluated")
    # These MassBank compounds are among those the scored model was fitted on.
    assert "fitted on" in out and "not held out" in out


def test_scored_model_warns_about_switches_it_ignores():
    with pytest.warns(IgnoredSwitchWarning, match="ring_fragmentation"):
        predict("CCOC(=O)c1ccccc1", ring_fragmentation=True)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        predict("CCOC(=O)c1ccccc1", ring_fragmentation=True, model="schematic")


# --- annotation in a chemist's words ------------------------------------------------------

def test_annotation_names_losses_isotopes_and_cuts():
    ethyl_benzoate = fixture_spectra()[0]
    ann = annotate(ethyl_benzoate, ethyl_benzoate.smiles)
    by_mz = {p.mz: p for p in ann.peaks}
    # m/z 105, the benzoyl ion: loss of ethoxy from M, cut of the ester C-O bond, ion side the acylium.
    words = " ".join(by_mz[105].descriptions)
    assert "C7H5O+" in words and "M − C2H5O (ethoxy)" in words
    assert "O=[C]c1ccccc1" in words or "O=Cc1ccccc1" in words
    # m/z 106 is the 13C peak of the benzoyl ion, not another C7H5O ion.
    assert any(d.startswith("M+1 of C7H5O+") for d in by_mz[106].descriptions)
    # Predicted and measured heights side by side, both % of their base peak.
    assert by_mz[105].relative == pytest.approx(100.0)
    assert 0 < by_mz[105].predicted <= 100.0
    text = ann.table(unobserved=3)
    assert "meas %" in text and "pred %" in text
    line = next(ln for ln in text.splitlines() if ln.startswith("predicted but not measured"))
    assert line.count("%)") <= 3 and ("weaker" in line or len(ann.unobserved) <= 3)
    heights = ann.unobserved_predicted
    assert heights == sorted(heights, reverse=True)
    assert len(ann.to_dict(unobserved=3)["unobserved"]) == min(3, len(ann.unobserved))


@pytest.mark.parametrize("ann,mz,text", [
    (PeakAnnotation("C7H7", "isotope", "C0-C1", 1), 92, "M+1 of C7H7+"),
    (PeakAnnotation("C6H4Cl", "isotope", None, 1), 113, "M+2 of C6H4Cl+"),
    (PeakAnnotation("C7H7", "single", "Cl0-C1", 1), 91, "C7H7+, M − Cl (Cl·), cut Cl0–C1; ion side [CH2]c1ccccc1"),
    (PeakAnnotation("CH2Cl", "single", "C1-C2", 1), 49, "CH2Cl+, M − C6H5 (phenyl), cut C1–C2; ion side [CH2]Cl"),
    (PeakAnnotation("C3H3", "ring", "C2-C3 + C5-C6", 1), 39, "C3H3+, ring cut C2–C3 + C5–C6; ion side [CH]C=[CH]"),
    (PeakAnnotation("C7H7Cl", "molecular_ion", None, 0), 126, "C7H7Cl+· molecular ion"),
])
def test_describe(ann, mz, text):
    assert describe(ann, mz, "C7H7Cl", "ClCc1ccccc1") == text


# --- identification with mass-spectrometric sense ------------------------------------------

def test_identify_flags_molecular_ions_the_spectrum_contradicts(tmp_path):
    ethyl_benzoate = fixture_spectra()[0]            # peaks up to m/z 151, M+ 150
    cands = tmp_path / "c.csv"
    cands.write_text("id,name,smiles\n"
                     "1,ethyl benzoate,CCOC(=O)c1ccccc1\n"
                     "2,butyl benzoate,CCCCOC(=O)c1ccccc1\n"     # M+ 178 > highest measured m/z
                     "3,benzoic acid,OC(=O)c1ccccc1\n")           # M+ 122: peaks at 149-151 impossible
    res = identify(ethyl_benzoate, cands)
    flags = {c.name: c.flags for c in res.candidates}
    assert flags["ethyl benzoate"] == []
    assert "m_above_spectrum" in flags["butyl benzoate"]
    assert "peaks_above_m" in flags["benzoic acid"]
    top = res.candidates[0]
    assert top.name == "ethyl benzoate" and top.molecular_ion == 150
    assert (105, "C7H5O", "") in top.explained
    # m/z 106: benzoyl's 13C peak or the ion with one hydrogen more, named as what it is.
    assert [e for e in top.explained if e[0] == 106] in ([(106, "C7H5O", "M+1 of C7H5O+")], [(106, "C7H6O", "")])
    assert any(iso.startswith("M+1 of ") for _m, _f, iso in top.explained)
    assert 0 < top.matchms_score <= 1
    kept = identify(ethyl_benzoate, cands, exclude_contradicted=True)
    assert [c.name for c in kept.candidates] == ["ethyl benzoate"] and len(kept.excluded) == 2
    d = kept.to_dict()
    json.dumps(d, allow_nan=False)
    assert d["candidates"][0]["explained"] and d["similarity"].startswith("learned identification score")


def test_identify_reads_identifier_first_lines_and_notes_ties(tmp_path):
    ethyl_benzoate = fixture_spectra()[0]
    cands = tmp_path / "c.smi"
    # The same molecule twice (identifier first, then SMILES first): equal scores, a tie.
    cands.write_text("EB-1 CCOC(=O)c1ccccc1\nCCOC(=O)c1ccccc1 EB-2\nCCCC butane\n")
    res = identify(ethyl_benzoate, cands)
    assert sorted(c.name for c in res.candidates[:2]) == ["EB-1", "EB-2"]
    assert res.candidates[0].smiles == res.candidates[1].smiles == "CCOC(=O)c1ccccc1"
    assert res.tied == 2 and any("within noise" in n for n in res.notes)


# --- scores that say what they are ----------------------------------------------------------

@pytest.mark.parametrize("model", ["scored", "schematic"])
def test_cosine_is_the_figures_cosine_for_a_measurement_and_a_prediction(model):
    for measured in fixture_spectra()[:4]:
        pred = predict(measured.smiles, model=model)
        want = figures(measured, pred)["cosine"]
        assert cosine(measured, pred) == pytest.approx(want, abs=1e-12)
        assert similarity(pred, measured).cosine == pytest.approx(want, abs=1e-12)


def test_library_search_weights_a_predicted_query_as_its_convention_says():
    measured = fixture_spectra()
    lib = Library(measured)
    for i, m in enumerate(measured):
        pred = predict(m.smiles)
        hits = lib.search(pred, top=len(measured), min_mz=int(m.mz.min()))
        # Searching with the prediction scores each library spectrum as the
        # workbench cosine does (prediction x1 against sqrt of the measurement).
        for h in hits:
            ref = lib.spectrum(h.index)
            want = similarity(pred, Spectrum(ref.mz, ref.intensity ** 2), min_mz=int(m.mz.min())).cosine
            assert h.cosine == pytest.approx(want, abs=1e-9)


def test_matchms_cosine_on_float_peaks_pairs_greedily():
    a = (np.array([100.0, 100.05, 200.0]), np.array([1.0, 3.0, 2.0]))
    b = (np.array([100.02, 200.3]), np.array([4.0, 1.0]))
    # 100.05 (3) pairs with 100.02 (4) first; 100.0 then has no partner; 200 is out of tolerance.
    score, n = matchms_cosine(a, b)
    assert n == 1
    assert score == pytest.approx(12.0 / (np.sqrt(1 + 9 + 4) * np.sqrt(16 + 1)))


# --- what exported libraries carry -----------------------------------------------------------

def test_matchms_keys_are_read(tmp_path):
    path = tmp_path / "m.msp"
    path.write_text("COMPOUND_NAME: acetone\nSMILES: CC(C)=O\nSPECTRUM_ID: CCMS1\nNIST#: 1234\nIONMODE: positive\n"
                    "NUM PEAKS: 2\n43 999\n58 300\n\n")
    (s,) = list(sio.read(path))
    assert s.name == "acetone" and s.metadata["id"] == "CCMS1" and s.metadata["nist_id"] == "1234"
    assert s.metadata["ion_mode"] == "positive"
    text = sio.dumps(s, "msp")
    assert "NIST#: 1234" in text and "COMPOUND_NAME" not in text


def test_batch_records_keep_names_and_say_what_made_them(tmp_path):
    from corvane_spectra.batch import inputs, worker

    table = tmp_path / "m.csv"
    table.write_text("id,name,smiles\nX1,acetone,CC(C)=O\nX2,,CCO\n")
    recs = list(inputs.read_records(str(table)))
    assert [(r.name, r.id) for r in recs] == [("acetone", "X1"), ("X2", "")]
    smi = tmp_path / "m.smi"
    smi.write_text("CCCC(=O)OC\n")
    (bare,) = list(inputs.read_records(str(smi)))
    base = {"ring": False, "recursive": False, "max_generations": 2, "model": None}
    ok, text = worker.compute(recs[0], dict(base, format="msp", min_mz=29))
    assert ok
    for field in ("Name: acetone", "DB#: X1", "MW: 58.0", "ExactMass: 58.04", "InChIKey: CSCPPACGZOOCGX-UHFFFAOYSA-N",
                  "Ion_mode: P", "Spectrum_type: MS1", '"model=scored"', '"convention=scored"'):
        assert field in text, field
    (back,) = list(sio.read(_write(tmp_path / "b.msp", text)))
    assert back.mz.min() >= 29
    ok, line = worker.compute(bare, dict(base, format="jsonl", min_mz=None))
    rec = json.loads(line)
    assert rec["metadata"]["name"] == "CCCC(=O)OC" and rec["metadata"]["model"] == "scored"
    assert rec["convention"] == "scored"
    ok, row = worker.compute(recs[1], dict(base, format="parquet", min_mz=None))
    assert (row["name"], row["model"], row["convention"]) == ("X2", "scored", "scored")


def _write(path, text):
    path.write_text(text)
    return path
