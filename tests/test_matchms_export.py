"""matchms, the Python ecosystem's spectrum library, reads our exported libraries.

matchms lives in a throwaway environment of its own (tests/make_matchms_env.sh,
or CORVANE_MATCHMS_PYTHON naming its interpreter); without it these tests skip.
"""
import json
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import corvane_spectra as cs
from corvane_spectra import io as sio
from corvane_spectra.spectrum import Spectrum

ROOT = Path(__file__).resolve().parents[1]
MATCHMS_PYTHON = Path(os.environ.get("CORVANE_MATCHMS_PYTHON", ROOT / "build" / "matchms-venv" / "bin" / "python"))

READ_BACK = """
import json, sys, logging
logging.disable(logging.WARNING)   # "no precursor_mz": EI spectra have none
from matchms.importing import load_from_mgf, load_from_msp
load = {"msp": load_from_msp, "mgf": load_from_mgf}
out = {}
for path in sys.argv[1:]:
    out[path] = [{"name": s.get("compound_name"), "smiles": s.get("smiles"),
                  "peaks": [[float(m), float(i)] for m, i in zip(s.peaks.mz, s.peaks.intensities)]}
                 for s in load[path.rsplit(".", 1)[1]](path)]
print(json.dumps(out))
"""


def library():
    spectra = []
    for smiles, name, kw in [("CC(=O)CCl", "chloroacetone", {}),
                             ("CC1CCC(C)CC1O", "2,5-dimethylcyclohexanol",
                              {"ring_fragmentation": True, "model": "schematic"}),
                             ("NCCc1ccccc1", "phenethylamine (β-Phenylethylamin)", {}),
                             ("CCCCC(=O)OCC", "ethyl pentanoate", {"recursive": True, "model": "schematic"})]:
        sp = cs.predict(smiles, **kw)
        sp.metadata["name"] = name
        spectra.append(sp)
    spectra.append(Spectrum([41, 43, 58], [120.5, 999.0, 0.25], {"name": "2-butanone", "smiles": "CCC(C)=O"}))
    return spectra


@pytest.mark.skipif(not MATCHMS_PYTHON.exists(), reason="no matchms environment (tests/make_matchms_env.sh)")
def test_matchms_reads_names_smiles_and_peaks(tmp_path):
    spectra = library()
    paths = [tmp_path / "predicted.msp", tmp_path / "predicted.mgf"]
    for path in paths:
        sio.write(spectra, path)
    # One matchms process for both files: its start-up is slow.
    run = subprocess.run([str(MATCHMS_PYTHON), "-c", READ_BACK, *map(str, paths)],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout.strip().splitlines()[-1])
    for path in paths:
        read = got[str(path)]
        assert [g["name"] for g in read] == [s.name for s in spectra], path.name
        assert [g["smiles"] for g in read] == [s.smiles for s in spectra], path.name
        assert [g["peaks"] for g in read] == [[[float(m), float(i)] for m, i in s.peaks()] for s in spectra], path.name


# Run in the matchms environment: corvane_spectra's pure-Python spectrum and
# interop modules are loaded from the source tree (the compiled parts are not
# needed, and that environment has its own numpy).
AGAINST_MATCHMS = """
import json, sys, types, logging
logging.disable(logging.WARNING)
pkg = types.ModuleType("corvane_spectra")
pkg.__path__ = [sys.argv[1]]
sys.modules["corvane_spectra"] = pkg
from corvane_spectra.spectrum import Spectrum
from corvane_spectra.interop import from_matchms, matchms_cosine, to_matchms
from matchms.similarity import CosineGreedy
pairs = json.loads(sys.argv[2])
out = {"scores": [], "ours": [], "round_trip": []}
for a, b in pairs:
    sa = Spectrum([p[0] for p in a["peaks"]], [p[1] for p in a["peaks"]], a["metadata"])
    sb = Spectrum([p[0] for p in b["peaks"]], [p[1] for p in b["peaks"]], b["metadata"])
    ma, mb = to_matchms(sa), to_matchms(sb)
    r = CosineGreedy().pair(ma, mb)
    out["scores"].append([float(r["score"]), int(r["matches"])])
    out["ours"].append(list(matchms_cosine(ma, mb)))
    back = from_matchms(ma)
    out["round_trip"].append({"peaks": back.peaks(), "metadata": back.metadata,
                              "matchms_name": ma.get("compound_name"), "matchms_id": ma.get("spectrum_id")})
print(json.dumps(out))
"""


@pytest.mark.skipif(not MATCHMS_PYTHON.exists(), reason="no matchms environment (tests/make_matchms_env.sh)")
def test_matchms_score_and_converters_agree_with_matchms():
    from corvane_spectra.interop import matchms_cosine

    measured = list(sio.read(ROOT / "tests" / "data" / "ei_small.msp"))
    pairs = []
    for m in measured[:4]:
        for p in (cs.predict(m.smiles), cs.predict(m.smiles, model="schematic"), measured[0]):
            pairs.append([{"peaks": m.peaks(), "metadata": {"name": m.name, "id": m.metadata["id"],
                                                            "smiles": m.smiles}},
                          {"peaks": p.peaks(), "metadata": {"name": p.name or "", "smiles": p.smiles}}])
    run = subprocess.run([str(MATCHMS_PYTHON), "-c", AGAINST_MATCHMS, str(ROOT / "corvane_spectra"),
                          json.dumps(pairs)], capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    got = json.loads(run.stdout.strip().splitlines()[-1])
    for (score, n), (a, b) in zip(got["scores"], pairs):
        ours = matchms_cosine((np.array([p[0] for p in a["peaks"]]), np.array([p[1] for p in a["peaks"]])),
                              (np.array([p[0] for p in b["peaks"]]), np.array([p[1] for p in b["peaks"]])))
        assert ours[0] == pytest.approx(score, abs=1e-9) and ours[1] == n
    for (score, n), (ours_score, ours_n) in zip(got["scores"], got["ours"]):
        assert ours_score == pytest.approx(score, abs=1e-9) and ours_n == n
    for back, (a, _b) in zip(got["round_trip"], pairs):
        assert [tuple(p) for p in back["peaks"]] == [tuple(p) for p in a["peaks"]]
        assert back["metadata"]["name"] == a["metadata"]["name"] == back["matchms_name"]
        assert back["metadata"]["id"] == a["metadata"]["id"] == back["matchms_id"]
