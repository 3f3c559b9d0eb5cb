"""The annotate, identify and evaluate subcommands end to end on a tiny library."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from corvane_spectra.cli import main

FIXTURE = Path(__file__).parent / "data" / "ei_small.msp"
F_KEYS = {"precision", "recall10", "recall10_pm1", "cosine", "matchms_cosine", "id_at_1", "id_at_10",
          "median_peaks"}


def test_annotate_writes_table_json_and_png(tmp_path, capsys):
    out_json, out_png = tmp_path / "a.json", tmp_path / "a.png"
    rc = main(["annotate", str(FIXTURE), "--index", "1", "--smiles", "ClCc1ccccc1",
               "--json", str(out_json), "--png", str(out_png)])
    assert rc == 0
    text = capsys.readouterr().out
    assert "BENZYL CHLORIDE" in text and "C7H7" in text and "unexplained strong peaks" in text
    d = json.loads(out_json.read_text())
    assert d["smiles"] == "ClCc1ccccc1"
    assert any(f["formula"] == "C7H7" for p in d["peaks"] for f in p["fragments"])
    assert out_png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]   # no temporary left


def test_identify_ranks_smiles_file(tmp_path, capsys):
    cands = tmp_path / "c.smi"
    cands.write_text("CCOC(=O)c1ccccc1 ethyl-benzoate\nCC(=O)c1ccc(C)cc1 methylacetophenone\nCCC(C)N butylamine\n")
    out_json = tmp_path / "r.json"
    assert main(["identify", str(FIXTURE), "--candidates", str(cands), "--top", "2", "--json", str(out_json),
                 "--no-progress"]) == 0
    d = json.loads(out_json.read_text())
    assert len(d["candidates"]) == 2
    assert d["candidates"][0]["name"] == "ethyl-benzoate" and d["candidates"][0]["rank"] == 1
    assert d["query"]["name"] == "ETHYL BENZOATE"
    assert "ethyl-benzoate" in capsys.readouterr().out


def test_evaluate_writes_exact_json(tmp_path, capsys):
    out_json, out_png = tmp_path / "e.json", tmp_path / "e.png"
    assert main(["evaluate", str(FIXTURE), "--limit", "3", "--json", str(out_json), "--png", str(out_png),
                 "--no-progress"]) == 0
    d = json.loads(out_json.read_text())
    assert set(d) == {"n", "failed", "model", "offset", "similarity", "identification", "fitted", "notes",
                      "module", "schematic", "all_cuts", "random"}
    assert d["n"] == 3 and d["failed"] == 0 and d["model"] == "scored"
    for k in ("module", "schematic", "all_cuts", "random"):
        assert set(d[k]) == F_KEYS
    assert "all_cuts" in capsys.readouterr().out
    assert out_png.stat().st_size > 10000


@pytest.mark.parametrize("argv,message", [
    (["annotate", "missing.msp", "--smiles", "C"], "no such file"),
    (["annotate", str(FIXTURE), "--index", "99", "--smiles", "C"], "no spectrum at index 99"),
    (["annotate", str(FIXTURE), "--smiles", "C1CC("], "unreadable SMILES"),
    (["identify", str(FIXTURE), "--candidates", "missing.smi"], "no such file"),
    (["evaluate", str(FIXTURE), "--json", "x.json", "--model", "nope"], "unknown model"),
])
def test_errors_are_one_line_messages(argv, message, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert not (tmp_path / "x.json").exists()


@pytest.mark.parametrize("sub", ["annotate", "identify", "evaluate"])
def test_help_of_each_subcommand(sub):
    env = dict(os.environ, MPLBACKEND="Agg")
    r = subprocess.run([sys.executable, "-m", "corvane_spectra", sub, "--help"], capture_output=True, text=True,
                       env=env, cwd=Path(__file__).parent, timeout=120)
    assert r.returncode == 0
    assert "usage: corvane" in r.stdout and "example" in r.stdout


def test_readme_quick_start_runs(tmp_path, monkeypatch, capsys):
    import re
    import shlex

    root = Path(__file__).parent.parent
    text = (root / "README.md").read_text(encoding="utf-8")
    block = re.search(r"## Quick start\n.*?```\n(.*?)```", text, re.S).group(1)
    commands = [shlex.split(line.replace("/tmp/", f"{tmp_path}/")) for line in block.splitlines()
                if line.startswith("corvane ")]
    assert [c[1] for c in commands] == ["predict", "annotate", "identify", "evaluate"]
    monkeypatch.chdir(root)
    for argv in commands:
        assert main(argv[1:]) == 0, argv
    out = capsys.readouterr().out
    assert "butyl salicylate" in out
    for name in ("isomers.msp", "butyl_salicylate.png", "evaluation.png"):
        assert (tmp_path / name).stat().st_size > 0
