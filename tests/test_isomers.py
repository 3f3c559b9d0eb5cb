"""Ranking a molecule among its isomers: expected ranks with random ties, and `evaluate --isomers`."""
import json
from pathlib import Path

import pytest

from corvane_spectra.cli import main
from corvane_spectra.isomers import rank_figures, structure_key

FIXTURE = Path(__file__).parent / "data" / "ei_small.msp"


@pytest.mark.parametrize("true, others, top1, top3, rel", [
    (0.9, [0.5, 0.4], 1.0, 1.0, 0.0),                 # clearly first
    (0.1, [0.5, 0.4, 0.3, 0.2], 0.0, 0.0, 1.0),       # clearly last
    (0.5, [0.5], 0.5, 1.0, 0.5),                      # identical predictions earn no credit
    (0.5, [0.5, 0.5, 0.5, 0.5], 0.2, 0.6, 0.5),       # five-way tie: chance
    (0.5, [0.9, 0.8, 0.5, 0.5], 0.0, 1 / 3, 0.75),    # two above, tied with two more
])
def test_rank_figures_count_ties_at_their_expected_value(true, others, top1, top3, rel):
    f = rank_figures(true, others)
    assert f["top1"] == pytest.approx(top1)
    assert f["top3"] == pytest.approx(top3)
    assert f["relative_rank"] == pytest.approx(rel)
    assert f["chance_top1"] == pytest.approx(1 / (len(others) + 1))


def test_isomers_are_same_formula_other_skeleton():
    # Stereoisomers and isotope-labelled forms share the skeleton block; salts count by their largest part.
    f1, k1 = structure_key("CC/C=C/C")
    f2, k2 = structure_key("CC/C=C\\C")
    f3, k3 = structure_key("CCCC=C")
    f4, k4 = structure_key("[2H]C([2H])([2H])C(C)=O")
    f5, k5 = structure_key("CC(C)=O")
    assert f1 == f2 == f3 == "C5H10" and k1 == k2 != k3
    assert f4 == f5 and k4 == k5
    assert structure_key("CCN.Cl")[0] == "C2H7N"
    assert structure_key("C1CC(") is None


def test_evaluate_isomers_reports_figures_in_json(tmp_path, capsys):
    pool = tmp_path / "pool.smi"
    # Isomers of ethyl benzoate (C9H10O2) and of 2-butylamine (C4H11N); the rest have none.
    pool.write_text("COC(=O)Cc1ccccc1 methyl-phenylacetate\nCC(=O)OCc1ccccc1 benzyl-acetate\n"
                    "CCCCN butylamine\nCCN(C)C dimethylethylamine\nnot-a-smiles junk\n")
    out = tmp_path / "e.json"
    assert main(["evaluate", str(FIXTURE), "--isomers", str(pool), "--json", str(out), "--no-progress",
                 "--model", "scored"]) == 0
    iso = json.loads(out.read_text())["isomers"]
    assert iso["n"] == 2 and iso["without_isomers"] == 4
    assert iso["chance_top1"] == pytest.approx((1 / 3 + 1 / 3) / 2)
    for key in ("top1", "top3", "relative_rank"):
        assert 0.0 <= iso[key] <= 1.0
    assert "isomers: 2 queries" in capsys.readouterr().out
