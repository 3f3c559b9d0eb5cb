"""matchms, the Python ecosystem's spectrum library, reads our exported libraries.

matchms lives in a throwaway environment of its own (tests/make_matchms_env.sh,
or CORVANE_MATCHMS_PYTHON naming its interpreter); without it these tests skip.
"""
import json
import os
import subprocess
from pathlib import Path

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
                             ("CC1CCC(C)CC1O", "2,5-dimethylcyclohexanol", {"ring_fragmentation": True}),
                             ("NCCc1ccccc1", "phenethylamine (β-Phenylethylamin)", {}),
                             ("CCCCC(=O)OCC", "ethyl pentanoate", {"recursive": True})]:
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
